#!/bin/sh
# ends_with_test.sh COMMAND...: runs a command that starts others (a build's make and compilers, MSBuild's
# workers) so that none of them outlives it or the test that started it, whatever signal ends that test.
# The command runs in a process group of its own, which this shell ends when the command has ended; a
# watcher in the group ends it should this shell die first (SIGTERM on the test's death, SIGKILL from
# Python's subprocess on Ctrl-C). Exits with the command's status (128+N if signal N ended it).
if [ "$1" != --in-own-group ]; then
  # setsid forks when its caller leads a process group: -w keeps the status, the second setpriv the signal.
  exec setpriv --pdeathsig TERM setsid -w setpriv --pdeathsig TERM sh "$0" --in-own-group "$@"
fi
shift
setpriv --pdeathsig TERM sh -c \
  'trap "trap \"\" TERM; kill -TERM 0; exit" TERM; while :; do sleep 3600 & wait $!; done' &
"$@"
status=$?
trap '' TERM
kill -TERM 0
exit $status
