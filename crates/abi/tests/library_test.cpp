// The library header's shared parts: the self-test round trips, the header's
// lock, and the framework's reading of version texts.
#include "lmfs_abi/library.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "lmfs_abi/version.h"

namespace lmfs::abi {
namespace {

// Our own self-test functions pass our own round trips; one function that
// computes otherwise is named in the refusal.
TEST(CAbiSelfTest, PassesItsOwnRoundTripsAndNamesAFailingOne) {
  EXPECT_TRUE(run_c_abi_tests(kCAbiTestingFns));
  CAbiTestingFns broken = kCAbiTestingFns;
  broken.take_triple_b = [](U16x2 t) -> std::uint64_t { return t.a; };
  auto r = run_c_abi_tests(broken);
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().find("take_triple_b: expected"), std::string::npos) << r.error();
  EXPECT_EQ(r.error().find("take_pair_a"), std::string::npos) << r.error();
}

TEST(HeaderLock, ExcludesAndReleases) {
  RawMutexState state{0};
  const MutexVTableFields& m = kHeaderMutexVTable.fields;
  EXPECT_TRUE(m.try_lock(&state));
  EXPECT_FALSE(m.try_lock(&state));
  EXPECT_FALSE(m.try_lock_for(&state, RDuration{0, 1000}));
  m.unlock(&state);
  m.lock(&state);
  EXPECT_EQ(state.word, 1u);
  m.unlock(&state);
  EXPECT_EQ(state.word, 0u);
}

// Waiters yield and nap rather than park: they still all get through, one at
// a time (a plain counter, which ThreadSanitizer watches).
TEST(HeaderLock, WaitersTakeTurns) {
  RawMutexState state{0};
  const MutexVTableFields& m = kHeaderMutexVTable.fields;
  int counter = 0;
  m.lock(&state);  // held while the waiters start, so that they wait
  std::vector<std::thread> waiters;
  for (int t = 0; t < 4; ++t) {
    waiters.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        m.lock(&state);
        ++counter;
        m.unlock(&state);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  m.unlock(&state);
  for (std::thread& w : waiters) w.join();
  EXPECT_EQ(counter, 800);
  EXPECT_EQ(state.word, 0u);
  EXPECT_TRUE(m.try_lock_for(&state, RDuration{1, 0}));
}

TEST(Version, ReadsTextsAsTheFrameworkDoes) {
  struct Row {
    const char* text;
    std::optional<VersionNumber> expected;
  };
  const Row rows[] = {
      {"0.11.3", VersionNumber{0, 11, 3}},
      {"0.0.0-next", VersionNumber{0, 0, 0}},
      {"1.2", VersionNumber{1, 2, 0}},          // no patch: 0
      {"1.2.x7y", VersionNumber{1, 2, 7}},      // the first run of digits
      {"+1.2.3", VersionNumber{1, 2, 3}},       // a u32 may carry a '+'
      {"0.x", std::nullopt},
      {"", std::nullopt},
      {"4294967296.0.0", std::nullopt},         // beyond u32
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    auto v = parse_version(r.text);
    ASSERT_EQ(v.has_value(), r.expected.has_value());
    if (v) {
      EXPECT_EQ(*v, *r.expected);
    }
  }
  EXPECT_TRUE(loosely_compatible({0, 11, 3}, {0, 11, 0}));
  EXPECT_FALSE(loosely_compatible({0, 11, 3}, {0, 12, 0}));
  EXPECT_TRUE(library_compatible({0, 0, 0}, {0, 3, 0}));   // a newer minor library serves
  EXPECT_FALSE(library_compatible({0, 3, 0}, {0, 2, 9}));
  EXPECT_FALSE(library_compatible({1, 0, 0}, {2, 0, 0}));
}

}  // namespace
}  // namespace lmfs::abi
