// The fake tool: one program that plays any tool a test wants to control
// (the file system's mkfs, mount and umount above all). A test copies it
// under the tool's name and says what its runs do; each run of the copy at
// PATH appends a record of itself to PATH.log, then follows PATH.do line by
// line and exits with 0 at its end (see fake_tool/main.cpp for the formats).
// The actions are
//   stdout TEXT | stderr TEXT   write TEXT and a newline to that stream
//   sleep MS                    sleep MS milliseconds
//   exit N                      exit with N
//   signal N                    die of signal N (without a core file)
#pragma once

#include <string>
#include <vector>

#include "lmfs_testing/files.h"

namespace lmfs::testing {

// One recorded run of a fake tool.
struct ToolRun {
  std::vector<std::string> argv;  // argument zero first
  std::string fds;                // its open descriptors as it started: "0 1 2"
  std::string parent;             // the name of the process that started it
  std::string parent_fds;         // that process's open descriptors
  std::string siblings;           // "PID:STATE ..." of that process's other children
  std::string ignored_signals;    // its ignored and blocked signals as it started, as
  std::string blocked_signals;    // /proc/PID/status shows them ("0000000000000000")
};

class FakeTool {
 public:
  // A copy at DIR/NAME, with `actions` for its runs.
  FakeTool(const TempDir& dir, const std::string& name, const std::vector<std::string>& actions = {});

  [[nodiscard]] const std::string& path() const { return path_; }
  // Replaces what the next runs do.
  void act(const std::vector<std::string>& actions) const;
  // Every run so far, in order; forget() starts the record afresh.
  [[nodiscard]] std::vector<ToolRun> runs() const;
  void forget() const;

  [[nodiscard]] bool ran() const { return !runs().empty(); }
  // Of the last run: its arguments and its descriptors (empty if none ran).
  [[nodiscard]] std::vector<std::string> argv() const;
  [[nodiscard]] std::string fds() const;

 private:
  std::string path_;
};

}  // namespace lmfs::testing
