# The installer itself: a PE32 GUI program, statically linked, small.

# Every module, without the release key: what the program and the test-key
# program share.
add_library(pellinor_modules INTERFACE)
target_include_directories(pellinor_modules INTERFACE ${PROJECT_SOURCE_DIR}
                                                      ${CMAKE_BINARY_DIR}/generated)
target_compile_definitions(pellinor_modules INTERFACE ${PELLINOR_WIN_DEFINES})
target_link_libraries(pellinor_modules INTERFACE pellinor_app ${PELLINOR_WIN_LIBS})

# Every module with the product's key, for the program, its tests and the
# helper programs.
pellinor_release_key_library(pellinor_release_key "${PELLINOR_RELEASE_KEY}")
add_library(pellinor_core INTERFACE)
target_sources(pellinor_core INTERFACE $<TARGET_OBJECTS:pellinor_release_key>)
target_link_libraries(pellinor_core INTERFACE pellinor_modules pellinor_zlib_deflate)

configure_file(app/version.rc.in ${CMAKE_BINARY_DIR}/generated/version.rc @ONLY)

# The application manifest goes in without its comments and indentation: the
# resource section then fits one file-alignment block less.
file(READ app/pellinor.manifest manifest_text)
string(REGEX REPLACE "<!--[^>]*-->" "" manifest_text "${manifest_text}")
string(REGEX REPLACE "\n[ \t]*" "" manifest_text "${manifest_text}")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/pellinor.min.manifest CONTENT "${manifest_text}\n" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS app/pellinor.manifest)

# A release engineer may embed "INSTDATA" at build time.
set(PELLINOR_INSTDATA "" CACHE STRING
    "keyword text to embed as the INSTDATA resource ('&'-separated); empty embeds none")
set(PELLINOR_RESOURCES app/pellinor.rc ${CMAKE_BINARY_DIR}/generated/version.rc)
set_property(SOURCE app/pellinor.rc APPEND PROPERTY OBJECT_DEPENDS ${CMAKE_BINARY_DIR}/generated/pellinor.min.manifest)
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

# The entry point and resources once, for the program and the test-key program.
add_library(pellinor_entry OBJECT app/winmain.cpp ${PELLINOR_RESOURCES})
target_compile_options(pellinor_entry PRIVATE ${PELLINOR_SIZE_FLAGS} -Wall -Wextra)
target_link_libraries(pellinor_entry PRIVATE pellinor_modules)

# No unwind tables are read: the program has no exceptions, and without the
# C runtime's start-up objects nothing registers frame tables. The only ones
# left come from prebuilt libstdc++ and libgcc objects; they are dropped in
# the link (added to the default script, not replacing it).
file(WRITE ${CMAKE_BINARY_DIR}/generated/discard-eh-frame.ld
     "SECTIONS { /DISCARD/ : { *(.eh_frame) *(.eh_frame.*) } } INSERT BEFORE .text;\n")

# pellinor_installer(TARGET OUTPUT_NAME KEY_LIBRARY [HOOKS HOOKS_LIBRARY]):
# the installer program with the key data of KEY_LIBRARY; with HOOKS, the
# test build that starts at its entry (app/test_hooks_win.cpp).
function(pellinor_installer target output key)
  cmake_parse_arguments(P "" "HOOKS" "" ${ARGN})
  set(entry PellinorStart)
  set(hooks)
  if(P_HOOKS)
    set(entry PellinorTestStart)
    set(hooks $<TARGET_OBJECTS:${P_HOOKS}>)
  endif()
  # Only 32-bit x86 decorates stdcall names.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(entry _${entry}@0)
  endif()
  add_executable(${target} WIN32 $<TARGET_OBJECTS:pellinor_entry> $<TARGET_OBJECTS:${key}> ${hooks})
  target_link_libraries(${target} PRIVATE pellinor_modules)
  # Own entry point, no C runtime start-up objects (see app/winmain.cpp).
  target_link_options(${target} PRIVATE -static -s -Wl,--gc-sections -Wl,--no-insert-timestamp
                      -nostartfiles -Wl,-e,${entry}
                      -Wl,-T,${CMAKE_BINARY_DIR}/generated/discard-eh-frame.ld)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
               ${CMAKE_BINARY_DIR}/generated/discard-eh-frame.ld)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output}
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -P ${PROJECT_SOURCE_DIR}/cmake/PrintSize.cmake
    VERBATIM)
endfunction()

pellinor_installer(Pellinor Pellinor pellinor_release_key)

# The program's test build: the same libraries and key, started through the
# entry that sets the test seams from the environment. Tests that shorten a
# bound or pause the commit run it; Pellinor.exe holds none of that.
if(PELLINOR_TESTS)
  add_library(pellinor_test_hooks OBJECT app/test_hooks_win.cpp)
  target_compile_options(pellinor_test_hooks PRIVATE ${PELLINOR_SIZE_FLAGS} -Wall -Wextra)
  target_link_libraries(pellinor_test_hooks PRIVATE pellinor_modules)
  pellinor_installer(PellinorTest Pellinor-test pellinor_release_key HOOKS pellinor_test_hooks)
endif()

# The same program trusting a key this build makes, for the tests of signed
# releases: test-release-key/release-private.pem signs what it accepts.
if(PELLINOR_TESTS)
  set(test_key_dir ${CMAKE_BINARY_DIR}/test-release-key)
  if(NOT EXISTS ${test_key_dir}/release-public.pem)
    file(MAKE_DIRECTORY ${test_key_dir})
    execute_process(
      COMMAND sh -c "umask 077 && openssl ecparam -name prime256v1 -genkey -noout | openssl pkcs8 -topk8 -nocrypt -out release-private.pem && openssl pkey -in release-private.pem -pubout -out release-public.pem"
      WORKING_DIRECTORY ${test_key_dir} RESULT_VARIABLE key_result)
    if(NOT key_result EQUAL 0)
      message(FATAL_ERROR "cannot make the test release key with openssl")
    endif()
  endif()
  pellinor_release_key_library(pellinor_test_release_key ${test_key_dir}/release-public.pem)
  pellinor_installer(PellinorTestKey Pellinor-testkey pellinor_test_release_key)
endif()

# Release engineers' tool to stamp INSTDATA into a copy without a compiler.
add_subdirectory(tools/stamp)

# Windows halves of the benchmarks in bench/.
add_subdirectory(bench/win)

# Windows programs under test run through Wine, in a prefix inside the build tree.
set(PELLINOR_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
# A 64-bit tree exists only to run the tests on hosts that cannot execute
# 32-bit programs (scripts/build.sh); the product stays the 32-bit build,
# which e2e.binary examines through PELLINOR_PRODUCT_BUILD.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(PELLINOR_WIN_BITS 64)
  set(PELLINOR_WINE_LOADER /usr/lib/wine/wine64)
else()
  set(PELLINOR_WIN_BITS 32)
  set(PELLINOR_WINE_LOADER wine)
endif()
set(PELLINOR_PRODUCT_BUILD "${CMAKE_BINARY_DIR}" CACHE PATH
    "the 32-bit Windows build whose Pellinor.exe e2e.binary examines")
configure_file(scripts/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# The native build holds the server-side tools that the end-to-end tests run.
set(PELLINOR_NATIVE_BUILD "${PROJECT_SOURCE_DIR}/build/native" CACHE PATH
    "native build folder with the server-side tools (brevane-sessiond, brevane-publish)")
