// A stand-in loomfs through its whole life, on a loop device and on an image
// file: format, mount, files, checkpoints, unmount, mount again.
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace lmfs::standin::testing {
namespace {

enum class Backing { Loop, File };

// An image and, for Backing::Loop, a loop device over it; device() is what
// the tools are given.
class Device {
 public:
  Device(Backing backing, std::uint64_t size) : image_("img", size) {
    if (backing == Backing::Loop) loop_ = std::make_unique<LoopDevice>(image_.path());
    if (loop_ && !loop_->attached()) ADD_FAILURE() << loop_->error();
  }
  [[nodiscard]] std::string device() const { return loop_ ? loop_->path() : image_.path(); }
  [[nodiscard]] const std::string& image() const { return image_.path(); }

 private:
  Image image_;
  std::unique_ptr<LoopDevice> loop_;
};

ProcessRun mkfs(const std::string& device) {
  return run({tool("mkfs.loomfs"), "-q", "-f", "-O", "block_count", device});
}

class Lifecycle : public ::testing::TestWithParam<Backing> {};

TEST_P(Lifecycle, FilesAndCheckpointsSurviveUnmountAndMount) {
  Device dev(GetParam(), 16 << 20);
  ASSERT_FALSE(dev.device().empty());
  ASSERT_EQ(mkfs(dev.device()).exit_status, 0);
  const std::string dir = make_dir("mnt");
  std::uint64_t first = 0, second = 0;
  {
    Mount m(dev.device(), dir);
    ASSERT_TRUE(m.ok()) << m.result().err;
    const auto shown = shown_lines_for(dir);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].starts_with(dev.device() + " " + dir + " loomfs rw,")) << shown[0];

    std::filesystem::create_directory(dir + "/notes");
    ASSERT_TRUE(write_file(dir + "/notes/draft", "first words\n"));
    std::filesystem::rename(dir + "/notes/draft", dir + "/notes/kept");
    ASSERT_TRUE(write_file(dir + "/gone", "x"));
    std::filesystem::remove(dir + "/gone");
    std::filesystem::create_symlink("notes/kept", dir + "/link");
    EXPECT_EQ(read_file(dir + "/link"), "first words\n");

    auto a = sync_fs(dir);
    auto b = sync_fs(dir);
    ASSERT_TRUE(a.has_value() && b.has_value());
    first = *a;
    second = *b;
    EXPECT_GE(first, 1u);
    EXPECT_GT(second, first);
    EXPECT_TRUE(change_mode(dir, first, 1).has_value());
    // Written after the last checkpoint: must reach the device at unmount.
    ASSERT_TRUE(write_file(dir + "/notes/late", "after the checkpoints"));

    const ProcessRun r = m.unmount();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(shown_lines_for(dir).empty());
  }
  Mount again(dev.device(), dir);
  ASSERT_TRUE(again.ok()) << again.result().err;
  EXPECT_EQ(read_file(dir + "/notes/kept"), "first words\n");
  EXPECT_EQ(read_file(dir + "/notes/late"), "after the checkpoints");
  EXPECT_FALSE(std::filesystem::exists(dir + "/gone"));
  EXPECT_FALSE(std::filesystem::exists(dir + "/notes/draft"));
  EXPECT_EQ(std::filesystem::read_symlink(dir + "/link"), "notes/kept");
  auto status = get_status(dir);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->checkpoint, second);
  EXPECT_EQ(status->snapshots, 1u);
  EXPECT_TRUE(change_mode(dir, second, 1).has_value());
  EXPECT_EQ(sync_fs(dir).value_or(0), second + 1);
}

// As the plug-in unmounts: through sudo, by the tool's bare name, which only
// the namespace's /usr/local/sbin provides once sudo has reset PATH.
TEST_P(Lifecycle, UnmountsThroughSudo) {
  Device dev(GetParam(), 1 << 20);
  ASSERT_EQ(mkfs(dev.device()).exit_status, 0);
  const std::string dir = make_dir("mnt");
  Mount m(dev.device(), dir);
  ASSERT_TRUE(m.ok()) << m.result().err;
  const ProcessRun r = run({"sudo", "umount.loomfs", dev.device()});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(shown_lines_for(dir).empty());
  EXPECT_EQ(run({"sudo", tool("umount.loomfs"), dev.device()}).exit_status, 32);
}

// A damaged primary superblock leaves the secondary copy in charge.
TEST_P(Lifecycle, MountsThroughTheSecondarySuperblock) {
  Device dev(GetParam(), 1 << 20);
  ASSERT_EQ(mkfs(dev.device()).exit_status, 0);
  const int fd = ::open(dev.image().c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string zeros(1024, '\0');
  ASSERT_EQ(::pwrite(fd, zeros.data(), zeros.size(), 1024), 1024);
  ASSERT_EQ(::fsync(fd), 0);
  ::close(fd);
  Mount m(dev.device(), make_dir("mnt"));
  EXPECT_TRUE(m.ok()) << m.result().err;
}

INSTANTIATE_TEST_SUITE_P(Backings, Lifecycle, ::testing::Values(Backing::Loop, Backing::File),
                         [](const auto& info) {
                           return info.param == Backing::Loop ? "LoopDevice" : "ImageFile";
                         });

TEST(FileSystem, RefusesWritesBeyondItsSpaceAndKeepsWhatFits) {
  Image image("img", 128 * 1024);
  ASSERT_EQ(mkfs(image.path()).exit_status, 0);
  const std::string dir = make_dir("mnt");
  Mount m(image.path(), dir);
  ASSERT_TRUE(m.ok()) << m.result().err;
  const int fd = ::open((dir + "/big").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  const std::string chunk(16 * 1024, 'b');
  ssize_t n = 0;
  int written = 0;
  while ((n = ::write(fd, chunk.data(), chunk.size())) > 0) ++written;
  EXPECT_EQ(errno, ENOSPC);
  ::close(fd);
  EXPECT_GT(written, 0);
  ASSERT_TRUE(sync_fs(dir).has_value());
  ASSERT_EQ(m.unmount().exit_status, 0);
  Mount again(image.path(), dir);
  ASSERT_TRUE(again.ok()) << again.result().err;
  EXPECT_EQ(std::filesystem::file_size(dir + "/big"),
            static_cast<std::uintmax_t>(written) * chunk.size());
}

TEST(FileSystem, DirectoryRulesHold) {
  Image image("img", 1 << 20);
  ASSERT_EQ(mkfs(image.path()).exit_status, 0);
  const std::string dir = make_dir("mnt");
  Mount m(image.path(), dir);
  ASSERT_TRUE(m.ok()) << m.result().err;
  ASSERT_EQ(::mkdir((dir + "/a").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir + "/a/b").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(dir + "/a/b/f", "f"));
  EXPECT_EQ(::rmdir((dir + "/a").c_str()), -1);
  EXPECT_EQ(errno, ENOTEMPTY);
  EXPECT_EQ(::rename((dir + "/a").c_str(), (dir + "/a/b/c").c_str()), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(::mkdir((dir + "/a").c_str(), 0755), -1);
  EXPECT_EQ(errno, EEXIST);
  ASSERT_EQ(::rename((dir + "/a/b").c_str(), (dir + "/b").c_str()), 0);
  struct stat st {};
  ASSERT_EQ(::stat((dir + "/a").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 4u);  // ".", "..", a/.., b/..
  ASSERT_EQ(::link((dir + "/b/f").c_str(), (dir + "/f2").c_str()), 0);
  ASSERT_EQ(::stat((dir + "/f2").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "f2"}));
}

}  // namespace
}  // namespace lmfs::standin::testing
