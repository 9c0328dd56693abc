// The stand-ins and the namespace they run in. A suite built with
// `lmfs_test(... MAIN lmfs_env)` re-runs itself inside a fresh lmfs-env
// (env_main.cpp), so each of its test processes has its own /proc view,
// /dev/shm and scratch directory; everything else here only reads where.
#pragma once

#include <string>

namespace lmfs::testing {

// The mount options the plug-in gives mount.loomfs.
inline constexpr const char* kMountOptions = "order=relaxed,nogc,barrier,discard";

// The directory of the built stand-ins (mkfs.loomfs, ..., lmfs-env).
[[nodiscard]] std::string standin_dir();
[[nodiscard]] std::string standin(const std::string& tool);  // standin_dir() + "/" + tool

// Whether this process runs inside lmfs-env, and the scratch directory that
// run provides (/tmp outside one).
[[nodiscard]] bool in_lmfs_env();
[[nodiscard]] std::string env_dir();

// Replaces this process with `lmfs-env -- SELF ARGS...`; returns 125 only
// when that fails.
int reenter_under_lmfs_env(int argc, char** argv);

}  // namespace lmfs::testing
