# The demo's sample product, in an old and a new version: the main program
# (a program that records its own start) and a report library, each with a
# real version resource.
foreach(ORV_DEMO_VERSION IN ITEMS 27.0.1.0 27.1.0.0)
  string(REPLACE "." "," ORV_DEMO_COMMAS ${ORV_DEMO_VERSION})
  set(rc ${CMAKE_BINARY_DIR}/demo/Version-${ORV_DEMO_VERSION}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/demo/Version.rc.in ${rc} @ONLY)
  add_executable(DemoMain-${ORV_DEMO_VERSION} ${CMAKE_SOURCE_DIR}/tests/tools/LaunchRecorder.cpp ${rc}
    $<TARGET_OBJECTS:orvversion> $<TARGET_OBJECTS:orvkey>)
  target_link_options(DemoMain-${ORV_DEMO_VERSION} PRIVATE -municode)
  target_link_libraries(DemoMain-${ORV_DEMO_VERSION} PRIVATE orvcore)
  add_library(DemoReports-${ORV_DEMO_VERSION} SHARED ${CMAKE_SOURCE_DIR}/tests/fixtures/Empty.c ${rc})
  set_target_properties(DemoMain-${ORV_DEMO_VERSION} DemoReports-${ORV_DEMO_VERSION} PROPERTIES
    PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/demo)
endforeach()
