// loomfs-mtab [--install]
//
// Replaces the shown /proc/mounts of an lmfs-env namespace with one made from
// the kernel's table now. The stand-ins do this themselves whenever their
// mounts change; a test runs it after changing a mount by other means (a
// read-only remount, for instance). With --install it puts the first shown
// table in place, as lmfs-env does once at start.
#include <cstdio>
#include <string_view>

#include "mount_table.h"

int main(int argc, char** argv) {
  using namespace lmfs::standin;
  const bool install = argc == 2 && std::string_view(argv[1]) == "--install";
  if (argc != 1 && !install) {
    std::fputs("usage: loomfs-mtab [--install]\n", stderr);
    return kExitUsage;
  }
  if (auto r = install ? install_shown_mounts() : refresh_shown_mounts(); !r) {
    std::fprintf(stderr, "loomfs-mtab: %s\n", r.error().message().c_str());
    return kExitFailure;
  }
  return kExitOk;
}
