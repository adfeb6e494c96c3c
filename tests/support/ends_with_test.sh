#!/bin/sh
# ends_with_test.sh COMMAND...: runs a command that starts others (a build's make and compilers, MSBuild's
# workers) so that none of them outlives it or the test that started it, whatever signal ends that test.
# The command runs in a process group of its own, which this shell ends when the command ends, and on
# SIGTERM: the signal the test's death sends it. Should this shell be killed outright, the command itself
# still gets SIGTERM. Exits with the command's status.
if [ "$1" != --in-own-group ]; then
  exec setpriv --pdeathsig TERM setsid sh "$0" --in-own-group "$@"
fi
shift
end_group() { trap '' TERM; kill -TERM 0; }
trap 'end_group; exit 143' TERM
setpriv --pdeathsig TERM "$@" &
wait $!
status=$?
end_group
exit $status
