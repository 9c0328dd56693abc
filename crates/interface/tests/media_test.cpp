#include "lmfs_interface/media.h"

#include <gtest/gtest.h>

namespace lmfs {
namespace {

TEST(MediumText, EachKind) {
  EXPECT_EQ(medium_text(StorageMedium::block("/dev/sdb")), "/dev/sdb");
  EXPECT_EQ(medium_text(StorageMedium::block("/sdb")), "/dev/sdb");
  EXPECT_EQ(medium_text(StorageMedium::block("sdb")), "/devsdb");
  EXPECT_EQ(medium_text(StorageMedium::path("/a\xff")), "/a\xEF\xBF\xBD");
  EXPECT_EQ(medium_text(StorageMedium::urn("abc")), "urn:abc");
  EXPECT_EQ(medium_text(StorageMedium::none()), "none::");
}

TEST(MediaText, JoinedWithCommas) {
  EXPECT_EQ(media_text({}), "");
  EXPECT_EQ(media_text({{StorageMedium::block("/dev/sdb"), StorageMedium::none()}}), "/dev/sdb,none::");
}

TEST(MediaDebug, PlainAndAlternate) {
  StorageMedia m{{StorageMedium::block("/dev/sdb")}};
  EXPECT_EQ(debug_media(m, false), R"(StorageMedia { inner: [Block(ROsString { inner: "/dev/sdb" })] })");
  EXPECT_EQ(debug_media(m, true),
            "StorageMedia {\n"
            "    inner: [\n"
            "        Block(\n"
            "            ROsString {\n"
            "                inner: \"/dev/sdb\",\n"
            "            },\n"
            "        ),\n"
            "    ],\n"
            "}");
  EXPECT_EQ(debug_media({{StorageMedium::path("/d"), StorageMedium::urn("u"), StorageMedium::none()}}, false),
            R"(StorageMedia { inner: [Path(RPathBuf { inner: [47, 100] }), URN("u"), None] })");
}

}  // namespace
}  // namespace lmfs
