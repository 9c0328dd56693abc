// LoomFsDriver: the object behind every StorageDriver_TO that `new` returns.
// It owns its decoded options, the mount directory last given to
// attach_stores, and the store manager. The operations here work on the
// plug-in's own values; plugin.cpp turns them into boundary records.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "lmfs_path_safety/path_safety.h"
#include "lmfs_interface/media.h"
#include "loomfs_driver/error.h"
#include "loomfs_driver/manager.h"
#include "loomfs_driver/options.h"

namespace lmfs::loomfs {

// Why `stores`, `initialize_stores` or `attach_stores` refused the media:
// either no usable store ("<none>") or the given media as text.
struct InvalidMedia {
  bool owned = false;  // false: the fixed text "<none>"
  std::string text;    // the media text when owned
};

// The failure of a store operation as the host sees it.
struct StoreOpError {
  enum class Kind { InvalidMediaType, InvalidParameterValue, Other };
  Kind kind = Kind::Other;
  InvalidMedia media;       // InvalidMediaType
  std::string name, value;  // InvalidParameterValue
  std::string text;         // Other: the rendered LoomFsDriverError
};

class LoomFsDriver {
 public:
  explicit LoomFsDriver(LoomFsDriverOptions opts);

  [[nodiscard]] const LoomFsDriverOptions& opts() const { return opts_; }
  [[nodiscard]] const std::string& root() const { return root_; }
  [[nodiscard]] const LoomFsManager& mgr() const { return mgr_; }

  // The path-safety check, then `param` joined onto the root.
  [[nodiscard]] std::expected<std::string, path_safety::SecurityError> at_root(std::string_view param) const;

  // The chosen store as a one-element media list of kind Block.
  [[nodiscard]] std::expected<StorageMedia, StoreOpError> stores() const;
  [[nodiscard]] std::expected<void, StoreOpError> initialize_stores(const StorageMedia& media);
  [[nodiscard]] std::expected<void, StoreOpError> attach_stores(std::string_view root, const StorageMedia& media);
  [[nodiscard]] std::expected<void, StoreOpError> detach_stores(std::string_view root);

  // Snapshot operations that reach the file system, on the chosen store and
  // the root (see snapshots.h). The boundary renders a failure's text.
  [[nodiscard]] std::expected<std::uint64_t, LoomFsDriverError> take_snapshot() const;
  [[nodiscard]] std::expected<std::uint64_t, LoomFsDriverError> next_snapshot() const;
  [[nodiscard]] std::expected<std::uint64_t, LoomFsDriverError> last_snapshot() const;

  // `LoomFsDriver { opts: ..., root: "...", mgr: LoomFsManager { ... } }`.
  [[nodiscard]] std::string debug(bool alternate) const;

 private:
  LoomFsDriverOptions opts_;
  std::string root_;
  LoomFsManager mgr_;
};

}  // namespace lmfs::loomfs
