// The driver's parameters, decoded from the JSON text the host hands to `new`.
#pragma once

#include <cstddef>
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

// Why a parameter text was refused: the JSON library's message and the place
// it names (lines from 1; columns count bytes, as the library counts them).
struct OptionsError {
  std::string message;
  std::size_t line = 1;
  std::size_t column = 0;

  // "<prefix><message> at line L column C", joined in one allocation.
  [[nodiscard]] std::string text(std::string_view prefix = {}) const;
};

// Decodes one JSON value (object or four-element array) into the options.
[[nodiscard]] std::expected<LoomFsDriverOptions, OptionsError> decode_options(std::string_view json);

}  // namespace lmfs::loomfs
