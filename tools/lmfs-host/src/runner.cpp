#include "runner.h"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <fstream>
#include <cstdio>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>

#include "lmfs_base/unique.h"
#include "lmfs_text/strcat.h"
#include "lmfs_text/text.h"

namespace lmfs::host {
namespace {

using text::cat;

std::mutex out_mutex;

// One whole line on standard output, never mixed with another thread's.
void print_line(const std::string& line) {
  std::lock_guard guard(out_mutex);
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void echo(const Op& op) {
  std::string shown = "> " + op.name;
  for (const auto& a : op.args) shown += " " + lmfs::text::lossy_utf8(a);
  print_line(shown);
}

// The result line with the thread and sequence number after the operation's
// name: {"op":"x","thread":2,"seq":7,...}.
std::string tagged(const std::string& line, unsigned thread, std::size_t seq) {
  const std::size_t after_op = line.find(',');
  const std::string tag = cat("\"thread\":", thread, ",\"seq\":", seq, ",");
  if (after_op == std::string::npos) return line;
  return line.substr(0, after_op + 1) + tag + line.substr(after_op + 1);
}

// Every thread runs `section` whole; they start together.
void run_section(DriverObject& object, const std::vector<const Op*>& section, unsigned threads,
                 std::vector<std::size_t>& seq) {
  std::barrier start(static_cast<std::ptrdiff_t>(threads));
  std::vector<std::jthread> workers;
  workers.reserve(threads);
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      start.arrive_and_wait();
      for (const Op* op : section) print_line(tagged(object.run(*op), t + 1, ++seq[t + 1]));
    });
  }
}

// What this process holds of the system: its descriptors (with what they
// refer to) and its file mappings.
struct Resources {
  std::set<std::string> descriptors;
  std::set<std::string> mappings;
};

Resources resources_now() {
  Resources r;
  if (const base::UniqueDir dir(::opendir("/proc/self/fd")); dir) {
    const int own = ::dirfd(dir.get());
    const std::string own_name = std::to_string(own);
    while (const dirent* e = ::readdir(dir.get())) {
      if (e->d_name[0] == '.' || e->d_name == own_name) continue;
      char target[4096];
      const ssize_t n = ::readlinkat(own, e->d_name, target, sizeof target - 1);
      r.descriptors.insert(cat(e->d_name, " ", n > 0 ? std::string_view(target, static_cast<std::size_t>(n)) : "?"));
    }
  }
  // File-backed mappings only: the allocator's anonymous ones come and go.
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    const std::size_t path = line.find('/');
    if (path != std::string::npos) r.mappings.insert(line.substr(path));
  }
  return r;
}

std::string json_list(const std::set<std::string>& items) {
  std::string out = "[";
  for (const std::string& item : items) out += cat(out.size() > 1 ? "," : "", text::json_string(item));
  return out + "]";
}

std::string resources_line(const Resources& before) {
  const Resources after = resources_now();
  std::set<std::string> fds, maps;
  for (const auto& d : after.descriptors)
    if (!before.descriptors.contains(d)) fds.insert(d);
  for (const auto& m : after.mappings)
    if (!before.mappings.contains(m)) maps.insert(m);
  const int children = children_left();
  return cat("{\"op\":\"resources\",\"descriptors\":", json_list(fds), ",\"mappings\":", json_list(maps),
             ",\"children\":", children, "}");
}

void run_all(DriverObject& object, const std::vector<Op>& ops, const RunOptions& options);

}  // namespace

int children_left() {
  // The kernel lists each thread's children, running or ended.
  int children = 0;
  if (const base::UniqueDir tasks(::opendir("/proc/self/task")); tasks) {
    while (const dirent* e = ::readdir(tasks.get())) {
      if (e->d_name[0] == '.') continue;
      std::ifstream list(cat("/proc/self/task/", e->d_name, "/children"));
      for (long pid = 0; list >> pid;) ++children;
    }
  }
  int status = 0;
  int ended = 0;
  while (::waitpid(-1, &status, WNOHANG) > 0) ++ended;
  return std::max(children, ended);  // the list may be missing: the ended ones at least
}

void run_script(DriverObject& object, const std::vector<Op>& ops, const RunOptions& options) {
  const Resources before = options.resources ? resources_now() : Resources{};
  run_all(object, ops, options);
  if (options.resources) print_line(resources_line(before));
}

bool takes_shared_access(const Op& op) {
  const Operation* operation = find_operation(op.name);
  return operation != nullptr && operation->access == Access::Shared;
}

namespace {

void run_all(DriverObject& object, const std::vector<Op>& ops, const RunOptions& options) {
  if (options.threads <= 1) {
    for (const Op& op : ops) {
      if (options.echo) echo(op);
      print_line(object.run(op));
    }
    return;
  }
  std::vector<std::size_t> seq(options.threads + 1, 0);  // [0]: this thread
  std::vector<const Op*> section;
  const auto flush = [&] {
    if (section.empty()) return;
    if (options.echo) {
      for (const Op* op : section) echo(*op);
    }
    run_section(object, section, options.threads, seq);  // returns when every thread is done
    section.clear();
  };
  for (const Op& op : ops) {
    if (takes_shared_access(op)) {
      section.push_back(&op);
      continue;
    }
    flush();
    if (options.echo) echo(op);
    // Alone, with exclusive access, on this thread: thread 0.
    print_line(tagged(object.run(op), 0, ++seq[0]));
  }
  flush();
}

}  // namespace
}  // namespace lmfs::host
