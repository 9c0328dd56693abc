// NullStorageDriver: a driver that stores nothing. `init`, `done` and `root`
// say on standard error that they were called; `root` answers none; every
// other operation answers NotSupported. Hosts use it as a test double.
#include <expected>
#include <string>
#include <string_view>

#include "lmfs_diag/stderr.h"
#include "lmfs_interface/export.h"

namespace {

using lmfs::Snapshot;
using lmfs::StorageDriverError;
using lmfs::StorageMedia;

StorageDriverError not_supported(std::string_view op) {
  return StorageDriverError::of(StorageDriverError::Kind::NotSupported,
                                "NullStorageDriver does not support " + std::string(op));
}

class NullStorageDriver {
 public:
  static std::expected<NullStorageDriver, StorageDriverError> create(std::string_view) { return NullStorageDriver{}; }

  std::expected<void, StorageDriverError> init() {
    lmfs::diag::write_stderr("NullStorageDriver::init() called\n");
    return {};
  }
  std::expected<void, StorageDriverError> done() {
    lmfs::diag::write_stderr("NullStorageDriver::done() called\n");
    return {};
  }
  std::optional<std::string> root() const {
    lmfs::diag::write_stderr("NullStorageDriver::root() called\n");
    return std::nullopt;
  }
  std::expected<std::string, StorageDriverError> at_root(std::string_view) const {
    return std::unexpected(not_supported("at_root"));
  }
  std::expected<StorageMedia, StorageDriverError> stores() const { return std::unexpected(not_supported("stores")); }
  std::expected<void, StorageDriverError> initialize_stores(const StorageMedia&, const std::optional<std::string>&) {
    return std::unexpected(not_supported("initialize_stores"));
  }
  std::expected<void, StorageDriverError> attach_stores(std::string_view, const StorageMedia&,
                                                        const std::optional<std::string>&) {
    return std::unexpected(not_supported("attach_stores"));
  }
  std::expected<void, StorageDriverError> detach_stores(std::string_view) {
    return std::unexpected(not_supported("detach_stores"));
  }
  std::expected<Snapshot, StorageDriverError> take_snapshot() const { return std::unexpected(not_supported("take_snapshot")); }
  std::expected<Snapshot, StorageDriverError> next_snapshot() const { return std::unexpected(not_supported("next_snapshot")); }
  std::expected<Snapshot, StorageDriverError> last_snapshot() const { return std::unexpected(not_supported("last_snapshot")); }
  std::expected<Snapshot, StorageDriverError> edge_snapshot() const { return std::unexpected(not_supported("edge_snapshot")); }
  std::expected<Snapshot, StorageDriverError> full_snapshot() const { return std::unexpected(not_supported("full_snapshot")); }
  std::expected<Snapshot, StorageDriverError> snapshot(std::string_view, bool) const {
    return std::unexpected(not_supported("snapshot"));
  }
  std::string debug(bool) const { return "NullStorageDriver"; }
};

}  // namespace

LMFS_EXPORT_STORAGE_DRIVER(NullStorageDriver)
