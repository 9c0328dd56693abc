// The interface's error, StorageDriverError: the value a driver answers with
// (namespace lmfs) and the record that crosses the boundary (namespace
// lmfs::abi), with the path-safety error record it can carry. Nine variants
// with fixed tags; the variants a driver never raises keep their numbers and
// payloads all the same.
#pragma once

#include <string>
#include <string_view>

#include "lmfs_abi/records.h"

namespace lmfs::abi {
enum class StorageDriverErrorKind : std::uint8_t {
  NotSupported = 0,
  InvalidConfig = 1,
  UnknownParameter = 2,
  InvalidParameterValue = 3,
  Unimplemented = 4,
  InvalidMediaType = 5,
  SecurityError = 6,
  NotApplicable = 7,
  Other = 8,
};
}  // namespace lmfs::abi

namespace lmfs {

// A driver's failure as the host will see it.
struct StorageDriverError {
  using Kind = abi::StorageDriverErrorKind;
  Kind kind = Kind::Other;
  // The variant's text: the message, the parameter's name
  // (InvalidParameterValue), the refused path (SecurityError), or the owned
  // text of InvalidMediaType / NotApplicable.
  std::string text;
  std::string value;  // InvalidParameterValue: the parameter's value
  // InvalidMediaType / NotApplicable given as a text that outlives every
  // record (a literal): passed on borrowed instead of copied.
  std::string_view static_text;

  [[nodiscard]] static StorageDriverError of(Kind kind, std::string text) { return {kind, std::move(text), {}, {}}; }
  [[nodiscard]] static StorageDriverError other(std::string text) { return of(Kind::Other, std::move(text)); }
  [[nodiscard]] static StorageDriverError invalid_parameter_value(std::string name, std::string value) {
    return {Kind::InvalidParameterValue, std::move(name), std::move(value), {}};
  }
  // `literal` is borrowed, not copied: it must outlive every record (a
  // temporary std::string is refused at compile time).
  [[nodiscard]] static StorageDriverError borrowed(Kind kind, std::string_view literal) {
    return {kind, {}, {}, literal};
  }
  template <abi::TemporaryString S>
  static StorageDriverError borrowed(Kind, S&&) = delete;
};

}  // namespace lmfs

namespace lmfs::abi {

// SecurityError: one variant, UnsafePath = 0, with the refused path as text.
struct SecurityError {
  std::uint8_t tag;
  alignas(8) RString unsafe_path;
};
static_assert(sizeof(SecurityError) == 40 && offsetof(SecurityError, unsafe_path) == 8);

struct StorageDriverError {
  StorageDriverErrorKind tag;
  union Payload {
    RString text;  // NotSupported, InvalidConfig, UnknownParameter, Unimplemented, Other
    struct {
      RString name;
      RString value;
    } parameter;   // InvalidParameterValue
    RCowStr cow;   // InvalidMediaType, NotApplicable
    struct {
      std::uint8_t tag;
      alignas(8) RString unsafe_path;
    } security;    // SecurityError (the SecurityError record, inline)
  };
  alignas(8) Payload payload;

  [[nodiscard]] static StorageDriverError other(std::string_view text) { return text_error(StorageDriverErrorKind::Other, text); }
  [[nodiscard]] static StorageDriverError text_error(StorageDriverErrorKind kind, std::string_view text);
  [[nodiscard]] static StorageDriverError invalid_parameter_value(std::string_view name, std::string_view value);
  [[nodiscard]] static StorageDriverError invalid_media_borrowed(RStr text);
  [[nodiscard]] static StorageDriverError invalid_media_owned(std::string_view text);
  [[nodiscard]] static StorageDriverError unsafe_path(std::string_view path_text);
};
static_assert(sizeof(StorageDriverError) == 72);
static_assert(offsetof(StorageDriverError, payload) == 8);
static_assert(offsetof(StorageDriverError, payload.parameter.value) == 40);
static_assert(offsetof(StorageDriverError, payload.security.unsafe_path) == 16);

// Releases whatever the error owns (a borrowed RCow owns nothing).
void release(StorageDriverError& e);

// The record of a driver's error, carrying this binary's vtables.
[[nodiscard]] StorageDriverError to_record(const lmfs::StorageDriverError& e);

// The variant's name, e.g. "InvalidMediaType".
[[nodiscard]] std::string_view variant_name(StorageDriverErrorKind kind);

// An RResult of nothing: 80 bytes, the tag byte then room for the error.
using UnitResult = RResult<Unit, StorageDriverError>;
static_assert(sizeof(UnitResult) == 80 && offsetof(UnitResult, payload) == 8);

[[nodiscard]] inline UnitResult unit_ok() {
  UnitResult r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  r.tag = kROk;
  return r;
}
[[nodiscard]] inline UnitResult unit_err(const StorageDriverError& e) {
  UnitResult r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  r.tag = kRErr;
  r.payload.err = e;
  return r;
}

}  // namespace lmfs::abi
