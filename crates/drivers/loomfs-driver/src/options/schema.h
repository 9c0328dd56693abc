// The driver options as the host's JSON library (serde_json with derived
// visitors) sees them: what each place wants, the fields of the records with
// where their values go, and the visitors' messages that name them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json_error.h"
#include "lmfs_interface/media.h"

namespace lmfs::loomfs::json {

// What the library expects at a value position.
enum class Want : std::uint8_t {
  Options, Media, OsString, PathBuf,  // records: an object, or an array of their fields
  Flags,                              // a string or null
  Path, Text,                         // strings
  MediumList, ByteList,               // arrays
  Byte,                               // an integer 0..255
  Unit,                               // null
  VariantName,                        // the name of a medium kind
};

// Where a field's value is written: flags, a text or bytes, the media, a list of media.
using Slot = std::variant<std::optional<std::string>*, std::string*, StorageMedia*, std::vector<StorageMedium>*>;

struct Field {
  std::string_view name;
  Want want;
  Slot slot;
};

// A field the record cannot do without (all but the optional `flags`).
[[nodiscard]] inline bool required(const Field& field) { return field.want != Want::Flags; }

// The record's type name, as messages quote it.
[[nodiscard]] std::string_view record_name(Want record);

// The medium kind named `name` ("Block", "Path", "URN", "None").
[[nodiscard]] std::optional<MediumKind> kind_named(std::string_view name);

// The visitors' messages, unplaced.
[[nodiscard]] Failure invalid_type(std::string_view unexpected, Want want);
[[nodiscard]] Failure invalid_value(std::string_view unexpected, Want want);
[[nodiscard]] Failure unknown_variant(std::string_view name);
[[nodiscard]] Failure missing_field(std::string_view name);
[[nodiscard]] Failure duplicate_field(std::string_view name);
[[nodiscard]] Failure invalid_length(std::size_t count, Want record, std::size_t fields);
// A kind that holds a value, given as a bare name.
[[nodiscard]] Failure unit_variant();

}  // namespace lmfs::loomfs::json
