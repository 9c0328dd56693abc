// Opening a handle where nothing is mounted: the paths are checked before the
// library is called, and a failed open leaves nothing open.
#include "loomfs_api/handle.h"

#include <gtest/gtest.h>

#include "lmfs_testing/files.h"

namespace lmfs::loomfs {
namespace {

using lmfs::testing::open_fds;

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
  const auto before = open_fds();
  for (int flags : {LoomFsHandle::kStatusFlags, LoomFsHandle::kSnapshotFlags}) {
    SCOPED_TRACE(flags);
    for (std::string device : {"", "/nonexistent/device", "/dev/null"}) {
      auto h = LoomFsHandle::open(device, "", flags);
      ASSERT_FALSE(h);
      EXPECT_EQ(h.error().message(), "Unable to open loomfs");
    }
  }
  EXPECT_EQ(open_fds(), before);
}

}  // namespace
}  // namespace lmfs::loomfs
