#include "lmfs_testing/loop_device.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "lmfs_testing/files.h"
#include "lmfs_text/errno_text.h"
#include "lmfs_text/number.h"

namespace lmfs::testing {
namespace {

using base::UniqueFd;

std::string failed(const std::string& what) { return what + ": " + text::libc_error_text(errno); }

}  // namespace

std::string make_image(const std::string& path, std::uint64_t bytes) {
  const UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) return failed("cannot make the image " + path);
  if (::ftruncate(fd.get(), static_cast<off_t>(bytes)) != 0) return failed("cannot size the image " + path);
  return "";
}

ImageFile::ImageFile(std::string path, std::uint64_t bytes)
    : path_(std::move(path)), error_(make_image(path_, bytes)) {}

ImageFile::~ImageFile() { ::unlink(path_.c_str()); }

LoopDevice::LoopDevice(const std::string& image) { attach(image); }

LoopDevice::LoopDevice(const std::string& image, std::uint64_t bytes) {
  error_ = make_image(image, bytes);
  if (error_.empty()) attach(image);
}

void LoopDevice::attach(const std::string& image) {
  const UniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  if (!control) {
    error_ = failed("cannot open /dev/loop-control");
    return;
  }
  const UniqueFd backing(::open(image.c_str(), O_RDWR | O_CLOEXEC));
  if (!backing) {
    error_ = failed("cannot open " + image);
    return;
  }
  // Another process may take the free device first; then ask again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int n = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
    if (n < 0) {
      error_ = failed("no free loop device");
      return;
    }
    const std::string path = "/dev/loop" + std::to_string(n);
    UniqueFd device(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!device) continue;
    loop_config config{};
    config.fd = static_cast<std::uint32_t>(backing.get());
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
    std::snprintf(reinterpret_cast<char*>(config.info.lo_file_name), LO_NAME_SIZE, "%s", image.c_str());
    if (::ioctl(device.get(), LOOP_CONFIGURE, &config) == 0) {
      fd_ = std::move(device);
      path_ = path;
      error_.clear();
      return;
    }
    if (errno != EBUSY) {
      error_ = failed("cannot attach " + path + " to " + image);
      return;
    }
  }
  error_ = "cannot attach a loop device to " + image + ": every free one was taken first";
}

LoopDevice::~LoopDevice() {
  // Fails while the device is busy; autoclear then finishes it.
  if (fd_) static_cast<void>(::ioctl(fd_.get(), LOOP_CLR_FD, 0));
}

dev_t LoopDevice::number() const {
  if (path_.empty()) return 0;
  const std::string dev = read_file("/sys/class/block/" + path_.substr(path_.rfind('/') + 1) + "/dev");
  // "MAJOR:MINOR\n"
  const std::string_view numbers = std::string_view(dev).substr(0, dev.find('\n'));
  const std::size_t colon = numbers.find(':');
  if (colon == std::string_view::npos) return 0;
  const auto major_number = text::whole_number<unsigned>(numbers.substr(0, colon));
  const auto minor_number = text::whole_number<unsigned>(numbers.substr(colon + 1));
  if (!major_number || !minor_number) return 0;
  return makedev(*major_number, *minor_number);
}

}  // namespace lmfs::testing
