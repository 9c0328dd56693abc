// The main of suites built with `lmfs_test(... MAIN lmfs_env)`, in place of
// gtest_main's: the tests run inside a fresh lmfs-env namespace, which needs
// root. Listing the tests, as CTest does to register them, needs no
// namespace.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string_view>

#include "lmfs_testing/lmfs_env.h"

namespace {

bool lists_tests(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]).starts_with("--gtest_list_tests")) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (!lists_tests(argc, argv) && !lmfs::testing::in_lmfs_env()) {
    if (::geteuid() == 0) return lmfs::testing::reenter_under_lmfs_env(argc, argv);
    // Not one case could run. GoogleTest's own mark of a skipped case, which
    // CTest looks for, makes it a skip rather than a pass.
    std::printf("[  SKIPPED ] needs root: the tests run inside lmfs-env\n");
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
