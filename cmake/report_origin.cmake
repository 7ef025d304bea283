# The report server a build's DLL sends its usage reports to, fixed at build
# time (QUENTRA_REPORT_ORIGIN, compiled into src/actions/report.cpp).
#
# The product reports to the production server. The twin (the win64 preset
# sets QUENTRA_REPORT_LOOPBACK) reports to a receiver on 127.0.0.1 at a port
# of its own build tree, so that two checkouts on one machine run their demo
# and tests side by side: the port is derived from the tree's path when the
# tree is first configured and kept in the cache. Overrides:
#   -DQUENTRA_REPORT_PORT=N        another loopback port for this tree
#   -DQUENTRA_REPORT_ORIGIN=URL    any origin at all (the tests that send
#                                  reports then skip unless it is loopback)
# An origin given by hand stays; one derived here follows the port.
option(QUENTRA_REPORT_LOOPBACK "Report to http://127.0.0.1:QUENTRA_REPORT_PORT (the twin) instead of production" OFF)

# 24000..31999: below the ephemeral ports of Linux (32768..60999), on which
# Wine's sockets live, and of Windows (49152..65535), so that no outgoing
# connection of the machine is handed this tree's port.
set(QUENTRA_REPORT_PORT_FIRST 24000)
set(QUENTRA_REPORT_PORT_COUNT 8000)

set(quentra_derived_origin "http://report.corvelsafe.com")
if(QUENTRA_REPORT_LOOPBACK)
  # Kept once in the cache: a value given on the command line, or this one.
  string(SHA256 tree_hash "${CMAKE_BINARY_DIR}")
  string(SUBSTRING "${tree_hash}" 0 7 tree_hash)
  math(EXPR tree_port "${QUENTRA_REPORT_PORT_FIRST} + 0x${tree_hash} % ${QUENTRA_REPORT_PORT_COUNT}")
  set(QUENTRA_REPORT_PORT ${tree_port} CACHE STRING
      "Loopback port of this tree's report receiver (derived from the tree's path; set it to choose another)")
  if(NOT QUENTRA_REPORT_PORT MATCHES "^[1-9][0-9]*$" OR QUENTRA_REPORT_PORT GREATER 65535)
    message(FATAL_ERROR "QUENTRA_REPORT_PORT is '${QUENTRA_REPORT_PORT}': it must be a port number from 1 to 65535")
  endif()
  set(quentra_derived_origin "http://127.0.0.1:${QUENTRA_REPORT_PORT}")
endif()

set(QUENTRA_REPORT_ORIGIN "${quentra_derived_origin}" CACHE STRING
    "Origin of the report server: http://HOST[:PORT], no path and no trailing slash")
# Follow the derivation when the cached origin is the one derived last time
# (the port or the kind of build changed), or the fixed twin origin that
# trees configured before the per-tree port still hold.
if((DEFINED CACHE{QUENTRA_REPORT_ORIGIN_DERIVED} AND QUENTRA_REPORT_ORIGIN STREQUAL QUENTRA_REPORT_ORIGIN_DERIVED) OR
   (NOT DEFINED CACHE{QUENTRA_REPORT_ORIGIN_DERIVED} AND QUENTRA_REPORT_ORIGIN STREQUAL "http://127.0.0.1:47631"))
  set_property(CACHE QUENTRA_REPORT_ORIGIN PROPERTY VALUE "${quentra_derived_origin}")
endif()
set(QUENTRA_REPORT_ORIGIN_DERIVED "${quentra_derived_origin}" CACHE INTERNAL "The origin this configure step derived")

# The origin goes into the DLL as a string literal and is joined with the
# report's path: only a plain http origin is taken.
if(NOT QUENTRA_REPORT_ORIGIN MATCHES "^http://[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?(:[1-9][0-9]?[0-9]?[0-9]?[0-9]?)?$")
  message(FATAL_ERROR "QUENTRA_REPORT_ORIGIN is '${QUENTRA_REPORT_ORIGIN}': it must be http://HOST[:PORT] "
                      "(HOST of letters, digits, '.' and '-'; PORT 1 to 65535; no user, path, query or trailing slash)")
endif()
if(QUENTRA_REPORT_ORIGIN MATCHES ":([0-9]+)$" AND CMAKE_MATCH_1 GREATER 65535)
  message(FATAL_ERROR "QUENTRA_REPORT_ORIGIN is '${QUENTRA_REPORT_ORIGIN}': its port must be 1 to 65535")
endif()
