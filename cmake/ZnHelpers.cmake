# SPDX-License-Identifier: MIT
# Small helpers shared by the folders' CMakeLists.

# zn_add_gtest(NAME sources... LIBS libs...)
# One GoogleTest executable whose cases are registered with CTest. Each case
# runs with TMPDIR at ZN_TEST_TMPDIR (in the build tree), so that its private
# directories and GoogleTest's own temporary files stay out of the shared /tmp.
function(zn_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} zn_test_support
                        GTest::gtest GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 120 ENVIRONMENT "TMPDIR=${ZN_TEST_TMPDIR}")
endfunction()
