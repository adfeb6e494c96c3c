# Registers tests that run a build's Windows images under Wine.
#
# Test names say which build they ran against (KIND.BUILD.NAME, such as
# e2e.pe32.settings_0), and every such test carries the build's label
# (shipped-pe32 or x64-stand-in). The tests of one build share its Wine
# session (fixture wine_BUILD, made by wine.BUILD.prefix) and run one after
# another; the two builds run side by side.
#
# Where a build runs in the guest (the pe32 build in the guest mode), the
# same tests run there, in GUEST_SHARDS batches (guest.BUILD.N), each in one
# guest of its own, side by side: a guest and its Wine session take half a
# minute to start, a test a few seconds. Each test keeps its name and
# reports what it did in the guest; all carry the label "in-guest".
#
# The limits (TEST_LIMIT, ...) come from scripts/winhost/limits.py, which
# keeps each guest's own limit below its test's. Everything the tests
# write lies in this build folder: HEXALIFT_BUILD_DIR tells the host
# package, TMPDIR the programs they start.

set(GUEST_SHARDS 2)
set(WINHOST_ENVIRONMENT PYTHONPATH=${PROJECT_SOURCE_DIR}/scripts:${PROJECT_SOURCE_DIR}/tests/e2e
  HEXALIFT_BUILD_DIR=${CMAKE_BINARY_DIR} TMPDIR=${BUILD_TMPDIR} ${PYCACHE_ENVIRONMENT})
set(GUEST_BATCH ${PROJECT_SOURCE_DIR}/tests/e2e/guest_batch.py)

# The wrong versions' tests run in pytest (Debian's, with its timeout plugin),
# each writing its JUnit report into JUNIT_DIR; their limits grow with their
# tables (faults.py).
set(WRONG_VERSIONS ${PROJECT_SOURCE_DIR}/tests/wrong_versions)
set(PYTEST ${PE_PYTHON} -m pytest -p no:cacheprovider -v -s)
set(JUNIT_DIR ${CMAKE_BINARY_DIR}/junit)
execute_process(COMMAND ${CMAKE_COMMAND} -E env ${WINHOST_ENVIRONMENT} ${Python3_EXECUTABLE} -B
  ${WRONG_VERSIONS}/faults.py OUTPUT_FILE ${CMAKE_BINARY_DIR}/wrong_versions.cmake COMMAND_ERROR_IS_FATAL ANY)
include(${CMAKE_BINARY_DIR}/wrong_versions.cmake)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${WRONG_VERSIONS}/faults.py)

function(windows_test_properties test build)
  set_tests_properties(${test} PROPERTIES LABELS "${WINDOWS_BUILD_${build}_LABEL}"
    FIXTURES_REQUIRED wine_${build} RESOURCE_LOCK prefix_${build}
    TIMEOUT ${TEST_LIMIT} SKIP_RETURN_CODE ${SKIPPED_STATUS}
    ENVIRONMENT "${WINHOST_ENVIRONMENT}")
endfunction()

# add_windows_test(BUILD KIND NAME [PROGRAMS N] COMMAND...): N, the Windows
# programs the test runs (2 by default), sets its limit in a guest's batch;
# on this machine the caller sets a limit other than TEST_LIMIT.
function(add_windows_test build kind name)
  set(test ${kind}.${build}.${name})
  set(command ${ARGN})
  set(programs 2)
  if(ARGV3 STREQUAL "PROGRAMS")
    if(NOT ARGV4 MATCHES "^[1-9][0-9]*$")
      message(FATAL_ERROR "add_windows_test ${test}: PROGRAMS takes a count, not '${ARGV4}'")
    endif()
    set(programs ${ARGV4})
    list(REMOVE_AT command 0 1)
  endif()
  if(NOT WINDOWS_BUILD_${build}_IN_GUEST)
    add_test(NAME ${test} COMMAND ${ENDS_WITH_CTEST} ${command})
    windows_test_properties(${test} ${build})
    return()
  endif()
  # In the guest: a line of the batch with the fewest programs so far (a
  # guest's time goes mostly on starting programs), and a test that reports it.
  set(shard 1)
  set(least -1)
  foreach(candidate RANGE 1 ${GUEST_SHARDS})
    get_property(load GLOBAL PROPERTY guest_programs_${build}_${candidate})
    if(NOT load)
      set(load 0)
    endif()
    if(least EQUAL -1 OR load LESS least)
      set(shard ${candidate})
      set(least ${load})
    endif()
  endforeach()
  math(EXPR load "${least} + ${programs}")
  set_property(GLOBAL PROPERTY guest_programs_${build}_${shard} ${load})
  list(JOIN command "\t" line)
  set_property(GLOBAL APPEND_STRING PROPERTY guest_batch_${build}_${shard} "${test}\t${programs}\t${line}\n")
  add_test(NAME ${test} COMMAND ${ENDS_WITH_CTEST} ${Python3_EXECUTABLE} ${GUEST_BATCH} report ${test}
    --results ${CMAKE_BINARY_DIR}/e2e/${build}/guest-${shard})
  set_tests_properties(${test} PROPERTIES LABELS "${WINDOWS_BUILD_${build}_LABEL};in-guest"
    FIXTURES_REQUIRED guest_${build}_${shard} SKIP_RETURN_CODE ${SKIPPED_STATUS}
    ENVIRONMENT "${WINHOST_ENVIRONMENT}")
