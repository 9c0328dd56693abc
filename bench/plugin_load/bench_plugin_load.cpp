// From dlopen to the first driver operation, as lmfs-host does it: load the
// library (header checks, C-ABI self-test, globals, the layout check, the
// root module), `new` with parameters, then the first operation (`root`).
//
// A library is loaded once per process, so every measured load runs in a
// fresh child process; the child times itself and prints the time (manual
// time: process creation is not counted). The same is measured with
// the header's layout tag cleared before loading, which is what a library
// without layout data costs. The layout check alone (reading both graphs and
// comparing them) is measured in process as well.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lmfs_abi/layout_check.h"
#include "lmfs_abi/layout_print.h"
#include "lmfs_abi/layout_reader.h"
#include "loader.h"
#include "lmfs_interface/layouts.h"
#include "lmfs_testing/process.h"

namespace {

using namespace lmfs;

constexpr char kParams[] = R"({"bin_dir":"","media":{"inner":[]},"root":"/nonexistent/lmfs-bench"})";

// Child: load, new, root; returns the nanoseconds it took, or -1.
long long load_and_first_operation(bool skip_layout) {
  auto start = std::chrono::steady_clock::now();
  if (skip_layout) {
    void* h = ::dlopen(LMFS_PLUGIN_PATH, RTLD_LAZY | RTLD_LOCAL);
    if (h == nullptr) return -1;
    auto* header = static_cast<abi::LibHeader*>(::dlsym(h, abi::kHeaderSymbol));
    if (header == nullptr) return -1;
    header->layout_tag = abi::kLayoutAbsent;
  }
  auto loaded = host::load_plugin(LMFS_PLUGIN_PATH);
  if (!loaded) return -1;
  abi::RawValueBox params{abi::own_string(kParams)};
  abi::NewResult made = loaded->root_module->fields.new_(params);
  if (made.tag != abi::kROk) return -1;
  auto& obj = made.payload.ok.obj;
  abi::PathBufOption root = obj.vtable.get().root(obj.ptr.data);
  auto elapsed = std::chrono::steady_clock::now() - start;
  if (root.is_some()) abi::release(root.value);
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
}

void BM_LoadToFirstOperation(benchmark::State& state) {
  const bool skip_layout = state.range(0) == 0;
  for (auto _ : state) {
    // The skipped check's warning goes to the child's standard error, unread.
    lmfs::testing::Process child = lmfs::testing::Process::fork([&] {
      std::printf("%lld\n", load_and_first_operation(skip_layout));
      return 0;
    });
    const long long ns = child.wait() == 0 ? std::atoll(child.out().c_str()) : -1;
    if (ns < 0) {
      state.SkipWithError("the child could not load the plug-in");
      break;
    }
    state.SetIterationTime(static_cast<double>(ns) * 1e-9);
  }
  state.SetLabel(skip_layout ? "layout tag cleared" : "layout checked");
}
BENCHMARK(BM_LoadToFirstOperation)->Arg(1)->Arg(0)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(300);

// The check by itself: read the library's graph and this host's, compare.
void BM_LayoutCheck(benchmark::State& state) {
  void* h = ::dlopen(LMFS_PLUGIN_PATH, RTLD_LAZY | RTLD_LOCAL);
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
BENCHMARK(BM_LayoutCheck)->Unit(benchmark::kMicrosecond);

void BM_ReadGraph(benchmark::State& state) {
  for (auto _ : state) {
    auto g = abi::layout::read_graph(abi::layouts::root_module_layout());
    benchmark::DoNotOptimize(g);
  }
}
BENCHMARK(BM_ReadGraph)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
