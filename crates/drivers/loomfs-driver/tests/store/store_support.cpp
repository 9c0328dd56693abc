#include "store_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace lmfs::store_test {
namespace fs = std::filesystem;

TempDir::TempDir() {
  char name[] = "/tmp/lmfs-store-XXXXXX";
  if (::mkdtemp(name) != nullptr) path_ = name;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
}

bool on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::istringstream dirs(path);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

LoopDevice::LoopDevice(const std::string& image, unsigned long long bytes) {
  if (::geteuid() != 0) {
    error_ = "loop devices need root";
    return;
  }
  if (!on_path("losetup")) {
    error_ = "losetup is not installed";
    return;
  }
  {
    std::ofstream(image, std::ios::binary | std::ios::trunc);
  }
  std::error_code ec;
  fs::resize_file(image, bytes, ec);
  if (ec) {
    error_ = "cannot make the image " + image + ": " + ec.message();
    return;
  }
  const ProcessRun run = run_process({"losetup", "-f", "--show", image});
  std::string device = run.out;
  while (!device.empty() && device.back() == '\n') device.pop_back();
  if (run.exit_status != 0 || !device.starts_with("/dev/")) {
    error_ = "losetup -f --show " + image + " failed: " + run.err;
    return;
  }
  path_ = device;
}

LoopDevice::~LoopDevice() {
  if (!path_.empty()) (void)run_process({"losetup", "-d", path_});
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_, old_->c_str(), 1);
  } else {
    ::unsetenv(name_);
  }
}

FakeTools::FakeTools() {
  for (const char* tool : {"mkfs.loomfs", "mount.loomfs", "umount.loomfs"}) {
    const std::string copy = dir_ / tool;
    fs::copy_file(LMFS_STORE_FAKE_TOOL, copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, fs::perms::owner_all);
  }
}

void FakeTools::act(const std::string& tool, const std::vector<std::string>& actions) const {
  std::ofstream out(dir_ / (tool + ".do"), std::ios::binary | std::ios::trunc);
  for (const auto& a : actions) out << a << '\n';
}

std::vector<ToolRun> FakeTools::runs(const std::string& tool) const {
  std::vector<ToolRun> runs;
  std::istringstream log(lmfs::testing::read_file(dir_ / (tool + ".log")));
  for (std::string line; std::getline(log, line);) {
    const auto blank = line.find(' ');
    const std::string key = line.substr(0, blank);
    const std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
    if (key == "run") {
      runs.emplace_back();
      continue;
    }
    if (runs.empty()) continue;
    ToolRun& r = runs.back();
    if (key == "arg") r.argv.push_back(value);
    if (key == "fds") r.fds = value;
    if (key == "parent") r.parent = value;
    if (key == "parent-fds") r.parent_fds = value;
    if (key == "siblings") r.siblings = value;
  }
  return runs;
}

namespace json {

std::string escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string ok(const std::string& op) { return R"({"op":")" + op + R"(","result":"Ok"})"; }

std::string other(const std::string& op, const std::string& text) {
  return R"({"op":")" + op + R"(","result":"Err","error":{"variant":"Other","text":")" + escape(text) + "\"}}";
}

std::string media_error(const std::string& op, const std::string& cow, const std::string& text) {
  return R"({"op":")" + op + R"(","result":"Err","error":{"variant":"InvalidMediaType","cow":")" + cow +
         R"(","text":")" + escape(text) + "\"}}";
}

std::string no_store(const std::string& op) { return media_error(op, "Borrowed", "<none>"); }

std::string mount_point(const std::string& value) {
  return R"({"op":"detach_stores","result":"Err","error":{"variant":"InvalidParameterValue","name":"mount-point","value":")" +
         escape(value) + "\"}}";
}

std::string stores(const std::string& device) {
  return R"({"op":"stores","result":"Ok","media":[{"kind":"Block","value":")" + escape(device) + "\"}]}";
}

std::string root(const std::string& path) {
  return R"({"op":"root","result":"Some","path":")" + escape(path) + "\"}";
}

}  // namespace json

namespace trace {

constexpr const char* kAt = "[crates/drivers/loomfs-driver/src/manager:";

std::string select_block(const std::string& quoted) {
  return std::string(kAt) + "62:9] stores = StorageMedia {\n" +
         "    inner: [\n"
         "        Block(\n"
         "            ROsString {\n"
         "                inner: \"" + quoted + "\",\n"
         "            },\n"
         "        ),\n"
         "    ],\n"
         "}\n" +
         kAt + "77:9] &device = ROsString {\n" +
         "    inner: \"" + quoted + "\",\n"
         "}\n";
}

std::string mount(const std::string& quoted_root, const std::string& quoted_store) {
  return std::string(kAt) + "120:9] root = \"" + quoted_root + "\"\n" + kAt + "121:9] &self.store = " +
         (quoted_store.empty() ? std::string("None") : "Some(\n    \"" + quoted_store + "\",\n)") + "\n";
}

}  // namespace trace

std::string params(const std::string& bin_dir) {
  return R"({"bin_dir":")" + json::escape(bin_dir) + R"(","media":{"inner":[]},"root":"/"})";
}

}  // namespace lmfs::store_test
