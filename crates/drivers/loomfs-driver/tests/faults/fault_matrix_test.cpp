// Every C library call that an operation of the plug-in makes on its way to
// the system, made to fail in turn. For each operation (in each of its
// variants) a first run counts the calls (the census); then for each function
// called, each of its failures and each K up to its count, one lmfs-host run
// fails the K-th call of that function with that failure (fault_injector.c)
// and is judged:
//   - the host lives: exit 0 (1 when `new` fails), or, for an allocation,
//     the plug-in's deliberate end ("lmfs: out of memory", SIGABRT);
//   - where the failure cannot matter (an interrupted call taken up again, a
//     close, a diagnostic line) the answer is the one without it; elsewhere
//     Ok only when the operation really happened, otherwise Err with a text;
//   - nothing is left behind: no descriptor, mapping or child;
//   - the cleaner lock is free, unless the failure was the post itself (the
//     lock is then held, as designed, and the test gives it back);
//   - the store works: a run without faults mounts it, reads and takes a
//     snapshot and unmounts it.
// The variants lead the operations down their rarer ways: names through
// links, a tool that fails, a host without standard input and error, a
// cleaner semaphore still to be made, one that is refused. Each operation
// prints its table: per function the K reached, the runs and how they
// answered. LMFS_FAULTS_VERBOSE=1 prints every run's answer. A last case
// checks that every function the plug-in imports from the C library is
// either in the table or one that cannot fail on an operation's way.
// Built twice: with LMFS_FAULTS_FULL every K (label faults), else K = 1, 2,
// 3 and the last (label e2e).
#include <gtest/gtest.h>
#include <semaphore.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include "lmfs_abi/library.h"
#include "snap_env.h"

