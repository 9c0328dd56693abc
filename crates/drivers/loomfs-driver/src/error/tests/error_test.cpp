#include "loomfs_driver/error.h"

#include <gtest/gtest.h>

#include "lmfs_testing/error_cases.h"

#include <cerrno>
#include <expected>
#include <set>
#include <utility>

namespace lmfs::loomfs {
namespace {

using E = LoomFsDriverError;

TEST(LoomFsDriverError, RendersEveryVariant) {
  const std::vector<std::pair<E, std::string>> cases = {
      {E::MountFailed{},
       "Mounting the store failed. This is usually caused by a bad device path. or a bad mount point."},
      {E::FormatFailed{"exit status: 1 for device /dev/sdb"},
       "Formatting the store failed. exit status: 1 for device /dev/sdb"},
      {E::Configuration{OptionsBuildError::UninitializedField{"root"}},
       "Configuration Error: `root` must be initialized"},
      {E::Configuration{OptionsBuildError::Validation{"bin_dir is empty"}},
       "Configuration Error: bin_dir is empty"},
      {E::Io{IoError::from_os(ENOENT)}, "I/O Error"},
      {E::Security{{path_safety::SecurityError::Kind::UnsafePath, "a/../b"}}, "Security Error: Invalid path: a/../b"},
      {E::Api{LoomFsApiError::SyncFailed{}}, "LoomFS API Error: Unable to sync loomfs"},
      {E::no_device(), "Invalid Block Device: <none>"},
      {E::InvalidBlockDevice{"/dev/sdb"}, "Invalid Block Device: /dev/sdb"},
      {E::OpenBlockDevice{"/dev/sdb"}, "Error opening the block device: /dev/sdb"},
      {E::NoDevices{}, "No devices specified."},
      {E::TooManyDevices{}, "Too many devices, loomfs can only be deployed on one block device"},
      {E::Other{"Unable to unmount /dev/sdb: exit status: 32"},
       "Other Error: Unable to unmount /dev/sdb: exit status: 32"},
  };
  lmfs::testing::expect_renderings(cases, 11);
}

// The conversions that let a lower layer's error be returned as it is.
TEST(LoomFsDriverError, ConvertsFromLowerLayers) {
  for (const int errnum : {ENOENT, EACCES}) {
    const std::expected<void, E> failed = std::unexpected(IoError::from_os(errnum));
    EXPECT_EQ(failed.error().kind(), E::Kind::Io);
    EXPECT_EQ(failed.error().get_if<E::Io>()->error, IoError::from_os(errnum));
    EXPECT_EQ(failed.error().message(), "I/O Error");
  }

  const E security = path_safety::SecurityError{path_safety::SecurityError::Kind::UnsafePath, "/dev/../dev/sdb"};
  EXPECT_EQ(security.message(), "Security Error: Invalid path: /dev/../dev/sdb");

  const LoomFsApiError api = LoomFsApiError::ChangeFailed{"7", "snapshot"};
  const E wrapped = api;
  ASSERT_NE(wrapped.get_if<E::Api>(), nullptr);
  EXPECT_EQ(wrapped.get_if<E::Api>()->error, api);
  EXPECT_EQ(wrapped.message(), "LoomFS API Error: Unable to change 7 to snapshot");
}

}  // namespace
}  // namespace lmfs::loomfs
