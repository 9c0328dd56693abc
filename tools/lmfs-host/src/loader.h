// Loading a storage-driver plug-in the way the framework's loader does:
// find the header symbol, check the magic and ABI numbers, run the C-ABI
// self-test, hand over the globals, compare the library's type layout with
// this host's, check the version text and build the root module under the
// header's lock.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "lmfs_abi_host/mapped_memory.h"
#include "lmfs_interface/plugin.h"
#include "lmfs_interface/version.h"

namespace lmfs::host {

struct LoadedPlugin {
  void* handle = nullptr;  // never closed: loaded libraries stay loaded
  abi::LibHeader* header = nullptr;
  const abi::StorageDriverMod* root_module = nullptr;
};

// The interface version this host was built against: lmfs::kInterfaceVersion.

// Why a library was not loaded, as one sentence naming it:
//   "cannot load PATH: WHY"          the dynamic loader refused it
//   "PATH STATEMENT"                 what the library states or lacks
//                                    ("PATH has no C-ABI self-test")
//   "PATH: WHY"                      a fault found inside something it states
//                                    (its type layout, its version text)
class [[nodiscard]] LoadError {
 public:
  enum class Kind : std::uint8_t {
    NotLoadable,   // the dynamic loader refused the file
    NotAPlugin,    // it has no library header
    Damaged,       // a record of it cannot be trusted or a call into it failed
    Incompatible,  // well formed, but for another ABI, interface version or layout
  };

  [[nodiscard]] static LoadError not_loadable(std::string path, std::string why) {
    return LoadError(Kind::NotLoadable, Form::Loader, std::move(path), std::move(why));
  }
  [[nodiscard]] static LoadError states(Kind kind, std::string path, std::string statement) {
    return LoadError(kind, Form::Statement, std::move(path), std::move(statement));
  }
  [[nodiscard]] static LoadError inside(Kind kind, std::string path, std::string why) {
    return LoadError(kind, Form::Inside, std::move(path), std::move(why));
  }

  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string message() const;

 private:
  enum class Form : std::uint8_t { Loader, Statement, Inside };
  LoadError(Kind kind, Form form, std::string path, std::string text)
      : kind_(kind), form_(form), path_(std::move(path)), text_(std::move(text)) {}

  Kind kind_;
  Form form_;
  std::string path_;
  std::string text_;
};

// Loads `path`. The error names what failed. Every
// pointer and text taken from the header, the root module and the layout
// graph is checked before it is used (not null, and inside the readable, or
// for a function the executable, segments of the objects loaded then), so a
// damaged library is refused, never followed. A library whose header says its
// type layout is not included loads after a warning on stderr.
[[nodiscard]] std::expected<LoadedPlugin, LoadError> load_plugin(const std::string& path);

// Only finds `path`'s library header and checks where it lies, its magic and
// ABI numbers: nothing in the library is called and no root module is built.
[[nodiscard]] std::expected<LoadedPlugin, LoadError> open_header(const std::string& path);

// The longest text this host reads from a library header.
inline constexpr std::size_t kMaxHeaderText = 4096;

// One of the header's texts (`what`: "version", "name", "base name"),
// refused when its pointer is null, it is longer than kMaxHeaderText or it
// lies outside the readable segments of `memory` (by default the objects
// loaded now).
[[nodiscard]] std::expected<std::string_view, std::string> header_text(const abi::RStr& text, std::string_view what,
                                                                       const abi::MappedMemory& memory);
[[nodiscard]] std::expected<std::string_view, std::string> header_text(const abi::RStr& text, std::string_view what);


}  // namespace lmfs::host
