# Included by both MinGW-w64 toolchain files: a program built from one commit is
# the same file whichever folder it was built in and whenever. No folder names
# reach the program (the compiler writes source paths into __FILE__ and the
# debug information; both start at "." instead), and the linker leaves the PE
# header's time stamp at 0. The release step (scripts/package-zip) strips the
# program with SOURCE_DATE_EPOCH set, which stamps the time of the commit and
# the checksum that follows from it.
get_filename_component(evaluator_source_dir ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
# With two maps that match, the one given last wins: the build folder's.
set(evaluator_prefix_maps "-ffile-prefix-map=${evaluator_source_dir}=.")
if(CMAKE_BINARY_DIR)
  string(APPEND evaluator_prefix_maps " -ffile-prefix-map=${CMAKE_BINARY_DIR}=build")
endif()
set(CMAKE_C_FLAGS_INIT "${evaluator_prefix_maps}")
set(CMAKE_CXX_FLAGS_INIT "${evaluator_prefix_maps}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--no-insert-timestamp")
