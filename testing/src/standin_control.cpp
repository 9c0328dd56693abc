#include "lmfs_testing/standin_control.h"

#include <fcntl.h>
#include <linux/ioctl.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "lmfs_base/unique.h"
#include "lmfs_base/try.h"

namespace lmfs::testing {
namespace {

struct ModeChange {
  std::uint64_t number;
  std::uint32_t mode;
  std::uint32_t reserved;
};
struct StatusWords {
  std::uint64_t number, snapshots, violations;
};
constexpr unsigned long kChangeMode = _IOW(0x6E, 0x80, ModeChange);
constexpr unsigned long kGetStatus = _IOR(0x6E, 0x83, StatusWords);
constexpr unsigned long kSync = _IOR(0x6E, 0x8A, std::uint64_t);
static_assert(kChangeMode == 0x40106E80 && kGetStatus == 0x80186E83 && kSync == 0x80086E8A);

// Sends `request` with `arg` on the mount directory.
template <class Arg>
std::expected<void, int> request(const std::string& dir, unsigned long request, Arg* arg) {
  const base::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd || ::ioctl(fd.get(), request, arg) != 0) return std::unexpected(errno);
  return {};
}

}  // namespace

std::expected<std::uint64_t, int> sync_fs(const std::string& dir) {
  std::uint64_t number = 0;
  LMFS_TRY(request(dir, kSync, &number));
  return number;
}

std::expected<FsStatus, int> get_status(const std::string& dir) {
  StatusWords words{};
  LMFS_TRY(request(dir, kGetStatus, &words));
  return FsStatus{words.number, words.snapshots, words.violations};
}

std::expected<void, int> change_mode(const std::string& dir, std::uint64_t number, std::uint32_t mode,
                                     std::uint32_t reserved) {
  ModeChange change{number, mode, reserved};
  return request(dir, kChangeMode, &change);
}

}  // namespace lmfs::testing
