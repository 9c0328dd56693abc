// The standard I/O error value shared by the control API and the driver: either
// an OS error (an errno value) or an error of a given kind with its own text.
// Its text is the one the host language's standard I/O error shows:
// "<C library's strerror text> (os error N)" for an OS error, the own text
// otherwise, or the kind's short text when there is none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lmfs::loomfs {

// Broad categories of I/O errors; each OS error number falls into one.
enum class IoErrorKind : std::uint8_t {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  FilesystemLoop,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  StorageFull,
  NotSeekable,
  FilesystemQuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossesDevices,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  Other,
  Uncategorized,
};

// Short lower-case text of a kind ("entity not found").
[[nodiscard]] std::string_view io_error_kind_text(IoErrorKind kind) noexcept;

// The kind an OS error number belongs to (ENOENT: NotFound; unknown: Uncategorized).
[[nodiscard]] IoErrorKind io_error_kind_of(int errnum) noexcept;

struct IoError {
  IoErrorKind kind = IoErrorKind::Other;
  std::optional<int> os_code;  // the errno value of an OS error
  std::string detail;          // own text of an error that is not an OS error

  // An OS error; its kind follows from the number.
  [[nodiscard]] static IoError from_os(int errnum);
  // An OS error from the calling thread's current errno.
  [[nodiscard]] static IoError last_os_error();
  // An error of `kind` with its own text (empty: the kind's text is shown).
  [[nodiscard]] static IoError custom(IoErrorKind kind, std::string detail);

  [[nodiscard]] std::string message() const;

  friend bool operator==(const IoError&, const IoError&) = default;
};

}  // namespace lmfs::loomfs
