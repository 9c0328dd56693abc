// The driver options as the host's JSON library (serde_json with derived
// visitors) sees them: which value each place wants, the records with their
// fields, and the messages that name them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "json_error.h"
#include "json_number.h"
#include "lmfs_interface/media.h"

namespace lmfs::loomfs::json {

// What the library expects at a value position.
enum class Want : std::uint8_t {
  Options, Media, OsString, PathBuf,  // records: an object, or an array of their fields
  Flags,                              // a string or null
  Path, Text,                         // strings
  MediumList, ByteList,               // arrays
  Medium,                             // "None", or an object with one kind key
  Byte,                               // an integer 0..255
  Unit,                               // null
  VariantName,                        // the kind key of a medium object
  Ignored,                            // anything, skipped
};

struct Field {
  std::string_view name;
  Want want;
};

struct Record {
  std::string_view name;
  std::span<const Field> fields;
  std::uint8_t required;  // bit i: fields[i] must be given
};

// The record behind `want`, or null when it is not one.
[[nodiscard]] const Record* record_of(Want want);

// The medium kind named `name` ("Block", "Path", "URN", "None").
[[nodiscard]] std::optional<MediumKind> kind_named(std::string_view name);

// What a medium object of `kind` holds.
[[nodiscard]] Want want_of(MediumKind kind);

// The library's messages, placed at `index`.
[[nodiscard]] Failure invalid_type(std::string_view unexpected, Want want, std::size_t index);
[[nodiscard]] Failure invalid_value(std::string_view unexpected, Want want, std::size_t index);
[[nodiscard]] Failure unknown_variant(std::string_view name, std::size_t index);
[[nodiscard]] Failure missing_field(std::string_view name, std::size_t index);
[[nodiscard]] Failure duplicate_field(std::string_view name, std::size_t index);
[[nodiscard]] Failure invalid_length(std::size_t count, const Record& record, std::size_t index);
[[nodiscard]] Failure unit_variant(std::size_t index);  // a kind that needs a value, given bare

// The verdict on a number given for `want`: nothing when it is a byte the
// library takes, else the failure it reports after the number.
[[nodiscard]] std::optional<Failure> number_verdict(Want want, const Number& number);

}  // namespace lmfs::loomfs::json
