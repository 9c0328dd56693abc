// One mount lookup in a process of its own: lookup_once TABLE DEVICE.
// Prints the mount directory; exit status 1 when nothing matched.
#include <cstdio>
#include <cstdlib>

#include "loomfs_internal.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  FILE* table = std::fopen(argv[1], "re");
  if (table == nullptr) return 2;
  loomfs fs{nullptr, nullptr, nullptr, -1, -1, nullptr};
  int rc = loomfs_find_fs_in(&fs, table, argv[2], nullptr, "rw");
  std::fclose(table);
  if (rc == 0) std::puts(fs.n_mntdir);
  std::free(fs.n_devpath);
  std::free(fs.n_mntdir);
  return rc == 0 ? 0 : 1;
}
