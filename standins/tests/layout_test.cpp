// The on-disk pieces and the shown mount table, without any device.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "image.h"
#include "layout.h"
#include "mount_table.h"

namespace lmfs::standin {
namespace {

Image sample_image() {
  Image image = fresh_image(0, 0, timespec{100, 5});
  image.last_checkpoint = 9;
  image.snapshots = {2, 7};
  image.next_ino = 5;
  image.nodes.push_back(NodeRecord{2, S_IFDIR | 0700, 1, 1, 2, {}, {}, {}, ""});
  image.nodes.push_back(
      NodeRecord{3, S_IFREG | 0644, 1, 1, 2, {}, {1, 2}, {}, std::string("hello\0world", 11)});
  image.nodes.push_back(NodeRecord{4, S_IFLNK | 0777, 0, 0, 1, {}, {}, {}, "../target"});
  image.entries = {{1, 2, "dir"}, {2, 3, "file"}, {1, 3, "hard link"}, {1, 4, "link"}};
  return image;
}

TEST(Image, RoundTripsEveryField) {
  const Image in = sample_image();
  auto out = decode_image(encode_image(in));
  ASSERT_TRUE(out.has_value()) << out.error().message();
  EXPECT_EQ(out->last_checkpoint, 9u);
  EXPECT_EQ(out->snapshots, (std::vector<std::uint64_t>{2, 7}));
  EXPECT_EQ(out->next_ino, 5u);
  ASSERT_EQ(out->nodes.size(), 4u);
  EXPECT_EQ(out->nodes[2].data, in.nodes[2].data);
  EXPECT_EQ(out->nodes[2].mtime.tv_nsec, 2);
  EXPECT_EQ(out->nodes[3].mode, S_IFLNK | 0777u);
  ASSERT_EQ(out->entries.size(), 4u);
  EXPECT_EQ(out->entries[2].name, "hard link");
}

// A torn or short image must be refused, never read past its end.
TEST(Image, RefusesEveryTruncation) {
  const std::vector<std::uint8_t> bytes = encode_image(sample_image());
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_FALSE(decode_image(std::span(bytes).first(n)).has_value());
  }
}

TEST(Image, RefusesInconsistentTrees) {
  struct Case {
    const char* what;
    void (*spoil)(Image&);
  };
  const Case cases[] = {
      {"entry to a missing inode", [](Image& i) { i.entries[0].child = 99; }},
      {"entry in a file", [](Image& i) { i.entries[0].dir = 3; }},
      {"duplicate name", [](Image& i) { i.entries[3].name = "dir"; }},
      {"name with a slash", [](Image& i) { i.entries[3].name = "a/b"; }},
      {"dot name", [](Image& i) { i.entries[3].name = ".."; }},
      {"no root", [](Image& i) { i.nodes[0].mode = S_IFREG | 0644; }},
      {"inode beyond next_ino", [](Image& i) { i.next_ino = 4; }},
      {"snapshot beyond last checkpoint", [](Image& i) { i.snapshots.push_back(10); }},
      {"snapshot 0", [](Image& i) { i.snapshots.insert(i.snapshots.begin(), 0); }},
      {"unsorted snapshots", [](Image& i) { std::swap(i.snapshots[0], i.snapshots[1]); }},
      {"device node", [](Image& i) { i.nodes[2].mode = S_IFCHR | 0600; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Image image = sample_image();
    c.spoil(image);
    EXPECT_FALSE(decode_image(encode_image(image)).has_value());
  }
}

// The facts every reader of the superblock checks, for a spread of sizes.
TEST(Superblock, PlannedCopiesPassTheReadersChecks) {
  for (std::uint64_t size : {kMinDeviceBytes, kMinDeviceBytes + 4095, std::uint64_t{16} << 20,
                             (std::uint64_t{1} << 30) + 1234, std::uint64_t{1} << 40}) {
    SCOPED_TRACE(size);
    auto sb = plan_superblock(size, 42);
    ASSERT_TRUE(sb.has_value());
    const auto copy = sb->encode();
    EXPECT_TRUE(check_copy(copy, false, size).has_value());
    EXPECT_TRUE(check_copy(copy, true, size).has_value());
    EXPECT_EQ(get_le64(copy, 272), 0u);
    // Both slots lie between the primary copy and the secondary one.
    EXPECT_GE(sb->slot_offset(0), kSuperblockOffset + kSuperblockSize);
    EXPECT_LE(sb->slot_offset(1) + sb->slot_bytes(), secondary_offset(size));
    EXPECT_GE(sb->slot_bytes(), 16u * 1024);
  }
}

TEST(Superblock, RefusesSmallDevices) {
  auto sb = plan_superblock(kMinDeviceBytes - 1, 1);
  ASSERT_FALSE(sb.has_value());
  EXPECT_NE(sb.error().what.find("too small"), std::string::npos);
}

TEST(Superblock, ExtentRuleAppliesToTheSecondaryCopyOnly) {
  auto sb = plan_superblock(std::uint64_t{16} << 20, 1);
  ASSERT_TRUE(sb.has_value());
  sb->slot_units *= 3;
  const auto copy = sb->encode();
  EXPECT_TRUE(check_copy(copy, false, std::uint64_t{16} << 20).has_value());
  EXPECT_FALSE(check_copy(copy, true, std::uint64_t{16} << 20).has_value());
}

TEST(MountTable, ShowsStandinLinesAsLoomfsAndKeepsOthers) {
  const std::string kernel =
      "proc /proc proc rw,nosuid,nodev,noexec,relatime 0 0\n"
      "/dev/loop3 /mnt/a\\040b fuse.loomfs rw,nosuid,nodev,relatime,user_id=0,group_id=0,"
      "default_permissions,allow_other 0 0\n"
      "/dev/loop4 /mnt/c fuse.loomfs ro,relatime,user_id=0,group_id=0 0 0\n"
      "/dev/sda1 / ext4 rw,relatime 0 0\n";
  EXPECT_EQ(render_shown_table(parse_mount_table(kernel)),
            "proc /proc proc rw,nosuid,nodev,noexec,relatime 0 0\n"
            "/dev/loop3 /mnt/a\\040b loomfs "
            "rw,nosuid,nodev,relatime,order=relaxed,nogc,barrier,discard 0 0\n"
            "/dev/loop4 /mnt/c loomfs ro,relatime,order=relaxed,nogc,barrier,discard 0 0\n"
            "/dev/sda1 / ext4 rw,relatime 0 0\n");
}

TEST(MountTable, FindsADevicesMountsByItsUnescapedName) {
  const auto table = parse_mount_table(
      "/img/a\\040b /m1 fuse.loomfs rw 0 0\n"
      "/img/a\\040b /m2 ext4 rw 0 0\n"
      "/img/c /m3 fuse.loomfs rw 0 0\n"
      "short line\n");
  const auto found = mounts_of_device(table, "/img/a b");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].dir, "/m1");
  EXPECT_EQ(unescape_field("/x\\040y\\134z\\0"), "/x y\\z\\0");
}

}  // namespace
}  // namespace lmfs::standin
