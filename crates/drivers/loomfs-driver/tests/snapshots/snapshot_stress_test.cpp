// Eight hosts take 200 snapshots each on one mounted store, all at once. The
// stand-in daemon checks every change-mode request against the cleaner lock
// (and against other changes in progress); none may arrive outside it, no
// snapshot may be lost, and the whole run must end.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <set>

#include "snap_env.h"

namespace lmfs::snaptest {
namespace {

constexpr int kHosts = 8;
constexpr int kSnapshotsEach = 200;
constexpr auto kLimit = 150s;

// The id of a successful take_snapshot line.
std::optional<std::uint64_t> taken_id(const std::string& line) {
  const std::string_view head = R"({"op":"take_snapshot","result":"Ok","snapshot":{"id":")";
  const std::string_view tail = R"(","timestamp":0,"metadata":null}})";
  if (!line.starts_with(head) || !line.ends_with(tail) || line.size() == head.size() + tail.size()) {
    return std::nullopt;
  }
  const std::string digits = line.substr(head.size(), line.size() - head.size() - tail.size());
  if (digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return std::stoull(digits);
}

TEST(SnapshotStress, EightHostsAtOnceChangeModesOnlyUnderTheLockAndLoseNothing) {
  if (!in_lmfs_env()) {
    GTEST_SKIP() << "needs root: runs inside lmfs-env on loop devices";
  }
  Store s;
  ASSERT_TRUE(s.ready());
  const std::string& mnt = s.mount_dir();
  ASSERT_TRUE(s.format_and_mount());

  // Each host chooses the store with an attach that finds it already mounted:
  // the attach fails, but the driver has recorded the device and the mount
  // directory, as after a successful one.
  const std::string script = env_dir() + "/stress-script";
  {
    std::ofstream out(script);
    out << "attach_stores " << mnt << " " << s.attach() << "\n";
    for (int i = 0; i < kSnapshotsEach; ++i) out << "take_snapshot\n";
  }

  const auto start = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<Process>> hosts;
  for (int h = 0; h < kHosts; ++h) {
    hosts.push_back(std::make_unique<Process>(start_host({plugin_path(), "--params", s.params(), "--script", script})));
  }
  bool hung = false;
  for (auto& h : hosts) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(start + kLimit -
                                                                            std::chrono::steady_clock::now());
    if (!h->wait_for(std::max(left, 0ms))) hung = true;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (hung) {
    std::string stuck;
    for (auto& h : hosts) {
      if (h->running()) stuck += " " + std::to_string(h->pid()) + " (" + std::to_string(h->lines().size()) + " lines)";
    }
    for (auto& h : hosts) h->kill();
    FAIL() << "hosts still running after " << kLimit.count() << " s:" << stuck;
  }
  std::printf("%d snapshots by %d hosts in %.2f s\n", kHosts * kSnapshotsEach, kHosts, seconds);
  RecordProperty("seconds", std::to_string(seconds));

  std::set<std::uint64_t> ids;
  std::size_t total = 0;
  for (int h = 0; h < kHosts; ++h) {
    SCOPED_TRACE("host " + std::to_string(h));
    EXPECT_EQ(hosts[h]->exit_status(), 0);
    const auto lines = hosts[h]->lines();
    ASSERT_EQ(lines.size(), 2u + kSnapshotsEach) << hosts[h]->err();
    std::vector<std::string> reported;
    std::uint64_t previous = 0;
    for (std::size_t i = 2; i < lines.size(); ++i) {
      const auto id = taken_id(lines[i]);
      ASSERT_TRUE(id.has_value()) << lines[i];
      EXPECT_GT(*id, previous) << "numbers go up within one host";
      previous = *id;
      ids.insert(*id);
      reported.push_back(report(*id));
      ++total;
    }
    EXPECT_EQ(report_lines(hosts[h]->err()), reported);
  }
  EXPECT_EQ(total, static_cast<std::size_t>(kHosts * kSnapshotsEach));
  EXPECT_EQ(ids.size(), total) << "an id was handed out twice";
  if (!ids.empty()) {
    EXPECT_EQ(*ids.begin(), 1u);
    EXPECT_EQ(*ids.rbegin(), static_cast<std::uint64_t>(kHosts * kSnapshotsEach)) << "no gaps";
  }

  const auto st = get_status(mnt);
  ASSERT_TRUE(st.has_value());
  EXPECT_EQ(st->checkpoint, static_cast<std::uint64_t>(kHosts * kSnapshotsEach));
  EXPECT_EQ(st->snapshots, static_cast<std::uint64_t>(kHosts * kSnapshotsEach)) << "every checkpoint is a snapshot";
  // The daemon logs each violation; the first few say what went wrong.
  const auto log = s.violation_log();
  std::string first_lines;
  for (std::size_t i = 0; i < std::min<std::size_t>(log.size(), 5); ++i) first_lines += "\n" + log[i];
  EXPECT_EQ(st->violations, 0u) << first_lines;
  EXPECT_EQ(log.size(), 0u) << first_lines;
  EXPECT_EQ(s.lock_value(), 1);
}

}  // namespace
}  // namespace lmfs::snaptest
