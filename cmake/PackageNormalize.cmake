# CPack post-build script: runs on each archive CPack made, before it is copied out.
# libarchive stores in every ZIP entry the file's access and change times too (the change time
# cannot be set beforehand) and adds the entries in the staging folder's listing order; a .tar.gz
# carries the time of packing in its gzip header. strip-nondeterminism, Debian's tool for
# reproducible builds, rewrites a ZIP with its entries sorted by name and every time the package's
# fixed one, and a gzip header with that time; the content stays as it is.
include("${CMAKE_CURRENT_LIST_DIR}/PackageEpoch.cmake")
find_program(_strip strip-nondeterminism REQUIRED)
foreach(_package IN LISTS CPACK_PACKAGE_FILES)
  if(_package MATCHES "\\.zip$")
    set(_type zip)
  elseif(_package MATCHES "\\.(tar\\.)?gz$")
    set(_type gzip)
  else()
    continue()
  endif()
  execute_process(COMMAND "${_strip}" --type ${_type} --timestamp "${_epoch}" "${_package}"
                  RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "strip-nondeterminism failed on ${_package}")
  endif()
endforeach()
