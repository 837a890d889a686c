# Compiler settings shared by every target of the project's own code.

# hopgate_own_code(target): warnings as errors for code written here; SQLite's amalgamation and
# third-party headers are compiled without them.
# GCC 12 reports std::u16string concatenations at -O2/-O3 as overlapping copies (-Wrestrict, GCC
# bug 105329), a false positive in its own headers.
set(HOPGATE_WARNING_EXCEPTIONS $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>)

function(hopgate_own_code target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Werror
                                           ${HOPGATE_WARNING_EXCEPTIONS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
endfunction()

if(HOPGATE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  # The product folder holds hopgate.exe and tarnCore.dll only: no MinGW runtime DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0600)
  set(HOPGATE_EXE_SUFFIX ".exe")
else()
  set(HOPGATE_EXE_SUFFIX "")
  # The program finds libtarncore.so beside itself, wherever the folder is copied to.
  set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)
  set(CMAKE_BUILD_RPATH "$ORIGIN")
  set(CMAKE_INSTALL_RPATH "$ORIGIN")
endif()

# stb's own include folder only, never the system include root (which would shadow MinGW's headers).
find_path(STB_INCLUDE_DIR stb_image.h PATHS /usr/include/stb NO_CMAKE_FIND_ROOT_PATH REQUIRED)
