// The trusted-path judge on trees made for it: each thing another user could
// change on the way to a program or a device is refused and named, what only
// root and the effective user control passes, and the path that comes back
// is the one judged (absolute, links resolved).
#include "lmfs_path_safety/trusted_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "lmfs_testing/files.h"
#include "lmfs_testing/other_user.h"
#include "lmfs_testing/scoped_env.h"

namespace lmfs::path_safety {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
namespace fs = std::filesystem;

using testing::kOtherUser;

void program(const std::string& path, mode_t mode = 0755) {
  ASSERT_TRUE(testing::write_file(path, "#!/bin/sh\n"));
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}
void folder(const std::string& path, mode_t mode = 0755) {
  fs::create_directories(path);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}
void owned_by_other(const std::string& path) { ASSERT_EQ(::lchown(path.c_str(), kOtherUser, kOtherUser), 0); }

// Changes the working folder for one scope.
class InFolder {
 public:
  explicit InFolder(const std::string& dir) : old_(fs::current_path()) { fs::current_path(dir); }
  ~InFolder() { fs::current_path(old_); }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  fs::path old_;
};

class TrustedPath : public ::testing::Test {
 protected:
  void SetUp() override {
    folder(t / "bin");
    program(t / "bin/tool");
  }
  // Refusals that need another user's files need root to make them.
  static bool root() { return ::geteuid() == 0; }
  TempDir t;
};

TEST_F(TrustedPath, RefusesWhatAnotherUserCouldChange) {
  struct Row {
    const char* name;
    std::function<void(const TempDir&)> make;
    std::string judged;  // relative to the temporary folder
    std::string refused;
    std::string what;
    std::string reason;
    bool needs_root;
  } rows[] = {
      {"folder writable by others", [](const TempDir& t) { folder(t / "bin", 0777); }, "bin/tool", "bin", "folder",
       "is writable by its group or others (mode 0777", false},
      {"folder writable by its group", [](const TempDir& t) { folder(t / "bin", 0775); }, "bin/tool", "bin", "folder",
       "is writable by its group or others (mode 0775", false},
      {"program writable by others", [](const TempDir& t) { program(t / "bin/tool", 0757); }, "bin/tool",
       "bin/tool", "file", "is writable by its group or others (mode 0757", false},
      {"a sticky folder is no excuse for the program",
       [](const TempDir& t) {
         folder(t / "bin", 01777);
         program(t / "bin/tool", 0777);
       },
       "bin/tool", "bin/tool", "file", "is writable by its group or others (mode 0777", true},
      {"folder of another user", [](const TempDir& t) { owned_by_other(t / "bin"); }, "bin/tool", "bin", "folder",
       "is owned by uid 61234", true},
      {"sticky folder of another user",
       [](const TempDir& t) {
         folder(t / "bin", 01777);
         owned_by_other(t / "bin");
       },
       "bin/tool", "bin", "folder", "is owned by uid 61234", true},
      {"program of another user", [](const TempDir& t) { owned_by_other(t / "bin/tool"); }, "bin/tool", "bin/tool",
       "file", "is owned by uid 61234", true},
      {"link of another user",
       [](const TempDir& t) {
         fs::create_directory_symlink("bin", t / "link");
         owned_by_other(t / "link");
       },
       "link/tool", "link", "symbolic link", "is owned by uid 61234", true},
      {"link into a folder others may write",
       [](const TempDir& t) {
         folder(t / "open", 0777);
         folder(t / "open/bin");
         program(t / "open/bin/tool");
         fs::create_directory_symlink("open/bin", t / "link");
       },
       "link/tool", "open", "folder", "is writable by its group or others", false},
      {"\"..\" does not climb out of the judgement",
       [](const TempDir& t) {
         folder(t / "open", 0777);
         folder(t / "open/x");
       },
       "open/x/../../bin/tool", "open", "folder", "is writable by its group or others", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.needs_root && !root()) continue;
    TempDir t;
    folder(t / "bin");
    program(t / "bin/tool");
    r.make(t);
    auto judged = judge_path(t / r.judged, Target::Program);
    ASSERT_FALSE(judged) << judged->path;
    EXPECT_EQ(judged.error().kind, PathRefusal::Kind::Untrusted);
    EXPECT_EQ(judged.error().path, t / r.refused);
    EXPECT_EQ(judged.error().what, r.what);
    EXPECT_TRUE(judged.error().reason.starts_with(r.reason)) << judged.error().reason;
    EXPECT_EQ(judged.error().message(), "the " + r.what + " " + t / r.refused + " " + judged.error().reason);
  }
}

TEST_F(TrustedPath, PassesWhatOnlyRootAndThisUserControl) {
  folder(t / "sticky", 01777);
  folder(t / "sticky/bin");
  program(t / "sticky/bin/tool");
  fs::create_directory_symlink(t / "bin", t / "abs-link");
  folder(t / "links");
  fs::create_symlink("../bin/tool", t / "links/rel-link");
  struct Row {
    std::string path, judged;
  } rows[] = {
      {t / "bin/tool", t / "bin/tool"},
      {t / "sticky/bin/tool", t / "sticky/bin/tool"},  // a sticky folder of root's (or ours) on the way
      {t / "abs-link/tool", t / "bin/tool"},
      {t / "links/rel-link", t / "bin/tool"},
      {t / "bin/./tool", t / "bin/tool"},
      {t.path() + "//bin/x/../tool", ""},  // "x" does not exist: ENOENT, as the kernel says
  };
  if (!root()) rows[1].judged = "";  // the sticky folder is this user's, not root's: refused
  for (const Row& r : rows) {
    SCOPED_TRACE(r.path);
    auto judged = judge_path(r.path, Target::Program);
    if (r.judged.empty()) {
      EXPECT_FALSE(judged);
      continue;
    }
    ASSERT_TRUE(judged) << judged.error().message();
    EXPECT_EQ(judged->path, r.judged);
    EXPECT_TRUE(S_ISREG(judged->st.st_mode));
  }
}

TEST_F(TrustedPath, RelativeNamesStartInAJudgedWorkingFolder) {
  {
    InFolder in(t.path());
    auto judged = judge_path("bin/tool", Target::Program);
    ASSERT_TRUE(judged) << judged.error().message();
    EXPECT_EQ(judged->path, t / "bin/tool");
  }
  folder(t / "open", 0777);
  folder(t / "open/bin");
  program(t / "open/bin/tool");
  InFolder in(t / "open");
  auto judged = judge_path("bin/tool", Target::Program);
  ASSERT_FALSE(judged);
  EXPECT_EQ(judged.error().path, t / "open");
}

TEST_F(TrustedPath, FailuresToFollowAreIoErrors) {
  program(t / "bin/plain", 0644);  // not executable: exec says so, not the judge
  fs::create_symlink("loop-b", t / "loop-a");
  fs::create_symlink("loop-a", t / "loop-b");
  const struct {
    std::string path;
    Target target;
    int err;
  } rows[] = {
      {t / "missing/tool", Target::Program, ENOENT},
      {t / "bin/tool/x", Target::Program, ENOTDIR},
      {t / "loop-a", Target::Program, ELOOP},
      {t / "bin", Target::Program, EACCES},
      {"", Target::Program, ENOENT},
      {std::string("/bin\0/sh", 8), Target::Program, EINVAL},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.path);
    auto judged = judge_path(r.path, r.target);
    ASSERT_FALSE(judged);
    EXPECT_EQ(judged.error().kind, PathRefusal::Kind::Io);
    EXPECT_EQ(judged.error().err, r.err);
  }
  EXPECT_TRUE(judge_path(t / "bin/plain", Target::Program));
  // A device path may end anywhere: its kind is the caller's to judge.
  auto dir = judge_path(t / "bin", Target::Device);
  ASSERT_TRUE(dir);
  EXPECT_TRUE(S_ISDIR(dir->st.st_mode));
}

