# Loopback servers (nginx, also on the built-in hosts' port, and the fault
# server) for the tests that download. A ctest fixture starts them before the
# first such test and stops them, by process id, after the last one; the
# tests read the addresses from the endpoints file.
set(ORV_TEST_SERVERS_DIR ${CMAKE_BINARY_DIR}/servers)
set(ORV_TEST_SERVERS_SCRIPT ${CMAKE_SOURCE_DIR}/tests/servers/testservers.py)

set(ORV_TEST_BUILTIN_PORT "" CACHE STRING "Port of the test build's built-in update hosts")
# They live as long as the longest test may (the whole fault sweep), unless ctest ends first.
add_test(NAME servers.start COMMAND ${ORV_PYTHON} ${ORV_TEST_SERVERS_SCRIPT} start --dir ${ORV_TEST_SERVERS_DIR}
  --builtin-port=${ORV_TEST_BUILTIN_PORT} --lifetime 21600)
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
