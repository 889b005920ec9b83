# Deployment settings, compiled into the programs (there is no configuration file).
# The defaults point at the loopback stand-ins in tests/fixtures (see `make demo`).
set(ZUVO_LOCAL_SERVER_HOST_NAME "zuvo-bridge.localtest" CACHE STRING "Host name of the bridge's TLS certificate")
set(ZUVO_REACHABILITY_HOST "localhost" CACHE STRING "Host probed before transfers")

# Outside services of the server's start-up: scheme://host[:port], no path.
set(ZUVO_CONFIG_BASE_URL "https://127.0.0.1:47801" CACHE STRING "Maker's configuration host")
set(ZUVO_IDENTITY_BASE_URL "https://127.0.0.1:47802" CACHE STRING "OAuth identity provider")
set(ZUVO_KEYVAULT_BASE_URL "https://127.0.0.1:47803" CACHE STRING "Key vault holding the bridge's certificate")
set(ZUVO_KEYVAULT_SCOPE "https://127.0.0.1:47803/.default" CACHE STRING "Scope of the token request, sent as it is")
set(ZUVO_TENANT_ID "7d3f9a21-4c6b-4e8a-9f12-3b5c7d9e1f20" CACHE STRING "Tenant identifier (8-4-4-4-12)")
set(ZUVO_CLIENT_ID "c0ffee00-1234-4abc-8def-0123456789ab" CACHE STRING "Client identifier (8-4-4-4-12)")

# Origins (scheme://host[:port]) whose web pages may use the bridge, separated by blanks or
# commas; empty = any origin. A request whose Origin header names another is refused (403).
set(ZUVO_ALLOWED_ORIGINS "" CACHE STRING "Web origins allowed to use the bridge (empty = any)")
string(REGEX REPLACE "[ ,\t]+" ";" _origins "${ZUVO_ALLOWED_ORIGINS}")
list(REMOVE_ITEM _origins "")
foreach(origin ${_origins})
  if(NOT origin MATCHES "^https?://[^/?#]+$")
    message(FATAL_ERROR "ZUVO_ALLOWED_ORIGINS: '${origin}' is not scheme://host[:port]")
  endif()
endforeach()
list(JOIN _origins " " ZUVO_ALLOWED_ORIGINS_LIST)

foreach(var ZUVO_CONFIG_BASE_URL ZUVO_IDENTITY_BASE_URL ZUVO_KEYVAULT_BASE_URL)
  if(NOT "${${var}}" MATCHES "^https?://[^/?#]+$")
    message(FATAL_ERROR "${var} must be scheme://host[:port] without a path, not '${${var}}'")
  endif()
endforeach()

# Each identifier goes into the program as five separate pieces, stored in the order the
# server's Crypto unscrambles, so the whole text never appears in the binary.
function(zuvo_identifier_pieces var out)
  set(id "${${var}}")
  if(NOT id MATCHES "^([0-9A-Za-z]+)-([0-9A-Za-z]+)-([0-9A-Za-z]+)-([0-9A-Za-z]+)-([0-9A-Za-z]+)$")
    message(FATAL_ERROR "${var} must be five groups joined by '-', not '${id}'")
  endif()
  foreach(n 1 2 3 4 5)
    set(p${n} "${CMAKE_MATCH_${n}}")
  endforeach()
  string(LENGTH "${p1}" l1)
  string(LENGTH "${p2}" l2)
  string(LENGTH "${p3}" l3)
  string(LENGTH "${p4}" l4)
  string(LENGTH "${p5}" l5)
  if(NOT (l1 EQUAL 8 AND l2 EQUAL 4 AND l3 EQUAL 4 AND l4 EQUAL 4 AND l5 EQUAL 12))
    message(FATAL_ERROR "${var} must have groups of 8, 4, 4, 4 and 12 characters")
  endif()
  set(${out}_1 "${p1}" PARENT_SCOPE)
  set(${out}_2 "${p2}" PARENT_SCOPE)
  set(${out}_3 "${p3}" PARENT_SCOPE)
  set(${out}_4 "${p4}" PARENT_SCOPE)
  set(${out}_5 "${p5}" PARENT_SCOPE)
endfunction()
zuvo_identifier_pieces(ZUVO_TENANT_ID ZUVO_TENANT)
zuvo_identifier_pieces(ZUVO_CLIENT_ID ZUVO_CLIENT)

configure_file(${CMAKE_CURRENT_LIST_DIR}/Deployment.h.in ${CMAKE_BINARY_DIR}/generated/Deployment.h @ONLY)

# Programs and tests that need the settings link this.
add_library(zuvo_deployment INTERFACE)
target_include_directories(zuvo_deployment INTERFACE ${CMAKE_BINARY_DIR}/generated)
