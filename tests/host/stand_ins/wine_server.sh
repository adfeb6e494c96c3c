#!/bin/sh
# Stands in for Wine's server (wineserver64) in tests/host/windows_host_test.py:
# records the options it was called with in $FAKE_SERVER_CALLS.
echo "$@" >>"$FAKE_SERVER_CALLS"
