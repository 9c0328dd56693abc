// loomfs_canon_path on real directory trees.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loomfs.h"
#include "support.h"

namespace loomfs_test {
namespace {

struct Result {
  bool ok;
  std::string name;  // when ok
  int error;         // when not
};

Result Canon(const std::string& path, int size = 4098) {
  // Guard bytes after the buffer catch writes beyond `size`.
  std::vector<char> buf(static_cast<size_t>(size) + 64, '\x5a');
  errno = 0;
  const char* r = loomfs_canon_path(path.c_str(), buf.data(), size);
  for (size_t i = static_cast<size_t>(size); i < buf.size(); ++i)
    if (buf[i] != '\x5a') ADD_FAILURE() << "byte " << i << " written beyond a buffer of " << size;
  if (r == nullptr) return {false, {}, errno};
  EXPECT_EQ(r, buf.data());
  return {true, r, 0};
}

void ExpectName(const std::string& path, const std::string& want, int size = 4098) {
  SCOPED_TRACE(path);
  Result r = Canon(path, size);
  ASSERT_TRUE(r.ok) << std::strerror(r.error);
  EXPECT_EQ(r.name, want);
}

void ExpectError(const std::string& path, int want, int size = 4098) {
  SCOPED_TRACE(path);
  Result r = Canon(path, size);
  ASSERT_FALSE(r.ok) << r.name;
  EXPECT_EQ(r.error, want) << std::strerror(r.error);
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

class CanonPath : public testing::Test {
 protected:
  void SetUp() override {
    MakeDirs(t / "a/b/c");
    MakeDirs(t / "...");
    MakeDirs(t / "dev/disk/by-id");
    MakeDirs(t / (".hidden"));
    write_file(t / "dev/sdb", "");
    write_file(t / "file", "");
    MakeLink("a/b", t / "rel");               // relative target
    MakeLink(t / "a", t / "abs");             // absolute target
    MakeLink("rel", t / "chain");             // link to a link
    MakeLink("../../sdb", t / "dev/disk/by-id/x");
    MakeLink("../a/b", t / "a/up");           // target climbs out of the link's directory
    MakeLink("/", t / "root");
    MakeLink("missing", t / "dangling");
    MakeLink("loop2", t / "loop1");
    MakeLink("loop1", t / "loop2");
  }
  TempDir t;
};

TEST_F(CanonPath, ResolvesDotsSlashesAndLinks) {
  const std::string T = t.path();
  struct Row {
    std::string in, want;
  } rows[] = {
      {"/", "/"},
      {"/..", "/"},
      {"//../..//.", "/"},
      {T + "/a/./b//c/", T + "/a/b/c"},
      {T + "/a/b/../../a/", T + "/a"},
      {T + "/...", T + "/..."},
      {T + "/.hidden/..", T},
      {T + "/rel", T + "/a/b"},
      {T + "/rel/c", T + "/a/b/c"},            // link in the middle of a name
      {T + "/abs/b/c/", T + "/a/b/c"},
      {T + "/chain/c", T + "/a/b/c"},
      {T + "/rel/..", T + "/a"},                // ".." applies to the link's target, not its name
      {T + "/a/up/c", T + "/a/b/c"},
      {T + "/dev/disk/by-id/x", T + "/dev/sdb"},
      {T + "/root", "/"},
      {T + "/root/" + T.substr(1) + "/abs", T + "/a"},
  };
  for (const Row& row : rows) ExpectName(row.in, row.want);
}

TEST_F(CanonPath, RelativeNamesStartAtTheWorkingDirectory) {
  const std::string T = t.path();
  CwdGuard cwd(T + "/dev");
  ExpectName("sdb", T + "/dev/sdb");
  ExpectName("disk/by-id/x", T + "/dev/sdb");
  ExpectName("", T + "/dev");
  ExpectName(".", T + "/dev");
  ExpectName("../a/./b/", T + "/a/b");
  CwdGuard root("/");
  ExpectName("..", "/");
}

TEST_F(CanonPath, ReportsTheFailingComponent) {
  const std::string T = t.path();
  struct Row {
    std::string in;
    int err;
  } rows[] = {
      {T + "/a/missing/b", ENOENT},
      {T + "/dangling", ENOENT},
      {T + "/file/x", ENOTDIR},
      {T + "/loop1", ELOOP},
  };
  for (const Row& row : rows) ExpectError(row.in, row.err);
}

// Every component examined counts, links and the names their targets bring
// in included; "." and ".." do not.  The 34th fails even without links.
TEST_F(CanonPath, ExaminesAtMost33Components) {
  MakeDirs(t / Repeat("d/", 40));
  MakeLink("d/d/d", t / "jump");
  CwdGuard cwd(t.path());
  ExpectName(Repeat("d/", 33), t / Repeat("d/", 32) + "d");
  ExpectError(Repeat("d/", 34), ELOOP);
  ExpectError(Repeat("d/", 33) + "missing", ELOOP);  // counted before it is looked up
  ExpectName(Repeat("d/./", 33) + "../..", t / Repeat("d/", 30) + "d");
  ExpectName("jump/" + Repeat("d/", 29), t / Repeat("d/", 31) + "d");  // 1 + 3 + 29
  ExpectError("jump/" + Repeat("d/", 30), ELOOP);
}

TEST_F(CanonPath, StaysWithinTheBuffer) {
  const std::string name = t / "a/b";
  const int fit = static_cast<int>(name.size()) + 1;
  ExpectName(name, name, fit);
  ExpectError(name, ENAMETOOLONG, fit - 1);
  ExpectName(name + "/", name, fit);          // the trailing "/" may take the last byte
  ExpectName(name + "/c/..", name, fit + 2);
  ExpectError(name + "/c", ENAMETOOLONG, fit);
  ExpectName("/", "/", 2);
  ExpectError("/", ENAMETOOLONG, 1);
  // Length is checked before the component is looked up.
  ExpectError("/" + std::string(5000, 'x'), ENAMETOOLONG);
  ExpectError(t / std::string(4097 - t.path().size(), 'y'), ENAMETOOLONG);
  // The working directory must leave room: getcwd's own error.
  CwdGuard cwd(t / "a/b/c");
  ExpectError("x", ERANGE, static_cast<int>((t / "a/b/c").size()) + 2);
}

}  // namespace
}  // namespace loomfs_test
