// The mount lookup on crafted mount tables.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "loomfs_internal.h"
#include "support.h"

namespace loomfs_test {
namespace {

struct Found {
  int rc = -1;
  int err = 0;
  std::string devpath, mntdir;
};

Found Lookup(const std::string& table, const char* dev, const char* dir, const char* opt = "rw") {
  FILE* f = tmpfile();
  EXPECT_NE(f, nullptr);
  fwrite(table.data(), 1, table.size(), f);
  rewind(f);
  loomfs fs{nullptr, nullptr, nullptr, -1, -1, nullptr};
  Found out;
  errno = 0;
  out.rc = loomfs_find_fs_in(&fs, f, dev, dir, opt);
  out.err = errno;
  if (out.rc == 0) {
    out.devpath = fs.n_devpath;
    out.mntdir = fs.n_mntdir;
  }
  free(fs.n_devpath);
  free(fs.n_mntdir);
  fclose(f);
  return out;
}

void ExpectMatch(const Found& f, const std::string& devpath, const std::string& mntdir) {
  ASSERT_EQ(f.rc, 0) << std::strerror(f.err);
  EXPECT_EQ(f.devpath, devpath);
  EXPECT_EQ(f.mntdir, mntdir);
}

void ExpectNoMatch(const Found& f) {
  EXPECT_EQ(f.rc, -1) << f.devpath << " " << f.mntdir;
  EXPECT_EQ(f.err, ENOENT);
}

class FindFs : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"mnt/a", "mnt/b", "mnt/c", "with blank", "dev/by-id"}) MakeDirs(t / d);
    write_file(t / "dev/img", "");
    write_file(t / "dev/img2", "");
    MakeLink("../img", t / "dev/by-id/x");
    MakeLink("mnt/b", t / "link-to-b");
  }
  std::string Line(const std::string& dev, const std::string& dir, const std::string& type,
                   const std::string& opts) const {
    return dev + " " + dir + " " + type + " " + opts + " 0 0\n";
  }
  TempDir t;
};

TEST_F(FindFs, MatchesTypeDirectoryDeviceAndToken) {
  const std::string img = t / "dev/img", img2 = t / "dev/img2";
  const std::string table = Line("proc", "/proc", "proc", "rw,nosuid") +
                            Line(img, t / "mnt/a", "ext4", "rw") +              // another type
                            Line(img, t / "mnt/a", "loomfs", "ro,relatime") +   // read-only
                            Line(img, t / "mnt/a", "LOOMFS", "rw") +            // type is exact
                            Line(img2, t / "mnt/b", "loomfs", "rwx,r,noatime") +  // no token "rw"
                            Line(img2, t / "mnt/b", "loomfs", "noatime,rw") +
                            Line(img, t / "mnt/c", "loomfs", "rw") +
                            Line(img, t / "mnt/c", "loomfs", "rw,second");
  struct Row {
    const char *dev, *dir, *opt;
    std::string want_dev, want_dir;  // empty: ENOENT
  };
  const std::string a = t / "mnt/a", b = t / "mnt/b", c = t / "mnt/c", x = t / "dev/by-id/x";
  const std::string link_b = t / "link-to-b", b_slash = t / "mnt/./b/";
  const Row rows[] = {
      {nullptr, nullptr, "rw", img2, b},
      {nullptr, nullptr, "ro", img, a},
      {nullptr, nullptr, "r", img2, b},
      {nullptr, nullptr, "rwx", img2, b},
      {nullptr, a.c_str(), "rw", "", ""},
      {nullptr, a.c_str(), "ro", img, a},
      {img.c_str(), nullptr, "rw", img, c},  // first match wins
      {x.c_str(), nullptr, "rw", img, c},    // caller names the device through a link
      {img2.c_str(), c.c_str(), "rw", "", ""},
      {nullptr, link_b.c_str(), "rw", img2, b},
      {img2.c_str(), b_slash.c_str(), "rw", img2, b},
      {"/dev/none", nullptr, "rw", "", ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << (r.dev ? r.dev : "-") << " " << (r.dir ? r.dir : "-") << " " << r.opt);
    Found f = Lookup(table, r.dev, r.dir, r.opt);
    if (r.want_dev.empty())
      ExpectNoMatch(f);
    else
      ExpectMatch(f, r.want_dev, r.want_dir);
  }
  ExpectNoMatch(Lookup(Line("/dev/sda", "/", "ext4", "rw"), nullptr, nullptr));
  ExpectNoMatch(Lookup("", nullptr, nullptr));
}

