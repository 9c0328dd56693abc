// The boundary's borrowed views refuse, at compile time, a text that dies
// before the record is read: a temporary std::string. What outlives the
// call (a literal, a view of one, a named string) is taken.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "lmfs_abi/records.h"
#include "lmfs_interface/error.h"

namespace lmfs {
namespace {

using abi::RPath;
using abi::RStr;

template <class T>
concept StaticTextTakes = requires(T&& t) { RStr::from_static(std::forward<T>(t)); };
template <class T>
concept PathBorrows = requires(T&& t) { RPath::borrow(std::forward<T>(t)); };
template <class T>
concept ErrorBorrows = requires(T&& t) {
  StorageDriverError::borrowed(StorageDriverError::Kind::InvalidMediaType, std::forward<T>(t));
};

static_assert(!StaticTextTakes<std::string> && !StaticTextTakes<const std::string>);
static_assert(!PathBorrows<std::string> && !PathBorrows<const std::string>);
static_assert(!ErrorBorrows<std::string> && !ErrorBorrows<const std::string>);

static_assert(StaticTextTakes<const char (&)[6]> && StaticTextTakes<std::string_view>);
static_assert(PathBorrows<std::string&> && PathBorrows<const std::string&> && PathBorrows<std::string_view>);
static_assert(ErrorBorrows<const char (&)[7]> && ErrorBorrows<std::string_view>);

TEST(BorrowedViews, PointAtWhatTheyWereGiven) {
  static constexpr std::string_view kNone = "<none>";
  EXPECT_EQ(RStr::from_static(kNone).view(), kNone);
  EXPECT_EQ(RStr::from_static(kNone).data, kNone.data());
  const std::string path = "/mnt/s";
  EXPECT_EQ(RPath::borrow(path).bytes().data(), path.data());
  EXPECT_EQ(StorageDriverError::borrowed(StorageDriverError::Kind::InvalidMediaType, kNone).static_text.data(),
            kNone.data());
}

}  // namespace
}  // namespace lmfs
