#include "loomfs_driver/driver.h"

#include "lmfs_base/try.h"
#include "lmfs_text/text.h"
#include "loomfs_driver/snapshots.h"

namespace lmfs::loomfs {

LoomFsDriver::LoomFsDriver(LoomFsDriverOptions opts)
    : opts_(std::make_shared<const LoomFsDriverOptions>(std::move(opts))), mgr_(opts_) {}

std::expected<path_safety::JoinedPath, path_safety::SecurityError> LoomFsDriver::at_root(std::string_view param) const {
  LMFS_TRY(path_safety::ensure_safe_path(param));
  if (param.starts_with('/')) return path_safety::JoinedPath(std::string_view{}, param);
  return path_safety::JoinedPath(root_, param);
}

std::expected<StorageMedia, StoreOpError> LoomFsDriver::stores() const {
  const std::optional<std::string>& store = mgr_.store();
  if (!store) return std::unexpected(StoreOpError::no_store());
  return StorageMedia{{StorageMedium::block(text::lossy_utf8(*store))}};
}

std::expected<void, StoreOpError> LoomFsDriver::initialize_stores(const StorageMedia& media) {
  if (!mgr_.select_store(media)) return std::unexpected(StoreOpError::no_store());
  LMFS_TRY(mgr_.format_store());
  return {};
}

std::expected<void, StoreOpError> LoomFsDriver::attach_stores(std::string_view root, const StorageMedia& media) {
  if (!mgr_.select_store(media)) return std::unexpected(StoreOpError::invalid_media(media_text(media)));
  // The mount directory is recorded before mounting and stays when it fails.
  root_.assign(root);
  LMFS_TRY(mgr_.mount_store(root_));
  return {};
}

std::expected<void, StoreOpError> LoomFsDriver::detach_stores(std::string_view root) {
  if (root != root_) {
    return std::unexpected(StoreOpError::invalid_parameter("mount-point", text::lossy_utf8(root)));
  }
  LMFS_TRY(mgr_.unmount_store());
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
                            {{"opts", debug_options(*opts_, alternate)},
                             {"root", text::debug_os_str(root_)},
                             {"mgr", debug_manager(mgr_, alternate)}});
}

}  // namespace lmfs::loomfs
