// What a store lives on: an ordered list of media, each a block device, a path,
// a URN or nothing. The plug-in's own value types come first; the records that
// cross the plug-in boundary (namespace lmfs::abi) follow, with the copies
// between the two.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lmfs_abi/records.h"

namespace lmfs {

enum class MediumKind : std::uint8_t { Block = 0, Path = 1, URN = 2, None = 3 };

struct StorageMedium {
  MediumKind kind = MediumKind::None;
  // Block: the device name (UTF-8 text); Path: the path's bytes (any bytes);
  // URN: the text; None: empty.
  std::string value;

  static StorageMedium block(std::string device) { return {MediumKind::Block, std::move(device)}; }
  static StorageMedium path(std::string bytes) { return {MediumKind::Path, std::move(bytes)}; }
  static StorageMedium urn(std::string text) { return {MediumKind::URN, std::move(text)}; }
  static StorageMedium none() { return {MediumKind::None, {}}; }

  friend bool operator==(const StorageMedium&, const StorageMedium&) = default;
};

struct StorageMedia {
  std::vector<StorageMedium> inner;

  friend bool operator==(const StorageMedia&, const StorageMedia&) = default;
};

// Text of one medium: Block "/dev..." (prefixed with "/dev" unless it already
// starts so), Path as lossy UTF-8, URN "urn:" + text, None "none::".
[[nodiscard]] std::string medium_text(const StorageMedium& medium);

// Texts of the media joined with "," (empty list: empty text).
[[nodiscard]] std::string media_text(const StorageMedia& media);

// Debug forms: `Block(ROsString { inner: "/dev/sdb" })`,
// `Path(RPathBuf { inner: [47, 100] })`, `URN("x")`, `None`, and
// `StorageMedia { inner: [...] }`; plain or alternate layout.
[[nodiscard]] std::string debug_medium(const StorageMedium& medium, bool alternate);
[[nodiscard]] std::string debug_media(const StorageMedia& media, bool alternate);
// `ROsString { inner: "..." }`
[[nodiscard]] std::string debug_os_string_record(const std::string& text, bool alternate);

}  // namespace lmfs

// ---------------------------------------------------------------- boundary records

namespace lmfs::abi {

struct ROsString {
  RString inner;
};
static_assert(sizeof(ROsString) == 32);

struct RPathBuf {
  RVec<std::uint8_t> inner;

  [[nodiscard]] std::string_view bytes() const {
    return inner.length == 0 ? std::string_view{} : std::string_view{reinterpret_cast<const char*>(inner.buffer), inner.length};
  }
};
static_assert(sizeof(RPathBuf) == 32);

// StorageMedium as the boundary lays it out: a one-byte kind tag (Block 0,
// Path 1, URN 2, None 3) and the value at offset 8.
struct StorageMedium {
  std::uint8_t tag;
  union Payload {
    ROsString block;
    RPathBuf path;
    RString urn;
  };
  alignas(8) Payload payload;
};
static_assert(sizeof(StorageMedium) == 40 && offsetof(StorageMedium, payload) == 8);

struct StorageMedia {
  RVec<StorageMedium> inner;
};
static_assert(sizeof(StorageMedia) == 32);

void release_element(StorageMedium& m);
inline void release(StorageMedia& m) { release(m.inner); }
inline void release(RPathBuf& p) { release(p.inner); }

// Copies between the plug-in's values and the boundary records. The records
// made here carry this binary's vtables; reading a record never takes it over.
[[nodiscard]] StorageMedia to_record(const lmfs::StorageMedia& media);
[[nodiscard]] lmfs::StorageMedia from_record(const StorageMedia& media);
[[nodiscard]] RPathBuf own_path(std::string_view bytes);
template <WritableText T>
[[nodiscard]] RPathBuf own_path(const T& path) {
  return RPathBuf{own_bytes(path)};
}

}  // namespace lmfs::abi
