# lmfs_test(NAME SOURCES... LIBS libs... LABELS labels... [MAIN lmfs_env])
# One GoogleTest binary whose cases are registered with CTest one by one, each
# with the labels given (at least one: unit, system, e2e, stress, standins or
# loomfs-sys). Its main is gtest_main's, or with MAIN lmfs_env the test-support
# main that runs the tests inside a fresh lmfs-env namespace (testing/).
function(lmfs_test name)
  if(NOT LMFS_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "MAIN" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_LABELS)
    message(FATAL_ERROR "lmfs_test(${name}): give it LABELS, so that ctest -L finds it")
  endif()
  if(NOT DEFINED T_MAIN)
    set(main GTest::gtest_main)
  elseif(T_MAIN STREQUAL "lmfs_env")
    set(main lmfs_testing_env_main)
  else()
    message(FATAL_ERROR "lmfs_test(${name}): MAIN is lmfs_env or nothing, not ${T_MAIN}")
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest ${main})
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
    DISCOVERY_TIMEOUT 60)
  # The labels go on once the cases are known: gtest_discover_tests hands its
  # PROPERTIES on split at every ";", which would leave only the first label.
  set(labels_script "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
  file(WRITE "${labels_script}"
    "if(DEFINED ${name}_TESTS)\n"
    "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${T_LABELS}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_script}")
endfunction()

# lmfs_fuzzer(NAME SOURCES... LIBS libs... CORPUS dir): a libFuzzer target,
# built only with LMFS_FUZZ. CORPUS is the checked-in seed corpus (relative to
# the current source directory); its path is written beside the binary as
# NAME.corpus, where scripts/fuzz.sh finds it.
function(lmfs_fuzzer name)
  if(NOT LMFS_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(NOT F_CORPUS)
    message(FATAL_ERROR "fuzz target ${name} needs a seed CORPUS")
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  file(GENERATE OUTPUT $<TARGET_FILE_DIR:${name}>/${name}.corpus
       CONTENT "${CMAKE_CURRENT_SOURCE_DIR}/${F_CORPUS}\n")
endfunction()

# lmfs_storage_driver_plugin(NAME SOURCES... LIBS libs...): a storage-driver
# plug-in, a shared library exporting exactly its library header (see
# crates/interface/plugin.map) with every symbol resolved inside it.
function(lmfs_storage_driver_plugin name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${P_SOURCES})
  target_link_libraries(${name} PRIVATE ${P_LIBS})
  set(_map ${PROJECT_SOURCE_DIR}/crates/interface/plugin.map)
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${_map})
  target_link_options(${name} PRIVATE -Wl,--version-script=${_map})
  if(NOT LMFS_SANITIZE AND NOT LMFS_TSAN AND NOT LMFS_FUZZ)
    # (The sanitizer runtimes live in the executable, so not with them.)
    target_link_options(${name} PRIVATE -Wl,-z,defs)
    if(LMFS_STATIC_CXX_RUNTIME)
      # The C++ runtime linked in, its symbols made local by the version
      # script like everything else: a host that is no C++ program (a Rust
      # one) loads no libstdc++.so.6 for the plug-in, and with the rounding
      # functions of that runtime defined inside (rounding_mode.c) no
      # libm.so.6 either: the plug-in needs the C library alone.
      target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/crates/interface/plugin/rounding_mode.c)
      target_link_options(${name} PRIVATE -static-libstdc++ -static-libgcc)
    endif()
    # What the dynamic loader does at each load, made small: only the
    # sections something reaches (the compiler puts each function and object
    # in its own, see the top CMakeLists.txt), relative relocations packed
    # (DT_RELR, a few words instead of 24 bytes each), and no needed library
    # that resolves nothing.
    target_link_options(${name} PRIVATE -Wl,--gc-sections -Wl,--as-needed)
    if(LMFS_LINKER_PACKS_RELOCS)
      target_link_options(${name} PRIVATE -Wl,-z,pack-relative-relocs)
    endif()
  endif()
endfunction()
