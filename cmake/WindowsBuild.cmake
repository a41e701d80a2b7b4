# The installer itself: a PE32 GUI program, statically linked, small.

# Every module, for the program, its tests and the helper programs.
add_library(pellinor_core INTERFACE)
target_include_directories(pellinor_core INTERFACE ${PROJECT_SOURCE_DIR}
                                                   ${CMAKE_BINARY_DIR}/generated)
target_compile_definitions(pellinor_core INTERFACE ${PELLINOR_WIN_DEFINES})
target_link_libraries(pellinor_core INTERFACE pellinor_app ${PELLINOR_WIN_LIBS})

configure_file(app/version.rc.in ${CMAKE_BINARY_DIR}/generated/version.rc @ONLY)

# A release engineer may embed "INSTDATA" at build time.
set(PELLINOR_INSTDATA "" CACHE STRING
    "keyword text to embed as the INSTDATA resource ('&'-separated); empty embeds none")
set(PELLINOR_RESOURCES app/pellinor.rc ${CMAKE_BINARY_DIR}/generated/version.rc)
if(NOT PELLINOR_INSTDATA STREQUAL "")
  string(LENGTH "${PELLINOR_INSTDATA}" instdata_length)
  if(instdata_length GREATER 1023)
    message(FATAL_ERROR "PELLINOR_INSTDATA is ${instdata_length} bytes; the installer reads at most 1023")
  endif()
  file(WRITE ${CMAKE_BINARY_DIR}/generated/instdata.bin "${PELLINOR_INSTDATA}")
  file(WRITE ${CMAKE_BINARY_DIR}/generated/instdata.rc
       "INSTDATA RCDATA \"${CMAKE_BINARY_DIR}/generated/instdata.bin\"\n")
  list(APPEND PELLINOR_RESOURCES ${CMAKE_BINARY_DIR}/generated/instdata.rc)
endif()

add_executable(Pellinor WIN32 app/winmain.cpp ${PELLINOR_RESOURCES})
target_compile_options(Pellinor PRIVATE ${PELLINOR_SIZE_FLAGS} -Wall -Wextra)
target_link_libraries(Pellinor PRIVATE pellinor_core)
# Own entry point, no C runtime start-up objects (see app/winmain.cpp).
# No unwind tables are read: the program has no exceptions, and without the
# C runtime's start-up objects nothing registers frame tables. The only ones
# left come from prebuilt libz.a and libstdc++ objects; they are dropped in
# the link (added to the default script, not replacing it).
file(WRITE ${CMAKE_BINARY_DIR}/generated/discard-eh-frame.ld
     "SECTIONS { /DISCARD/ : { *(.eh_frame) *(.eh_frame.*) } } INSERT BEFORE .text;\n")
target_link_options(Pellinor PRIVATE -static -s -Wl,--gc-sections -Wl,--no-insert-timestamp
                    -nostartfiles -Wl,-e,_PellinorStart@0
                    -Wl,-T,${CMAKE_BINARY_DIR}/generated/discard-eh-frame.ld)
set_property(TARGET Pellinor APPEND PROPERTY LINK_DEPENDS
             ${CMAKE_BINARY_DIR}/generated/discard-eh-frame.ld)
set_target_properties(Pellinor PROPERTIES OUTPUT_NAME Pellinor
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_custom_command(TARGET Pellinor POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:Pellinor> -P ${PROJECT_SOURCE_DIR}/cmake/PrintSize.cmake
  VERBATIM)

# Release engineers' tool to stamp INSTDATA into a copy without a compiler.
add_subdirectory(tools/stamp)

# Windows halves of the benchmarks in bench/.
add_subdirectory(bench/win)

# Windows programs under test run through Wine, in a prefix inside the build tree.
set(PELLINOR_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(scripts/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# The native build holds the server-side tools that the end-to-end tests run.
set(PELLINOR_NATIVE_BUILD "${PROJECT_SOURCE_DIR}/build/native" CACHE PATH
    "native build folder with the server-side tools (brevane-sessiond, brevane-publish)")
