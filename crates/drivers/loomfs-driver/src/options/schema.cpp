#include "schema.h"

#include <iterator>

#include "lmfs_text/strcat.h"

namespace lmfs::loomfs::json {
namespace {

// In MediumKind order.
constexpr std::string_view kKindNames[] = {"Block", "Path", "URN", "None"};

std::string expecting(Want want) {
  switch (want) {
    case Want::Options:
    case Want::Media:
    case Want::OsString:
    case Want::PathBuf: return "struct " + std::string(record_name(want));
    case Want::Flags:
    case Want::Text: return "a string";
    case Want::Path: return "path string";
    case Want::MediumList:
    case Want::ByteList: return "a sequence";
    case Want::Byte: return "u8";
    case Want::Unit: return "unit";
    case Want::VariantName: return "variant identifier";
  }
  return "any value";
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

std::unexpected<Failure> invalid_type(std::string_view unexpected, Want want) {
  return custom(text::cat("invalid type: ", unexpected, ", expected ", expecting(want)));
}

std::unexpected<Failure> invalid_value(std::string_view unexpected, Want want) {
  return custom(text::cat("invalid value: ", unexpected, ", expected ", expecting(want)));
}

std::unexpected<Failure> unknown_variant(std::string_view name) {
  return custom("unknown variant `" + std::string(name) + "`, expected one of `Block`, `Path`, `URN`, `None`");
}

std::unexpected<Failure> missing_field(std::string_view name) { return custom("missing field `" + std::string(name) + "`"); }

std::unexpected<Failure> duplicate_field(std::string_view name) {
  return custom("duplicate field `" + std::string(name) + "`");
}

std::unexpected<Failure> invalid_length(std::size_t count, Want record, std::size_t fields) {
  return custom("invalid length " + std::to_string(count) + ", expected " + expecting(record) + " with " +
                std::to_string(fields) + (fields == 1 ? " element" : " elements"));
}

std::unexpected<Failure> unit_variant() { return custom("invalid type: unit variant, expected newtype variant"); }

}  // namespace lmfs::loomfs::json
