#include "lmfs_testing/fake_tool.h"

#include <unistd.h>

#include <filesystem>

namespace lmfs::testing {
namespace {

// An argument as the tool logs it: "\\" and "\n" stand for a backslash and a
// newline.
std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      ++i;
      out.push_back(text[i] == 'n' ? '\n' : text[i]);
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

FakeTool::FakeTool(const TempDir& dir, const std::string& name, const std::vector<std::string>& actions)
    : path_(dir / name) {
  namespace fs = std::filesystem;
  fs::copy_file(LMFS_FAKE_TOOL, path_, fs::copy_options::overwrite_existing);
  fs::permissions(path_, fs::perms::owner_all);
  act(actions);
}

void FakeTool::act(const std::vector<std::string>& actions) const {
  std::string text;
  for (const std::string& a : actions) text += a + "\n";
  write_file(path_ + ".do", text);
}

std::vector<ToolRun> FakeTool::runs() const {
  std::vector<ToolRun> runs;
  for (const std::string& line : split_lines(read_file(path_ + ".log"))) {
    const auto blank = line.find(' ');
    const std::string key = line.substr(0, blank);
    const std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
    if (key == "run") {
      runs.emplace_back();
      continue;
    }
    if (runs.empty()) continue;
    ToolRun& r = runs.back();
    if (key == "arg") r.argv.push_back(unescape(value));
    if (key == "fds") r.fds = value;
    if (key == "parent") r.parent = value;
    if (key == "parent-fds") r.parent_fds = value;
    if (key == "siblings") r.siblings = value;
    if (key == "sigign") r.ignored_signals = value;
    if (key == "sigblk") r.blocked_signals = value;
  }
  return runs;
}

void FakeTool::forget() const { ::unlink((path_ + ".log").c_str()); }

std::vector<std::string> FakeTool::argv() const {
  const auto all = runs();
  return all.empty() ? std::vector<std::string>{} : all.back().argv;
}

std::string FakeTool::fds() const {
  const auto all = runs();
  return all.empty() ? std::string() : all.back().fds;
}

}  // namespace lmfs::testing
