#!/bin/sh
# Stands in for Wine's loader (wine64) in tests/host/windows_host_test.py.
# Only "wineboot" does anything: it counts its attempts in $FAKE_COUNT, says
# when it finds a prefix already there, makes the prefix, and at the attempts
# $FAKE_ACTS names ("1:fails 2:hangs", "1:fails-after-4") fails as Wine does
# when it cannot load kernel32.dll (at once, or after N s), or hangs.
[ "$1" = wineboot ] || exit 0
attempt=$(($(cat "$FAKE_COUNT" 2>/dev/null || echo 0) + 1))
echo "$attempt" >"$FAKE_COUNT"
[ -e "$WINEPREFIX" ] && echo "a prefix left over"
mkdir -p "$WINEPREFIX" && echo "set-up $attempt"
case " $FAKE_ACTS " in
*" $attempt:fails-after-"*)
  seconds=${FAKE_ACTS##*fails-after-}
  sleep "${seconds%% *}"
  ;;
*" $attempt:hangs "*) exec sleep 60 ;;
esac
case " $FAKE_ACTS " in
*" $attempt:fails"*)
  echo "wine: could not load kernel32.dll, status c0000135"
  exit 53
  ;;
esac