namespace lmfs::faults {
namespace {

using namespace lmfs::snaptest;

// The injector replaces the constructor with one of its own returning 40
// bytes in memory, as this one does.
static_assert(sizeof(abi::RootModuleResult) == 40);

struct Failure {
  int err;
  const char* name;
};
constexpr Failure kEINTR{EINTR, "EINTR"}, kEIO{EIO, "EIO"}, kEACCES{EACCES, "EACCES"}, kENOMEM{ENOMEM, "ENOMEM"},
    kEMFILE{EMFILE, "EMFILE"}, kENFILE{ENFILE, "ENFILE"}, kEINVAL{EINVAL, "EINVAL"}, kEAGAIN{EAGAIN, "EAGAIN"},
    kECHILD{ECHILD, "ECHILD"}, kENOENT{ENOENT, "ENOENT"}, kEOVERFLOW{EOVERFLOW, "EOVERFLOW"},
    kEEXIST{EEXIST, "EEXIST"}, kENOSPC{ENOSPC, "ENOSPC"}, kEPERM{EPERM, "EPERM"};

enum class Matters {
  maybe,     // Ok (when the operation was really done) or Err with a text
  never,     // the answer is the one without the failure
  or_abort,  // as maybe, or the plug-in's deliberate end for want of memory
};

// The functions the injector counts, with the ways each realistically fails.
// EINTR only where the call can be interrupted; it must always be taken up
// again.
struct Function {
  const char* name;
  std::vector<Failure> failures;
  Matters matters = Matters::maybe;
};

const std::vector<Function>& functions() {
  static const std::vector<Function> table = {
      {"open", {kEINTR, kEACCES, kEMFILE}},
      {"open64", {kEINTR, kEACCES, kEMFILE}},
      {"openat", {kEINTR, kEACCES, kEMFILE, kENOMEM}},
      {"fopen", {kEACCES, kEMFILE, kENOMEM}},
      {"fopen64", {kEACCES, kEMFILE, kENOMEM}},
      {"__uflow", {kEIO, kENOMEM}},  // getc_unlocked's refill: a read of the mount table
      {"read", {kEINTR, kEIO}},
      {"readlink", {kEACCES, kEIO}},
      {"readlinkat", {kEACCES, kEIO, kENOMEM}},
      {"stat", {kEACCES, kENOMEM}},
      {"fstat", {kEIO, kENOMEM}},
      {"fstatat", {kEACCES, kENOMEM}},
      {"faccessat", {kEACCES, kENOMEM}},
      {"lseek", {kEINVAL}},
      {"ioctl", {kEINTR, kEIO}},
      {"fcntl", {kEMFILE}},
      {"pipe2", {kEMFILE, kENFILE}},
      {"syscall", {kEAGAIN, kENOMEM}},  // SYS_clone alone: the start of a child
      {"waitpid", {kEINTR, kECHILD, kEINVAL}},
      {"linkat", {kEEXIST, kENOSPC, kEPERM}},
      {"mmap", {kENOMEM, kEAGAIN}},
      {"munmap", {kEINVAL}, Matters::never},
      {"sem_wait", {kEINTR, kEINVAL}},
      {"sem_post", {kEOVERFLOW}},
      {"nanosleep", {kEINTR}},
      {"close", {kEINTR, kEIO}, Matters::never},
      {"fclose", {kEIO}, Matters::never},
      {"write", {kEINTR, kEIO, kENOSPC}},  // a new cleaner semaphore's file
      {"write_stderr", {kEINTR, kEIO}, Matters::never},  // a diagnostic line
      {"getcwd", {kEACCES, kENOENT}},
#ifdef LMFS_FI_MALLOC
      {"malloc", {kENOMEM}, Matters::or_abort},
      {"calloc", {kENOMEM}, Matters::or_abort},
      {"realloc", {kENOMEM}, Matters::or_abort},
      {"aligned_alloc", {kENOMEM}, Matters::or_abort},
#endif
  };
  return table;
}

// What the plug-in imports from the C library and the table leaves out: none
// of it can fail on an operation's way.
const std::set<std::string>& not_failed() {
  static const std::set<std::string> names = {
      // Data.
      "environ", "__environ", "stderr", "__libc_single_threaded",
      // Cannot fail, or not in a way a caller could see.
      "abort", "__assert_fail", "__errno_location", "__tls_get_addr", "_dl_find_object", "getenv", "geteuid",
      "clock_gettime", "fegetround", "fesetround", "ferror", "free", "memchr", "memcmp", "memcpy", "memmove",
      "memset", "strchr", "strcmp", "strlen", "strncmp", "strncpy", "strspn", "snprintf", "sprintf", "strtold",
      "strerror", "strerror_r", "strerrorname_np", "gettext", "nl_langinfo", "sigfillset", "sched_yield",
      "gnu_dev_major", "gnu_dev_minor",
      // Counted under another name: a getc_unlocked that refills is __uflow.
      "getc_unlocked",
      // Fail only for want of memory, through the malloc the table has.
      "strdup",
      // Fail only on arguments the plug-in never gives: a process-shared
      // semaphore of value 1, SIG_SETMASK, the C++ runtime's own locks and keys.
      "sem_init", "pthread_sigmask", "pthread_mutex_lock", "pthread_mutex_unlock", "pthread_rwlock_rdlock",
      "pthread_rwlock_wrlock", "pthread_rwlock_unlock", "pthread_once", "pthread_getspecific",
      "pthread_setspecific",
      // The C++ runtime's start and end, and the last words before an abort.
      "__cxa_atexit", "__cxa_finalize", "__pthread_key_create", "pthread_key_create", "pthread_key_delete",
      "newlocale", "freelocale", "uselocale", "arc4random", "getentropy", "fputc", "fputs", "fwrite",
#ifndef LMFS_FI_MALLOC
      // A sanitizer's runtime owns the allocator: it is not replaced.
      "malloc", "calloc", "realloc", "aligned_alloc",
#endif
  };
  return names;
}

// What the injector wrote (see fault_injector.c).
struct Report {
  bool opened = false;
  bool closed = false;
  std::map<std::string, unsigned long> counts;
  bool injected = false;
  std::string offsets;  // " 1a2b 3c4d": where in the plug-in
  std::vector<int> left;  // descriptors left in place of standard streams
};

Report read_report(const std::string& path) {
  Report r;
  for (const std::string& line : split_lines(read_file(path))) {
    std::istringstream words(line);
    std::string kind;
    words >> kind;
    if (kind == "open") {
      r.opened = true;
    } else if (kind == "close") {
      r.closed = true;
    } else if (kind == "count") {
      std::string fn;
      unsigned long n = 0;
      words >> fn >> n;
      r.counts[fn] = n;
    } else if (kind == "left") {
      int fd = -1;
      words >> fd;
      r.left.push_back(fd);
    } else if (kind == "fail") {
      std::string fn, k, err;
      words >> fn >> k >> err;
      r.injected = true;
      std::getline(words, r.offsets);
    }
  }
  return r;
}

struct Fault {
  const Function* fn;
  unsigned long k;
  Failure failure;

