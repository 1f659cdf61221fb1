# Loopback servers (nginx over HTTP and HTTPS, the fault server, a refusing
# port) for the tests that download. A ctest fixture starts them before the
# first such test and stops them, by process id, after the last one; the
# tests read the addresses from the endpoints file.
set(ORV_TEST_SERVERS_DIR ${CMAKE_BINARY_DIR}/servers)
set(ORV_TEST_SERVERS_SCRIPT ${CMAKE_SOURCE_DIR}/tests/servers/testservers.py)

set(ORV_TEST_BUILTIN_PORT "" CACHE STRING "Port of the test build's built-in update hosts")
set(ORV_TEST_BUILTIN_ARGS "")
if(ORV_TEST_BUILTIN_PORT)
  set(ORV_TEST_BUILTIN_ARGS --builtin-port ${ORV_TEST_BUILTIN_PORT})
endif()
add_test(NAME servers.start COMMAND ${ORV_PYTHON} ${ORV_TEST_SERVERS_SCRIPT} start --dir ${ORV_TEST_SERVERS_DIR}
  ${ORV_TEST_BUILTIN_ARGS})
add_test(NAME servers.stop COMMAND ${ORV_PYTHON} ${ORV_TEST_SERVERS_SCRIPT} stop --dir ${ORV_TEST_SERVERS_DIR})
set_tests_properties(servers.start PROPERTIES FIXTURES_SETUP orv_servers TIMEOUT 180)
set_tests_properties(servers.stop PROPERTIES FIXTURES_CLEANUP orv_servers TIMEOUT 120)

foreach(test IN ITEMS unit.download ${ORV_E2E_ENTRIES})
  if(TEST ${test})
    set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED orv_servers)
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
      "ORV_TEST_SERVERS_FILE=${ORV_TEST_SERVERS_DIR}/endpoints.txt")
  endif()
endforeach()
