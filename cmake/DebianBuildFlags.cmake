# Builds everything with the hardening flags Debian builds its own packages
# with, as `dpkg-buildflags` gives them with every hardening feature on:
# fortified libc calls (-D_FORTIFY_SOURCE=2), the stack protector,
# read-only relocations and binding at start-up (-z relro -z now). The
# optimisation level and the debug information stay the build type's, so
# a Release build keeps its -O3. Not for the sanitizer build (fortified
# calls bypass AddressSanitizer's checks) nor for a cross build, whose
# compiler is not the one dpkg-buildflags describes.
option(KARVELLO_DPKG_BUILDFLAGS
       "Add the hardening flags of dpkg-buildflags (hardening=+all)" ON)
if(KARVELLO_DPKG_BUILDFLAGS AND NOT KARVELLO_SANITIZE AND NOT KARVELLO_TSAN
   AND NOT CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  find_program(DPKG_BUILDFLAGS dpkg-buildflags)
  if(NOT DPKG_BUILDFLAGS)
    message(STATUS "dpkg-buildflags not found: building without its hardening flags")
  else()
    set(dpkg_flags)
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
      # Run from the source folder, so that its -ffile-prefix-map maps this
      # checkout's path to "." and the binaries do not depend on where it is.
      execute_process(
        COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                ${DPKG_BUILDFLAGS} --get ${kind}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE flags
        OUTPUT_STRIP_TRAILING_WHITESPACE
        COMMAND_ERROR_IS_FATAL ANY)
      separate_arguments(flags UNIX_COMMAND "${flags}")
      list(FILTER flags EXCLUDE REGEX "^-(O|g)")
      if(kind STREQUAL "LDFLAGS")
        add_link_options(${flags})
      else()
        add_compile_options(${flags})
      endif()
      list(APPEND dpkg_flags ${flags})
    endforeach()
    message(STATUS "Hardening flags from dpkg-buildflags: ${dpkg_flags}")
  endif()
endif()
