# Compile options of the Windows build, set before the modules are declared.

# Everything built for Windows, tests and helpers included, runs without
# MinGW runtime DLLs.
add_link_options(-static)
set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG")
set(CMAKE_C_FLAGS_RELEASE "-Os -DNDEBUG")

# Size-minded flags shared by every object of the product; the modules take
# them through pellinor_module_options.
# No -fdata-sections: for PE the compiler gives every per-variable section file
# contents, so each zero-initialised record would cost its size in the file
# instead of living in .bss.
set(PELLINOR_C_SIZE_FLAGS
    -Os -ffunction-sections -fno-asynchronous-unwind-tables -fno-unwind-tables
    -fno-ident -fmerge-all-constants -fomit-frame-pointer)
# Our own code goes further with -Oz (about 700 bytes less than -Os; its
# loops are bounded by the network and the disk); zlib keeps -Os for its
# inflate loop.
set(PELLINOR_SIZE_FLAGS ${PELLINOR_C_SIZE_FLAGS} -Oz -fno-exceptions -fno-rtti -fno-threadsafe-statics)
set(PELLINOR_WIN_DEFINES
    WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0600 __USE_MINGW_ANSI_STDIO=0)

include(cmake/Zlib.cmake)
set(PELLINOR_WIN_LIBS
    pellinor_zlib ws2_32 wininet shell32 ole32 uuid advapi32 bcrypt user32 gdi32 kernel32)

add_library(pellinor_module_options INTERFACE)
target_include_directories(pellinor_module_options INTERFACE ${CMAKE_BINARY_DIR}/generated)
target_compile_definitions(pellinor_module_options INTERFACE ${PELLINOR_WIN_DEFINES})
target_compile_options(pellinor_module_options INTERFACE ${PELLINOR_SIZE_FLAGS} -Wall -Wextra)
target_link_libraries(pellinor_module_options INTERFACE pellinor_zlib_headers)
