# The version: the numbers of project(VERSION) and, as text, `git describe --always --dirty`.
# A build step (always run, cheap) rewrites hopgate_version.h, and the package's README.txt,
# only when they change.
#
# For a program that shows its version: target_link_libraries(<target> PRIVATE hopgate_version)
# and #include "hopgate_version.h": HOPGATE_VERSION ("1.0.0"), HOPGATE_VERSION_MAJOR/MINOR/PATCH,
# HOPGATE_GIT_DESCRIBE, HOPGATE_VERSION_TEXT ("1.0.0 (<describe>)").
set(HOPGATE_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
# The package's name: hopgate-<version>-win64 / -win32, natively -<system>-<processor>.
if(WIN32)
  set(_platform windows)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(HOPGATE_PACKAGE_NAME hopgate-${PROJECT_VERSION}-win64)
  else()
    set(HOPGATE_PACKAGE_NAME hopgate-${PROJECT_VERSION}-win32)
  endif()
else()
  set(_platform posix)
  string(TOLOWER "hopgate-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}"
         HOPGATE_PACKAGE_NAME)
endif()
# The README mentions hopgate-cache when the package holds it (the target exists by generation).
add_custom_target(hopgate_version_files ALL
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DVERSION=${PROJECT_VERSION}
          -DOUTPUT_DIR=${HOPGATE_GENERATED_DIR} -DPLATFORM=${_platform}
          -DREADME_IN=${PROJECT_SOURCE_DIR}/packaging/README.txt.in
          -DREADME_CACHE_TOOL_IN=${PROJECT_SOURCE_DIR}/packaging/README-cache-tool.txt.in
          -DWITH_CACHE_TOOL=$<TARGET_EXISTS:hopgate-cache> -DPACKAGE_NAME=${HOPGATE_PACKAGE_NAME}
          -P ${CMAKE_CURRENT_LIST_DIR}/VersionFiles.cmake
  BYPRODUCTS ${HOPGATE_GENERATED_DIR}/hopgate_version.h ${HOPGATE_GENERATED_DIR}/README.txt
  VERBATIM)

add_library(hopgate_version INTERFACE)
target_include_directories(hopgate_version INTERFACE ${HOPGATE_GENERATED_DIR})
add_dependencies(hopgate_version hopgate_version_files)
