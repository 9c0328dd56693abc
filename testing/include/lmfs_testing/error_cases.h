// Holding a tagged error type to its renderings: one row per variant, each
// with the exact text the variant renders as.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace lmfs::testing {

// Every row renders as its text, its kind is its payload's index, and the
// rows cover all `variants` kinds of E.
template <class E>
void expect_renderings(const std::vector<std::pair<E, std::string>>& rows, std::size_t variants) {
  std::set<typename E::Kind> kinds;
  for (const auto& [error, text] : rows) {
    SCOPED_TRACE(text);
    EXPECT_EQ(error.message(), text);
    EXPECT_EQ(static_cast<std::size_t>(error.kind()), error.payload().index());
    kinds.insert(error.kind());
  }
  EXPECT_EQ(kinds.size(), variants);
}

}  // namespace lmfs::testing
