#include "loomfs_driver/driver.h"

#include "lmfs_text/text.h"
#include "loomfs_driver/snapshots.h"

namespace lmfs::loomfs {
namespace {

StoreOpError other(const LoomFsDriverError& e) {
  StoreOpError out;
  out.kind = StoreOpError::Kind::Other;
  out.text = e.message();
  return out;
}

StoreOpError no_store() {
  StoreOpError out;
  out.kind = StoreOpError::Kind::InvalidMediaType;
  return out;
}

}  // namespace

LoomFsDriver::LoomFsDriver(LoomFsDriverOptions opts) : opts_(opts), mgr_(std::move(opts)) {}

std::expected<std::string, path_safety::SecurityError> LoomFsDriver::at_root(std::string_view param) const {
  if (auto safe = path_safety::ensure_safe_path(param); !safe) return std::unexpected(std::move(safe.error()));
  if (param.starts_with('/')) return std::string(param);
  return path_safety::join_path(root_, param);
}

std::expected<StorageMedia, StoreOpError> LoomFsDriver::stores() const {
  const std::optional<std::string>& store = mgr_.store();
  if (!store) return std::unexpected(no_store());
  return StorageMedia{{StorageMedium::block(text::lossy_utf8(*store))}};
}

std::expected<void, StoreOpError> LoomFsDriver::initialize_stores(const StorageMedia& media) {
  if (!mgr_.select_store(media)) return std::unexpected(no_store());
  if (auto formatted = mgr_.format_store(); !formatted) return std::unexpected(other(formatted.error()));
  return {};
}

std::expected<void, StoreOpError> LoomFsDriver::attach_stores(std::string_view root, const StorageMedia& media) {
  if (!mgr_.select_store(media)) {
    StoreOpError e;
    e.kind = StoreOpError::Kind::InvalidMediaType;
    e.media = InvalidMedia{true, media_text(media)};
    return std::unexpected(std::move(e));
  }
  // The mount directory is recorded before mounting and stays when it fails.
  root_.assign(root);
  if (auto mounted = mgr_.mount_store(root_); !mounted) return std::unexpected(other(mounted.error()));
  return {};
}

std::expected<void, StoreOpError> LoomFsDriver::detach_stores(std::string_view root) {
  if (root != root_) {
    StoreOpError e;
    e.kind = StoreOpError::Kind::InvalidParameterValue;
    e.name = "mount-point";
    e.value = text::lossy_utf8(root);
    return std::unexpected(std::move(e));
  }
  if (auto unmounted = mgr_.unmount_store(); !unmounted) return std::unexpected(other(unmounted.error()));
  return {};
}

std::expected<std::uint64_t, LoomFsDriverError> LoomFsDriver::take_snapshot() const {
  return snapshots::take_snapshot(mgr_.store(), root_);
}

std::expected<std::uint64_t, LoomFsDriverError> LoomFsDriver::next_snapshot() const {
  return snapshots::current_checkpoint(mgr_.store(), root_);
}

std::expected<std::uint64_t, LoomFsDriverError> LoomFsDriver::last_snapshot() const { return next_snapshot(); }

std::string LoomFsDriver::debug(bool alternate) const {
  return text::debug_struct(alternate, "LoomFsDriver",
                            {{"opts", debug_options(opts_, alternate)},
                             {"root", text::debug_os_str(root_)},
                             {"mgr", debug_manager(mgr_, alternate)}});
}

}  // namespace lmfs::loomfs
