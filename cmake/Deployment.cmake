# Deployment settings, compiled into the programs (there is no configuration file).
set(ZUVO_LOCAL_SERVER_HOST_NAME "zuvo-bridge.localtest" CACHE STRING "Host name of the bridge's TLS certificate")
set(ZUVO_REACHABILITY_HOST "localhost" CACHE STRING "Host probed before transfers")

configure_file(${CMAKE_CURRENT_LIST_DIR}/Deployment.h.in ${CMAKE_BINARY_DIR}/generated/Deployment.h @ONLY)
