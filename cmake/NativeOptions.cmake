# Compile options of the native build, set before the modules are declared.
find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)

option(PELLINOR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
# ThreadSanitizer cannot run beside ASan; a separate build tree turns it on
# (tests/tsan) for the worker pool and the mirror pick.
option(PELLINOR_TSAN "Build with ThreadSanitizer instead" OFF)
if(PELLINOR_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(PELLINOR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-Wall -Wextra)

add_library(pellinor_module_options INTERFACE)
target_include_directories(pellinor_module_options INTERFACE ${CMAKE_BINARY_DIR}/generated)
target_link_libraries(pellinor_module_options INTERFACE ZLIB::ZLIB OpenSSL::Crypto Threads::Threads)

