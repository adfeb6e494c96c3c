# Registers tests that run a build's Windows images under Wine.
#
# Test names say which build they ran against (KIND.BUILD.NAME, such as
# e2e.pe32.settings_0), and every such test carries the build's label
# (shipped-pe32 or x64-stand-in). The tests of one build share its Wine
# session (fixture wine_BUILD, made by wine.BUILD.prefix) and run one after
# another; the two builds run side by side.
#
# Where a build runs emulated here, each Wine process takes minutes: only
# the tests in EMULATED_SET (KIND.NAME) run for it, labelled "emulated".

set(EMULATED_SET e2e.settings_0 windows.report_failure faultbridge.clr)
set(WINHOST_ENVIRONMENT PYTHONPATH=${PROJECT_SOURCE_DIR}/scripts)

# add_windows_test(BUILD KIND NAME COMMAND...)
function(add_windows_test build kind name)
  set(emulated ${WINDOWS_BUILD_${build}_EMULATED})
  if(emulated AND NOT "${kind}.${name}" IN_LIST EMULATED_SET)
    return()
  endif()
  set(test ${kind}.${build}.${name})
  add_test(NAME ${test} COMMAND ${ARGN})
  set(labels ${WINDOWS_BUILD_${build}_LABEL})
  set(cost 1)
  if(emulated)
    list(APPEND labels emulated)
    set(cost 1000)   # started first: they are the longest
  endif()
  set_tests_properties(${test} PROPERTIES LABELS "${labels}" COST ${cost}
    FIXTURES_REQUIRED wine_${build} RESOURCE_LOCK prefix_${build}
    TIMEOUT ${WINDOWS_BUILD_${build}_TIMEOUT} SKIP_RETURN_CODE ${SKIPPED_STATUS}
    ENVIRONMENT "${WINHOST_ENVIRONMENT}")
endfunction()

# The session itself: made before the first test of the build, ended
# after the last.
function(add_wine_session build)
  set(session --build ${build} --mode ${I386_MODE} --work ${CMAKE_BINARY_DIR}/e2e/${build})
  add_test(NAME wine.${build}.prefix
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/e2e/run_scenario.py ${session} --prepare)
  add_test(NAME wine.${build}.stop
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/e2e/run_scenario.py ${session} --stop)
  set_tests_properties(wine.${build}.prefix PROPERTIES FIXTURES_SETUP wine_${build}
    TIMEOUT ${WINDOWS_PREPARE_TIMEOUT} COST 1000)
  set_tests_properties(wine.${build}.prefix wine.${build}.stop PROPERTIES RESOURCE_LOCK prefix_${build}
    LABELS ${WINDOWS_BUILD_${build}_LABEL} ENVIRONMENT "${WINHOST_ENVIRONMENT}")
  set_tests_properties(wine.${build}.stop PROPERTIES FIXTURES_CLEANUP wine_${build})
endfunction()
