// LMFS_TRY: carries a failure up and keeps the happy path flat. It takes a
// std::expected: on failure the function returns that error at once
// (converted to its own error type, where the layer above has a conversion);
// on success the expression has the value (nothing for expected<void>).
//
//   std::expected<Handle, Error> open(std::string_view path) {
//     auto fd = LMFS_TRY(open_file(path));     // std::expected<UniqueFd, IoError>
//     LMFS_TRY(check(fd));                     // std::expected<void, Error>
//     return Handle(std::move(fd));
//   }
//
// For expressions only where the failure is passed on as it is; where it is
// turned into something else, say so in the code instead. (A GNU statement
// expression: g++ and clang have it.)
#pragma once

#include <expected>
#include <type_traits>
#include <utility>

namespace lmfs::base::internal {

// The value of an expected known to hold one (nothing for expected<void>).
template <class T, class E>
T take_value(std::expected<T, E>&& result) {
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace lmfs::base::internal

#define LMFS_TRY(expr)                                                        \
  ({                                                                          \
    auto lmfs_try_result_ = (expr);                                           \
    if (!lmfs_try_result_) return std::unexpected(std::move(lmfs_try_result_).error()); \
    ::lmfs::base::internal::take_value(std::move(lmfs_try_result_));         \
  })
