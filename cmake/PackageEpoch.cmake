# The time every file of a package carries, in _epoch: SOURCE_DATE_EPOCH when set, else the time
# of the commit the sources are at (CPACK_HOPGATE_SOURCE_DIR), else 1980-01-01, the earliest time
# a ZIP entry can hold.
set(_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(_epoch STREQUAL "")
  execute_process(
    COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY "${CPACK_HOPGATE_SOURCE_DIR}"
    OUTPUT_VARIABLE _epoch
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
endif()
if(NOT _epoch MATCHES "^[0-9]+$")
  set(_epoch 315532800)
endif()
