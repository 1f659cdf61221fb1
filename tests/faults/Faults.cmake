# The crash-safety sweep: a real update under Wine, ended at its disk steps
# (./run test samples them, ./run faults sets ORV_FAULTS_FULL=1 and tries
# them all: long, no time limit of its own beyond the runs' own), and the
# soak: update runs in a row through a misbehaving network (ORV_SOAK_RUNS:
# 10 unless ./run soak asks for more).
add_test(NAME faults.sweep COMMAND ${ORV_PYTHON} ${CMAKE_SOURCE_DIR}/tests/faults/faults.py)
add_test(NAME faults.soak COMMAND ${ORV_PYTHON} ${CMAKE_SOURCE_DIR}/tests/faults/soak.py)
set_tests_properties(faults.sweep PROPERTIES
  PASS_REGULAR_EXPRESSION "RESULT faults points=[1-9][0-9]* reboot_points=[1-9][0-9]* .* violations=0")
set_tests_properties(faults.soak PROPERTIES
  PASS_REGULAR_EXPRESSION "RESULT soak runs=[1-9][0-9]* completed=[0-9]+ broken_installs=0 lost_user_files=0 ")
# One updater at a time in the one Wine session: the single-instance lock
# would turn a second one away.
foreach(test faults.sweep faults.soak)
  set_tests_properties(${test} PROPERTIES TIMEOUT 21600 FIXTURES_REQUIRED orv_servers RESOURCE_LOCK wine_desktop
    ENVIRONMENT "${ORV_TEST_ENV};ORV_WINE_RUN=${CMAKE_SOURCE_DIR}/cmake/wine-run.sh;ORV_WINEPREFIX=${ORV_WINEPREFIX};ORV_BUILD_DIR=${CMAKE_BINARY_DIR};ORV_TEST_SERVERS_FILE=${ORV_TEST_SERVERS_DIR}/endpoints.txt")
endforeach()
