// From dlopen to the first driver operation, as lmfs-host does it: load the
// library (header checks, C-ABI self-test, globals, the layout check, the
// root module), `new` with parameters, then the first operation (`root`).
//
//   bench_plugin_load [BENCHMARK FLAGS] [[LABEL=]PLUGIN...]
//
// Several plug-in files can be timed side by side in one run: given on the
// command line (each optionally labelled), or in LMFS_BENCH_PLUGINS as a
// colon-separated list; without either, the plug-in of this build. Each is
// timed with its layout checked and with the header's layout tag cleared
// (what a library without layout data costs); its file size is a counter.
// With --benchmark_repetitions and --benchmark_enable_random_interleaving
// the variants take turns, so that a busy machine hurts them alike.
//
// A library is loaded once per process, so every measured load runs in a
// fresh process of plugin_load_child, which times itself and reports on a
// pipe (process creation is not counted). That child has no libstdc++.so.6
// of its own, as a Rust host has none: a plug-in that needs it pays for it.
//
// The layout check alone (reading both graphs and comparing them) is
// measured in process, on the first plug-in.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lmfs_abi_host/layout_check.h"
#include "lmfs_abi_host/layout_print.h"
#include "lmfs_abi_host/layout_reader.h"
#include "lmfs_interface/layouts.h"
#include "loader.h"

extern char** environ;

namespace {

using namespace lmfs;

struct Plugin {
  std::string label;
  std::string path;
};

// Runs the child on `path`; its nanoseconds, or -1.
long long timed_load(const std::string& path, bool clear_layout) {
  int out[2];
  if (::pipe(out) != 0) return -1;
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  ::posix_spawn_file_actions_addclose(&actions, out[0]);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);  // the skipped check's warning
  std::vector<char*> args = {const_cast<char*>(LMFS_LOAD_CHILD), const_cast<char*>(path.c_str())};
  if (clear_layout) args.push_back(const_cast<char*>("--layout-cleared"));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, LMFS_LOAD_CHILD, &actions, nullptr, args.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string text;
  char buf[64];
  for (ssize_t n; spawned == 0 && (n = ::read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  ::close(out[0]);
  if (spawned != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) return -1;
  return std::strtoll(text.c_str(), nullptr, 10);
}

void BM_LoadToFirstOperation(benchmark::State& state, const Plugin& plugin, bool clear_layout) {
  for (auto _ : state) {
    const long long ns = timed_load(plugin.path, clear_layout);
    if (ns < 0) {
      state.SkipWithError(("the child could not load " + plugin.path).c_str());
      break;
    }
    state.SetIterationTime(static_cast<double>(ns) * 1e-9);
  }
  struct stat st{};
  if (::stat(plugin.path.c_str(), &st) == 0) state.counters["file_KiB"] = static_cast<double>(st.st_size) / 1024.0;
  state.SetLabel(clear_layout ? "layout tag cleared" : "layout checked");
}

// The check by itself: read the library's graph and this host's, compare.
void BM_LayoutCheck(benchmark::State& state, const Plugin& plugin) {
  void* h = ::dlopen(plugin.path.c_str(), RTLD_LAZY | RTLD_LOCAL);
  auto* header = h ? static_cast<abi::LibHeader*>(::dlsym(h, abi::kHeaderSymbol)) : nullptr;
  if (header == nullptr) {
    state.SkipWithError("cannot open the plug-in");
    return;
  }
  const auto* library_root = static_cast<const abi::tl::TypeLayout*>(header->layout);
  for (auto _ : state) {
    auto result = abi::layout::check_library_layout(abi::layouts::root_module_layout(), library_root);
    if (!result) state.SkipWithError("the layouts differ");
    benchmark::DoNotOptimize(result);
  }
}

void BM_ReadGraph(benchmark::State& state) {
  for (auto _ : state) {
    auto g = abi::layout::read_graph(abi::layouts::root_module_layout());
    benchmark::DoNotOptimize(g);
  }
}

// "LABEL=PATH" or "PATH" (labelled by its position).
Plugin plugin_arg(const std::string& arg, std::size_t index) {
  const std::size_t eq = arg.find('=');
  if (eq != std::string::npos && arg.find('/') > eq) return {arg.substr(0, eq), arg.substr(eq + 1)};
  return {"plugin" + std::to_string(index + 1), arg};
}

std::vector<Plugin> plugins_from(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    if (const char* list = std::getenv("LMFS_BENCH_PLUGINS"); list != nullptr && *list != '\0') {
      std::string rest = list;
      for (std::size_t colon; (colon = rest.find(':')) != std::string::npos; rest.erase(0, colon + 1)) {
        if (colon > 0) args.push_back(rest.substr(0, colon));
      }
      if (!rest.empty()) args.push_back(rest);
    }
  }
  std::vector<Plugin> plugins;
  for (std::size_t i = 0; i < args.size(); ++i) plugins.push_back(plugin_arg(args[i], i));
  if (plugins.empty()) plugins.push_back({"this build", LMFS_PLUGIN_PATH});
  return plugins;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);  // takes the --benchmark_* flags out
  static const std::vector<Plugin> plugins = plugins_from(argc, argv);
  for (const Plugin& p : plugins) {
    for (const bool clear : {false, true}) {
      const std::string name = "BM_LoadToFirstOperation/" + p.label + (clear ? "/layout_cleared" : "/layout_checked");
      benchmark::RegisterBenchmark(name.c_str(), BM_LoadToFirstOperation, p, clear)
          ->UseManualTime()
          ->Unit(benchmark::kMicrosecond)
          ->Iterations(300);
    }
  }
  benchmark::RegisterBenchmark("BM_LayoutCheck", BM_LayoutCheck, plugins.front())->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("BM_ReadGraph", BM_ReadGraph)->Unit(benchmark::kMicrosecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
