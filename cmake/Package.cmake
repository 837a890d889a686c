# The release package, `cmake --build --preset <preset> --target package`: hopgate, the stand-in
# core library, hopgate-cache where it is built, README.txt and SHA256SUMS, in one folder named
# like the archive: hopgate-<version>-win64.zip / -win32.zip (CPack ZIP), or
# hopgate-<version>-<system>-<processor>.tar.gz natively (CPack TGZ).
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_NAME hopgate)
set(CPACK_PACKAGE_VENDOR Vexmoor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${HOPGATE_PACKAGE_NAME})  # cmake/Version.cmake
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
# Only what is installed as the component "hopgate" goes in, whatever install rules anything
# else of the build (a fetched dependency, say) brings along.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};hopgate;hopgate;/")
# After staging: SHA256SUMS, then the same time (SOURCE_DATE_EPOCH, else the commit's) on every
# staged file, so that the archive depends on the files' content only.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageStaging.cmake)
# After archiving: a ZIP's entries sorted and its access and change times fixed too.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageNormalize.cmake)
set(CPACK_HOPGATE_SOURCE_DIR ${PROJECT_SOURCE_DIR})

install(TARGETS hopgate RUNTIME DESTINATION . COMPONENT hopgate)
# The library file alone (no import library); natively it needs no rpath of its own.
install(PROGRAMS $<TARGET_FILE:tarncore> DESTINATION . COMPONENT hopgate)
if(TARGET hopgate-cache)
  install(TARGETS hopgate-cache RUNTIME DESTINATION . COMPONENT hopgate)
endif()
install(FILES ${HOPGATE_GENERATED_DIR}/README.txt DESTINATION . COMPONENT hopgate)

include(CPack)
