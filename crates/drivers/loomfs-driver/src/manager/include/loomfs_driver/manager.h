// The store manager: which block device holds the store, and formatting,
// mounting and unmounting it with the file system's tools (mkfs.loomfs,
// mount.loomfs, and umount.loomfs through sudo), each run as a child process
// that is waited for.
//
// The driver object owns the manager and calls it with exclusive access;
// its state (the options and the chosen store) is read through accessors and
// changed only by a selection. Its operations write their debug lines and
// failure notes unbuffered to standard error. Destroying it runs no tool: a
// mounted store stays mounted.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "lmfs_interface/media.h"
#include "loomfs_driver/error.h"
#include "loomfs_driver/options.h"

namespace lmfs::loomfs {

class LoomFsManager {
 public:
  LoomFsManager() = default;
  // A manager with these options and, where given, a store already chosen:
  // taken as it is, not checked (one an earlier selection recorded).
  explicit LoomFsManager(LoomFsDriverOptions options, std::optional<std::string> store = std::nullopt)
      : opts_(std::move(options)), store_(std::move(store)) {}

  // Only `bin_dir` is read (the tools' directory; empty: found through PATH).
  [[nodiscard]] const LoomFsDriverOptions& opts() const { return opts_; }
  // The selected block device's path bytes exactly as the media named it
  // (not made absolute, links not resolved). Absent until a selection succeeds.
  [[nodiscard]] const std::optional<std::string>& store() const { return store_; }

  // Takes the one Block medium of `stores`, checks it and records it as the
  // store. Fails with NoDevices, TooManyDevices, InvalidBlockDevice, Security
  // or Io and then leaves the store as it was.
  [[nodiscard]] std::expected<void, LoomFsDriverError> select_store(const StorageMedia& stores);

  // Returns `device` as an owned path if it names a block device (links
  // followed). Refuses a ".." component before touching any file (Security);
  // a status that cannot be read is Io; any other file type is
  // InvalidBlockDevice.
  [[nodiscard]] static std::expected<std::string, LoomFsDriverError> check_block_device(
      std::string_view device);

  // mkfs.loomfs -q -f -O block_count <store>, its standard error discarded.
  // Fails with InvalidBlockDevice "<none>" (no store), Io (not started) or
  // FormatFailed (the tool failed).
  [[nodiscard]] std::expected<void, LoomFsDriverError> format_store() const;

  // mount.loomfs -o order=relaxed,nogc,barrier,discard <store> <root>.
  // Fails with InvalidBlockDevice "<none>", Io, or InvalidBlockDevice with
  // the device when the tool failed.
  [[nodiscard]] std::expected<void, LoomFsDriverError> mount_store(std::string_view root) const;

  // sudo <bin_dir>/umount.loomfs <store>, standard error discarded. Fails with
  // InvalidBlockDevice "<none>", Io (sudo not started) or Other (the tool
  // failed: "Unable to unmount <device>: <status>").
  [[nodiscard]] std::expected<void, LoomFsDriverError> unmount_store() const;

 private:
  LoomFsDriverOptions opts_;
  std::optional<std::string> store_;
};

// `LoomFsManager { opts: LoomFsDriverOptions { .. }, store: Some("/dev/sdb") }`
// in the plain layout, or one field per line in the alternate layout.
[[nodiscard]] std::string debug_manager(const LoomFsManager& manager, bool alternate);

}  // namespace lmfs::loomfs
