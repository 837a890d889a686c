# libdeflate 1.14, the PNG writer's deflate. Natively Debian's libdeflate-dev. For the Windows
# product it is compiled into the core library from Debian's source package: its upstream tarball
# comes with `apt-get source` (a deb-src entry, which scripts/setup adds) and is checked against
# its known SHA-256 before anything of it is compiled, so that tarnCore.dll needs no DLL of it.

if(NOT WIN32)
  find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h REQUIRED)
  find_library(LIBDEFLATE_LIBRARY deflate REQUIRED)
  add_library(libdeflate UNKNOWN IMPORTED)
  set_target_properties(libdeflate PROPERTIES IMPORTED_LOCATION "${LIBDEFLATE_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${LIBDEFLATE_INCLUDE_DIR}")
  return()
endif()

set(HOPGATE_LIBDEFLATE_SHA256 "89e7df898c37c3427b0f39aadcf733731321a278771d20fc553f92da8d4808ac")
include(${CMAKE_CURRENT_LIST_DIR}/Fetch.cmake)
set(_deflate_tgz "${HOPGATE_DEPS_DIR}/libdeflate_1.14.orig.tar.gz")
set(_deflate_dir "${HOPGATE_DEPS_DIR}/libdeflate-1.14")

if(NOT EXISTS "${_deflate_dir}/lib/deflate_compress.c")
  file(MAKE_DIRECTORY "${HOPGATE_DEPS_DIR}")
  hopgate_drop_unless_sha256("${_deflate_tgz}" "${HOPGATE_LIBDEFLATE_SHA256}")
  if(NOT EXISTS "${_deflate_tgz}")
    find_program(APT_GET_EXECUTABLE apt-get REQUIRED)
    set(_fetch "${HOPGATE_DEPS_DIR}/libdeflate-fetch")
    file(REMOVE_RECURSE "${_fetch}")
    file(MAKE_DIRECTORY "${_fetch}")
    message(STATUS "Fetching Debian's source package libdeflate with apt-get source")
    execute_process(
      COMMAND "${APT_GET_EXECUTABLE}" source --download-only -qq libdeflate
      WORKING_DIRECTORY "${_fetch}"
      RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_VARIABLE _err)
    if(NOT _rc EQUAL 0 OR NOT EXISTS "${_fetch}/libdeflate_1.14.orig.tar.gz")
      message(FATAL_ERROR "apt-get source libdeflate failed (${_rc}): ${_err}\n"
        "It needs a deb-src entry for this Debian release (bash scripts/setup adds one).")
    endif()
    file(RENAME "${_fetch}/libdeflate_1.14.orig.tar.gz" "${_deflate_tgz}")
    file(REMOVE_RECURSE "${_fetch}")
  endif()
  hopgate_require_sha256("${_deflate_tgz}" "${HOPGATE_LIBDEFLATE_SHA256}")
  set(_unpack "${HOPGATE_DEPS_DIR}/libdeflate-unpack")
  file(REMOVE_RECURSE "${_unpack}" "${_deflate_dir}")
  file(ARCHIVE_EXTRACT INPUT "${_deflate_tgz}" DESTINATION "${_unpack}")
  # The folder last: its presence marks a complete unpack.
  file(RENAME "${_unpack}/libdeflate-1.14" "${_deflate_dir}")
  file(REMOVE_RECURSE "${_unpack}")
endif()

# The compression side only, with the x86 CPU feature detection its fast paths use.
add_library(libdeflate STATIC
  "${_deflate_dir}/lib/deflate_compress.c" "${_deflate_dir}/lib/zlib_compress.c"
  "${_deflate_dir}/lib/adler32.c" "${_deflate_dir}/lib/crc32.c" "${_deflate_dir}/lib/utils.c"
  "${_deflate_dir}/lib/x86/cpu_features.c")
target_include_directories(libdeflate SYSTEM PUBLIC "${_deflate_dir}")
# Not our code: no warnings, and always optimised, also in debug builds.
target_compile_options(libdeflate PRIVATE -w -O2)
