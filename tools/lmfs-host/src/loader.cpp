#include "loader.h"

#include <dlfcn.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "layout_check.h"
#include "lmfs_storage_driver/layouts.h"
#include "strcat.h"

namespace lmfs::host {
namespace {

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
      if (auto r = layout::check_library_layout(abi::layouts::root_module_layout(),
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

std::expected<void, std::string> run_c_abi_tests(const abi::CAbiTestingFns& f) {
  std::string failures;
  auto check = [&](const char* what, std::uint64_t expected, std::uint64_t found) {
    if (expected != found) failures += cat(what, ": expected ", hex(expected), ", found ", hex(found), "; ");
  };
  for (std::uint32_t n : {0x1u, 0x5u}) {
    const auto r = f.ret_pair_a(n);
    check("ret_pair_a", n & 0xFFFF, r.a);
    check("take_pair_a", n, f.take_pair_a(r));
  }
  for (std::uint32_t n : {0x1'0000u, 0x5'0000u}) {
    const auto r = f.ret_pair_b(n);
    check("ret_pair_b", n >> 16, r.a);
    check("take_pair_b", n, f.take_pair_b(r));
  }
  for (std::uint64_t n : {0x1'0001'0000ull, 0x1'0005'0000ull, 0x7'0001'0000ull, 0x7'0003'0000ull}) {
    const auto r = f.ret_triple_a(n);
    check("ret_triple_a", (n >> 16) & 0xFFFF, r.a);
    check("take_triple_a", n, f.take_triple_a(r));
  }
  for (std::uint64_t n : {0x1'0000'0001ull, 0x1'0000'0005ull, 0x7'0000'0001ull, 0x7'0000'0003ull}) {
    const auto r = f.ret_triple_b(n);
    check("ret_triple_b", n & 0xFFFF, r.a);
    check("take_triple_b", n, f.take_triple_b(r));
  }
  for (std::uint64_t n : {0x1'0001ull, 0x1'0005ull, 0x7'0001ull, 0x7'0003ull}) {
    const auto r = f.ret_triple_c(n);
    check("ret_triple_c", n & 0xFFFF, r.a);
    check("take_triple_c", n, f.take_triple_c(r));
  }
  for (std::uint64_t n : {0x1'0000'0005'0000ull, 0xF'0000'000A'0000ull}) {
    const auto r = f.ret_2_pairs_a(n);
    check("ret_2_pairs_a", (n >> 16) & 0xFFFF, r.a);
    check("take_2_pairs_a", n, f.take_2_pairs_a({r.a}, {r.b}));
  }
  for (std::uint64_t n : {0x0'0007'0000'0003ull, 0x0'0002'0000'000Bull}) {
    const auto r = f.ret_2_pairs_b(n);
    check("ret_2_pairs_b", n & 0xFFFF, r.a);
    check("take_2_pairs_b", n, f.take_2_pairs_b({r.a}, {r.b}));
  }
  for (std::uint64_t n : {0x0ull, 0x1ull, 0x2'0003ull, 0x4'0005'0006ull, 0x7'0008'0009'000Aull}) {
    check("mixed_units", n,
          f.mixed_units(static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(n >> 16),
                        static_cast<std::uint16_t>(n >> 32), static_cast<std::uint16_t>(n >> 48)));
  }
  if (!failures.empty()) return std::unexpected("the library's C calling convention differs: " + failures);
  return {};
}

std::expected<Version, std::string> parse_version(std::string_view text) {
  Version v;
  unsigned long* parts[] = {&v.major, &v.minor, &v.patch};
  const char* p = text.data();
  const char* end = text.data() + text.size();
  for (int i = 0; i < 3; ++i) {
    auto [next, ec] = std::from_chars(p, end, *parts[i]);
    if (ec != std::errc{}) return std::unexpected(cat("invalid version text \"", text, "\""));
    p = next;
    if (i < 2) {
      if (p == end || *p != '.') return std::unexpected(cat("invalid version text \"", text, "\""));
      ++p;
    }
  }
  return v;
}

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
  if (auto t = run_c_abi_tests(*h.c_abi_testing_fns); !t) return std::unexpected(cat(path, ": ", t.error()));

  h.init_globals_with(&host_globals);

  if (auto checked = check_layout(h, path); !checked) return std::unexpected(checked.error());

  auto expected = parse_version(kInterfaceVersion);
  auto actual = parse_version(h.version.view());
  if (!actual) return std::unexpected(cat(path, ": ", actual.error()));
  if (expected->major != actual->major || (expected->major == 0 && expected->minor > actual->minor)) {
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
