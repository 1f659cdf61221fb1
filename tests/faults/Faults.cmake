# The crash-safety sweep: a real update under Wine, ended at its disk steps.
# ./run test tries every tenth step; ./run faults sets ORV_FAULTS_EVERY=1
# and tries them all (long: no time limit of its own beyond the runs' own).
add_test(NAME faults.sweep COMMAND ${ORV_PYTHON} ${CMAKE_SOURCE_DIR}/tests/faults/faults.py)
set_tests_properties(faults.sweep PROPERTIES TIMEOUT 14400 FIXTURES_REQUIRED orv_servers
  RESOURCE_LOCK wine_desktop
  PASS_REGULAR_EXPRESSION "RESULT faults points=[1-9][0-9]* violations=0"
  ENVIRONMENT "${ORV_TEST_ENV};ORV_WINE_RUN=${CMAKE_SOURCE_DIR}/cmake/wine-run.sh;ORV_WINEPREFIX=${ORV_WINEPREFIX};ORV_BUILD_DIR=${CMAKE_BINARY_DIR};ORV_TEST_SERVERS_FILE=${ORV_TEST_SERVERS_DIR}/endpoints.txt")
