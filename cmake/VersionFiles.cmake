# Build-time step (cmake -P): writes hopgate_version.h and the package's README.txt into OUTPUT_DIR,
# each only when its content changes, so that a new commit shows in them without reconfiguring
# and an unchanged one rebuilds nothing.
# -DSOURCE_DIR=... -DVERSION=x.y.z -DOUTPUT_DIR=... -DREADME_IN=... -DPLATFORM=windows|posix
# -DWITH_CACHE_TOOL=ON|OFF -DPACKAGE_NAME=...
# A fixed abbreviation keeps the text the same in every clone of the repository, whatever the
# number of objects it holds. Without git (an exported source tree) the text is "unknown".
execute_process(
  COMMAND git describe --always --dirty --abbrev=12
  WORKING_DIRECTORY "${SOURCE_DIR}"
  OUTPUT_VARIABLE HOPGATE_GIT_DESCRIBE
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET
  RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0 OR HOPGATE_GIT_DESCRIBE STREQUAL "")
  set(HOPGATE_GIT_DESCRIBE "unknown")
endif()

set(HOPGATE_VERSION "${VERSION}")
string(REPLACE "." ";" _parts "${VERSION}")
list(GET _parts 0 HOPGATE_VERSION_MAJOR)
list(GET _parts 1 HOPGATE_VERSION_MINOR)
list(GET _parts 2 HOPGATE_VERSION_PATCH)
set(HOPGATE_VERSION_TEXT "${VERSION} (${HOPGATE_GIT_DESCRIBE})")

configure_file("${CMAKE_CURRENT_LIST_DIR}/hopgate_version.h.in" "${OUTPUT_DIR}/hopgate_version.h" @ONLY)

# The package's README.txt: Windows line ends in the Windows packages, for Notepad.
if(DEFINED README_IN)
  set(CACHE_TOOL_LINE "")
  set(CACHE_TOOL_COPY "")
  set(CACHE_TOOL_SECTION "")
  set(CACHE_TOOL_VERSION "")
  if(WITH_CACHE_TOOL)
    set(CACHE_TOOL_LINE "  hopgate-cache.exe   a console tool that shows, checks and tidies the preview cache\n")
    set(CACHE_TOOL_COPY " and hopgate-cache.exe")
    file(READ "${README_CACHE_TOOL_IN}" CACHE_TOOL_SECTION)
    string(REGEX REPLACE "\n$" "" CACHE_TOOL_SECTION "${CACHE_TOOL_SECTION}")
    set(CACHE_TOOL_VERSION "; hopgate-cache --version prints the same")
  endif()
  if(PLATFORM STREQUAL "windows")
    set(_newline CRLF)
  else()
    set(_newline LF)
  endif()
  configure_file("${README_IN}" "${OUTPUT_DIR}/README.txt" @ONLY NEWLINE_STYLE ${_newline})
endif()
