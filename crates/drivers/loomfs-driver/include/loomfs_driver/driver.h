// LoomFsDriver: the object behind every StorageDriver_TO that `new` returns.
// It owns its decoded options, the mount directory last given to
// attach_stores, and the store manager. The operations here work on the
// plug-in's own values; plugin.cpp turns them into boundary records.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "lmfs_path_safety/path_safety.h"
#include "lmfs_interface/media.h"
#include "loomfs_driver/error.h"
#include "loomfs_driver/manager.h"
#include "loomfs_driver/options.h"

namespace lmfs::loomfs {

// The failure of a store operation as the host sees it (plugin.cpp renders
// it as the boundary's StorageDriverError): the media were unusable, with no
// store ("<none>", borrowed) or with the media's own text; a parameter was
// refused; or the store manager failed (Other, with that error's rendering).
class [[nodiscard]] StoreOpError {
 public:
  enum class Kind : std::uint8_t { InvalidMediaType, InvalidParameterValue, Other };

  // InvalidMediaType with the fixed text "<none>".
  [[nodiscard]] static StoreOpError no_store() { return StoreOpError(Kind::InvalidMediaType, {}, {}); }
  // InvalidMediaType with the media as text.
  [[nodiscard]] static StoreOpError invalid_media(std::string text) {
    StoreOpError e(Kind::InvalidMediaType, std::move(text), {});
    e.owned_ = true;
    return e;
  }
  [[nodiscard]] static StoreOpError invalid_parameter(std::string name, std::string value) {
    return StoreOpError(Kind::InvalidParameterValue, std::move(name), std::move(value));
  }
  // How a failure of the manager leaves the driver: Other, its rendering.
  StoreOpError(const LoomFsDriverError& e) : StoreOpError(Kind::Other, e.message(), {}) {}  // NOLINT: implicit on purpose

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  // InvalidMediaType: whether the text is the media's own (else "<none>").
  [[nodiscard]] bool owned() const noexcept { return owned_; }
  // The media text (InvalidMediaType, owned), the parameter's name
  // (InvalidParameterValue) or the manager's message (Other).
  [[nodiscard]] const std::string& text() const noexcept { return text_; }
  // InvalidParameterValue: the value refused.
  [[nodiscard]] const std::string& value() const noexcept { return value_; }

 private:
  StoreOpError(Kind kind, std::string text, std::string value)
      : kind_(kind), text_(std::move(text)), value_(std::move(value)) {}

  Kind kind_;
  bool owned_ = false;
  std::string text_;
  std::string value_;
};

class LoomFsDriver {
 public:
  explicit LoomFsDriver(LoomFsDriverOptions opts);

  [[nodiscard]] const LoomFsDriverOptions& opts() const { return *opts_; }
  [[nodiscard]] const std::string& root() const { return root_; }
  [[nodiscard]] const LoomFsManager& mgr() const { return mgr_; }

  // The path-safety check, then `param` joined onto the root (an absolute
  // `param` stays as it is). The join borrows `param` and the root.
  [[nodiscard]] std::expected<path_safety::JoinedPath, path_safety::SecurityError> at_root(std::string_view param) const;

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
  std::shared_ptr<const LoomFsDriverOptions> opts_;  // never null; the manager reads the same
  std::string root_;
  LoomFsManager mgr_;
};

}  // namespace lmfs::loomfs
