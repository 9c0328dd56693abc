// Unique<Traits>: the one owner type of this project for every handle the
// system hands out (descriptors, directory and C streams, child processes, ...).
// It holds one handle, releases it through Traits when it goes, is move-only,
// and gives the handle up only through release(), which must be used.
//
//   lmfs::base::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
//   if (!fd) return error_from_errno();
//   ... ::read(fd.get(), ...) ...
//
// A Traits type names the handle type, its invalid value and how to release
// it:
//
//   struct FdTraits {
//     using Handle = int;
//     static constexpr int invalid() noexcept { return -1; }
//     static void release(int fd) noexcept { ::close(fd); }
//   };
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>

#include <utility>

namespace lmfs::base {

template <class Traits>
class Unique {
 public:
  using Handle = typename Traits::Handle;

  Unique() noexcept = default;
  explicit Unique(Handle handle) noexcept : handle_(handle) {}
  Unique(Unique&& other) noexcept : handle_(other.release()) {}
  Unique& operator=(Unique&& other) noexcept {
    reset(other.release());
    return *this;
  }
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;
  ~Unique() { reset(); }

  [[nodiscard]] Handle get() const noexcept { return handle_; }
  [[nodiscard]] bool valid() const noexcept { return handle_ != Traits::invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Hands the handle to the caller, who now owns it.
  [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, Traits::invalid()); }

  // Releases the handle held (if any) and holds `handle` instead. Given the
  // handle it already holds, it keeps it (releasing it would leave the
  // owner holding a released handle).
  void reset(Handle handle = Traits::invalid()) noexcept {
    if (handle == handle_) return;
    const Handle old = std::exchange(handle_, handle);
    if (old != Traits::invalid()) Traits::release(old);
  }

 private:
  Handle handle_ = Traits::invalid();
};

// A file descriptor. close() is not retried on EINTR: on Linux the
// descriptor is gone whatever close() answers.
struct FdTraits {
  using Handle = int;
  static constexpr int invalid() noexcept { return -1; }
  static void release(int fd) noexcept { static_cast<void>(::close(fd)); }
};
using UniqueFd = Unique<FdTraits>;

// A directory stream (opendir; null is none).
struct DirTraits {
  using Handle = DIR*;
  static constexpr DIR* invalid() noexcept { return nullptr; }
  static void release(DIR* dir) noexcept { static_cast<void>(::closedir(dir)); }
};
using UniqueDir = Unique<DirTraits>;

// A C stream (fopen and the libraries built on it; null is none). Only for
// streams that are read: what fclose would report of unwritten data is lost.
struct FileTraits {
  using Handle = std::FILE*;
  static constexpr std::FILE* invalid() noexcept { return nullptr; }
  static void release(std::FILE* file) noexcept { static_cast<void>(std::fclose(file)); }
};
using UniqueFile = Unique<FileTraits>;

}  // namespace lmfs::base
