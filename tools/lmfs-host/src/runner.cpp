#include "runner.h"

#include <barrier>
#include <cstdio>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>

#include "lmfs_abi/strcat.h"
#include "lmfs_text/text.h"

namespace lmfs::host {
namespace {

using abi::cat;

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

}  // namespace

bool takes_shared_access(const Op& op) {
  static const std::set<std::string_view> exclusive = {"init", "done", "initialize_stores", "attach_stores",
                                                       "detach_stores"};
  return !exclusive.contains(op.name);
}

void run_script(DriverObject& object, const std::vector<Op>& ops, const RunOptions& options) {
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

}  // namespace lmfs::host
