#include "loomfs_api/error.h"

#include <gtest/gtest.h>

#include "lmfs_testing/error_cases.h"

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <utility>

#include "lmfs_text/errno_text.h"
#include "loomfs_api/errno_text.h"
#include "loomfs_api/io_error.h"

namespace lmfs::loomfs {
namespace {

using E = LoomFsApiError;

TEST(LoomFsApiError, RendersEveryVariant) {
  const std::vector<std::pair<E, std::string>> cases = {
      {E::TooManyLayoutEntries{300}, "Special File Layout Group Block Error: too many entries 300"},
      {E::SegmentTooSmall{8, 16}, "Segment size 8 blocks is too small, need 16 blocks."},
      {E::TooManySegmentFiles{UINT64_MAX}, "Segment Error: too many files 18446744073709551615"},
      {E::InodeOutOfRange{42}, "Segment Error: Inode number 42 out of range"},
      {E::InvalidStorage{"/dev/sd\xff" "b"}, "invalid storage: /dev/sd\xEF\xBF\xBD" "b"},
      {E::DeviceBusy{"/dev/\xc3"}, "device busy: /dev/\xEF\xBF\xBD"},
      {E::LoopDevicePath{}, "Weird loop-back device path"},
      {E::ContainsData{"ext4"}, "contains data: ext4"},
      {E::LockFailed{"unable to acquire cleaner lock"}, "lock failed: unable to acquire cleaner lock"},
      {E::Io{IoError::from_os(ENOENT)}, "i/o error: No such file or directory (os error 2)"},
      {E::Procfs{{"unable to read /proc/mounts"}}, "procfs error: unable to read /proc/mounts"},
      {E::Magic{{"could not find any valid magic files!"}},
       "magic data error: could not find any valid magic files!"},
      {E::System{EBUSY}, "system error: EBUSY: Device or resource busy"},
      {E::NullPointer{{3, std::string("abc\0d", 5)}}, "Null Pointer Error"},
      {E::NotOpen{}, "Loomfs not open (call open first)"},
      {E::OpenFailed{}, "Unable to open loomfs"},
      {E::SyncFailed{}, "Unable to sync loomfs"},
      {E::ChangeFailed{"7", "snapshot"}, "Unable to change 7 to snapshot"},
  };
  lmfs::testing::expect_renderings(cases, 18);
}

TEST(LoomFsApiError, NullPointerComesFromCStringConversion) {
  EXPECT_EQ(to_c_string("/dev/sdb"), std::string("/dev/sdb"));
  for (const std::string& bytes : {std::string("\0/dev", 5), std::string("/dev/sd\0", 8)}) {
    auto converted = to_c_string(bytes);
    ASSERT_FALSE(converted);
    EXPECT_EQ(converted.error().position, bytes.find('\0'));
    EXPECT_EQ(converted.error().bytes, bytes);
    const E error = std::move(converted.error());
    EXPECT_EQ(error.kind(), E::Kind::NullPointer);
    EXPECT_EQ(error.message(), "Null Pointer Error");
  }
}

TEST(LoomFsApiError, SystemUsesKernelNamesAndTexts) {
  const std::pair<int, std::string> cases[] = {
      {EAGAIN, "EAGAIN: Try again"},  // strerror says "Resource temporarily unavailable"
      {EWOULDBLOCK, "EAGAIN: Try again"},
      {EDEADLOCK, "EDEADLK: Resource deadlock would occur"},
      {EBADF, "EBADF: Bad file number"},
      {ENOSYS, "ENOSYS: Invalid system call number"},
      {EOPNOTSUPP, "EOPNOTSUPP: Operation not supported on transport endpoint"},
      {EHWPOISON, "EHWPOISON: Memory page has hardware error"},
      {0, "UnknownErrno: Unknown errno"},
      {41, "UnknownErrno: Unknown errno"},
      {134, "UnknownErrno: Unknown errno"},
  };
  for (const auto& [errnum, text] : cases) {
    SCOPED_TRACE(errnum);
    EXPECT_EQ(E(E::System{errnum}).message(), "system error: " + text);
  }
}

// Every number from 1 to 133 against the kernel's own list, as installed with
// the C library's headers.
TEST(ErrnoText, MatchesKernelHeaders) {
  std::map<int, std::pair<std::string, std::string>> kernel;
  for (const char* header : {"/usr/include/asm-generic/errno-base.h", "/usr/include/asm-generic/errno.h"}) {
    std::ifstream in(header);
    if (!in) GTEST_SKIP() << header << " not installed";
    // Lines of the form: #define EBUSY 16 /* Device or resource busy */
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::string define, name, number;
      const auto open = line.find("/* "), close = line.find(" */");
      if (!(words >> define >> name >> number) || define != "#define" || !name.starts_with('E') ||
          number.find_first_not_of("0123456789") != std::string::npos || open == std::string::npos ||
          close == std::string::npos) {
        continue;
      }
      kernel[std::stoi(number)] = {name, line.substr(open + 3, close - open - 3)};
    }
  }
  ASSERT_EQ(kernel.size(), 131u);
  for (int n = 1; n <= 133; ++n) {
    SCOPED_TRACE(n);
    const auto it = kernel.find(n);
    EXPECT_EQ(text::errno_name(n), it == kernel.end() ? "" : it->second.first);
    EXPECT_EQ(errno_description(n), it == kernel.end() ? "" : it->second.second);
  }
}

TEST(IoError, RendersLikeTheStandardIoError) {
  const std::pair<IoError, std::string> cases[] = {
      {IoError::from_os(ENOENT), "No such file or directory (os error 2)"},
      {IoError::from_os(EAGAIN), "Resource temporarily unavailable (os error 11)"},
      {IoError::from_os(4000), "Unknown error 4000 (os error 4000)"},
      {IoError::from_os(0), "Success (os error 0)"},
      {IoError::custom(IoErrorKind::InvalidInput, "nul byte found in provided data"),
       "nul byte found in provided data"},
      {IoError::custom(IoErrorKind::NotFound, ""), "entity not found"},
  };
  for (const auto& [error, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(error.message(), text);
  }
}

TEST(IoError, KindFollowsErrno) {
  EXPECT_EQ(IoError::from_os(ENOENT).kind, IoErrorKind::NotFound);
  EXPECT_EQ(IoError::from_os(EACCES).kind, IoErrorKind::PermissionDenied);
  EXPECT_EQ(IoError::from_os(EPERM).kind, IoErrorKind::PermissionDenied);
  EXPECT_EQ(IoError::from_os(ENOTBLK).kind, IoErrorKind::Uncategorized);
}

}  // namespace
}  // namespace lmfs::loomfs
