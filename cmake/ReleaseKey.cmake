# The release key compiled into the installer: PELLINOR_RELEASE_KEY names a
# PEM public key (ECDSA P-256, SubjectPublicKeyInfo); empty builds an
# installer that requires no signature. The key becomes
# generated/release_key_data.cpp with its 64-byte point X||Y, compiled alone
# into the object library pellinor_release_key: a build with another key
# (the test-key installer) links its own such object and no module twice.
#
# Also runs as a script, for the tests of this conversion:
#   cmake -DPELLINOR_RELEASE_KEY=key.pem -DRELEASE_KEY_SOURCE=out.cpp -P ReleaseKey.cmake

function(pellinor_release_key_source key source)
  if(key STREQUAL "")
    set(RELEASE_KEY_HAVE false)
    set(RELEASE_KEY_BYTES "0")
  else()
    get_filename_component(key "${key}" ABSOLUTE)
    if(NOT EXISTS "${key}" OR IS_DIRECTORY "${key}")
      message(FATAL_ERROR "PELLINOR_RELEASE_KEY: no such file: ${key}")
    endif()
    find_program(PELLINOR_OPENSSL openssl)
    if(NOT PELLINOR_OPENSSL)
      message(FATAL_ERROR "PELLINOR_RELEASE_KEY: the openssl program is needed to read ${key}")
    endif()
    execute_process(COMMAND ${PELLINOR_OPENSSL} pkey -pubin -in "${key}" -text -noout
                    RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
      string(STRIP "${error}" error)
      string(REGEX REPLACE "\n.*" "" error "${error}")  # openssl's first line says it
      message(FATAL_ERROR "PELLINOR_RELEASE_KEY: ${key} is not a PEM public key (openssl: ${error})")
    endif()
    if(NOT text MATCHES "ASN1 OID: prime256v1" OR NOT text MATCHES "pub:([0-9a-f: \n]+)")
      message(FATAL_ERROR "PELLINOR_RELEASE_KEY: ${key} is not an ECDSA P-256 public key")
    endif()
    string(REGEX REPLACE "[: \n]" "" point "${CMAKE_MATCH_1}")
    string(LENGTH "${point}" length)
    if(NOT length EQUAL 130 OR NOT point MATCHES "^04")
      message(FATAL_ERROR "PELLINOR_RELEASE_KEY: ${key} does not hold an uncompressed P-256 point")
    endif()
    string(SUBSTRING "${point}" 2 128 point)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${point}")
    string(REGEX REPLACE ",$" "" bytes "${bytes}")
    set(RELEASE_KEY_HAVE true)
    set(RELEASE_KEY_BYTES "${bytes}")
  endif()
  set(content "// Generated from a release key at configure time. Do not edit.
#include \"manifest/release_key.h\"

extern const bool kHaveReleaseKey = ${RELEASE_KEY_HAVE};
extern const uint8_t kReleaseKey[64] = {${RELEASE_KEY_BYTES}};
")
  file(CONFIGURE OUTPUT "${source}" CONTENT "${content}" @ONLY)
endfunction()

# An object library of the key data of key (a PEM file, or empty).
function(pellinor_release_key_library name key)
  set(source ${CMAKE_BINARY_DIR}/generated/${name}_data.cpp)
  pellinor_release_key_source("${key}" "${source}")
  add_library(${name} OBJECT ${source})
  target_link_libraries(${name} PRIVATE pellinor_manifest pellinor_module_options)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  pellinor_release_key_source("${PELLINOR_RELEASE_KEY}" "${RELEASE_KEY_SOURCE}")
else()
  set(PELLINOR_RELEASE_KEY "" CACHE FILEPATH
      "PEM public key (ECDSA P-256) that release manifests must be signed with; empty requires no signature")
  if(NOT PELLINOR_RELEASE_KEY STREQUAL "")
    # A new key in the same file takes effect on the next build.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PELLINOR_RELEASE_KEY}")
  endif()
endif()
