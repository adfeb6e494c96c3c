#!/bin/sh
# Stands in for the i386 probe in tests/host/windows_host_test.py: a program
# the kernel runs, which ends with the status $PROBE_STATUS.
exit "$PROBE_STATUS"
