// Opening a handle where nothing is mounted: the paths are checked before the
// library is called, and a failed open leaves nothing open.
#include "loomfs_api/handle.h"

#include <dirent.h>
#include <gtest/gtest.h>

namespace lmfs::loomfs {
namespace {

int open_descriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

TEST(LoomFsHandle, NulBytesFailBeforeTheLibraryIsCalled) {
  const std::string with_nul("/dev/x\0y", 8);
  for (auto [device, dir] : {std::pair<std::string, std::string>{with_nul, "/mnt"}, {"/dev/x", with_nul}}) {
    auto h = LoomFsHandle::open(device, dir, LoomFsHandle::kStatusFlags);
    ASSERT_FALSE(h);
    EXPECT_EQ(h.error().kind(), LoomFsApiError::Kind::NullPointer);
    EXPECT_EQ(h.error().message(), "Null Pointer Error");
  }
}

TEST(LoomFsHandle, NoMountedFileSystemIsOpenFailedAndLeavesNothingOpen) {
  const int before = open_descriptors();
  for (int flags : {LoomFsHandle::kStatusFlags, LoomFsHandle::kSnapshotFlags}) {
    SCOPED_TRACE(flags);
    for (std::string device : {"", "/nonexistent/device", "/dev/null"}) {
      auto h = LoomFsHandle::open(device, "", flags);
      ASSERT_FALSE(h);
      EXPECT_EQ(h.error().message(), "Unable to open loomfs");
    }
  }
  EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace lmfs::loomfs
