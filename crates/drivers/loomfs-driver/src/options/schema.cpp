#include "schema.h"

#include <iterator>

#include "lmfs_text/strcat.h"

namespace lmfs::loomfs::json {
namespace {

// In MediumKind order.
constexpr std::string_view kKindNames[] = {"Block", "Path", "URN", "None"};

// What a place expects, as the visitor names it: a prefix and a name.
struct Expecting {
  std::string_view prefix;
  std::string_view name;
};

Expecting expecting(Want want) {
  switch (want) {
    case Want::Options:
    case Want::Media:
    case Want::OsString:
    case Want::PathBuf: return {"struct ", record_name(want)};
    case Want::Flags:
    case Want::Text: return {"", "a string"};
    case Want::Path: return {"", "path string"};
    case Want::MediumList:
    case Want::ByteList: return {"", "a sequence"};
    case Want::Byte: return {"", "u8"};
    case Want::Unit: return {"", "unit"};
    case Want::VariantName: return {"", "variant identifier"};
  }
  return {"", "any value"};
}

}  // namespace

std::string_view record_name(Want record) {
  switch (record) {
    case Want::Options: return "LoomFsDriverOptions";
    case Want::Media: return "StorageMedia";
    case Want::OsString: return "ROsString";
    case Want::PathBuf: return "RPathBuf";
    default: return {};
  }
}

std::optional<MediumKind> kind_named(std::string_view name) {
  for (std::size_t k = 0; k < std::size(kKindNames); ++k) {
    if (name == kKindNames[k]) return static_cast<MediumKind>(k);
  }
  return std::nullopt;
}

Failure invalid_type(std::string_view unexpected, Want want) {
  const Expecting e = expecting(want);
  return custom(text::cat("invalid type: ", unexpected, ", expected ", e.prefix, e.name));
}

Failure invalid_value(std::string_view unexpected, Want want) {
  const Expecting e = expecting(want);
  return custom(text::cat("invalid value: ", unexpected, ", expected ", e.prefix, e.name));
}

Failure unknown_variant(std::string_view name) {
  return custom(text::cat("unknown variant `", name, "`, expected one of `Block`, `Path`, `URN`, `None`"));
}

Failure missing_field(std::string_view name) { return custom(text::cat("missing field `", name, '`')); }

Failure duplicate_field(std::string_view name) {
  return custom(text::cat("duplicate field `", name, '`'));
}

Failure invalid_length(std::size_t count, Want record, std::size_t fields) {
  const Expecting e = expecting(record);
  return custom(text::cat("invalid length ", count, ", expected ", e.prefix, e.name, " with ", fields,
                          fields == 1 ? " element" : " elements"));
}

Failure unit_variant() { return custom("invalid type: unit variant, expected newtype variant"); }

}  // namespace lmfs::loomfs::json
