# GoogleTest: Debian's package on the host; built from Debian's sources for Windows.
if(CMAKE_CROSSCOMPILING)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# The framework's headers, parsed once for every test program: most of a
# small test file's build time goes to them. Built with the flags the test
# programs use (unoptimised, see below); the compiler falls back to the
# headers themselves for a program whose flags do not match.
add_library(seamlog_test_pch STATIC ${CMAKE_CURRENT_LIST_DIR}/test_pch.cpp)
target_link_libraries(seamlog_test_pch PRIVATE GTest::gtest GTest::gmock)
target_precompile_headers(seamlog_test_pch PRIVATE <gtest/gtest.h> <gmock/gmock.h>)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(seamlog_test_pch PRIVATE -O0)
endif()

# seamlog_add_test(NAME src... LIBS lib...)
# One GoogleTest program, registered with ctest. Under cross-compilation the
# tests run through CMAKE_CROSSCOMPILING_EMULATOR (wine64); their names are
# listed at build time on the host and at test time under Wine.
function(seamlog_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  # The code under test comes optimised from its libraries; a test's own files
  # are mostly the framework's templates, which build a third faster unoptimised.
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${name} PRIVATE -O0)
  endif()
  target_precompile_headers(${name} REUSE_FROM seamlog_test_pch)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
  else()
    # Names come from the suites' name generators, never from parameter bytes,
    # so they stay the same from build to build.
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST NO_PRETTY_VALUES)
  endif()
endfunction()
