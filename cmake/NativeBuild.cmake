# Native (Linux) build: the modules that need no Windows API, with their unit
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# server-side tools that share the protocol, manifest and naming code.
find_package(ZLIB REQUIRED)

option(PELLINOR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
if(PELLINOR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-Wall -Wextra)

add_library(pellinor_portable STATIC ${PORTABLE_SOURCES} ${POSIX_SOURCES})
target_include_directories(pellinor_portable PUBLIC ${PROJECT_SOURCE_DIR}
                                                    ${CMAKE_BINARY_DIR}/generated)
target_link_libraries(pellinor_portable PUBLIC ZLIB::ZLIB)

add_subdirectory(tools)
add_subdirectory(bench)
