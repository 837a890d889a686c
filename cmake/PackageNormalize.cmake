# CPack post-build script: runs on each archive CPack made, before it is copied out.
# libarchive stores in every ZIP entry the file's access and change times too (the change time
# cannot be set beforehand) and adds the entries in the staging folder's listing order.
# strip-nondeterminism, Debian's tool for reproducible builds, rewrites the archive with its entries
# sorted by name and every time the package's fixed one; the content stays as it is.
include("${CMAKE_CURRENT_LIST_DIR}/PackageEpoch.cmake")
find_program(_strip strip-nondeterminism REQUIRED)
foreach(_package IN LISTS CPACK_PACKAGE_FILES)
  if(_package MATCHES "\\.zip$")
    execute_process(COMMAND "${_strip}" --type zip --timestamp "${_epoch}" "${_package}"
                    RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "strip-nondeterminism failed on ${_package}")
    endif()
  endif()
endforeach()
