#include "schema.h"

#include <iterator>

namespace lmfs::loomfs::json {
namespace {

constexpr Field kOptionsFields[] = {
    {"flags", Want::Flags}, {"bin_dir", Want::Path}, {"media", Want::Media}, {"root", Want::Path}};
constexpr Field kMediaFields[] = {{"inner", Want::MediumList}};
constexpr Field kOsStringFields[] = {{"inner", Want::Text}};
constexpr Field kPathBufFields[] = {{"inner", Want::ByteList}};

// `flags` is optional: absent reads as null.
constexpr Record kOptions{"LoomFsDriverOptions", kOptionsFields, 0b1110};
constexpr Record kMedia{"StorageMedia", kMediaFields, 0b1};
constexpr Record kOsString{"ROsString", kOsStringFields, 0b1};
constexpr Record kPathBuf{"RPathBuf", kPathBufFields, 0b1};

// In MediumKind order.
constexpr std::string_view kKindNames[] = {"Block", "Path", "URN", "None"};

std::string expecting(Want want) {
  if (const Record* r = record_of(want)) return "struct " + std::string(r->name);
  switch (want) {
    case Want::Flags:
    case Want::Text: return "a string";
    case Want::Path: return "path string";
    case Want::MediumList:
    case Want::ByteList: return "a sequence";
    case Want::Byte: return "u8";
    case Want::Unit: return "unit";
    case Want::VariantName: return "variant identifier";
    default: return "any value";
  }
}

}  // namespace

const Record* record_of(Want want) {
  switch (want) {
    case Want::Options: return &kOptions;
    case Want::Media: return &kMedia;
    case Want::OsString: return &kOsString;
    case Want::PathBuf: return &kPathBuf;
    default: return nullptr;
  }
}

std::optional<MediumKind> kind_named(std::string_view name) {
  for (std::size_t k = 0; k < std::size(kKindNames); ++k) {
    if (name == kKindNames[k]) return static_cast<MediumKind>(k);
  }
  return std::nullopt;
}

Want want_of(MediumKind kind) {
  switch (kind) {
    case MediumKind::Block: return Want::OsString;
    case MediumKind::Path: return Want::PathBuf;
    case MediumKind::URN: return Want::Text;
    case MediumKind::None: break;
  }
  return Want::Unit;
}

Failure invalid_type(std::string_view unexpected, Want want, std::size_t index) {
  return {"invalid type: " + std::string(unexpected) + ", expected " + expecting(want), index};
}

Failure invalid_value(std::string_view unexpected, Want want, std::size_t index) {
  return {"invalid value: " + std::string(unexpected) + ", expected " + expecting(want), index};
}

Failure unknown_variant(std::string_view name, std::size_t index) {
  return {"unknown variant `" + std::string(name) + "`, expected one of `Block`, `Path`, `URN`, `None`", index};
}

Failure missing_field(std::string_view name, std::size_t index) {
  return {"missing field `" + std::string(name) + "`", index};
}

Failure duplicate_field(std::string_view name, std::size_t index) {
  return {"duplicate field `" + std::string(name) + "`", index};
}

Failure invalid_length(std::size_t count, const Record& record, std::size_t index) {
  const std::size_t n = record.fields.size();
  return {"invalid length " + std::to_string(count) + ", expected struct " + std::string(record.name) + " with " +
              std::to_string(n) + (n == 1 ? " element" : " elements"),
          index};
}

Failure unit_variant(std::size_t index) { return {"invalid type: unit variant, expected newtype variant", index}; }

std::optional<Failure> number_verdict(Want want, const Number& number) {
  if (want != Want::Byte || number.kind == Number::Kind::Float) {
    return invalid_type(describe(number), want, number.end);
  }
  if (number.kind == Number::Kind::Signed || number.u > 0xFF) {
    return invalid_value(describe(number), want, number.end);
  }
  return std::nullopt;
}

}  // namespace lmfs::loomfs::json
