#!/bin/sh
# Stands in for a test under the supervisor, for tests/host/supervise_test.py.
# Writes its supervisor's process id, its own, and that of what it starts
# ($2: a plain child, a daemon in a session of its own as Wine's server is,
# or a child that ignores SIGTERM) into the file $1; once all three are
# written down, ends with status 3 or sleeps ($3: ends, sleeps).
pids=$1
echo "$PPID $$" >>"$pids"
case $2 in
plain)
  sleep 600 &
  echo $! >>"$pids"
  ;;
daemon)
  # shellcheck disable=SC2016 # the daemon's own $$ and $1
  setsid -f sh -c 'echo $$ >>"$1"; exec sleep 600' - "$pids"
  ;;
ignores-term)
  (
    trap "" TERM
    exec sleep 600
  ) &
  echo $! >>"$pids"
  ;;
esac
until [ "$(wc -w <"$pids")" = 3 ]; do sleep 0.1; done
case $3 in
ends) exit 3 ;;
sleeps) exec sleep 600 ;;
esac
