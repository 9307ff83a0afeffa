# The Windows build, cross-compiled with mingw-w64 (`make windows`): the
# window, karvello-cli, the core and their tests, which CTest
# runs under wine. Included by the top-level CMakeLists.txt when the target
# is Windows.
#
# Everything is linked statically, so that karvello.exe and each test
# program run alone: no libstdc++, winpthread or Qt DLLs beside them.

add_link_options(-static -static-libgcc -static-libstdc++)
# One section per function and data item, so that the linker drops what a
# program does not use of the static Qt and of the core.
add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections)
# UTF-8 paths go through the wide calls; nothing may fall back to the ANSI
# code page, whose characters are a subset of what a name can hold.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

# GoogleTest has no mingw package: built here from Debian's source, as
# GTest::gtest, GTest::gtest_main, GTest::gmock and GTest::gmock_main.
set(KARVELLO_GTEST_SOURCE /usr/src/googletest CACHE PATH
    "GoogleTest's source (Debian's googletest package)")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${KARVELLO_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL SYSTEM)

# CLI11 is header-only, but its package points at /usr/include, which holds
# Linux's own headers: only its folder is copied, for the mingw build.
file(COPY /usr/include/CLI DESTINATION ${PROJECT_BINARY_DIR}/cli11)
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
                      ${PROJECT_BINARY_DIR}/cli11)

# RE2, for karvello-cli's --regex, as scripts/windows-re2 builds it and
# scripts/windows-build passes it (re2_DIR). Without it the tool does not
# offer --regex.
find_package(re2 CONFIG QUIET)
if(NOT re2_FOUND)
  message(STATUS "No RE2 for Windows: karvello-cli without --regex")
endif()

# Under wine a program takes a second or two to start, so each GoogleTest
# program runs once, whole, as one CTest test, rather than once per test
# case; and the build never runs wine to list the cases. This replaces
# the function of CMake's GoogleTest module, included before.
function(gtest_discover_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DISCOVERY_TIMEOUT" "PROPERTIES")
  add_test(NAME ${target} COMMAND ${target})
  if(arg_PROPERTIES)
    set_tests_properties(${target} PROPERTIES ${arg_PROPERTIES})
  endif()
endfunction()


# CTest runs the tests under wine, in a wine prefix of this build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${PROJECT_SOURCE_DIR}/scripts/wine-run ${PROJECT_BINARY_DIR}/wine)
