#!/usr/bin/env bash
# Runs hexalift.exe under Wine against the simulated optical module and shows
# the run log and what reached flash.
#
#   scripts/demo.sh                      sample images (made with the image tool)
#   scripts/demo.sh NIOS_IMAGE FPGA_IMAGE  your own image files
#   scripts/demo.sh --blank              erase the simulated flash first
#   scripts/demo.sh --screenshot FILE    erase the flash, slow the writes down and
#                                        save a PNG of the window while an image
#                                        is written
#
# The simulated flash lives in build/demo/run and survives between runs: run
# the demo twice and the second run finds both images current. HEXSIM_*
# variables in the environment reach the simulator (see README.md).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

blank=no
screenshot=
if [ "${1:-}" = "--blank" ]; then blank=yes; shift; fi
if [ "${1:-}" = "--screenshot" ] && [ $# -ge 2 ]; then
  blank=yes
  screenshot=$(realpath -m "$2")
  shift 2
fi
if [ $# -ne 0 ] && [ $# -ne 2 ]; then
  sed -n '2,12p' "$0" >&2
  exit 2
fi

bash scripts/install-deps.sh
if [ -n "$screenshot" ]; then bash scripts/install-deps.sh imagemagick; fi
bash scripts/build.sh >/dev/null

demo=$root/build/demo
prefix=$demo/prefix
run=$demo/run
bash scripts/wine-prefix.sh "$prefix"
mkdir -p "$run"
[ "$blank" = yes ] && rm -f "$run"/flash-target-*.bin
rm -f "$run/journal.txt"

# The program and the simulated "Flash.dll" and "zefib.dll" beside it.
cp build/windows/bin/hexalift.exe build/windows/bin/simulator/Flash.dll \
   build/windows/bin/simulator/zefib.dll "$run/"

# The images, in the install directory of the prefix's drive C.
install_dir="$prefix/drive_c/Program Files/Veltrane Corporation/Signal Analyzer/System/Hardware Objects/Optical"
mkdir -p "$install_dir"
if [ $# -eq 2 ]; then
  cp "$1" "$install_dir/qd5180b.nios"
  cp "$2" "$install_dir/qd5180a.fpga"
else
  head -c 65536 /dev/zero | tr '\0' '\125' > "$demo/nios-payload"
  head -c 200000 /dev/zero | tr '\0' '\252' > "$demo/fpga-payload"
  build/tools/imagetool create "1.00" "$demo/nios-payload" "$install_dir/qd5180b.nios"
  build/tools/imagetool create "2.5" "$demo/fpga-payload" "$install_dir/qd5180a.fpga"
fi

# First byte "1": a run log, and no shutdown at the end.
printf 1 > "$prefix/drive_c/zef_installer.ini"
rm -f "$prefix/drive_c/zef_installer.log"

# The window needs a display: a virtual one.
exec 3< <(Xvfb -displayfd 4 -screen 0 1024x768x24 -nolisten tcp 4>&1 >/dev/null 2>&1 & echo "pid $!")
read -r _ xvfb <&3
read -r display <&3
trap 'kill $xvfb 2>/dev/null' EXIT
# It names the display before it serves clients reliably: wait for one to get through.
for _ in $(seq 150); do xdpyinfo -display ":$display" >/dev/null 2>&1 && break; sleep 0.1; done
export DISPLAY=:$display WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
[ -n "$screenshot" ] && export HEXSIM_FL_WRITE_DELAY_MS=${HEXSIM_FL_WRITE_DELAY_MS:-3000}

(cd "$run" && exec wine hexalift.exe >"$demo/console.txt" 2>&1 </dev/null) &
hexalift=$!
if [ -n "$screenshot" ]; then
  # Once the first image is being written, its path is in the window.
  for _ in $(seq 100); do
    grep -q "FL_Read(1" "$run/journal.txt" 2>/dev/null && break
    sleep 0.2
  done
  sleep 1
  window=$(xwininfo -root -tree | awk '/"Hardware Object"/ {print $1; exit}')
  import -window "$window" "$screenshot"
  echo "== The window while an image is written: $screenshot"
fi
set +e
wait $hexalift
status=$?
set -e

echo "== hexalift.exe exited with status $status; console output: $(wc -c <"$demo/console.txt") bytes"
echo
echo "== Run log (C:\\zef_installer.log)"
# Blank flash reads back as 0xFF bytes, shown here as M-^?.
tr -d '\r' < "$prefix/drive_c/zef_installer.log" | cat -v
echo
echo "== Calls the simulated module received ($run/journal.txt)"
cat "$run/journal.txt" 2>/dev/null || echo "(none)"
echo
echo "== Board register 0x10028 (0: module held in reset, 1: running)"
cat "$run/board-register-0x10028.txt" 2>/dev/null || echo "(never written)"
for target in 1 2; do
  echo
  echo "== Flash target $target"
  if [ -f "$run/flash-target-$target.bin" ]; then
    build/tools/imagetool show "$run/flash-target-$target.bin"
  else
    echo "(never written)"
  fi
done
