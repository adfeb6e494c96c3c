# Registers the tables that run a build's Windows images under Wine: each
# ctest test is one pytest run of one table against one build, named
# KIND.BUILD (e2e.pe32, say) and labelled with the build's label
# (shipped-pe32 or x64-stand-in). pytest names every case in the test's
# output and writes a JUnit report into JUNIT_DIR.
#
# Each test runs through windows_host.py run: on this machine, or where the
# build runs in the guest (the pe32 build in the guest mode) the very same
# command in a guest of its own; those tests also carry the label
# "in-guest". Each test has a Wine session of its own (its own work folder,
# prefix, server and display; one per pytest worker where a table has two),
# so tests of one build run side by side; all start from the prefix
# template's image, which wine.prefix_template makes.
#
# The limits come from scripts/winhost/limits.py (a guest's own limit lies
# below its test's). Everything the tests write lies in this build folder:
# HEXALIFT_BUILD_DIR tells the host package, TMPDIR the programs they start.

set(WINHOST_ENVIRONMENT PYTHONPATH=${PROJECT_SOURCE_DIR}/scripts:${PROJECT_SOURCE_DIR}/tests/e2e
  HEXALIFT_BUILD_DIR=${CMAKE_BINARY_DIR} TMPDIR=${BUILD_TMPDIR} ${PYCACHE_ENVIRONMENT})
set(WINDOWS_HOST ${PROJECT_SOURCE_DIR}/scripts/windows_host.py)
set(WINDOWS_TABLES ${PROJECT_SOURCE_DIR}/tests/e2e)
set(PYTEST ${PE_PYTHON} -m pytest -p no:cacheprovider -v -s -rs --color=no)
set(JUNIT_DIR ${CMAKE_BINARY_DIR}/junit)

# The wrong builds' limit grows with their table (faults.py prints it).
execute_process(COMMAND ${CMAKE_COMMAND} -E env ${WINHOST_ENVIRONMENT} ${Python3_EXECUTABLE} -B
  ${WINDOWS_TABLES}/faults.py OUTPUT_FILE ${CMAKE_BINARY_DIR}/wrong_versions.cmake COMMAND_ERROR_IS_FATAL ANY)
include(${CMAKE_BINARY_DIR}/wrong_versions.cmake)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${WINDOWS_TABLES}/faults.py)

# The prefix template's image, made once before the first table needs it.
add_test(NAME wine.prefix_template COMMAND ${SUPERVISED} ${Python3_EXECUTABLE} ${WINDOWS_HOST} template)
set_tests_properties(wine.prefix_template PROPERTIES FIXTURES_SETUP wine_template
  TIMEOUT ${PREPARE_TEST_LIMIT} COST 1000 ENVIRONMENT "${WINHOST_ENVIRONMENT}")

# add_windows_table(NAME BUILD PYTEST_ARGUMENTS...): the test NAME runs pytest
# with the arguments against BUILD, in the work folder build/e2e/NAME.
function(add_windows_table name build)
  set(work ${CMAKE_BINARY_DIR}/e2e/${name})
  add_test(NAME ${name} COMMAND ${SUPERVISED} ${Python3_EXECUTABLE} ${WINDOWS_HOST} run ${build} --
    ${PYTEST} ${ARGN} --build ${build} --work ${work} --junitxml=${JUNIT_DIR}/${name}.xml)
  # COST: tables start before the short tests, those in a guest (the slowest)
  # first of all, so that none of them starts last.
  set(labels ${WINDOWS_BUILD_${build}_LABEL})
  set(cost 500)
  if(WINDOWS_BUILD_${build}_IN_GUEST)
    list(APPEND labels in-guest)
    set(cost 1000)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" FIXTURES_REQUIRED wine_template
    TIMEOUT ${TABLE_TEST_LIMIT} COST ${cost} ENVIRONMENT "${WINHOST_ENVIRONMENT}")
endfunction()
