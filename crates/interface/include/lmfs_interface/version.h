// The version of the storage-driver interface: what a plug-in's library
// header states, what the packages of its type layouts carry, and what a host
// requires. A change of the interface changes it here alone.
#pragma once

// As a literal, for texts built at compile time ("lmfs-sec;" LMFS_INTERFACE_VERSION).
#define LMFS_INTERFACE_VERSION "0.0.0-next"

namespace lmfs {

inline constexpr char kInterfaceVersion[] = LMFS_INTERFACE_VERSION;

}  // namespace lmfs
