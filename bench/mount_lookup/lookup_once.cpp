// One mount lookup in a process of its own: lookup_once TABLE DEVICE.
// Prints the mount directory; exit status 1 when nothing matched.
#include <cstdio>
#include <cstdlib>

#include "lmfs_base/unique.h"
#include "loomfs_internal.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const lmfs::base::UniqueFile table(std::fopen(argv[1], "re"));
  if (!table) return 2;
  loomfs fs{nullptr, nullptr, nullptr, -1, -1, nullptr};
  const int rc = loomfs_find_fs_in(&fs, table.get(), argv[2], nullptr, "rw");
  if (rc == 0) std::puts(fs.n_mntdir);
  std::free(fs.n_devpath);
  std::free(fs.n_mntdir);
  return rc == 0 ? 0 : 1;
}
