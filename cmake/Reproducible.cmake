# Two builds of one commit in two different folders give the same bytes: no source or build
# folder in the objects (file names in debug information, __FILE__), no link time in the
# Windows images. Archives get fixed times and order when they are packed (cmake/Package.cmake).

# The build folder usually lies inside the source folder; the later, more specific mapping wins.
add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}=."
                    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
