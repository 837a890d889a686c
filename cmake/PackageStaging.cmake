# CPack pre-build script: runs on the staged package folder before it is archived.
# Writes SHA256SUMS (sha256sum's format: hash, two blanks, name; sorted by name) and gives every
# staged file and folder one fixed time: SOURCE_DATE_EPOCH when set, else the time of the commit
# the sources are at. The archive then depends on the files' content alone.
set(_stage "${CPACK_TEMPORARY_DIRECTORY}")
if(NOT IS_DIRECTORY "${_stage}")
  message(FATAL_ERROR "no staged package folder: '${_stage}'")
endif()

file(GLOB _files RELATIVE "${_stage}" LIST_DIRECTORIES false "${_stage}/*")
list(REMOVE_ITEM _files SHA256SUMS)
list(SORT _files)
set(_sums "")
foreach(_name IN LISTS _files)
  file(SHA256 "${_stage}/${_name}" _hash)
  string(APPEND _sums "${_hash}  ${_name}\n")
endforeach()
file(WRITE "${_stage}/SHA256SUMS" "${_sums}")

include("${CMAKE_CURRENT_LIST_DIR}/PackageEpoch.cmake")
execute_process(
  COMMAND find "${_stage}" -exec touch -h -d "@${_epoch}" {} +
  RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "could not set the staged files' times")
endif()
