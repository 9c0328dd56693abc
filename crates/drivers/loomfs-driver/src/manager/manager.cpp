#include "loomfs_driver/manager.h"

#include <sys/stat.h>

#include "lmfs_diag/stderr.h"
#include "lmfs_path_safety/path_safety.h"
#include "lmfs_text/text.h"
#include "loomfs_driver/log_sink.h"
#include "process.h"

namespace lmfs::loomfs {
namespace {

// The location shown in the debug lines and the log event. The lines and
// columns passed to debug_line below are not this file's: they are the
// positions hosts and their logs already know these lines by, kept fixed on
// purpose. Do not "correct" them to this file's own.
constexpr std::string_view kSourcePath = "crates/drivers/loomfs-driver/src/manager";
constexpr std::string_view kLogTarget = "storage_driver_loomfs::manager";

// "[<source>:<line>:<column>] <expression> = <value>\n", written in one go.
void debug_line(int line, int column, std::string_view expression, std::string_view value) {
  std::string out;
  out.reserve(kSourcePath.size() + expression.size() + value.size() + 24);
  out.append("[")
      .append(kSourcePath)
      .append(":")
      .append(std::to_string(line))
      .append(":")
      .append(std::to_string(column))
      .append("] ")
      .append(expression)
      .append(" = ")
      .append(value)
      .append("\n");
  diag::write_stderr(out);
}

std::string debug_store(const std::optional<std::string>& store, bool alternate) {
  if (!store) return text::debug_option(alternate, nullptr);
  const std::string inner = text::debug_os_str(*store);
  return text::debug_option(alternate, &inner);
}

}  // namespace

std::expected<void, LoomFsDriverError> LoomFsManager::select_store(const StorageMedia& stores) {
  if (stores.inner.empty()) return std::unexpected(LoomFsDriverError::NoDevices{});
  if (stores.inner.size() > 1) return std::unexpected(LoomFsDriverError::TooManyDevices{});

  debug_line(62, 9, "stores", debug_media(stores, true));

  const StorageMedium& medium = stores.inner.front();
  switch (medium.kind) {
    case MediumKind::Block: {
      const std::string& device = medium.value;
      debug_line(77, 9, "&device", debug_os_string_record(device, true));
      auto checked = check_block_device(device);
      if (!checked) return std::unexpected(std::move(checked.error()));
      store_ = std::move(*checked);
      return {};
    }
    case MediumKind::Path:
      return std::unexpected(LoomFsDriverError::InvalidBlockDevice{text::lossy_utf8(medium.value)});
    case MediumKind::URN:
      return std::unexpected(LoomFsDriverError::InvalidBlockDevice{medium.value});
    case MediumKind::None:
      break;
  }
  return std::unexpected(LoomFsDriverError::no_device());
}

std::expected<std::string, LoomFsDriverError> LoomFsManager::check_block_device(std::string_view device) {
  if (auto safe = path_safety::ensure_safe_path(device); !safe) return std::unexpected(std::move(safe.error()));

  std::string path(device);
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(
        IoError::custom(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte"));
  }
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(IoError::last_os_error());
  if (S_ISBLK(st.st_mode)) return path;
  return std::unexpected(LoomFsDriverError::InvalidBlockDevice{text::lossy_utf8(device)});
}

std::expected<void, LoomFsDriverError> LoomFsManager::format_store() const {
  if (!store_) return std::unexpected(LoomFsDriverError::no_device());
  const std::string& device = *store_;

  auto status = detail::run_command({.program = detail::tool_path(opts_.bin_dir, "mkfs.loomfs"),
                                     .args = {"-q", "-f", "-O", "block_count", device},
                                     .discard_stderr = true});
  if (!status) return std::unexpected(std::move(status.error()));
  if (status->success()) return {};

  const std::string shown = text::lossy_utf8(device);
  diag::write_stderr("Unable to initialize " + shown + ", maybe invalid device?\n");
  return std::unexpected(LoomFsDriverError::FormatFailed{status->text() + " for device " + shown});
}

std::expected<void, LoomFsDriverError> LoomFsManager::mount_store(std::string_view root) const {
  debug_line(120, 9, "root", text::debug_os_str(root));
  debug_line(121, 9, "&self.store", debug_store(store_, true));
  if (!store_) return std::unexpected(LoomFsDriverError::no_device());
  const std::string& device = *store_;

  const std::string message = "Bin directory: " + text::debug_os_str(opts_.bin_dir);
  log::emit({.level = log::Level::Debug,
             .target = kLogTarget,
             .file = kSourcePath,
             .line = 125,
             .message = message});

  auto status =
      detail::run_command({.program = detail::tool_path(opts_.bin_dir, "mount.loomfs"),
                           .args = {"-o", "order=relaxed,nogc,barrier,discard", device, std::string(root)},
                           .discard_stderr = false});
  if (!status) return std::unexpected(std::move(status.error()));
  if (status->success()) return {};

  const std::string shown = text::lossy_utf8(device);
  diag::write_stderr("Unable to mount " + shown + ", maybe invalid device?\n");
  diag::write_stderr("status: " + status->text() + "\n");
  return std::unexpected(LoomFsDriverError::InvalidBlockDevice{shown});
}

std::expected<void, LoomFsDriverError> LoomFsManager::unmount_store() const {
  if (!store_) return std::unexpected(LoomFsDriverError::no_device());
  const std::string& device = *store_;

  auto status = detail::run_command({.program = "sudo",
                                     .args = {detail::tool_path(opts_.bin_dir, "umount.loomfs"), device},
                                     .discard_stderr = true});
  const std::string shown = text::lossy_utf8(device);
  if (!status) {
    diag::write_stderr("lmfs: Unable to umount " + shown + ", Perhaps install loomfs tools?\n");
    return std::unexpected(std::move(status.error()));
  }
  if (status->success()) return {};

  // A failed unmount is reported to the caller; the host process goes on.
  diag::write_stderr("lmfs: Unable to umount " + shown + ", maybe invalid device?\n");
  return std::unexpected(LoomFsDriverError::Other{"Unable to unmount " + shown + ": " + status->text()});
}

std::string debug_manager(const LoomFsManager& manager, bool alternate) {
  return text::debug_struct(
      alternate, "LoomFsManager",
      {{"opts", debug_options(manager.opts(), alternate)}, {"store", debug_store(manager.store(), alternate)}});
}

}  // namespace lmfs::loomfs
