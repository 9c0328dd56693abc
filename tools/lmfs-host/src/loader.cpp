#include "loader.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>

#include "lmfs_abi_host/layout_check.h"
#include "lmfs_abi_host/mapped_memory.h"
#include "lmfs_base/try.h"
#include "lmfs_text/strcat.h"
#include "lmfs_abi/version.h"
#include "lmfs_interface/layouts.h"

namespace lmfs::host {
namespace {

using text::cat;
using abi::MappedMemory;
using Kind = LoadError::Kind;

// The host's globals: nothing in this host is shared with the library
// beyond the pointer itself.
struct HostGlobals {
  std::uint64_t reserved[8];
};
HostGlobals host_globals{};

// The framework's step between handing over the globals and the version
// check: compare the root module's layout graph with this host's.
std::expected<void, LoadError> check_layout(const abi::LibHeader& h, const std::string& path,
                                            const MappedMemory& memory) {
  switch (h.layout_tag) {
    case abi::kLayoutIncluded:
      if (auto r = abi::layout::check_library_layout(abi::layouts::root_module_layout(),
                                                static_cast<const abi::tl::TypeLayout*>(h.layout), memory);
          !r) {
        const bool differs = r.error().kind() == abi::layout::LayoutError::Kind::Incompatible;
        return std::unexpected(LoadError::inside(differs ? Kind::Incompatible : Kind::Damaged, path, r.error().message()));
      }
      return {};
    case abi::kLayoutAbsent:
      std::fprintf(stderr, "lmfs-host: warning: %s does not include its type layout; the layout check was skipped\n",
                   path.c_str());
      return {};
    default:
      return std::unexpected(LoadError::states(
          Kind::Damaged, path, cat("has a library header with an unknown layout tag ", static_cast<unsigned>(h.layout_tag))));
  }
}

// Loads `path` and finds its header; nothing of the header is read yet.
std::expected<LoadedPlugin, LoadError> find_header(const std::string& path) {
  LoadedPlugin plugin;
  plugin.handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (plugin.handle == nullptr) return std::unexpected(LoadError::not_loadable(path, ::dlerror()));

  plugin.header = static_cast<abi::LibHeader*>(::dlsym(plugin.handle, abi::kHeaderSymbol));
  if (plugin.header == nullptr) {
    return std::unexpected(LoadError::states(
        Kind::NotAPlugin, path, cat("is not a storage-driver plug-in: it has no library header (", abi::kHeaderSymbol, ")")));
  }
  return plugin;
}

// Where the header lies, its magic and ABI numbers.
std::expected<void, LoadError> check_header(const abi::LibHeader* header, const std::string& path,
                                            const MappedMemory& memory) {
  if (!memory.contains(header, sizeof *header)) {
    return std::unexpected(
        LoadError::states(Kind::Damaged, path, cat("has its library header ", abi::outside_readable(header, sizeof *header))));
  }
  const abi::LibHeader& h = *header;
  if (std::memcmp(h.magic, abi::kMagic, 32) != 0) {
    return std::unexpected(LoadError::states(Kind::Damaged, path, "has a library header with the wrong magic text"));
  }
  if (h.abi_major != abi::kAbiMajor || h.abi_minor != abi::kAbiMinor) {
    return std::unexpected(LoadError::states(Kind::Incompatible, path,
                                             cat("was built for plug-in ABI ", h.abi_major, ".", h.abi_minor,
                                                 "; this host loads ABI ", abi::kAbiMajor, ".", abi::kAbiMinor)));
  }
  return {};
}

}  // namespace

std::string LoadError::message() const {
  switch (form_) {
    case Form::Loader:
      return cat("cannot load ", path_, ": ", text_);
    case Form::Statement:
      return cat(path_, " ", text_);
    case Form::Inside:
      break;
  }
  return cat(path_, ": ", text_);
}

std::expected<LoadedPlugin, LoadError> open_header(const std::string& path) {
  LoadedPlugin plugin = LMFS_TRY(find_header(path));
  LMFS_TRY(check_header(plugin.header, path, MappedMemory::loaded_objects()));
  return plugin;
}

std::expected<std::string_view, std::string> header_text(const abi::RStr& text, std::string_view what,
                                                         const MappedMemory& memory) {
  if (text.len == 0) return std::string_view{};
  if (text.data == nullptr) return std::unexpected(cat("its ", what, " text is a null pointer"));
  if (text.len > kMaxHeaderText) return std::unexpected(cat("its ", what, " text is ", text.len, " bytes long"));
  if (!memory.contains(text.data, text.len)) {
    return std::unexpected(cat("its ", what, " text is ", abi::outside_readable(text.data, text.len)));
  }
  return std::string_view(text.data, text.len);
}

std::expected<std::string_view, std::string> header_text(const abi::RStr& text, std::string_view what) {
  return header_text(text, what, MappedMemory::loaded_objects());
}

namespace {

// The self-test's functions by name, in the table's order.
constexpr std::string_view kSelfTestNames[] = {
    "take_pair_a",   "take_pair_b",   "ret_pair_a",     "ret_pair_b",     "take_triple_a",
    "take_triple_b", "take_triple_c", "ret_triple_a",   "ret_triple_b",   "ret_triple_c",
    "take_2_pairs_a", "take_2_pairs_b", "ret_2_pairs_a", "ret_2_pairs_b", "mixed_units"};
static_assert(std::size(kSelfTestNames) * sizeof(void*) == sizeof(abi::CAbiTestingFns));

std::expected<void, std::string> check_self_test(const abi::CAbiTestingFns* fns, const MappedMemory& memory) {
  if (fns == nullptr) return std::unexpected(std::string("has no C-ABI self-test"));
  if (!memory.contains(fns, sizeof *fns)) {
    return std::unexpected(cat("has its C-ABI self-test ", abi::outside_readable(fns, sizeof *fns)));
  }
  void* entries[std::size(kSelfTestNames)];
  std::memcpy(&entries, fns, sizeof entries);
  for (std::size_t i = 0; i < std::size(kSelfTestNames); ++i) {
    if (entries[i] == nullptr) return std::unexpected(cat("has a C-ABI self-test without `", kSelfTestNames[i], "`"));
  }
  for (std::size_t i = 0; i < std::size(kSelfTestNames); ++i) {
    if (!memory.executable(entries[i])) {
      return std::unexpected(
          cat("has its C-ABI self-test function `", kSelfTestNames[i], "` ", abi::outside_executable(entries[i])));
    }
  }
  LMFS_TRY(abi::run_c_abi_tests(*fns));
  return {};
}

// The header's lock, as far as the loader uses it.
std::expected<const abi::MutexVTableFields*, std::string> lock_table(const abi::LibHeader& h,
                                                                      const MappedMemory& memory) {
  const abi::MutexVTable* table = h.lock_vtable.ptr;
  if (table == nullptr) return std::unexpected(std::string("has no lock table in its library header"));
  if (!memory.contains(table, sizeof *table)) {
    return std::unexpected(cat("has its lock table ", abi::outside_readable(table, sizeof *table)));
  }
  constexpr std::uint64_t kLockAndUnlock = 0x1 | 0x4;
  if ((table->metadata.field_accessibility & kLockAndUnlock) != kLockAndUnlock || table->fields.lock == nullptr ||
      table->fields.unlock == nullptr) {
    return std::unexpected(std::string("has a lock table without `lock` and `unlock`"));
  }
  for (const auto& [fn, name] : {std::pair{table->fields.lock, "lock"}, std::pair{table->fields.unlock, "unlock"}}) {
    if (!memory.executable(fn)) {
      return std::unexpected(cat("has its lock function `", name, "` ", abi::outside_executable(fn)));
    }
  }
  return &table->fields;
}

// The headers whose module slot this host filled: a slot found filled
// otherwise holds whatever the library put there, and is not trusted.
std::mutex filled_mutex;
std::set<const abi::LibHeader*> filled_slots;

// Builds the root module once, under the header's own lock, as the
// framework's loader does. Only a module `memory` holds fills the slot.
std::expected<const void*, LoadError> root_module(abi::LibHeader& h, const std::string& path,
                                                  const MappedMemory& memory) {
  const auto damaged = [&](std::string why) { return LoadError::states(Kind::Damaged, path, std::move(why)); };
  std::lock_guard guard(filled_mutex);
  std::atomic_ref<const void*> slot(h.module);
  if (slot.load(std::memory_order_acquire) != nullptr) {
    if (filled_slots.contains(&h)) return slot.load(std::memory_order_acquire);
    return std::unexpected(damaged("has its root-module slot filled before any host built the module"));
  }
  auto lock = lock_table(h, memory);
  if (!lock) return std::unexpected(damaged(std::move(lock).error()));
  if (h.constructor == nullptr) return std::unexpected(damaged("has no root-module constructor"));
  if (!memory.executable(h.constructor)) {
    return std::unexpected(damaged(cat("has its root-module constructor ", abi::outside_executable(h.constructor))));
  }
  (*lock)->lock(&h.lock_state);
  const abi::RootModuleResult r = h.constructor();
  std::optional<LoadError> failure;
  if (r.tag == abi::kROk && r.payload.ok == nullptr) {
    failure = damaged("has a root-module constructor that answered with no module");
  } else if (r.tag == abi::kROk && !memory.contains(r.payload.ok, sizeof(abi::StorageDriverMod))) {
    failure = damaged(cat("has its root module ", abi::outside_readable(r.payload.ok, sizeof(abi::StorageDriverMod))));
  } else if (r.tag == abi::kROk) {
    slot.store(r.payload.ok, std::memory_order_release);
    filled_slots.insert(&h);
  } else {
    failure = LoadError::inside(Kind::Damaged, path, "the library's root-module constructor failed");
  }
  (*lock)->unlock(&h.lock_state);
  if (failure) return std::unexpected(std::move(*failure));
  return r.payload.ok;
}

}  // namespace

std::expected<LoadedPlugin, LoadError> load_plugin(const std::string& path) {
  LoadedPlugin plugin = LMFS_TRY(find_header(path));
  // Taken once the library is loaded: its segments and those of the objects
  // it brought with it.
  const MappedMemory memory = MappedMemory::loaded_objects();
  LMFS_TRY(check_header(plugin.header, path, memory));
  abi::LibHeader& h = *plugin.header;
  // What the helpers above say of the library becomes the error here.
  const auto refused = [&](std::string why) {
    return std::unexpected(LoadError::states(Kind::Damaged, path, std::move(why)));
  };
  // The host fills its module slot; the lock functions write its lock state.
  if (!memory.writable(&h, sizeof h)) {
    return refused(cat("has its library header ", abi::outside_writable(&h, sizeof h)));
  }

  if (auto t = check_self_test(h.c_abi_testing_fns, memory); !t) return refused(t.error());

  if (h.init_globals_with == nullptr) return refused("has no `init_globals_with` in its library header");
  if (!memory.executable(h.init_globals_with)) {
    return refused(cat("has its `init_globals_with` ", abi::outside_executable(h.init_globals_with)));
  }
  h.init_globals_with(&host_globals);

  LMFS_TRY(check_layout(h, path, memory));

  auto version_text = header_text(h.version, "version", memory);
  if (!version_text) return refused(version_text.error());
  auto expected = abi::parse_version(kInterfaceVersion);
  auto actual = abi::parse_version(*version_text);
  if (!actual) return std::unexpected(LoadError::inside(Kind::Damaged, path, cat("invalid version text: ", actual.error())));
  if (!abi::library_compatible(*expected, *actual)) {
    return std::unexpected(LoadError::states(
        Kind::Incompatible, path, cat("implements interface version ", *version_text, ", incompatible with ", kInterfaceVersion)));
  }

  plugin.root_module = static_cast<const abi::StorageDriverMod*>(LMFS_TRY(root_module(h, path, memory)));
  if ((plugin.root_module->metadata.field_accessibility & abi::kStorageDriverModMask) == 0) {
    return std::unexpected(LoadError::inside(Kind::Damaged, path, "the root module has no `new`"));
  }
  if (plugin.root_module->fields.new_ == nullptr) return refused("has a root module whose `new` is a null pointer");
  if (!memory.executable(plugin.root_module->fields.new_)) {
    return refused(cat("has a root module whose `new` is ", abi::outside_executable(plugin.root_module->fields.new_)));
  }
  return plugin;
}

}  // namespace lmfs::host
