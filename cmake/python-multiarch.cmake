# Debian's <include>/python3.14/pyconfig.h includes <x86_64-linux-gnu/python3.14/pyconfig.h>
# (the multiarch folder beside Python's own headers), which a private interpreter root does
# not put on the compiler's path. Only that folder goes on it, through a link in the build
# tree: the root's include folder also holds its own C library's headers, newer than the
# host compiler's, and they must not shadow them.
function(zelmsg_python_multiarch target)
  string(REGEX REPLACE "/+$" "" python_include "${Python_INCLUDE_DIRS}")
  cmake_path(GET python_include PARENT_PATH python_include_parent)
  set(multiarch "${CMAKE_LIBRARY_ARCHITECTURE}/python3.14")
  if(EXISTS "${python_include_parent}/${multiarch}/pyconfig.h")
    set(folder "${CMAKE_CURRENT_BINARY_DIR}/python-multiarch")
    file(MAKE_DIRECTORY "${folder}/${CMAKE_LIBRARY_ARCHITECTURE}")
    file(CREATE_LINK "${python_include_parent}/${multiarch}" "${folder}/${multiarch}" SYMBOLIC)
    target_include_directories(${target} SYSTEM PRIVATE "${folder}")
  endif()
endfunction()
