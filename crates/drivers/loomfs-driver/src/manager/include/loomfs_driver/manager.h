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

#include <sys/types.h>

#include <expected>
#include <memory>
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
  LoomFsManager() : LoomFsManager(LoomFsDriverOptions{}) {}
  // A manager with these options and, where given, a store already chosen:
  // taken as it is, not checked (one an earlier selection recorded).
  // It is neither checked nor pinned (see select_store): a manager that only
  // the driver's selections fill is the one to hand to a host.
  explicit LoomFsManager(LoomFsDriverOptions options, std::optional<std::string> store = std::nullopt)
      : LoomFsManager(std::make_shared<const LoomFsDriverOptions>(std::move(options)), std::move(store)) {}
  // The same, the options shared with their other reader (the driver holds
  // them once for both).
  explicit LoomFsManager(std::shared_ptr<const LoomFsDriverOptions> options,
                         std::optional<std::string> store = std::nullopt)
      : opts_(std::move(options)), store_(std::move(store)) {}

  // Only `bin_dir` is read (the tools' directory; empty: found through PATH).
  [[nodiscard]] const LoomFsDriverOptions& opts() const { return *opts_; }
  // The selected block device's path bytes exactly as the media named it
  // (not made absolute, links not resolved). Absent until a selection succeeds.
  [[nodiscard]] const std::optional<std::string>& store() const { return store_; }

  // Takes the one Block medium of `stores`, checks it and records it as the
  // store, pinned: its device number is kept, and before each tool runs the
  // path is judged again and must still lead to that device (Security
  // otherwise). Fails with NoDevices, TooManyDevices, InvalidBlockDevice,
  // Security or Io and then leaves the store as it was.
  [[nodiscard]] std::expected<void, LoomFsDriverError> select_store(const StorageMedia& stores);

  // Returns `device` as an owned path if it names a block device (links
  // followed). Refuses a ".." component before touching any file, a name
  // that begins with "-" (the tools would take it for an option), and a way
  // to the device that another user could change: a folder or link on it
  // that is not root's or the effective user's, or that others may write
  // (Security, with a note on standard error saying why); a status that
  // cannot be read is Io; any other file type is InvalidBlockDevice.
  [[nodiscard]] static std::expected<std::string, LoomFsDriverError> check_block_device(
      std::string_view device);

  // The tools: each program (and the path handed to sudo) is judged before
  // it runs, as the device is (Security when refused, with a note on
  // standard error), and exactly the file judged is run.

  // mkfs.loomfs -q -f -O block_count <store>, its standard error discarded.
  // Fails with InvalidBlockDevice "<none>" (no store), Io (not started),
  // Security (refused) or FormatFailed (the tool failed).
  [[nodiscard]] std::expected<void, LoomFsDriverError> format_store() const;

  // mount.loomfs -o order=relaxed,nogc,barrier,discard <store> <root>.
  // Fails with InvalidBlockDevice "<none>", Io, or InvalidBlockDevice with
  // the device when the tool failed.
  [[nodiscard]] std::expected<void, LoomFsDriverError> mount_store(std::string_view root) const;

  // sudo <bin_dir>/umount.loomfs <store>, standard error discarded. Fails with
  // InvalidBlockDevice "<none>", Io (sudo not started), Security or Other
  // (the tool failed: "Unable to unmount <device>: <status>").
  [[nodiscard]] std::expected<void, LoomFsDriverError> unmount_store() const;

 private:
  // check_block_device, with the device number it found.
  [[nodiscard]] static std::expected<dev_t, LoomFsDriverError> judge_block_device(std::string_view device);
  // Before a tool runs: the store still leads to the device it was chosen as.
  [[nodiscard]] std::expected<void, LoomFsDriverError> recheck_store() const;

  std::shared_ptr<const LoomFsDriverOptions> opts_;  // never null
  std::optional<std::string> store_;
  std::optional<dev_t> pinned_;  // the store's device number when it was selected
};

// `LoomFsManager { opts: LoomFsDriverOptions { .. }, store: Some("/dev/sdb") }`
// in the plain layout, or one field per line in the alternate layout.
[[nodiscard]] std::string debug_manager(const LoomFsManager& manager, bool alternate);

}  // namespace lmfs::loomfs
