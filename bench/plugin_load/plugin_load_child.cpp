// One measured load, in a process of its own: plugin_load_child PLUGIN
// [--layout-cleared] loads PLUGIN as lmfs-host does (header checks, C-ABI
// self-test, globals, the layout check, the root module), creates a driver
// with `new` and runs the first operation (`root`), then prints the
// nanoseconds from dlopen to the end of `root` on standard output.
// --layout-cleared clears the header's layout tag before loading, which is
// what a library without layout data costs.
//
// It is linked with the C++ runtime inside (-static-libstdc++), so that,
// like a host that is no C++ program (a Rust one), its process has no
// libstdc++.so.6 mapped before the plug-in comes: a plug-in that needs it
// pays for loading it. (libgcc_s.so.1 is there, as in a Rust host.)
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "loader.h"

namespace {

using namespace lmfs;

constexpr char kParams[] = R"({"bin_dir":"","media":{"inner":[]},"root":"/nonexistent/lmfs-bench"})";

long long load_and_first_operation(const char* path, bool clear_layout) {
  const auto start = std::chrono::steady_clock::now();
  if (clear_layout) {
    void* h = ::dlopen(path, RTLD_LAZY | RTLD_LOCAL);
    if (h == nullptr) return -1;
    auto* header = static_cast<abi::LibHeader*>(::dlsym(h, abi::kHeaderSymbol));
    if (header == nullptr) return -1;
    header->layout_tag = abi::kLayoutAbsent;
  }
  auto loaded = host::load_plugin(path);
  if (!loaded) {
    std::fprintf(stderr, "plugin_load_child: %s\n", loaded.error().message().c_str());
    return -1;
  }
  abi::RawValueBox params{abi::own_string(kParams)};
  abi::NewResult made = loaded->root_module->fields.new_(params);
  if (made.tag != abi::kROk) return -1;
  auto& obj = made.payload.ok.obj;
  abi::PathBufOption root = obj.vtable.get().root(obj.ptr.data);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  if (root.is_some()) abi::release(root.value);
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
}

}  // namespace

int main(int argc, char** argv) {
  const bool clear_layout = argc == 3 && std::strcmp(argv[2], "--layout-cleared") == 0;
  if (argc != 2 && !clear_layout) {
    std::fputs("usage: plugin_load_child PLUGIN [--layout-cleared]\n", stderr);
    return 2;
  }
  const long long ns = load_and_first_operation(argv[1], clear_layout);
  if (ns < 0) return 1;
  std::printf("%lld\n", ns);
  return 0;
}
