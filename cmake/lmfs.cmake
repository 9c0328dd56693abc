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

# lmfs_fuzzer(NAME SOURCES... LIBS libs...): a libFuzzer target, built only with LMFS_FUZZ.
function(lmfs_fuzzer name)
  if(NOT LMFS_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()
