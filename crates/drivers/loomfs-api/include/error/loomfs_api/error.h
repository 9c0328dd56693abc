// LoomFsApiError: the one error type of the file-system control API. A tagged
// union of 18 variants, each an owned value with a fixed text rendering; no
// numeric code is exposed. The driver wraps it unchanged in its own error.
//
// Build one from its variant record, e.g.
//   LoomFsApiError e = LoomFsApiError::SegmentTooSmall{8, 16};
//   e.message() == "Segment size 8 blocks is too small, need 16 blocks."
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "loomfs_api/io_error.h"

namespace lmfs::loomfs {

// Error of a reader of the kernel's /proc files, as its text.
struct ProcfsError {
  std::string message;
  friend bool operator==(const ProcfsError&, const ProcfsError&) = default;
};

// Error of the file-type (libmagic) binding, as its text.
struct MagicError {
  std::string message;
  friend bool operator==(const MagicError&, const MagicError&) = default;
};

// A byte string that cannot become a NUL-terminated string: where its first
// NUL byte is, and the bytes themselves.
struct NulError {
  std::size_t position = 0;
  std::string bytes;
  friend bool operator==(const NulError&, const NulError&) = default;
};

// A copy of `bytes` that can be passed on as a C string, or the NulError
// naming the first NUL byte.
[[nodiscard]] std::expected<std::string, NulError> to_c_string(std::string_view bytes);

class LoomFsApiError {
 public:
  // Variant records, in tag order.
  struct TooManyLayoutEntries {
    std::uint64_t count = 0;
    friend bool operator==(const TooManyLayoutEntries&, const TooManyLayoutEntries&) = default;
  };
  struct SegmentTooSmall {
    std::uint64_t size = 0;
    std::uint64_t needed = 0;
    friend bool operator==(const SegmentTooSmall&, const SegmentTooSmall&) = default;
  };
  struct TooManySegmentFiles {
    std::uint64_t count = 0;
    friend bool operator==(const TooManySegmentFiles&, const TooManySegmentFiles&) = default;
  };
  struct InodeOutOfRange {
    std::uint64_t inode = 0;
    friend bool operator==(const InodeOutOfRange&, const InodeOutOfRange&) = default;
  };
  struct InvalidStorage {
    std::string path;
    friend bool operator==(const InvalidStorage&, const InvalidStorage&) = default;
  };  // path bytes
  struct DeviceBusy {
    std::string path;
    friend bool operator==(const DeviceBusy&, const DeviceBusy&) = default;
  };  // path bytes
  struct LoopDevicePath {
    friend bool operator==(const LoopDevicePath&, const LoopDevicePath&) = default;
  };
  struct ContainsData {
    std::string text;
    friend bool operator==(const ContainsData&, const ContainsData&) = default;
  };
  struct LockFailed {
    std::string text;
    friend bool operator==(const LockFailed&, const LockFailed&) = default;
  };
  struct Io {
    IoError error;
    friend bool operator==(const Io&, const Io&) = default;
  };
  struct Procfs {
    ProcfsError error;
    friend bool operator==(const Procfs&, const Procfs&) = default;
  };
  struct Magic {
    MagicError error;
    friend bool operator==(const Magic&, const Magic&) = default;
  };
  struct System {
    std::int32_t errnum = 0;
    friend bool operator==(const System&, const System&) = default;
  };
  struct NullPointer {
    NulError error;
    friend bool operator==(const NullPointer&, const NullPointer&) = default;
  };
  struct NotOpen {
    friend bool operator==(const NotOpen&, const NotOpen&) = default;
  };
  struct OpenFailed {
    friend bool operator==(const OpenFailed&, const OpenFailed&) = default;
  };
  struct SyncFailed {
    friend bool operator==(const SyncFailed&, const SyncFailed&) = default;
  };
  struct ChangeFailed {
    std::string from;
    std::string to;
    friend bool operator==(const ChangeFailed&, const ChangeFailed&) = default;
  };

  using Payload =
      std::variant<TooManyLayoutEntries, SegmentTooSmall, TooManySegmentFiles, InodeOutOfRange,
                   InvalidStorage, DeviceBusy, LoopDevicePath, ContainsData, LockFailed, Io, Procfs, Magic,
                   System, NullPointer, NotOpen, OpenFailed, SyncFailed, ChangeFailed>;

  // The variant's tag, equal to its position in Payload.
  enum class Kind : std::uint8_t {
    TooManyLayoutEntries,
    SegmentTooSmall,
    TooManySegmentFiles,
    InodeOutOfRange,
    InvalidStorage,
    DeviceBusy,
    LoopDevicePath,
    ContainsData,
    LockFailed,
    Io,
    Procfs,
    Magic,
    System,
    NullPointer,
    NotOpen,
    OpenFailed,
    SyncFailed,
    ChangeFailed,
  };

  // From any variant record.
  // clang-format off
  template <class V>
    requires(!std::is_same_v<std::remove_cvref_t<V>, LoomFsApiError> &&
             std::is_constructible_v<Payload, V &&>)
  LoomFsApiError(V&& variant) : payload_(std::forward<V>(variant)) {}  // NOLINT: implicit on purpose
  // clang-format on

  // A failed C-string conversion becomes NullPointer.
  LoomFsApiError(NulError error) : payload_(NullPointer{std::move(error)}) {}  // NOLINT

  [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(payload_.index()); }
  [[nodiscard]] const Payload& payload() const noexcept { return payload_; }

  // The variant record if the error is of that variant, else null.
  template <class V>
  [[nodiscard]] const V* get_if() const noexcept {
    return std::get_if<V>(&payload_);
  }

  // The rendering: one line, no trailing newline.
  [[nodiscard]] std::string message() const;
  // Appends the rendering to `out`.
  void write_to(std::string& out) const;

  friend bool operator==(const LoomFsApiError&, const LoomFsApiError&) = default;

 private:
  Payload payload_;
};

}  // namespace lmfs::loomfs
