# The installer's zlib, compiled from Debian's zlib source package, which
# scripts/install-deps.sh unpacks into build/deps/zlib/source (never into the
# tracked tree). The prebuilt MinGW library is compiled for speed; at the
# installer's size flags the same inflate code is half the size.
set(PELLINOR_ZLIB_SOURCE "${PROJECT_SOURCE_DIR}/build/deps/zlib/source" CACHE PATH
    "unpacked zlib source package (scripts/install-deps.sh fetches it)")
foreach(f zlib.h zconf.h inflate.c deflate.c)
  if(NOT EXISTS "${PELLINOR_ZLIB_SOURCE}/${f}")
    message(FATAL_ERROR "no zlib source in ${PELLINOR_ZLIB_SOURCE} (${f} missing): run scripts/install-deps.sh")
  endif()
endforeach()

# Only the two public headers are put on the include path, so that zlib's
# private headers (inflate.h, deflate.h, ...) can shadow nothing.
set(zlib_include ${CMAKE_BINARY_DIR}/generated/zlib)
configure_file(${PELLINOR_ZLIB_SOURCE}/zlib.h ${zlib_include}/zlib.h COPYONLY)
configure_file(${PELLINOR_ZLIB_SOURCE}/zconf.h ${zlib_include}/zconf.h COPYONLY)
add_library(pellinor_zlib_headers INTERFACE)
target_include_directories(pellinor_zlib_headers SYSTEM INTERFACE ${zlib_include})

# What the installer links: inflate and what it calls. NO_GZIP: it reads
# zlib streams only (inflateInit), so inflate's gzip header and trailer code,
# and the CRC-32 tables it would pull in, stay out. zlib has no zero-filled
# globals, so -fdata-sections costs it no file space and lets the link drop
# its unused constants (the copyright text, the error message table).
add_library(pellinor_zlib STATIC
  ${PELLINOR_ZLIB_SOURCE}/inflate.c ${PELLINOR_ZLIB_SOURCE}/inftrees.c
  ${PELLINOR_ZLIB_SOURCE}/inffast.c ${PELLINOR_ZLIB_SOURCE}/adler32.c
  ${PELLINOR_ZLIB_SOURCE}/zutil.c)
target_compile_definitions(pellinor_zlib PRIVATE NO_GZIP BUILDFIXED)
target_compile_options(pellinor_zlib PRIVATE ${PELLINOR_C_SIZE_FLAGS} -fdata-sections)
set_source_files_properties(${PELLINOR_ZLIB_SOURCE}/inflate.c PROPERTIES COMPILE_OPTIONS -fno-data-sections)
target_link_libraries(pellinor_zlib PUBLIC pellinor_zlib_headers)

# The compressing half, for test and benchmark programs that make zlib and
# gzip data; never linked into the installer.
add_library(pellinor_zlib_deflate STATIC
  ${PELLINOR_ZLIB_SOURCE}/deflate.c ${PELLINOR_ZLIB_SOURCE}/trees.c
  ${PELLINOR_ZLIB_SOURCE}/compress.c ${PELLINOR_ZLIB_SOURCE}/uncompr.c
  ${PELLINOR_ZLIB_SOURCE}/crc32.c)
target_link_libraries(pellinor_zlib_deflate PUBLIC pellinor_zlib)
