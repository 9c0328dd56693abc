// The handle's steps on a crafted mount table, in a mount namespace of its
// own. The mount directory is a plain directory, so the kernel refuses every
// request (ENOTTY): each step's own error shows, and what it did before it.
#include <semaphore.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "loomfs_api/handle.h"
#include "support.h"

namespace lmfs::loomfs {
namespace {

using loomfs_test::RunIsolated;
using loomfs_test::Semaphores;
using loomfs_test::TempDir;
using K = LoomFsApiError::Kind;

class HandleMounted : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for mount namespaces";
    loomfs_test::MakeDirs(t / "mnt");
    loomfs_test::WriteImage(image(), 65536, loomfs_test::Sb{}, loomfs_test::Sb{});
  }
  [[nodiscard]] std::string image() const { return t / "img"; }
  [[nodiscard]] std::string table() const { return image() + " " + t / "mnt" + " loomfs rw 0 0\n"; }
  TempDir t;
};

// The value of the image's cleaner semaphore; -1 when it does not exist.
int lock_value(const std::string& device) {
  char name[LOOMFS_SEM_NAME_SIZE];
  if (::loomfs_sem_name(device.c_str(), name, sizeof name) != 0) return -1;
  sem_t* sem = ::sem_open(name, 0);
  if (sem == SEM_FAILED) return -1;
  int v = -1;
  ::sem_getvalue(sem, &v);
  ::sem_close(sem);
  return v;
}

TEST_F(HandleMounted, SnapshotStepsReportTheirOwnFailures) {
  const struct Row {
    const char* name;
    int flags;
    std::uint64_t n;  // the checkpoint given to make_snapshot
    std::string made;  // its error text
    int lock_after;    // the semaphore's value afterwards; -1: never created
  } rows[] = {
      {"no cleaner flag: refused before anything is sent", LoomFsHandle::kStatusFlags, 5,
       "lock failed: handle opened without the cleaner lock", -1},
      {"change refused, lock given back", LoomFsHandle::kSnapshotFlags, 5, "Unable to change 5 to snapshot", 1},
      {"checkpoint 0 refused by the library", LoomFsHandle::kSnapshotFlags, 0, "Unable to change 0 to snapshot", 1},
  };
  auto body = [&] {
    for (const Row& r : rows) {
      SCOPED_TRACE(r.name);
      auto handle = LoomFsHandle::open(image(), t / "mnt", r.flags);
      ASSERT_TRUE(handle) << handle.error().message();

      auto n = handle->sync();
      ASSERT_FALSE(n);
      EXPECT_EQ(n.error().kind(), K::SyncFailed);

      auto made = handle->make_snapshot(r.n);
      ASSERT_FALSE(made);
      EXPECT_EQ(made.error().message(), r.made);
      EXPECT_EQ(lock_value(image()), r.lock_after);
      EXPECT_EQ(Semaphores().size(), r.lock_after < 0 ? 0u : 1u);

      auto status = handle->status();
      ASSERT_FALSE(status);
      EXPECT_EQ(status.error(), LoomFsApiError(LoomFsApiError::System{ENOTTY}));
    }
  };
  EXPECT_TRUE(RunIsolated(table(), body));
}

// A handle that has been moved from owns nothing and says so.
TEST_F(HandleMounted, AMovedFromHandleIsNotOpen) {
  auto body = [&] {
    auto handle = LoomFsHandle::open(image(), "", LoomFsHandle::kSnapshotFlags);
    ASSERT_TRUE(handle) << handle.error().message();
    const LoomFsHandle taken = std::move(*handle);
    EXPECT_EQ(handle->sync().error().kind(), K::NotOpen);
    EXPECT_EQ(handle->make_snapshot(1).error().kind(), K::NotOpen);
    EXPECT_EQ(handle->status().error().kind(), K::NotOpen);
    EXPECT_EQ(taken.sync().error().kind(), K::SyncFailed);
  };
  EXPECT_TRUE(RunIsolated(table(), body));
}

}  // namespace
}  // namespace lmfs::loomfs
