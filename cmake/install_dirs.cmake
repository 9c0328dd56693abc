# Where an installation puts each part (GNUInstallDirs, relative to the
# prefix). Each part is its own install component, one per Debian package:
#
#   loomfs-plugin  libstorage_driver_loomfs.so in LMFS_PLUGIN_INSTALL_DIR
#   null-plugin    libstorage_driver_null.so   in LMFS_PLUGIN_INSTALL_DIR
#   host           lmfs-host in the binary directory, lmfs-host(1)
#   runtime        libloomfs.so.0, the control library for other programs
#   dev            loomfs.h, libloomfs.so, loomfs.pc, the CMake package, loomfs(3)
#   standins       the file system's stand-ins, in LMFS_STANDIN_INSTALL_DIR;
#                  left out of a plain `cmake --install` (EXCLUDE_FROM_ALL):
#                  `cmake --install BUILD --component standins` adds them
#
# Tests, benchmarks and fuzz targets are never installed.
include(GNUInstallDirs)

# The one folder of storage-driver plug-ins; lmfs-host names it in --help.
set(LMFS_PLUGIN_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/lmfs/plugins")
# The stand-ins, for demos and tests only: a private folder, never a system
# path, so they cannot be taken for the file system's real tools.
set(LMFS_STANDIN_INSTALL_DIR "${CMAKE_INSTALL_LIBEXECDIR}/lmfs/standins")

foreach(_dir PLUGIN STANDIN)
  if(IS_ABSOLUTE "${LMFS_${_dir}_INSTALL_DIR}")
    set(LMFS_${_dir}_INSTALL_FULL_DIR "${LMFS_${_dir}_INSTALL_DIR}")
  else()
    set(LMFS_${_dir}_INSTALL_FULL_DIR "${CMAKE_INSTALL_PREFIX}/${LMFS_${_dir}_INSTALL_DIR}")
  endif()
endforeach()
