#!/bin/sh
# ends_with_test.sh COMMAND...: runs a command that starts others (a build's make and compilers, MSBuild's
# workers) so that none of them outlives it or the test that started it, whatever signal ends that test.
# The command runs in a process group of its own, which this shell ends once the command has ended; a
# watcher in the group ends it once the test, or the process of this wrapper that the test holds, is gone
# (Python's subprocess kills that with SIGKILL on Ctrl-C or a timeout). Exits with the command's status
# (128+N if signal N ended it).
if [ "$1" != --in-own-group ]; then
  # setsid forks when its caller leads a group: -w keeps the status, and $$ the process the caller holds.
  exec setsid -w sh "$0" --in-own-group "$PPID" "$$" "$@"
fi
test_pid=$2 held_pid=$3
shift 3
alive() { case $(cat "/proc/$1/stat" 2>/dev/null) in ""|*") Z "*) return 1;; esac; }   # a zombie is gone too
# Polled, not signalled: it cannot miss a death that came before it started. No stdio: it holds no pipe open.
(while alive "$test_pid" && alive "$held_pid" && alive $$; do sleep 1; done; kill -TERM 0) </dev/null >/dev/null 2>&1 &
"$@"
status=$?
trap '' TERM
kill -TERM 0
exit $status