  [[nodiscard]] bool harmless() const {
    return failure.err == EINTR || fn->matters == Matters::never;
  }
  [[nodiscard]] std::string text() const { return std::string(fn->name) + " #" + std::to_string(k) + " " + failure.name; }
};

// The store operations, each run after its set-up in the same host.
enum class Kind { Load, New, Initialize, Attach, Detach, Take, Next, Last };

struct Operation {
  Kind kind;
  std::string name;
  std::string variant;             // how it is given its store
  std::vector<std::string> setup;  // host operations before it, each must be Ok
  std::vector<std::string> args;
  std::string params;              // for `new`; empty: the store's
  // What the variant is for: functions its census must reach, and a part of
  // its answer without a fault.
  std::vector<std::string> reaches;
  std::string says;
  // Around each run: what the variant changes in the store's surroundings,
  // and how it is put back, right after the host ends.
  std::function<void()> before, after;
  std::string removed;         // a file removed as the operation starts
  bool std_closed = false;     // the host without standard input and error
  bool new_semaphore = false;  // the cleaner semaphore is made by the operation

  [[nodiscard]] std::string label() const { return variant.empty() ? name : name + ", " + variant; }
};

// The K values tried for a function called n times.
std::vector<unsigned long> ks(unsigned long n) {
#ifdef LMFS_FAULTS_FULL
  std::vector<unsigned long> out;
  for (unsigned long k = 1; k <= n; ++k) out.push_back(k);
  return out;
#else
  std::set<unsigned long> out;
  for (unsigned long k = 1; k <= std::min(n, 3UL); ++k) out.insert(k);
  if (n > 0) out.insert(n);
  return {out.begin(), out.end()};
#endif
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// An Err answer whose error has a text that is not empty.
bool err_with_text(const std::string& answer) {
  return contains(answer, R"("result":"Err")") && contains(answer, R"("text":")") && !contains(answer, R"("text":"")");
}

// The id of an Ok snapshot answer.
std::optional<std::uint64_t> snapshot_id(const std::string& answer) {
  const std::string key = R"("result":"Ok","snapshot":{"id":")";
  const std::size_t at = answer.find(key);
  if (at == std::string::npos) return std::nullopt;
  return std::stoull(answer.substr(at + key.size()));
}

constexpr const char* kResourcesNone = R"({"op":"resources","descriptors":[],"mappings":[],"children":0})";
constexpr const char* kOutOfMemory = "lmfs: out of memory";

struct Tally {
  unsigned long reached = 0;  // the census count
  unsigned runs = 0;
  unsigned ok = 0, err = 0, aborted = 0;  // how the runs answered
  unsigned failures = 0;
};

class Matrix : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!in_lmfs_env()) GTEST_SKIP() << "needs root: runs inside lmfs-env on loop devices";
    store_ = std::make_unique<Store>();
    ASSERT_TRUE(store_->ready());
    const Store& s = *store_;
    auto ready = run_host_args(s.host_args({"initialize_stores", s.attach(), "attach_stores", s.mount_dir(),
                                            s.attach(), "take_snapshot", "detach_stores", s.mount_dir()}));
    ASSERT_EQ(ready.lines.size(), 5u) << ready.err;
    for (const auto& line : ready.lines) ASSERT_TRUE(contains(line, R"("result":"Ok")")) << line << ready.err;
    expected_ = FsStatus{1, 1, 0};
    report_ = env_dir() + "/fault-report-" + std::to_string(::getpid());
  }

  // How the host names the store: directly, or through links (one with a
  // relative target, one with an absolute one) with a relative mount
  // directory, which the control library resolves with getcwd and readlink.
  struct Names {
    std::string variant, device, root;
  };
  std::vector<Names> names() {
    const Store& s = *store_;
    const std::string dir = env_dir();
    const std::string device_link = s.mount_dir() + ".device", dir_link = s.mount_dir() + ".dir";
    const auto target = std::filesystem::path(s.device()).lexically_relative(dir);
    EXPECT_EQ(::symlink(target.c_str(), device_link.c_str()), 0);
    EXPECT_EQ(::symlink(dir.c_str(), dir_link.c_str()), 0);
    const std::string name = s.mount_dir().substr(s.mount_dir().rfind('/') + 1);
    const std::string relative = std::filesystem::path(dir_link + "/" + name)
                                     .lexically_relative(std::filesystem::current_path())
                                     .string();
    return {{"", s.device(), s.mount_dir()}, {"through links", device_link, relative}};
  }

  // The operation of `kind` in each of its variants.
  std::vector<Operation> operations(Kind kind) {
    std::vector<Operation> out;
    if (kind == Kind::Load) {
      out.push_back({kind, "load", "", {}, {}, store_->params()});
      return out;
    }
    if (kind == Kind::New) {
      out.push_back({kind, "new", "", {}, {}, store_->params()});
      out.push_back({kind, "new", "refused parameters", {}, {},
                     R"({"bin_dir":"/usr/sbin","media":{"inner":[{"Path":{"inner":["1"]}}]},"root":"/mnt"})"});
      return out;
    }
    for (const Names& n : names()) {
      const std::vector<std::string> attach = {"attach_stores", n.root, "block:" + n.device};
      switch (kind) {
        case Kind::Initialize: out.push_back({kind, "initialize_stores", n.variant, {}, {"block:" + n.device}}); break;
        case Kind::Attach: out.push_back({kind, "attach_stores", n.variant, {}, {n.root, "block:" + n.device}}); break;
        case Kind::Detach: out.push_back({kind, "detach_stores", n.variant, attach, {n.root}}); break;
        case Kind::Take: out.push_back({kind, "take_snapshot", n.variant, attach, {}}); break;
        case Kind::Next: out.push_back({kind, "next_snapshot", n.variant, attach, {}}); break;
        case Kind::Last: out.push_back({kind, "last_snapshot", n.variant, attach, {}}); break;
        case Kind::Load:
        case Kind::New: break;
      }
    }
    const Store& s = *store_;
    if (kind == Kind::Attach) {
      out.push_back({kind, "attach_stores", "the tool fails", {}, {s.mount_dir() + "-missing", s.attach()}});
      // The report pipe then takes descriptors 0 and 2 and is moved above them.
      Operation closed{kind, "attach_stores", "the host without standard input and error", {},
                       {s.mount_dir(), s.attach()}};
      closed.std_closed = true;
      closed.reaches = {"fcntl"};
      out.push_back(std::move(closed));
    }
    if (kind == Kind::Take) {
      const std::vector<std::string> attach = {"attach_stores", s.mount_dir(), s.attach()};
      const std::string file = semaphore_file(), aside = file + ".aside", second = file + ".second";
      // The semaphore put aside, a link to it in its place.
      const auto link_in_place = [file, aside] {
        EXPECT_EQ(::rename(file.c_str(), aside.c_str()), 0) << file;
        EXPECT_EQ(::symlink(aside.c_str(), file.c_str()), 0) << file;
      };

      // The stand-in's daemon makes the semaphore when the store is mounted
      // and watches that one. Here the daemon meets a link, refuses it and
      // watches none; the link goes as the operation starts, which then
      // makes the semaphore itself.
      Operation made{kind, "take_snapshot", "a new cleaner semaphore", attach, {}};
      made.before = link_in_place;
      made.removed = file;
      made.after = [aside] { EXPECT_EQ(::unlink(aside.c_str()), 0) << aside; };
      made.new_semaphore = true;
      made.reaches = {"linkat", "mmap", "write"};
      out.push_back(std::move(made));

      Operation link{kind, "take_snapshot", "the cleaner semaphore a link", attach, {}};
      link.before = link_in_place;
      link.after = [file, aside] { EXPECT_EQ(::rename(aside.c_str(), file.c_str()), 0) << aside; };
      link.reaches = {"fstatat"};
      link.says = "refused: it is a symbolic link";
      out.push_back(std::move(link));

      // Another name given to the file may be a creation by sem_open passing:
      // it is waited for a while.
      Operation named{kind, "take_snapshot", "the cleaner semaphore with a second name", attach, {}};
      named.before = [file, second] { EXPECT_EQ(::link(file.c_str(), second.c_str()), 0) << file; };
      named.after = [second] { EXPECT_EQ(::unlink(second.c_str()), 0) << second; };
      named.reaches = {"nanosleep"};
      named.says = "refused: it has 2 names";
      out.push_back(std::move(named));
    }
    return out;
  }

  // The cleaner semaphore's file, where the C library keeps named semaphores.
  [[nodiscard]] std::string semaphore_file() const { return "/dev/shm/sem." + store_->semaphore().substr(1); }

  // lmfs-host with the injector: the set-up, then the operation, counted.
  HostRun faulted(const Operation& op, const std::optional<Fault>& fault, Report& report) {
    ::unlink(report_.c_str());
    std::vector<std::string> ops = {"--echo", "--resources"};
    if (op.kind != Kind::New && op.kind != Kind::Load) {
      ops.insert(ops.end(), op.setup.begin(), op.setup.end());
      ops.push_back(op.name);
      ops.insert(ops.end(), op.args.begin(), op.args.end());
    }
    const std::string plugin = plugin_path();
    Options options{.env = {"LMFS_FI_OP=" + op.name, "LMFS_FI_OBJECT=" + plugin.substr(plugin.rfind('/') + 1),
                            "LMFS_FI_REPORT=" + report_,
                            "LMFS_FI_HEADER=" + std::string(abi::kHeaderSymbol) + ":" +
                                std::to_string(offsetof(abi::LibHeader, constructor))},
                    .preload = LMFS_FAULT_INJECTOR,
                    .limit = 30s};
    if (fault) {
      options.env.push_back("LMFS_FI_FAIL=" + std::string(fault->fn->name) + ":" + std::to_string(fault->k) + ":" +
                            std::to_string(fault->failure.err));
    }
    if (op.std_closed) options.env.emplace_back("LMFS_FI_STD=closed");
    if (!op.removed.empty()) options.env.push_back("LMFS_FI_REMOVE=" + op.removed);
    std::vector<std::string> args = {plugin, "--params", op.params.empty() ? store_->params() : op.params};
    args.insert(args.end(), ops.begin(), ops.end());
    if (op.before) op.before();
    HostRun run = run_host_args(args, options);
    if (op.after) op.after();
    report = read_report(report_);
    return run;
  }

  // Where the fault hit, as the plug-in's source lines (when addr2line is
  // there to say).
  static std::string where(const std::string& offsets) {
    if (offsets.empty() || !on_path("addr2line")) return offsets;
    std::vector<std::string> argv = {"addr2line", "-f", "-C", "-p", "-e", plugin_path()};
    std::istringstream words(offsets);
    for (std::string w; words >> w;) argv.push_back("0x" + w);
    return "\n" + run(argv).out;
  }

  // One run, judged; the problems it showed (none: it passed). Leaves the
  // store unmounted with the lock free.
  std::vector<std::string> row(const Operation& op, const std::optional<Fault>& fault, Report& report,
                               Tally* tally = nullptr) {
    std::vector<std::string> problems;
    const auto problem = [&](const std::string& p) { problems.push_back(p); };
    const HostRun run = faulted(op, fault, report);
    Store& s = *store_;

    if (!report.opened) problem("the window never opened: the host's line for " + op.name + " was not seen");
    if (fault && !report.injected) problem("the call was not reached again: the path is not the census's");
    const bool may_abort = fault && fault->fn->matters == Matters::or_abort;
    const bool aborted = run.exit_status == 134 && contains(run.err, kOutOfMemory);

    // The answer: the line after the echo of the operation (the first line,
    // that of `new`, before any operation).
    const bool first_line = op.kind == Kind::New || op.kind == Kind::Load;
    std::string answer;
    const std::string echo = "> " + op.name;
    for (std::size_t i = 0; i < run.lines.size(); ++i) {
      if (first_line && i == 0) answer = run.lines[0];
      if (!first_line && run.lines[i].starts_with(echo) && i + 1 < run.lines.size()) answer = run.lines[i + 1];
      if (!first_line && run.lines[i].starts_with("> ") && !run.lines[i].starts_with(echo) &&
          i + 1 < run.lines.size() && !contains(run.lines[i + 1], R"("result":"Ok")")) {
        problem("set-up failed: " + run.lines[i + 1]);
      }
    }
    const std::string answer_op = op.kind == Kind::Load ? "new" : op.name;
    const bool ok = answer.starts_with(R"({"op":")" + answer_op + R"(","result":"Ok")");
    if (tally != nullptr) ++(aborted ? tally->aborted : ok ? tally->ok : tally->err);
    if (fault && std::getenv("LMFS_FAULTS_VERBOSE") != nullptr)
      std::printf("  %s: %s\n", fault->text().c_str(), aborted ? kOutOfMemory : answer.c_str());
    if (!fault) census_answer_ = answer;

    if (aborted && may_abort) {
      // The deliberate end; nothing more to look at in the host.
    } else if (op.kind == Kind::New && run.exit_status == 1 && err_with_text(answer)) {
      // `new` failed, and said why.
    } else if (run.exit_status != 0) {
      problem("lmfs-host ended with " + std::to_string(run.exit_status) + ": " + run.err.substr(0, 2000));
    } else {
      if (!ok && !err_with_text(answer)) problem("no Ok and no error text: " + answer);
      if (run.lines.empty() || run.lines.back() != kResourcesNone)
        problem("left behind: " + (run.lines.empty() ? std::string("(no line)") : run.lines.back()));
    }
    for (const int fd : report.left)
      problem("descriptor " + std::to_string(fd) + " left open in a standard stream's place");
    if (fault && fault->harmless() && !aborted) {
      const bool census_ok = contains(census_answer_, R"("result":"Ok")");
      const bool same = census_ok ? ok : answer == census_answer_;
      if (!same)
        problem("the answer changed where the failure cannot matter: " + answer + "\n  without it: " + census_answer_);
    }
    if (first_line) return problems;

    // What the operation did, when it says it did it.
    const bool mounted = s.mounted();
    if (ok && op.kind == Kind::Attach && !mounted) problem("attach_stores was Ok but nothing is mounted");
    if (ok && op.kind == Kind::Detach && mounted) problem("detach_stores was Ok but the store is still mounted");
    FsStatus before = expected_;
    if (mounted) {
      const auto now = get_status(s.mount_dir());
      if (!now) {
        problem("no status from the mounted store: errno " + std::to_string(now.error()));
      } else {
        expected_ = *now;
        if (now->violations != 0) problem("mode changes outside the cleaner lock");
        const auto id = snapshot_id(answer);
        if (ok && op.kind == Kind::Take && (!id || *id != now->checkpoint || now->snapshots != before.snapshots + 1))
          problem("take_snapshot was Ok but made no snapshot: " + answer);
        if (ok && (op.kind == Kind::Next || op.kind == Kind::Last) && (!id || *id != now->checkpoint))
          problem("the current checkpoint is " + std::to_string(now->checkpoint) + ", not " + answer);
      }
    }

    // The cleaner lock: free, or held after a failed post (given back here).
    // Where the semaphore was still to be made, a failure may leave none.
    const bool post_failed = fault && std::string(fault->fn->name) == "sem_post" && report.injected;
    const auto lock = s.lock_value();
    const bool none_made = op.new_semaphore && !ok && !lock;
    if (!none_made && lock != (post_failed ? 0 : 1))
      problem("cleaner lock value " + std::to_string(lock.value_or(-1)));
    if (post_failed && lock == 0) {
      sem_t* sem = ::sem_open(s.semaphore().c_str(), 0);
      if (sem != SEM_FAILED) {
        ::sem_post(sem);
        ::sem_close(sem);
      }
    }

    // The store still works.
    if (s.mounted()) s.unmount();
    auto after = run_host_args(s.host_args({"attach_stores", s.mount_dir(), s.attach(), "next_snapshot",
                                            "take_snapshot", "detach_stores", s.mount_dir()}),
                               {.limit = 30s});
    bool usable = after.exit_status == 0 && after.lines.size() == 5;
    for (const auto& line : after.lines) usable = usable && contains(line, R"("result":"Ok")");
    if (!usable) {
      problem("the store is not usable afterwards:\n" + ::testing::PrintToString(after.lines) + after.err);
      if (s.mounted()) s.unmount();
      return problems;
    }
    const auto next = snapshot_id(after.lines[2]);
    if (ok && op.kind == Kind::Initialize && next != 0u)
      problem("initialize_stores was Ok but the store was not formatted: " + after.lines[2]);
    if (const auto taken = snapshot_id(after.lines[3])) expected_ = FsStatus{*taken, expected_.snapshots + 1, 0};
    if (ok && op.kind == Kind::Initialize) expected_.snapshots = 1;
    return problems;
  }

  void matrix(Kind kind) {
    for (const Operation& op : operations(kind)) matrix(op);
  }

  void matrix(const Operation& op) {
    const auto start = std::chrono::steady_clock::now();
    Report census;
    const auto census_problems = row(op, std::nullopt, census);
    ASSERT_TRUE(census_problems.empty()) << op.label() << " without a fault: "
                                         << ::testing::PrintToString(census_problems);
    ASSERT_TRUE(census.closed) << op.label() << ": the window did not close";
    for (const std::string& fn : op.reaches) {
      EXPECT_TRUE(census.counts.contains(fn)) << op.label() << ": the census does not reach " << fn;
    }
    EXPECT_TRUE(contains(census_answer_, op.says)) << op.label() << ": " << census_answer_ << " says no \""
                                                   << op.says << "\"";
    for (const auto& counted : census.counts) {
      bool known = false;
      for (const Function& f : functions()) known = known || counted.first == f.name;
      EXPECT_TRUE(known) << counted.first << " is counted but not in the table";
    }

    std::map<std::string, Tally> tally;
    unsigned runs = 1;
    for (const Function& fn : functions()) {
      const auto it = census.counts.find(fn.name);
      if (it == census.counts.end()) continue;
      Tally& t = tally[fn.name];
      t.reached = it->second;
      for (const Failure& failure : fn.failures) {
        for (unsigned long k : ks(it->second)) {
          const Fault fault{&fn, k, failure};
          Report report;
          const auto problems = row(op, fault, report, &t);
          ++runs;
          ++t.runs;
          if (problems.empty()) continue;
          ++t.failures;
          ADD_FAILURE() << op.label() << ", " << fault.text() << ":\n  " << ::testing::PrintToString(problems)
                        << "\n  at" << where(report.offsets);
        }
      }
    }

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("fault matrix %s: %u runs in %.1f s\n", op.label().c_str(), runs, seconds);
    std::printf("  %-42s %7s %5s %5s %5s %5s %8s\n", "function", "reached", "runs", "Ok", "Err", "abort",
                "failures");
    for (const auto& [name, t] : tally) {
      std::printf("  %-42s %7lu %5u %5u %5u %5u %8u\n", name.c_str(), t.reached, t.runs, t.ok, t.err, t.aborted,
                  t.failures);
    }
    std::fflush(stdout);
  }

  std::unique_ptr<Store> store_;
  std::string census_answer_;  // the operation's answer without a fault
  FsStatus expected_;  // the store's status as the last row left it
  std::string report_;
};

