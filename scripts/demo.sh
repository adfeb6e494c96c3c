#!/usr/bin/env bash
# Runs hexalift.exe under Wine against the simulated optical module and shows
# the run log and what reached flash.
#
#   scripts/demo.sh                      sample images (made with the image tool)
#   scripts/demo.sh NIOS_IMAGE FPGA_IMAGE  your own image files
#   scripts/demo.sh --blank              erase the simulated flash first
#
# The simulated flash lives in build/demo/run and survives between runs: run
# the demo twice and the second run finds both images current. HEXSIM_*
# variables in the environment reach the simulator (see README.md).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

blank=no
if [ "${1:-}" = "--blank" ]; then blank=yes; shift; fi
if [ $# -ne 0 ] && [ $# -ne 2 ]; then
  sed -n '2,12p' "$0" >&2
  exit 2
fi

bash scripts/install-deps.sh
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

set +e
(cd "$run" && WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" \
  wine hexalift.exe >"$demo/console.txt" 2>&1 </dev/null)
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
