#!/usr/bin/env bash
# Creates a Wine prefix for running hexalift, once; later calls find it ready.
#   scripts/wine-prefix.sh DIR
# Wine's own Mono and Gecko installers are switched off (they would open a
# dialog and hang without a display), and windows are unmanaged so that
# destroying one under Xvfb does not wait for a window manager.
set -euo pipefail
prefix=$(realpath -m "$1")
[ -f "$prefix/.hexalift-ready" ] && exit 0

mkdir -p "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
wineboot -i >/dev/null 2>&1
cat > "$prefix/unmanaged.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
REG
wine regedit /S 'Z:'"${prefix//\//\\}"'\unmanaged.reg' >/dev/null 2>&1
wineserver -w
touch "$prefix/.hexalift-ready"