// The two sizes go by names of their own: ctest knows a case by its name.
#ifdef LMFS_FAULTS_FULL
#define LMFS_FAULT_SUITE FaultMatrix
#define LMFS_FAULT_TABLE FaultMatrixTable
#else
#define LMFS_FAULT_SUITE FaultSample
#define LMFS_FAULT_TABLE FaultSampleTable
#endif
using LMFS_FAULT_SUITE = Matrix;

// Loading the plug-in is no operation, but the host calls into it (the
// self-test, the layout check's formatting); what fails there fails alike.
TEST_F(LMFS_FAULT_SUITE, Load) { matrix(Kind::Load); }
TEST_F(LMFS_FAULT_SUITE, New) { matrix(Kind::New); }
TEST_F(LMFS_FAULT_SUITE, InitializeStores) { matrix(Kind::Initialize); }
TEST_F(LMFS_FAULT_SUITE, AttachStores) { matrix(Kind::Attach); }
TEST_F(LMFS_FAULT_SUITE, DetachStores) { matrix(Kind::Detach); }
TEST_F(LMFS_FAULT_SUITE, TakeSnapshot) { matrix(Kind::Take); }
TEST_F(LMFS_FAULT_SUITE, NextSnapshot) { matrix(Kind::Next); }
TEST_F(LMFS_FAULT_SUITE, LastSnapshot) { matrix(Kind::Last); }

