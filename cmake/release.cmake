# Release builds (CMAKE_BUILD_TYPE=Release), the ones to install from source:
# optimised as Debian builds its packages (-O2, debug information kept in the
# build tree; `cmake --install BUILD --strip` installs the files stripped),
# with Debian's hardening flags (what `dpkg-buildflags` gives with
# DEB_BUILD_MAINT_OPTIONS=hardening=+all: fortified functions, stack
# protector, read-only relocations, immediate binding, and as debian/rules
# adds it stack clash protection) and a build ID.
#
# The Debian packages are built with CMAKE_BUILD_TYPE=None and take the same
# flags from dpkg-buildflags itself (debian/rules), so nothing is added here
# for them.
# (CMake's own default, -O3 -DNDEBUG, is replaced; flags given on the command
# line are kept.)
foreach(_lang C CXX)
  if(CMAKE_${_lang}_FLAGS_RELEASE STREQUAL "-O3 -DNDEBUG")
    set(CMAKE_${_lang}_FLAGS_RELEASE "-O2 -g")
  endif()
endforeach()

if(CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT LMFS_SANITIZE AND NOT LMFS_FUZZ)
  add_compile_options(-fstack-protector-strong -fstack-clash-protection -Wformat -Werror=format-security)
  add_compile_definitions(_FORTIFY_SOURCE=2)
  add_link_options(-Wl,-z,relro -Wl,-z,now -Wl,--build-id)
endif()
