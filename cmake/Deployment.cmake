# Deployment values of the hosted platform. Release builds set them for the
# real servers; the test build points them at loopback so that the end-to-end
# tests can serve them.
set(PELLINOR_HOSTED_MANIFEST_SERVER "install.brevane.example" CACHE STRING
    "host[:port] that serves /install/files.ver over HTTP for the presets")
set(PELLINOR_HOSTED_SESSION_HOST "session.brevane.example" CACHE STRING
    "session host name of the hosted platform (passed to the client)")
set(PELLINOR_SAAS_DOMAIN_SUFFIX ".brevane.example" CACHE STRING
    "domain appended to a tenant host name without a dot; begins with '.'")
set(PELLINOR_PARAMS_HOST "params.brevane.example" CACHE STRING
    "host[:port] of the remote-parameters service")

if(NOT PELLINOR_SAAS_DOMAIN_SUFFIX MATCHES "^\\.")
  message(FATAL_ERROR "PELLINOR_SAAS_DOMAIN_SUFFIX must begin with '.'")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/deployment.h.in
               ${CMAKE_BINARY_DIR}/generated/deployment.h @ONLY)
