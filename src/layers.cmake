# The layers' edges, enforced by the compiler: every library of src/ gets an
# include root of its own in the build tree that holds only its own folders
# (symbolic links to them). Headers are included from the root of src/
# ("platform/x.h", "keelbase/x.h", "daemon/core/x.h"), and a library sees the
# roots of the libraries it links and nothing else, so including a folder it
# does not link is a compile error ("No such file or directory"), not a
# convention.
function(qv_include_root target)
  set(root ${CMAKE_BINARY_DIR}/include-roots/${target})
  foreach(folder IN LISTS ARGN)
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${root}/${folder} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PUBLIC ${root})
endfunction()