// A function the plug-in comes to call is failed here too, or known to be
// one that cannot fail on an operation's way: the table follows the code.
TEST(LMFS_FAULT_TABLE, CoversEveryImportedFunction) {
  if (!on_path("nm")) {
    GTEST_SKIP() << "needs nm (binutils)";
  }
  const ProcessRun nm = run({"nm", "-D", "--undefined-only", plugin_path()});
  ASSERT_EQ(nm.exit_status, 0) << nm.err;
  std::set<std::string> imports, missing;
  for (const std::string& line : split_lines(nm.out)) {
    const std::size_t at = line.find("@GLIBC_");  // "    U open@GLIBC_2.2.5"
    if (at == std::string::npos) continue;
    const std::size_t start = line.rfind(' ', at) + 1;
    imports.insert(line.substr(start, at - start));
  }
  ASSERT_FALSE(imports.empty()) << "nm names no import of the C library:\n" << nm.out;
  for (const std::string& name : imports) {
    bool known = not_failed().contains(name);
    for (const Function& f : functions()) known = known || name == f.name;
    if (!known) missing.insert(name);
  }
  EXPECT_TRUE(missing.empty()) << "imported from the C library, but neither failed by the matrix nor unable to fail: "
                               << ::testing::PrintToString(missing);
}

}  // namespace
}  // namespace lmfs::faults
