# Cross-compiles for 64-bit Windows with Debian's MinGW-w64: only the test
# tree of hosts that cannot execute 32-bit programs (scripts/wine-bits.sh),
# where Wine runs 64-bit Windows programs only. The product is the i686 build.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
