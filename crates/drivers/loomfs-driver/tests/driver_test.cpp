#include "loomfs_driver/driver.h"

#include <gtest/gtest.h>

namespace lmfs::loomfs {
namespace {

LoomFsDriverOptions options() {
  return LoomFsDriverOptions{std::nullopt, "/nonexistent-bin", StorageMedia{{StorageMedium::block("/dev/sdb")}}, "/mnt/s"};
}

TEST(AtRoot, JoinsOntoAnEmptyRootOnAFreshDriver) {
  LoomFsDriver d(options());
  EXPECT_EQ(d.root(), "");
  EXPECT_EQ(d.at_root("a/b").value().str(), "a/b");
  EXPECT_EQ(d.at_root("").value().str(), "");
  EXPECT_EQ(d.at_root("/etc").value().str(), "/etc");
}

TEST(AtRoot, RefusesParentComponentsWithTheGivenPath) {
  LoomFsDriver d(options());
  auto r = d.at_root("a/../b");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().path, "a/../b");
}

TEST(DetachStores, ComparesTheRootByteForByte) {
  LoomFsDriver d(options());
  auto r = d.detach_stores("/mnt/s");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), StoreOpError::Kind::InvalidParameterValue);
  EXPECT_EQ(r.error().text(), "mount-point");
  EXPECT_EQ(r.error().value(), "/mnt/s");
}

TEST(Stores, NoStoreIsInvalidMediaNone) {
  LoomFsDriver d(options());
  auto r = d.stores();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), StoreOpError::Kind::InvalidMediaType);
  EXPECT_FALSE(r.error().owned());
}

TEST(Snapshots, WithoutAStoreNothingIsOpened) {
  LoomFsDriver d(options());
  EXPECT_EQ(d.take_snapshot().error().message(), "Invalid Block Device: <none>");
  EXPECT_EQ(d.next_snapshot().error().message(), "Invalid Block Device: <none>");
  EXPECT_EQ(d.last_snapshot().error().message(), "Invalid Block Device: <none>");
}

}  // namespace
}  // namespace lmfs::loomfs
