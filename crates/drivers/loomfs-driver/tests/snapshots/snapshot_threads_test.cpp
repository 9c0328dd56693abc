// One host, one driver object, eight threads: 200 rounds of take_snapshot
// mixed with every other operation a host may call with shared access, all
// threads released together (lmfs-host --threads). Every snapshot must be
// taken once, reported once in one intact line and be on the file system; the
// other answers must be the ones a single thread gets; no change-mode may
// arrive outside the lock; nothing may be left open.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>

#include "snap_env.h"

namespace lmfs::snaptest {
namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 200;

// The shared-access operations of one round, take_snapshot first.
const std::vector<std::string> kRound = {
    "take_snapshot", "next_snapshot", "last_snapshot", "root",          "at_root data/x", "stores",
    "debug",         "debug_alt",     "edge_snapshot", "full_snapshot", "snapshot /x true"};

struct Tagged {
  std::string op;
  int thread = -1;
  std::string rest;  // the line without its op, thread and seq
};

// {"op":"x","thread":T,"seq":N,...} taken apart.
std::optional<Tagged> untag(const std::string& line) {
  static const std::regex form(R"re(^\{"op":"([a-z_]+)","thread":([0-9]+),"seq":[0-9]+,(.*)$)re");
  std::smatch m;
  if (!std::regex_match(line, m, form)) return std::nullopt;
  return Tagged{m[1], std::stoi(m[2]), m[3]};
}

// The answer a line gives without its op: `"result":"Ok",...}`.
std::string answer_of(const std::string& line) { return line.substr(line.find(',') + 1); }

TEST(SnapshotThreads, EightThreadsShareOneObjectAndLoseNothing) {
  if (!in_lmfs_env()) GTEST_SKIP() << "needs root: runs inside lmfs-env on loop devices";
  Store s;
  ASSERT_TRUE(s.ready());
  const std::string& mnt = s.mount_dir();
  ASSERT_TRUE(s.format_and_mount());

  // The single-threaded answers of the operations that do not change with
  // the checkpoint number (an attach that finds the store mounted chooses it
  // all the same, as after a successful one).
  std::vector<std::string> once = {"attach_stores", mnt, s.attach()};
  for (const char* op : {"root", "stores", "debug", "debug_alt", "edge_snapshot", "full_snapshot"}) once.push_back(op);
  for (const char* w : {"at_root", "data/x", "snapshot", "/x", "true"}) once.push_back(w);
  auto single = run_host_args(s.host_args(once));
  ASSERT_EQ(single.lines.size(), 10u) << single.err;
  std::map<std::string, std::string> expected;
  for (std::size_t i = 2; i < single.lines.size(); ++i) {
    const std::string& line = single.lines[i];
    const std::string op = line.substr(7, line.find('"', 7) - 7);
    expected[op] = answer_of(line);
  }

  const std::string script = env_dir() + "/threads-script";
  {
    std::ofstream out(script);
    out << "attach_stores " << mnt << " " << s.attach() << "\n";
    for (int r = 0; r < kRounds; ++r)
      for (const std::string& op : kRound) out << op << "\n";
  }
  auto before = get_status(mnt);
  ASSERT_TRUE(before.has_value());
  Process host = start_host({plugin_path(), "--params", s.params(), "--script", script, "--threads",
                             std::to_string(kThreads), "--resources"});
  ASSERT_TRUE(host.wait_for(240s)) << "lmfs-host still running: " << host.lines().size() << " lines";
  EXPECT_EQ(host.exit_status(), 0) << host.err();
  const auto lines = host.lines();
  ASSERT_EQ(lines.size(), 2u + kThreads * kRounds * kRound.size() + 1) << host.err();

  std::set<std::uint64_t> ids;
  std::map<int, int> per_thread;
  for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
    const auto t = untag(lines[i]);
    ASSERT_TRUE(t.has_value()) << "a broken line: " << lines[i];
    ++per_thread[t->thread];
    if (t->op == "take_snapshot") {
      static const std::regex ok(R"re(^"result":"Ok","snapshot":\{"id":"([0-9]+)","timestamp":0,"metadata":null\}\}$)re");
      std::smatch m;
      ASSERT_TRUE(std::regex_match(t->rest, m, ok)) << lines[i];
      EXPECT_TRUE(ids.insert(std::stoull(m[1])).second) << "id " << m[1] << " handed out twice";
    } else if (t->op == "next_snapshot" || t->op == "last_snapshot") {
      EXPECT_TRUE(t->rest.starts_with(R"("result":"Ok","snapshot":{"id":")")) << lines[i];
    } else {
      EXPECT_EQ(t->rest, expected.at(t->op)) << lines[i];
    }
  }
  for (int th = 1; th <= kThreads; ++th) EXPECT_EQ(per_thread[th], kRounds * static_cast<int>(kRound.size()));
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kThreads * kRounds));

  // One intact report line per snapshot.
  std::multiset<std::string> reported;
  for (const std::string& line : split_lines(host.err())) {
    if (line.find("Snap shot") != std::string::npos) reported.insert(line);
  }
  std::multiset<std::string> wanted;
  for (std::uint64_t id : ids) wanted.insert(report(id));
  EXPECT_EQ(reported, wanted);

  const auto after = get_status(mnt);
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->snapshots - before->snapshots, static_cast<std::uint64_t>(kThreads * kRounds));
  EXPECT_EQ(after->violations, 0u);
  EXPECT_TRUE(s.violation_log().empty());
  EXPECT_EQ(s.lock_value(), 1);
  EXPECT_EQ(lines.back(), R"({"op":"resources","descriptors":[],"mappings":[],"children":0})");
}

}  // namespace
}  // namespace lmfs::snaptest
