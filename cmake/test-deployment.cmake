# Deployment values of the test build: every hosted service on loopback, so
# that the end-to-end tests can serve them (used with cmake -C; FORCE, so that
# an existing build folder takes them too).
set(PELLINOR_HOSTED_MANIFEST_SERVER "127.0.0.1:28080" CACHE STRING "" FORCE)
set(PELLINOR_HOSTED_SESSION_HOST "127.0.0.1" CACHE STRING "" FORCE)
set(PELLINOR_SAAS_DOMAIN_SUFFIX ".test.invalid" CACHE STRING "" FORCE)
set(PELLINOR_PARAMS_HOST "127.0.0.1:28081" CACHE STRING "" FORCE)
