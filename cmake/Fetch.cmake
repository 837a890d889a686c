# Fetched dependencies: kept in HOPGATE_DEPS_DIR, each archive checked against its known SHA-256
# before anything of it is unpacked.
include_guard(GLOBAL)

set(HOPGATE_DEPS_DIR "${PROJECT_SOURCE_DIR}/build/_deps"
    CACHE PATH "Where fetched dependencies are kept")

# Removes `archive` when it is there with another SHA-256 (a damaged or partial earlier fetch), so
# that the caller fetches it again.
function(hopgate_drop_unless_sha256 archive sha256)
  if(EXISTS "${archive}")
    file(SHA256 "${archive}" _have)
    if(NOT _have STREQUAL sha256)
      file(REMOVE "${archive}")
    endif()
  endif()
endfunction()

# Stops the configure step, and removes `archive`, when its SHA-256 is not `sha256`.
function(hopgate_require_sha256 archive sha256)
  file(SHA256 "${archive}" _have)
  if(NOT _have STREQUAL sha256)
    file(REMOVE "${archive}")
    message(FATAL_ERROR "SHA-256 mismatch for ${archive}: ${_have}")
  endif()
endfunction()