endfunction()

# windows_test_needs(BUILD TEST SETUP FIXTURE): TEST runs what the test
# SETUP, outside the Wine session, makes (the signed hexalift.exe), and
# SETUP provides FIXTURE. Natively TEST requires the fixture. In the guest
# TEST runs in a batch: the batches run after SETUP without requiring it,
# so that a failing SETUP costs no other test its run (TEST itself then
# fails for want of what SETUP makes).
function(windows_test_needs build test setup fixture)
  if(WINDOWS_BUILD_${build}_IN_GUEST)
    set_property(GLOBAL APPEND PROPERTY guest_setups_${build} ${setup})
  else()
    set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED ${fixture})
  endif()
endfunction()

# The batches of a build that runs in the guest: call after its last
# add_windows_test.
function(add_guest_batches build)
  if(NOT WINDOWS_BUILD_${build}_IN_GUEST)
    return()
  endif()
  foreach(shard RANGE 1 ${GUEST_SHARDS})
    set(batch ${CMAKE_BINARY_DIR}/e2e/${build}-guest-${shard}.tsv)
    get_property(lines GLOBAL PROPERTY guest_batch_${build}_${shard})
    file(GENERATE OUTPUT ${batch} CONTENT "${lines}")
    set(test guest.${build}.${shard})
    get_property(setups GLOBAL PROPERTY guest_setups_${build})
    add_test(NAME ${test} COMMAND ${ENDS_WITH_CTEST} ${Python3_EXECUTABLE} ${GUEST_BATCH} run --build ${build}
      --work ${CMAKE_BINARY_DIR}/e2e/${build} --batch ${batch} --results ${CMAKE_BINARY_DIR}/e2e/${build}/guest-${shard})
    set_tests_properties(${test} PROPERTIES LABELS "${WINDOWS_BUILD_${build}_LABEL};in-guest"
      FIXTURES_REQUIRED wine_${build} FIXTURES_SETUP guest_${build}_${shard} COST 1000
      DEPENDS "${setups}" TIMEOUT ${GUEST_BATCH_TEST_LIMIT} ENVIRONMENT "${WINHOST_ENVIRONMENT}")
  endforeach()
endfunction()

# The session itself: made before the first test of the build, ended
# after the last. In the guest, only the prefix template's image is made.
function(add_wine_session build)
  set(session --build ${build} --mode ${I386_MODE} --work ${CMAKE_BINARY_DIR}/e2e/${build})
  add_test(NAME wine.${build}.prefix
    COMMAND ${ENDS_WITH_CTEST} ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/e2e/run_scenario.py ${session} --prepare)
  add_test(NAME wine.${build}.stop
    COMMAND ${ENDS_WITH_CTEST} ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/e2e/run_scenario.py ${session} --stop)
  set_tests_properties(wine.${build}.prefix PROPERTIES FIXTURES_SETUP wine_${build}
    TIMEOUT ${PREPARE_TEST_LIMIT} COST 1000)
  set_tests_properties(wine.${build}.prefix wine.${build}.stop PROPERTIES RESOURCE_LOCK prefix_${build}
    LABELS ${WINDOWS_BUILD_${build}_LABEL} ENVIRONMENT "${WINHOST_ENVIRONMENT}")
  set_tests_properties(wine.${build}.stop PROPERTIES FIXTURES_CLEANUP wine_${build})
endfunction()