// The handle gets the table's text, not a canonical form and not the caller's.
// Escapes in the table are not decoded, and names that do not resolve compare as written.
TEST_F(FindFs, ComparesCanonicalNamesAndStoresTheTableText) {
  const std::string odd_dev = t.path() + "/dev/./img", odd_dir = t.path() + "//mnt/a/";
  const std::string escaped = t.path() + "/with\\040blank";
  const std::string with_blank = t / "with blank", img = t / "dev/img", x = t / "dev/by-id/x";
  const std::string a = t / "mnt/a";
  struct Row {
    std::string line;
    const char *dev, *dir;
    bool match;
  } rows[] = {
      {Line(odd_dev, odd_dir, "loomfs", "rw"), x.c_str(), a.c_str(), true},
      {Line(img, escaped, "loomfs", "rw"), nullptr, with_blank.c_str(), false},
      {Line(img, escaped, "loomfs", "rw"), nullptr, escaped.c_str(), true},
      {Line(img, escaped, "loomfs", "rw"), nullptr, nullptr, true},
      {Line("/nonexistent/dev", "/", "loomfs", "rw"), "/nonexistent/dev", nullptr, true},
      {Line("/nonexistent/dev", "/", "loomfs", "rw"), "/nonexistent//dev", nullptr, false},
      {Line("tmpfs", "/", "loomfs", "rw"), "tmpfs", nullptr, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    Found f = Lookup(r.line, r.dev, r.dir);
    if (!r.match) {
      ExpectNoMatch(f);
      continue;
    }
    std::string line = r.line;
    ExpectMatch(f, line.substr(0, line.find(' ')), line.substr(line.find(' ') + 1, line.find(" loomfs") - line.find(' ') - 1));
  }
}

// Short lines and every piece of an over-long line are passed over; the
// lookup goes on with the next line.
TEST_F(FindFs, SkipsMalformedLines) {
  const std::string good = "/dev/good /mnt/good loomfs rw 0 0\n";
  const std::string bad = "/dev/bad /mnt/bad loomfs rw 0 0";
  auto padded = [](std::string line, size_t length) {  // leading blanks up to `length` characters
    return std::string(length - line.size(), ' ') + line;
  };
  auto trailing = [](std::string line, size_t length) {  // trailing blanks up to `length` characters
    return line + std::string(length - line.size(), ' ');
  };
  struct Row {
    const char* name;
    std::string table;
    bool match;
  } rows[] = {
      {"five fields", "/dev/bad /mnt/bad loomfs rw 0\n" + good, true},
      {"three fields at the end", "/dev/bad /mnt/bad loomfs", false},
      {"blank lines", "\n  \n\t\r\n" + good, true},
      {"tail of a long line", std::string(2047, 'x') + " " + bad + "\n" + good, true},
      {"only a long line", std::string(2047, 'x') + " " + bad + "\n", false},
      {"three pieces", std::string(4094, 'x') + " " + bad + "\n" + good, true},
      {"long line, no newline", std::string(3000, 'x') + " " + bad, false},
      {"2047 characters", padded(bad, 2047) + "\n", true},
      {"2047 characters, no newline", padded(bad, 2047), true},
      {"2048 characters", padded(bad, 2048) + "\n", false},
      {"2048 characters then good", padded(bad, 2048) + "\n" + good, true},
      {"2047 characters, blanks last", trailing(bad, 2047) + "\n", true},
      {"2048 characters, blanks last", trailing(bad, 2048) + "\n", false},
      {"no final newline", good.substr(0, good.size() - 1), true},
      {"other white space", "/dev/good\t/mnt/good\v\vloomfs\frw\r0 0\n", true},
      {"seven fields", "/dev/bad /mnt/bad loomfs rw 0 0 extra\n" + good, true},
      {"seven fields alone", "/dev/bad /mnt/bad loomfs rw 0 0 extra\n", false},
      // A user's FUSE mount whose source name holds vertical tabs, which the
      // kernel does not escape: its line splits into a loomfs line that
      // names the real device and the user's own folder.
      {"forged by a source name", "/dev/good\v/home/u/m\vloomfs\vrw\v0 /home/u/m fuse.x rw,nosuid 0 0\n" + good,
       true},
      {"forged, alone", "/dev/bad\v/mnt/bad\vloomfs\vrw\v0 /home/u/m fuse.x rw,nosuid 0 0\n", false},
      {"NUL inside", std::string("/dev/bad /mnt/bad loomfs\0 rw 0 0\n", 33) + good, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Found f = Lookup(r.table, nullptr, nullptr);
    if (r.match)
      ExpectMatch(f, r.table.find("/dev/good") != std::string::npos ? "/dev/good" : "/dev/bad",
                  r.table.find("/dev/good") != std::string::npos ? "/mnt/good" : "/mnt/bad");
    else
      ExpectNoMatch(f);
  }
}

TEST_F(FindFs, ReplacesTheHandlesNamesOnlyOnAMatch) {
  loomfs fs{nullptr, strdup("old-dev"), strdup("old-dir"), -1, -1, nullptr};
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  fputs("/dev/x /mnt/x loomfs ro 0 0\n", f);
  rewind(f);
  EXPECT_EQ(loomfs_find_fs_in(&fs, f, nullptr, nullptr, "rw"), -1);
  EXPECT_STREQ(fs.n_devpath, "old-dev");
  EXPECT_STREQ(fs.n_mntdir, "old-dir");
  rewind(f);
  EXPECT_EQ(loomfs_find_fs_in(&fs, f, nullptr, nullptr, "ro"), 0);
  EXPECT_STREQ(fs.n_devpath, "/dev/x");
  EXPECT_STREQ(fs.n_mntdir, "/mnt/x");
  fclose(f);
  free(fs.n_devpath);
  free(fs.n_mntdir);
}

}  // namespace
}  // namespace loomfs_test
