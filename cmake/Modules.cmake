# Each module folder lists its sources by kind with pellinor_module():
#   PORTABLE  needs no Windows API: built for Windows and natively (tests run
#             there under the sanitizers)
#   WINDOWS   calls Win32: built for Windows only
#   POSIX     the Linux counterpart of a thin platform edge, native only
function(pellinor_module name)
  cmake_parse_arguments(M "" "" "PORTABLE;WINDOWS;POSIX" ${ARGN})
  foreach(kind PORTABLE WINDOWS POSIX)
    foreach(src ${M_${kind}})
      set_property(GLOBAL APPEND PROPERTY PELLINOR_${kind}_SOURCES
                   ${CMAKE_CURRENT_SOURCE_DIR}/${src})
    endforeach()
  endforeach()
endfunction()
