# Each product folder is one module, a static library pellinor_<folder>,
# declared with pellinor_module():
#   USES      the module right below it; it sees that module's headers and,
#             through it, those of every module further down, never those
#             of a module above: an include that points up does not compile
#   PORTABLE  needs no Windows API: built for Windows and natively (tests run
#             there under the sanitizers)
#   WINDOWS   calls Win32: built for Windows only
#   POSIX     the Linux counterpart of a thin platform edge, native only
#
# A module's headers are reached as "<folder>/<name>.h" through a folder of
# its own in the build tree that holds only a link to that one source folder.
# The platform build defines pellinor_module_options, an interface target
# with the compile options every module shares.
function(pellinor_module name)
  cmake_parse_arguments(M "" "USES" "PORTABLE;WINDOWS;POSIX" ${ARGN})
  if(WIN32)
    set(sources ${M_PORTABLE} ${M_WINDOWS})
  else()
    set(sources ${M_PORTABLE} ${M_POSIX})
  endif()
  set(view ${CMAKE_BINARY_DIR}/layers/${name})
  file(MAKE_DIRECTORY ${view})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${view}/${name} SYMBOLIC)
  add_library(pellinor_${name} STATIC ${sources})
  target_include_directories(pellinor_${name} PUBLIC ${view})
  target_link_libraries(pellinor_${name} PRIVATE pellinor_module_options)
  if(M_USES)
    target_link_libraries(pellinor_${name} PUBLIC pellinor_${M_USES})
  endif()
  set_property(GLOBAL APPEND PROPERTY PELLINOR_MODULES pellinor_${name})
endfunction()
