# Native (Linux) build: the modules that need no Windows API, with their unit
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# server-side tools that share the protocol, manifest and naming code.

# Every module, for the tests and the tools (which sit beside the product).
add_library(pellinor_portable INTERFACE)
target_include_directories(pellinor_portable INTERFACE ${PROJECT_SOURCE_DIR}
                                                       ${CMAKE_BINARY_DIR}/generated)
target_link_libraries(pellinor_portable INTERFACE pellinor_app ZLIB::ZLIB Threads::Threads)
pellinor_release_key_library(pellinor_release_key "${PELLINOR_RELEASE_KEY}")
target_sources(pellinor_portable INTERFACE $<TARGET_OBJECTS:pellinor_release_key>)

if(NOT PELLINOR_TSAN)
  add_subdirectory(tools)
  add_subdirectory(bench)
endif()
