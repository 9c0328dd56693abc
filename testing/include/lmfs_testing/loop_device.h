// Loop devices over image files, for tests that need a real block device
// (root only). A device is attached with autoclear and held open by its
// owner, so the kernel detaches it once the last user has gone, even when the
// test dies without running destructors. Failures are values: path() is
// empty and error() says why.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "lmfs_base/unique.h"

namespace lmfs::testing {

// Makes `path` a sparse file of `bytes` bytes, replacing what it held.
// Returns why it failed, or "" on success.
[[nodiscard]] std::string make_image(const std::string& path, std::uint64_t bytes);

// A sparse image file that is removed on destruction.
class ImageFile {
 public:
  ImageFile(std::string path, std::uint64_t bytes);
  ~ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] const std::string& error() const { return error_; }  // "" when it was made

 private:
  std::string path_;
  std::string error_;
};

class LoopDevice {
 public:
  // Over the existing image file `image`.
  explicit LoopDevice(const std::string& image);
  // Over `image`, made first as a sparse file of `bytes` bytes.
  LoopDevice(const std::string& image, std::uint64_t bytes);
  // Detaches at once when nobody else has the device open, else autoclear
  // does it after the last user.
  ~LoopDevice();
  LoopDevice(LoopDevice&&) noexcept = default;
  LoopDevice& operator=(LoopDevice&&) noexcept = default;

  [[nodiscard]] bool attached() const { return fd_.valid(); }
  [[nodiscard]] const std::string& path() const { return path_; }    // "/dev/loopN", "" when not attached
  [[nodiscard]] const std::string& error() const { return error_; }  // why it is not attached
  // The device number the kernel lists for it in sysfs (0 when unknown).
  [[nodiscard]] dev_t number() const;

 private:
  void attach(const std::string& image);

  base::UniqueFd fd_;
  std::string path_;
  std::string error_;
};

}  // namespace lmfs::testing
