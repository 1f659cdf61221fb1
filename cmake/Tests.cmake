# Test build: GoogleTest from Debian's sources, one test program per folder of
# tests/unit, Win32 helper programs from tests/tools, the packaging check of
# the product exe and the end-to-end scenarios. Every Windows program runs
# under Wine through cmake/wine-run.sh with the build tree's own prefix.

set(ORV_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh ${ORV_WINEPREFIX})

set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

find_program(ORV_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)

# Shared helpers of the unit tests (temporary folders and the like).
file(GLOB ORV_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/support/*.cpp)
add_library(orvtestsupport STATIC ${ORV_TEST_SUPPORT})
target_include_directories(orvtestsupport PUBLIC ${CMAKE_SOURCE_DIR}/tests/unit)
target_compile_options(orvtestsupport PRIVATE ${ORV_WARNINGS})
target_link_libraries(orvtestsupport PUBLIC orvcore gtest)

# Win32 helper programs the tests start, and the programs the benchmarks
# time (one .cpp each).
file(GLOB ORV_TEST_TOOLS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/tools/*.cpp
     ${CMAKE_SOURCE_DIR}/bench/programs/*.cpp)
list(FILTER ORV_TEST_TOOLS EXCLUDE REGEX "/bench/programs/Bare[^/]*$")
set(ORV_TOOL_TARGETS "")
foreach(src IN LISTS ORV_TEST_TOOLS)
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src} $<TARGET_OBJECTS:orvversion> $<TARGET_OBJECTS:orvkey>)
  target_compile_options(${name} PRIVATE ${ORV_WARNINGS})
  target_link_options(${name} PRIVATE -municode)
  target_link_libraries(${name} PRIVATE orvcore)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
  list(APPEND ORV_TOOL_TARGETS ${name})
endforeach()

# The bare updater the run benchmarks measure against: plain Win32 and
# miniz with nothing of ours, a GUI program that carries the updater's
# application manifest and imports every system DLL the updater's work names.
add_executable(BareUpdater WIN32 ${CMAKE_SOURCE_DIR}/bench/programs/BareUpdater.cpp
               ${CMAKE_SOURCE_DIR}/bench/programs/BareUpdater.rc)
set_property(SOURCE ${CMAKE_SOURCE_DIR}/bench/programs/BareUpdater.rc APPEND PROPERTY
  OBJECT_DEPENDS ${ORV_GENERATED_DIR}/OrvUpdaterW7.manifest)
target_compile_options(BareUpdater PRIVATE ${ORV_WARNINGS})
target_link_options(BareUpdater PRIVATE -municode -mwindows)
target_link_libraries(BareUpdater PRIVATE miniz winhttp wininet urlmon ole32 shlwapi shell32 comctl32 gdi32 user32
                      advapi32 rstrtmgr version kernel32)
set_target_properties(BareUpdater PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
list(APPEND ORV_TOOL_TARGETS BareUpdater)

# Test fixtures stamped with version resources (tests/fixtures/*.rc, each an
# empty DLL carrying the resource).
file(GLOB ORV_FIXTURE_RCS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fixtures/*.rc)
foreach(rc IN LISTS ORV_FIXTURE_RCS)
  get_filename_component(name ${rc} NAME_WE)
  add_library(${name} SHARED ${CMAKE_SOURCE_DIR}/tests/fixtures/Empty.c ${rc})
  set_target_properties(${name} PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fixtures)
  list(APPEND ORV_TOOL_TARGETS ${name})
endforeach()

# A DLL named like a system one that leaves a mark when it is loaded: the
# tests plant it where Windows would look first for a DLL of that name.
add_library(PlantedDll SHARED ${CMAKE_SOURCE_DIR}/tests/fixtures/PlantedDll.c)
set_target_properties(PlantedDll PROPERTIES PREFIX "" OUTPUT_NAME version
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fixtures/planted)
list(APPEND ORV_TOOL_TARGETS PlantedDll)

# A newer updater made from the same library, for the self-update chain: a
# second version object and its own version resource.
orv_version_object(orvversion_27005 27.0.0.5)
set_property(SOURCE ${CMAKE_SOURCE_DIR}/res/OrvUpdaterW7.rc APPEND PROPERTY
  OBJECT_DEPENDS ${ORV_GENERATED_DIR}/orvversion_27005/ProgramVersion.h)
orv_add_updater(OrvUpdaterW7_27005 orvversion_27005 orvkey orvtesthooks)
list(APPEND ORV_TOOL_TARGETS OrvUpdaterW7_27005)

# An updater that trusts a publisher's key made for this build tree, for the
# signed-manifest scenarios; they sign with the private half.
set(ORV_TEST_KEY_DIR ${CMAKE_BINARY_DIR}/testkey)
if(NOT EXISTS ${ORV_TEST_KEY_DIR}/public.pem)
  find_program(ORV_OPENSSL openssl REQUIRED)
  file(MAKE_DIRECTORY ${ORV_TEST_KEY_DIR})
  execute_process(COMMAND ${ORV_OPENSSL} ecparam -name prime256v1 -genkey -noout -out ${ORV_TEST_KEY_DIR}/private.pem
                  COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${ORV_OPENSSL} ec -in ${ORV_TEST_KEY_DIR}/private.pem -pubout -out ${ORV_TEST_KEY_DIR}/public.pem
                  COMMAND_ERROR_IS_FATAL ANY ERROR_QUIET)
endif()
orv_key_object(orvkey_test ${ORV_TEST_KEY_DIR}/public.pem)
set_property(SOURCE ${CMAKE_SOURCE_DIR}/res/OrvUpdaterW7.rc APPEND PROPERTY
  OBJECT_DEPENDS ${ORV_GENERATED_DIR}/orvkey_test/BuildMarker.h)
orv_add_updater(OrvUpdaterW7_signed orvversion orvkey_test orvtesthooks)
list(APPEND ORV_TOOL_TARGETS OrvUpdaterW7_signed)

# The tests find the programs they start through these folders, passed as
# environment variables (Wine passes the environment to Windows programs).
set(ORV_TEST_ENV
  "ORV_TEST_TOOLS_DIR=${CMAKE_BINARY_DIR}/tools"
  "ORV_TEST_FIXTURES_DIR=${CMAKE_BINARY_DIR}/fixtures"
  "ORV_TEST_EXE=$<TARGET_FILE:OrvUpdaterW7>"
  "ORV_TEST_EXE_NEXT=$<TARGET_FILE:OrvUpdaterW7_27005>"
  "ORV_TEST_EXE_SIGNED=$<TARGET_FILE:OrvUpdaterW7_signed>"
  "ORV_TEST_SIGNING_KEY=${ORV_TEST_KEY_DIR}/private.pem"
  "ORV_PUBLISH_TOOL=${CMAKE_BINARY_DIR}/../native/orvpublish"
  "ORV_TEST_SOURCE_DIR=${CMAKE_SOURCE_DIR}")

file(GLOB ORV_UNIT_DIRS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/unit/*)
foreach(dir IN LISTS ORV_UNIT_DIRS)
  get_filename_component(area ${dir} NAME)
  if(NOT IS_DIRECTORY ${dir} OR area STREQUAL "support")
    continue()
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  if(NOT sources)
    continue()
  endif()
  set(target unit_${area})
  add_executable(${target} ${sources} $<TARGET_OBJECTS:orvversion> $<TARGET_OBJECTS:orvkey>)
  target_compile_options(${target} PRIVATE ${ORV_WARNINGS})
  target_link_libraries(${target} PRIVATE orvtestsupport gtest_main)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/unit)
  add_dependencies(${target} OrvUpdaterW7 ${ORV_TOOL_TARGETS})
  add_test(NAME unit.${area} COMMAND ${target} --gtest_brief=1)
  set(data_dir ${CMAKE_BINARY_DIR}/testdata/${area})
  # Judged by GoogleTest's own summary, not the exit code alone: under Wine a
  # program that dies of a stack overflow can end with code 0.
  set_tests_properties(unit.${area} PROPERTIES TIMEOUT 900
    ENVIRONMENT "${ORV_TEST_ENV};ORV_TEST_DATA_DIR=${data_dir}"
    PASS_REGULAR_EXPRESSION "\\[  PASSED  \\]" FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
  # An area may prepare data on the Linux side first (links, archives made
  # by native tools): tests/unit/<area>/setup.sh DATA-DIR WINEPREFIX, run before it.
  if(EXISTS ${dir}/setup.sh)
    add_test(NAME unit.${area}.setup COMMAND bash ${dir}/setup.sh ${data_dir} ${ORV_WINEPREFIX})
    set_tests_properties(unit.${area}.setup PROPERTIES FIXTURES_SETUP data_${area})
    set_tests_properties(unit.${area} PROPERTIES FIXTURES_REQUIRED data_${area})
    # What the setup mounted or started is undone by cleanup.sh DATA-DIR.
    if(EXISTS ${dir}/cleanup.sh)
      add_test(NAME unit.${area}.cleanup COMMAND bash ${dir}/cleanup.sh ${data_dir})
      set_tests_properties(unit.${area}.cleanup PROPERTIES FIXTURES_CLEANUP data_${area})
    endif()
  endif()
endforeach()

# Packaging check of the shipped i686 exe: what a clean Windows 7 needs, and
# the publisher's key it was built with (or the mark of a build without one).
# The same check must refuse that exe once its unsigned build's mark is gone.
set(ORV_PRODUCT_PUBLISHER_KEY "" CACHE FILEPATH "The publisher key the i686 product was built with, if any")
if(ORV_PRODUCT_EXE)
  set(ORV_CHECK_EXE ${ORV_PYTHON} ${CMAKE_SOURCE_DIR}/tests/package/check_exe.py
      --objdump i686-w64-mingw32-objdump --version 27.0.0.4)
  if(ORV_PRODUCT_PUBLISHER_KEY)
    list(APPEND ORV_CHECK_EXE --publisher-key ${ORV_PRODUCT_PUBLISHER_KEY})
  endif()
  add_test(NAME package.product_exe COMMAND ${ORV_CHECK_EXE} ${ORV_PRODUCT_EXE})
  add_test(NAME package.unmarked_exe COMMAND ${ORV_CHECK_EXE} --without-key-and-mark ${ORV_PRODUCT_EXE})
  set_tests_properties(package.unmarked_exe PROPERTIES PASS_REGULAR_EXPRESSION "FAIL: not (marked|keyed)")
endif()

# The structure of the sources: includes run down the layers, and pure rules
# reach no Windows header.
add_test(NAME package.layers COMMAND ${ORV_PYTHON} ${CMAKE_SOURCE_DIR}/tests/package/check_layers.py
         ${CMAKE_SOURCE_DIR}/src)

# End-to-end scenarios: the built exe under Wine against local servers, one
# ctest entry per scenario file.
file(GLOB ORV_E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/test_*.py)
set(ORV_E2E_ENTRIES "")
foreach(script IN LISTS ORV_E2E_TESTS)
  get_filename_component(name ${script} NAME_WE)
  string(REGEX REPLACE "^test_" "" name ${name})
  add_test(NAME e2e.${name}
    COMMAND ${ORV_PYTHON} -m pytest -q -p no:cacheprovider ${script})
  set_tests_properties(e2e.${name} PROPERTIES TIMEOUT 1800 ENVIRONMENT
    "${ORV_TEST_ENV};ORV_WINE_RUN=${CMAKE_SOURCE_DIR}/cmake/wine-run.sh;ORV_WINEPREFIX=${ORV_WINEPREFIX};ORV_BUILD_DIR=${CMAKE_BINARY_DIR}")
  list(APPEND ORV_E2E_ENTRIES e2e.${name})
endforeach()

# A short native fuzzing run of every target (clang, apart from the Windows
# builds); ./run fuzz runs them longer.
add_test(NAME fuzz.short COMMAND ${CMAKE_SOURCE_DIR}/run fuzz 5)
set_tests_properties(fuzz.short PROPERTIES TIMEOUT 900)

# The sample product that `./run demo` updates.
include(${CMAKE_SOURCE_DIR}/demo/Demo.cmake)

# Loopback servers for the tests that download.
include(${CMAKE_SOURCE_DIR}/tests/servers/Servers.cmake)

# The crash-safety sweep (it needs the servers).
include(${CMAKE_SOURCE_DIR}/tests/faults/Faults.cmake)

# Message boxes are answered by a helper that looks for them across the one
# Wine desktop by their caption, and the screenshot needs its window
# unobstructed: the scenarios take turns. Unit tests only ever look at
# windows of their own thread.
foreach(test IN LISTS ORV_E2E_ENTRIES)
  set_property(TEST ${test} APPEND PROPERTY RESOURCE_LOCK wine_desktop)
endforeach()
