#include <charconv>

#include "lmfs_interface/error.h"
#include "lmfs_interface/media.h"
#include "lmfs_interface/snapshot.h"

namespace lmfs::abi {
namespace {

template <class T>
T zeroed() {
  T v;
  std::memset(static_cast<void*>(&v), 0, sizeof v);
  return v;
}

}  // namespace

// ---------------------------------------------------------------- media

RPathBuf own_path(std::string_view bytes) { return RPathBuf{own_bytes(bytes)}; }

void release_element(StorageMedium& m) {
  switch (m.tag) {
    case static_cast<std::uint8_t>(MediumKind::Block): release(m.payload.block.inner); break;
    case static_cast<std::uint8_t>(MediumKind::Path): release(m.payload.path.inner); break;
    case static_cast<std::uint8_t>(MediumKind::URN): release(m.payload.urn); break;
    default: break;
  }
}

StorageMedia to_record(const lmfs::StorageMedia& media) {
  StorageMedia out{own_vec<StorageMedium>()};
  for (const auto& m : media.inner) {
    auto rec = zeroed<StorageMedium>();
    rec.tag = static_cast<std::uint8_t>(m.kind);
    switch (m.kind) {
      case MediumKind::Block: rec.payload.block.inner = own_string(m.value); break;
      case MediumKind::Path: rec.payload.path.inner = own_bytes(m.value); break;
      case MediumKind::URN: rec.payload.urn = own_string(m.value); break;
      case MediumKind::None: break;
    }
    push(out.inner, rec);
  }
  return out;
}

lmfs::StorageMedia from_record(const StorageMedia& media) {
  lmfs::StorageMedia out;
  for (const StorageMedium& m : media.inner.view()) {
    switch (m.tag) {
      case 0: out.inner.push_back(lmfs::StorageMedium::block(std::string(m.payload.block.inner.view()))); break;
      case 1: out.inner.push_back(lmfs::StorageMedium::path(std::string(m.payload.path.bytes()))); break;
      case 2: out.inner.push_back(lmfs::StorageMedium::urn(std::string(m.payload.urn.view()))); break;
      default: out.inner.push_back(lmfs::StorageMedium::none()); break;
    }
  }
  return out;
}

// ---------------------------------------------------------------- errors

StorageDriverError StorageDriverError::text_error(StorageDriverErrorKind kind, std::string_view text) {
  auto e = zeroed<StorageDriverError>();
  e.tag = kind;
  e.payload.text = own_string(text);
  return e;
}

StorageDriverError StorageDriverError::invalid_parameter_value(std::string_view name, std::string_view value) {
  auto e = zeroed<StorageDriverError>();
  e.tag = StorageDriverErrorKind::InvalidParameterValue;
  e.payload.parameter.name = own_string(name);
  e.payload.parameter.value = own_string(value);
  return e;
}

StorageDriverError StorageDriverError::invalid_media_borrowed(RStr text) {
  auto e = zeroed<StorageDriverError>();
  e.tag = StorageDriverErrorKind::InvalidMediaType;
  e.payload.cow.tag = kCowBorrowed;
  e.payload.cow.payload.borrowed = text;
  return e;
}

StorageDriverError StorageDriverError::invalid_media_owned(std::string_view text) {
  auto e = zeroed<StorageDriverError>();
  e.tag = StorageDriverErrorKind::InvalidMediaType;
  e.payload.cow.tag = kCowOwned;
  e.payload.cow.payload.owned = own_string(text);
  return e;
}

StorageDriverError StorageDriverError::unsafe_path(std::string_view path_text) {
  auto e = zeroed<StorageDriverError>();
  e.tag = StorageDriverErrorKind::SecurityError;
  e.payload.security.tag = 0;
  e.payload.security.unsafe_path = own_string(path_text);
  return e;
}

StorageDriverError to_record(const lmfs::StorageDriverError& e) {
  using Kind = StorageDriverErrorKind;
  switch (e.kind) {
    case Kind::InvalidParameterValue: return StorageDriverError::invalid_parameter_value(e.text, e.value);
    case Kind::InvalidMediaType:
    case Kind::NotApplicable: {
      StorageDriverError r = e.static_text.data() != nullptr
                                 ? StorageDriverError::invalid_media_borrowed(RStr::from_static(e.static_text))
                                 : StorageDriverError::invalid_media_owned(e.text);
      r.tag = e.kind;
      return r;
    }
    case Kind::SecurityError: return StorageDriverError::unsafe_path(e.text);
    default: return StorageDriverError::text_error(e.kind, e.text);
  }
}

void release(StorageDriverError& e) {
  switch (e.tag) {
    case StorageDriverErrorKind::InvalidParameterValue:
      release(e.payload.parameter.name);
      release(e.payload.parameter.value);
      break;
    case StorageDriverErrorKind::InvalidMediaType:
    case StorageDriverErrorKind::NotApplicable:
      if (e.payload.cow.tag == kCowOwned) release(e.payload.cow.payload.owned);
      break;
    case StorageDriverErrorKind::SecurityError:
      release(e.payload.security.unsafe_path);
      break;
    default:
      release(e.payload.text);
      break;
  }
}

std::string_view variant_name(StorageDriverErrorKind kind) {
  static constexpr std::string_view names[] = {"NotSupported",     "InvalidConfig", "UnknownParameter",
                                               "InvalidParameterValue", "Unimplemented", "InvalidMediaType",
                                               "SecurityError",    "NotApplicable", "Other"};
  const auto i = static_cast<std::size_t>(kind);
  return i < std::size(names) ? names[i] : std::string_view("<unknown>");
}

// ---------------------------------------------------------------- snapshots

RSnapshot to_record(const lmfs::Snapshot& snapshot) {
  auto s = zeroed<RSnapshot>();
  s.id = own_string(snapshot.id);
  s.timestamp = snapshot.timestamp;
  s.metadata.tag = kRNone;
  if (snapshot.metadata) s.metadata = ROption<RVec<std::uint8_t>>::some(own_bytes(*snapshot.metadata));
  return s;
}

void release(RSnapshot& s) {
  release(s.id);
  if (s.metadata.is_some()) release(s.metadata.value);
}

}  // namespace lmfs::abi

namespace lmfs {

Snapshot Snapshot::from_checkpoint(std::uint64_t checkpoint) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, checkpoint);
  (void)ec;
  return Snapshot{std::string(digits, static_cast<std::size_t>(end - digits)), 0, std::nullopt};
}

}  // namespace lmfs
