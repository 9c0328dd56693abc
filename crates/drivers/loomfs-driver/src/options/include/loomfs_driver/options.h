// The driver's parameters, decoded from the JSON text the host hands to `new`.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "lmfs_interface/media.h"

namespace lmfs::loomfs {

struct LoomFsDriverOptions {
  std::optional<std::string> flags;  // UTF-8 text
  std::string bin_dir;               // path bytes, as given
  StorageMedia media;
  std::string root;                  // path bytes, as given

  friend bool operator==(const LoomFsDriverOptions&, const LoomFsDriverOptions&) = default;
};

// `LoomFsDriverOptions { flags: None, bin_dir: "/sbin", media: StorageMedia {
// inner: [...] }, root: "/mnt/s" }`, plain or alternate layout.
[[nodiscard]] std::string debug_options(const LoomFsDriverOptions& opts, bool alternate);

// Decodes one JSON value (object or four-element array) into the options.
// On failure the error is the decoder's message, ending in
// " at line L column C" (without the "serde error: " prefix that `new` adds).
[[nodiscard]] std::expected<LoomFsDriverOptions, std::string> decode_options(std::string_view json);

}  // namespace lmfs::loomfs
