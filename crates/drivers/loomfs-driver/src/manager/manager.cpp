#include "loomfs_driver/manager.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "lmfs_base/try.h"
#include "lmfs_diag/stderr.h"
#include "lmfs_path_safety/path_safety.h"
#include "lmfs_path_safety/trusted_path.h"
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

// A path the manager will not use: the note on standard error says why, the
// error names the path.
LoomFsDriverError refuse(std::string_view what, std::string_view path, std::string_view why) {
  diag::write_stderr("lmfs: refusing " + std::string(what) + text::printable(path) + ": " + std::string(why) + "\n");
  return path_safety::SecurityError{path_safety::SecurityError::Kind::UnsafePath, text::lossy_utf8(path)};
}

// A tool that did not run: an I/O error, or a program refused.
LoomFsDriverError not_started(std::string_view program, const detail::StartError& error) {
  if (const IoError* io = error.io()) return *io;
  return refuse("to run ", program, error.message());
}

std::string device_number(dev_t rdev) { return std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev)); }

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
      pinned_ = LMFS_TRY(judge_block_device(device));
      store_ = std::string(device);
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
  LMFS_TRY(judge_block_device(device));
  return std::string(device);
}

std::expected<dev_t, LoomFsDriverError> LoomFsManager::judge_block_device(std::string_view device) {
  LMFS_TRY(path_safety::ensure_safe_path(device));
  // The tools take a name that starts with "-" for an option.
  if (device.starts_with('-')) return std::unexpected(refuse("the device ", device, "its name begins with \"-\""));
  if (device.find('\0') != std::string_view::npos) {
    return std::unexpected(
        IoError::custom(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte"));
  }
  auto judged = path_safety::judge_path(device, path_safety::Target::Device);
  if (!judged) {
    if (judged.error().kind == path_safety::PathRefusal::Kind::Io) {
      return std::unexpected(IoError::from_os(judged.error().err));
    }
    return std::unexpected(refuse("the device ", device, judged.error().message()));
  }
  if (!S_ISBLK(judged->st.st_mode)) {
    return std::unexpected(LoomFsDriverError::InvalidBlockDevice{text::lossy_utf8(device)});
  }
  return judged->st.st_rdev;
}

std::expected<void, LoomFsDriverError> LoomFsManager::recheck_store() const {
  if (!pinned_ || !store_) return {};  // a store taken as it was given: see the constructor
  const std::string& device = *store_;
  auto now = judge_block_device(device);
  if (!now) {
    // A path that still leads somewhere, only no longer to a block device.
    if (now.error().get_if<LoomFsDriverError::InvalidBlockDevice>() != nullptr) {
      return std::unexpected(refuse("the device ", device, "it is no block device any more"));
    }
    return std::unexpected(std::move(now.error()));
  }
  if (*now != *pinned_) {
    return std::unexpected(refuse("the device ", device,
                                  "it now leads to block device " + device_number(*now) + ", not " +
                                      device_number(*pinned_) + " as when it was chosen"));
  }
  return {};
}

std::expected<void, LoomFsDriverError> LoomFsManager::format_store() const {
  if (!store_) return std::unexpected(LoomFsDriverError::no_device());
  const std::string& device = *store_;
  LMFS_TRY(recheck_store());

  const std::string program = path_safety::join_path(opts_->bin_dir, "mkfs.loomfs");
  auto status =
      detail::run_command({.program = program, .args = {"-q", "-f", "-O", "block_count", device}, .discard_stderr = true});
  if (!status) return std::unexpected(not_started(program, status.error()));
  if (status->success()) return {};

  diag::write_stderr("Unable to initialize " + text::printable(device) + ", maybe invalid device?\n");
  return std::unexpected(LoomFsDriverError::FormatFailed{status->text() + " for device " + text::lossy_utf8(device)});
}

std::expected<void, LoomFsDriverError> LoomFsManager::mount_store(std::string_view root) const {
  debug_line(120, 9, "root", text::debug_os_str(root));
  debug_line(121, 9, "&self.store", debug_store(store_, true));
  if (!store_) return std::unexpected(LoomFsDriverError::no_device());
  const std::string& device = *store_;

  const std::string message = "Bin directory: " + text::debug_os_str(opts_->bin_dir);
  log::emit({.level = log::Level::Debug,
             .target = kLogTarget,
             .file = kSourcePath,
             .line = 125,
             .message = message});
  LMFS_TRY(recheck_store());

  const std::string program = path_safety::join_path(opts_->bin_dir, "mount.loomfs");
  auto status = detail::run_command(
      {.program = program, .args = {"-o", "order=relaxed,nogc,barrier,discard", device, std::string(root)}});
  if (!status) return std::unexpected(not_started(program, status.error()));
  if (status->success()) return {};

  diag::write_stderr("Unable to mount " + text::printable(device) + ", maybe invalid device?\n");
  diag::write_stderr("status: " + status->text() + "\n");
  return std::unexpected(LoomFsDriverError::InvalidBlockDevice{text::lossy_utf8(device)});
}

std::expected<void, LoomFsDriverError> LoomFsManager::unmount_store() const {
  if (!store_) return std::unexpected(LoomFsDriverError::no_device());
  const std::string& device = *store_;
  LMFS_TRY(recheck_store());

  // sudo runs the tool as root: a path given to it is judged here like a
  // program of our own (a bare name is found along sudo's own secure path).
  const std::string tool = path_safety::join_path(opts_->bin_dir, "umount.loomfs");
  if (tool.find('/') != std::string::npos) {
    auto judged = path_safety::judge_path(tool, path_safety::Target::Program);
    if (!judged && judged.error().kind == path_safety::PathRefusal::Kind::Untrusted) {
      return std::unexpected(refuse("to run ", tool, judged.error().message()));
    }
  }
  auto status = detail::run_command({.program = "sudo", .args = {tool, device}, .discard_stderr = true});
  const std::string shown = text::printable(device);
  if (!status) {
    if (status.error().io() != nullptr) {
      diag::write_stderr("lmfs: Unable to umount " + shown + ", Perhaps install loomfs tools?\n");
    }
    return std::unexpected(not_started("sudo", status.error()));
  }
  if (status->success()) return {};

  // A failed unmount is reported to the caller; the host process goes on.
  diag::write_stderr("lmfs: Unable to umount " + shown + ", maybe invalid device?\n");
  return std::unexpected(
      LoomFsDriverError::Other{"Unable to unmount " + text::lossy_utf8(device) + ": " + status->text()});
}

std::string debug_manager(const LoomFsManager& manager, bool alternate) {
  return text::debug_struct(
      alternate, "LoomFsManager",
      {{"opts", debug_options(manager.opts(), alternate)}, {"store", debug_store(manager.store(), alternate)}});
}

}  // namespace lmfs::loomfs
