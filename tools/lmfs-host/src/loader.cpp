#include "loader.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "lmfs_abi/layout_check.h"
#include "lmfs_abi/strcat.h"
#include "lmfs_abi/version.h"
#include "lmfs_interface/layouts.h"

namespace lmfs::host {
namespace {

using abi::cat;

// The host's globals: nothing in this host is shared with the library
// beyond the pointer itself.
struct HostGlobals {
  std::uint64_t reserved[8];
};
HostGlobals host_globals{};

// The framework's step between handing over the globals and the version
// check: compare the root module's layout graph with this host's.
std::expected<void, std::string> check_layout(const abi::LibHeader& h, const std::string& path) {
  switch (h.layout_tag) {
    case abi::kLayoutIncluded:
      if (auto r = abi::layout::check_library_layout(abi::layouts::root_module_layout(),
                                                static_cast<const abi::tl::TypeLayout*>(h.layout));
          !r) {
        return std::unexpected(cat(path, ": ", r.error()));
      }
      return {};
    case abi::kLayoutAbsent:
      std::fprintf(stderr, "lmfs-host: warning: %s does not include its type layout; the layout check was skipped\n",
                   path.c_str());
      return {};
    default:
      return std::unexpected(cat(path, " has a library header with an unknown layout tag ",
                                 static_cast<unsigned>(h.layout_tag)));
  }
}

}  // namespace

std::expected<LoadedPlugin, std::string> open_header(const std::string& path) {
  LoadedPlugin plugin;
  plugin.handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (plugin.handle == nullptr) return std::unexpected(cat("cannot load ", path, ": ", ::dlerror()));

  plugin.header = static_cast<abi::LibHeader*>(::dlsym(plugin.handle, abi::kHeaderSymbol));
  if (plugin.header == nullptr) {
    return std::unexpected(
        cat(path, " is not a storage-driver plug-in: it has no library header (", abi::kHeaderSymbol, ")"));
  }
  const abi::LibHeader& h = *plugin.header;
  if (std::memcmp(h.magic, abi::kMagic, 32) != 0) {
    return std::unexpected(cat(path, " has a library header with the wrong magic text"));
  }
  if (h.abi_major != abi::kAbiMajor || h.abi_minor != abi::kAbiMinor) {
    return std::unexpected(cat(path, " was built for plug-in ABI ", h.abi_major, ".", h.abi_minor,
                               "; this host loads ABI ", abi::kAbiMajor, ".", abi::kAbiMinor));
  }
  return plugin;
}

std::expected<LoadedPlugin, std::string> load_plugin(const std::string& path) {
  auto opened = open_header(path);
  if (!opened) return opened;
  LoadedPlugin plugin = *opened;
  abi::LibHeader& h = *plugin.header;
  if (h.c_abi_testing_fns == nullptr) return std::unexpected(cat(path, " has no C-ABI self-test"));
  if (auto t = abi::run_c_abi_tests(*h.c_abi_testing_fns); !t) return std::unexpected(cat(path, ": ", t.error()));

  h.init_globals_with(&host_globals);

  if (auto checked = check_layout(h, path); !checked) return std::unexpected(checked.error());

  auto expected = abi::parse_version(kInterfaceVersion);
  auto actual = abi::parse_version(h.version.view());
  if (!actual) return std::unexpected(cat(path, ": invalid version text: ", actual.error()));
  if (!abi::library_compatible(*expected, *actual)) {
    return std::unexpected(cat(path, " implements interface version ", h.version.view(), ", incompatible with ",
                               kInterfaceVersion));
  }

  // Build the root module once, under the header's own lock.
  std::atomic_ref<const void*> slot(h.module);
  if (slot.load(std::memory_order_acquire) == nullptr) {
    const auto& lock = h.lock_vtable.get();
    lock.lock(&h.lock_state);
    std::string failure;
    if (slot.load(std::memory_order_acquire) == nullptr) {
      abi::RootModuleResult r = h.constructor();
      if (r.is_ok()) {
        slot.store(r.payload.ok, std::memory_order_release);
      } else {
        failure = "the library's root-module constructor failed";
      }
    }
    lock.unlock(&h.lock_state);
    if (!failure.empty()) return std::unexpected(cat(path, ": ", failure));
  }
  plugin.root_module = static_cast<const abi::StorageDriverMod*>(slot.load(std::memory_order_acquire));
  if ((plugin.root_module->metadata.field_accessibility & abi::kStorageDriverModMask) == 0) {
    return std::unexpected(cat(path, ": the root module has no `new`"));
  }
  return plugin;
}

}  // namespace lmfs::host
