# The Python that reads PE files: Debian's python3-pefile installs for
# /usr/bin/python3, and the python3 first on PATH may be another interpreter.
set(PE_PYTHON /usr/bin/python3)
execute_process(COMMAND ${PE_PYTHON} -c "import pefile" RESULT_VARIABLE pefile_missing OUTPUT_QUIET ERROR_QUIET)
if(pefile_missing)
  message(FATAL_ERROR "${PE_PYTHON} cannot import pefile: run scripts/install-deps.sh (python3-pefile)")
endif()
