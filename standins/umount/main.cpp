// umount.loomfs DEVICE
//
// Unmounts the stand-in loomfs mounted from DEVICE, found in the kernel's
// mount table by the daemon's fsname, then waits until the daemon has written
// the file system out and let go of the device. Reads no environment variable:
// it is run through sudo, which resets the environment.
#include <cstdio>
#include <string_view>
#include <sys/mount.h>

#include "device.h"
#include "mount_table.h"
#include "lmfs_base/try.h"

namespace lmfs::standin {
namespace {

constexpr const char* kUsage = "usage: umount.loomfs DEVICE\n";
constexpr std::chrono::seconds kDaemonExitLimit{60};

Result<void> unmount(const std::string& name) {
  auto device = LMFS_TRY(canonical_path(name));
  auto table = LMFS_TRY(read_kernel_mounts());
  const std::vector<MountLine> mounts = mounts_of_device(table, device);
  if (mounts.empty()) {
    return fail(device + " is not mounted");
  }
  // Topmost first, should the device show up more than once.
  for (auto m = mounts.rbegin(); m != mounts.rend(); ++m) {
    const std::string dir = unescape_field(m->dir);
    if (::umount2(dir.c_str(), UMOUNT_NOFOLLOW) != 0) {
      return sys_fail("cannot unmount " + dir);
    }
  }
  auto released = wait_until_released(device, kDaemonExitLimit);
  // The daemon rewrites the shown table as it leaves; this covers one that
  // had died before.
  auto shown = refresh_shown_mounts();
  if (!released) return released;
  return shown;
}

}  // namespace
}  // namespace lmfs::standin

int main(int argc, char** argv) {
  using namespace lmfs::standin;
  if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (auto r = unmount(argv[1]); !r) {
    std::fprintf(stderr, "umount.loomfs: %s\n", r.error().message().c_str());
    return kExitFailure;
  }
  return kExitOk;
}
