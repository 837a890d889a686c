# SQLite3 Multiple Ciphers amalgamation (SQLite with sqlite3_key/sqlite3_rekey), taken from a pinned
# npm package and checked against its known SHA-256 before anything of it is compiled.

set(HOPGATE_SQLITE_PACKAGE "better-sqlite3-multiple-ciphers@12.11.1")
set(HOPGATE_SQLITE_SHA256 "01388c78f46ce63c6aec021f67b364cc67bd637edba64f7add0c0230ce5f777a")
include(${CMAKE_CURRENT_LIST_DIR}/Fetch.cmake)
set(_sqlite_tgz "${HOPGATE_DEPS_DIR}/better-sqlite3-multiple-ciphers-12.11.1.tgz")
set(_sqlite_dir "${HOPGATE_DEPS_DIR}/sqlite3mc")

if(NOT EXISTS "${_sqlite_dir}/sqlite3.c")
  file(MAKE_DIRECTORY "${HOPGATE_DEPS_DIR}")
  hopgate_drop_unless_sha256("${_sqlite_tgz}" "${HOPGATE_SQLITE_SHA256}")
  if(NOT EXISTS "${_sqlite_tgz}")
    find_program(NPM_EXECUTABLE npm REQUIRED)
    message(STATUS "Fetching ${HOPGATE_SQLITE_PACKAGE} with npm pack")
    execute_process(
      COMMAND "${NPM_EXECUTABLE}" pack "${HOPGATE_SQLITE_PACKAGE}" --silent
      WORKING_DIRECTORY "${HOPGATE_DEPS_DIR}"
      RESULT_VARIABLE _rc OUTPUT_QUIET)
    if(NOT _rc EQUAL 0 OR NOT EXISTS "${_sqlite_tgz}")
      message(FATAL_ERROR "npm pack ${HOPGATE_SQLITE_PACKAGE} failed (${_rc})")
    endif()
  endif()
  hopgate_require_sha256("${_sqlite_tgz}" "${HOPGATE_SQLITE_SHA256}")
  set(_unpack "${HOPGATE_DEPS_DIR}/sqlite3mc-unpack")
  file(REMOVE_RECURSE "${_unpack}")
  file(ARCHIVE_EXTRACT INPUT "${_sqlite_tgz}" DESTINATION "${_unpack}"
       PATTERNS package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h)
  file(MAKE_DIRECTORY "${_sqlite_dir}")
  file(RENAME "${_unpack}/package/deps/sqlite3/sqlite3.h" "${_sqlite_dir}/sqlite3.h")
  # sqlite3.c last: its presence marks a complete unpack.
  file(RENAME "${_unpack}/package/deps/sqlite3/sqlite3.c" "${_sqlite_dir}/sqlite3.c")
  file(REMOVE_RECURSE "${_unpack}")
endif()

# One mend to the amalgamation, made where it is unpacked and checked at every configure: the
# cipher layer's read (mcIoRead) replaced a failed read's result by its own cipher step's, so a
# read that the system refused (EIO) reached SQLite as a success with whatever the buffer held.
# SQLite then rolled a hot journal back from garbage (pages left out, a page written terabytes
# past the end, page numbers looped through for minutes) and read pages it never got. Any result
# but SQLITE_OK now goes back to SQLite as it came.
set(_mc_read_failed
  "int rc = REALFILE(pFile)->pMethods->xRead(REALFILE(pFile), buffer, count, offset);\n  if (rc")
file(READ "${_sqlite_dir}/sqlite3.c" _amalgamation)
string(FIND "${_amalgamation}" "${_mc_read_failed} == SQLITE_IOERR_SHORT_READ)" _unmended)
if(_unmended GREATER -1)
  string(REPLACE "${_mc_read_failed} == SQLITE_IOERR_SHORT_READ)" "${_mc_read_failed} != SQLITE_OK)"
         _amalgamation "${_amalgamation}")
  file(WRITE "${_sqlite_dir}/sqlite3.c.mended" "${_amalgamation}")
  file(RENAME "${_sqlite_dir}/sqlite3.c.mended" "${_sqlite_dir}/sqlite3.c")
else()
  string(FIND "${_amalgamation}" "${_mc_read_failed} != SQLITE_OK)" _mended)
  if(_mended EQUAL -1)
    message(FATAL_ERROR "sqlite3.c: the cipher layer's read is not where it was; mend it anew")
  endif()
endif()
unset(_amalgamation)

add_library(sqlite3mc STATIC "${_sqlite_dir}/sqlite3.c")
target_include_directories(sqlite3mc SYSTEM PUBLIC "${_sqlite_dir}")
# SQLITE_DQS is left at its default, so a double-quoted word that names no column reads as text.
target_compile_definitions(sqlite3mc PRIVATE SQLITE_THREADSAFE=0 SQLITE_OMIT_LOAD_EXTENSION SQLITE_DEFAULT_MEMSTATUS=0)
# The amalgamation is not ours: no warnings, and always optimised, also in debug builds.
target_compile_options(sqlite3mc PRIVATE -w -O2)
if(NOT WIN32)
  find_package(Threads REQUIRED)
  target_link_libraries(sqlite3mc PUBLIC Threads::Threads ${CMAKE_DL_LIBS} m)
endif()
