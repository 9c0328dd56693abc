#include "loomfs_api/io_error.h"

#include <cerrno>

#include "lmfs_text/errno_text.h"

namespace lmfs::loomfs {

std::string_view io_error_kind_text(IoErrorKind kind) noexcept {
  using enum IoErrorKind;
  switch (kind) {
    case NotFound: return "entity not found";
    case PermissionDenied: return "permission denied";
    case ConnectionRefused: return "connection refused";
    case ConnectionReset: return "connection reset";
    case HostUnreachable: return "host unreachable";
    case NetworkUnreachable: return "network unreachable";
    case ConnectionAborted: return "connection aborted";
    case NotConnected: return "not connected";
    case AddrInUse: return "address in use";
    case AddrNotAvailable: return "address not available";
    case NetworkDown: return "network down";
    case BrokenPipe: return "broken pipe";
    case AlreadyExists: return "entity already exists";
    case WouldBlock: return "operation would block";
    case NotADirectory: return "not a directory";
    case IsADirectory: return "is a directory";
    case DirectoryNotEmpty: return "directory not empty";
    case ReadOnlyFilesystem: return "read-only filesystem or storage medium";
    case FilesystemLoop: return "filesystem loop or indirection limit (e.g. symlink loop)";
    case StaleNetworkFileHandle: return "stale network file handle";
    case InvalidInput: return "invalid input parameter";
    case InvalidData: return "invalid data";
    case TimedOut: return "timed out";
    case WriteZero: return "write zero";
    case StorageFull: return "no storage space";
    case NotSeekable: return "seek on unseekable file";
    case FilesystemQuotaExceeded: return "filesystem quota exceeded";
    case FileTooLarge: return "file too large";
    case ResourceBusy: return "resource busy";
    case ExecutableFileBusy: return "executable file busy";
    case Deadlock: return "deadlock";
    case CrossesDevices: return "cross-device link or rename";
    case TooManyLinks: return "too many links";
    case InvalidFilename: return "invalid filename";
    case ArgumentListTooLong: return "argument list too long";
    case Interrupted: return "operation interrupted";
    case Unsupported: return "unsupported";
    case UnexpectedEof: return "unexpected end of file";
    case OutOfMemory: return "out of memory";
    case Other: return "other error";
    case Uncategorized: break;
  }
  return "uncategorized error";
}

IoErrorKind io_error_kind_of(int errnum) noexcept {
  using enum IoErrorKind;
  switch (errnum) {
    case E2BIG: return ArgumentListTooLong;
    case EADDRINUSE: return AddrInUse;
    case EADDRNOTAVAIL: return AddrNotAvailable;
    case EBUSY: return ResourceBusy;
    case ECONNABORTED: return ConnectionAborted;
    case ECONNREFUSED: return ConnectionRefused;
    case ECONNRESET: return ConnectionReset;
    case EDEADLK: return Deadlock;
    case EDQUOT: return FilesystemQuotaExceeded;
    case EEXIST: return AlreadyExists;
    case EFBIG: return FileTooLarge;
    case EHOSTUNREACH: return HostUnreachable;
    case EINTR: return Interrupted;
    case EINVAL: return InvalidInput;
    case EISDIR: return IsADirectory;
    case ELOOP: return FilesystemLoop;
    case ENOENT: return NotFound;
    case ENOMEM: return OutOfMemory;
    case ENOSPC: return StorageFull;
    case ENOSYS: return Unsupported;
    case EMLINK: return TooManyLinks;
    case ENAMETOOLONG: return InvalidFilename;
    case ENETDOWN: return NetworkDown;
    case ENETUNREACH: return NetworkUnreachable;
    case ENOTCONN: return NotConnected;
    case ENOTDIR: return NotADirectory;
    case ENOTEMPTY: return DirectoryNotEmpty;
    case EPIPE: return BrokenPipe;
    case EROFS: return ReadOnlyFilesystem;
    case ESPIPE: return NotSeekable;
    case ESTALE: return StaleNetworkFileHandle;
    case ETIMEDOUT: return TimedOut;
    case ETXTBSY: return ExecutableFileBusy;
    case EXDEV: return CrossesDevices;
    case EACCES:
    case EPERM: return PermissionDenied;
    case EAGAIN: return WouldBlock;
    default: return Uncategorized;
  }
}

IoError IoError::from_os(int errnum) { return IoError{io_error_kind_of(errnum), errnum, {}}; }

IoError IoError::last_os_error() { return from_os(errno); }

IoError IoError::custom(IoErrorKind kind, std::string detail) {
  return IoError{kind, std::nullopt, std::move(detail)};
}

std::string IoError::message() const {
  if (os_code) {
    return text::libc_error_text(*os_code) + " (os error " + std::to_string(*os_code) + ")";
  }
  if (!detail.empty()) return detail;
  return std::string(io_error_kind_text(kind));
}

}  // namespace lmfs::loomfs
