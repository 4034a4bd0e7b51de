# The same sources give the same bytes wherever they are built: the folders of the sources and of
# the build are not written into the objects (debugging information, __FILE__), but "." and
# "build" instead. The build folder may lie inside the source folder; the later mapping wins.
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
                    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=build>")