// A bare name is looked for as exec*p does, empty and relative entries of
// PATH included, and the file found is judged with the way to it.
TEST_F(TrustedPath, FindsProgramsAlongPathAndJudgesTheOneFound) {
  folder(t / "open", 0777);
  program(t / "open/tool");
  folder(t / "empty");
  program(t / "bin/plain", 0644);
  struct Row {
    std::string path_env;
    std::string cwd;
    std::string found;    // empty: refused or not found
    std::string refused;  // the folder named when refused
    int err;
  } rows[] = {
      {t / "empty:" + t / "bin", "", t / "bin/tool"},
      {t / "open:" + t / "bin", "", "", t / "open"},         // the first one found decides
      {t / "bin:" + t / "open", "", t / "bin/tool"},         // one never reached does not matter
      {":" + t / "empty", t / "open", "", t / "open"},       // an empty entry is the working folder
      {"open:" + t / "bin", t.path(), "", t / "open"},       // so is a relative one, against it
      {t / "empty", "", "", "", ENOENT},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.path_env + " in " + r.cwd);
    ScopedEnv path("PATH", r.path_env);
    std::optional<InFolder> in;
    if (!r.cwd.empty()) in.emplace(r.cwd);
    auto found = find_program("tool");
    if (!r.found.empty()) {
      ASSERT_TRUE(found) << found.error().message();
      EXPECT_EQ(found->path, r.found);
    } else if (!r.refused.empty()) {
      ASSERT_FALSE(found);
      EXPECT_EQ(found.error().path, r.refused);
    } else {
      ASSERT_FALSE(found);
      EXPECT_EQ(found.error().err, r.err);
    }
  }
  ScopedEnv path("PATH", t / "bin");
  auto plain = find_program("plain");
  ASSERT_FALSE(plain);
  EXPECT_EQ(plain.error().err, EACCES);
  ScopedEnv unset("PATH", std::nullopt);
  auto sh = find_program("sh");  // the C library's default path, /bin:/usr/bin
  ASSERT_TRUE(sh) << sh.error().message();
  EXPECT_TRUE(sh->path.starts_with("/usr/bin/") || sh->path.starts_with("/bin/")) << sh->path;
}

}  // namespace
}  // namespace lmfs::path_safety
