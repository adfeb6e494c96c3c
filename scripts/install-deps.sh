#!/usr/bin/env bash
# Installs what building and testing needs, from Debian's packages, as root.
# Quick when everything is there already: apt runs only for what is missing.
#   scripts/install-deps.sh            everything the build and the tests need
#   scripts/install-deps.sh PACKAGE..  just these
# (qemu-user-static, for machines that cannot run 32-bit code, is installed
# by scripts/windows_host.py when it is needed.)
set -euo pipefail

packages=("$@")
[ $# -gt 0 ] || packages=(
  cmake make g++ python3 libgtest-dev libbenchmark-dev   # native build, tests, benchmarks
  python3-pefile                                         # reading PE files (for /usr/bin/python3)
  clang libclang-rt-14-dev valgrind time                 # fuzzing, memcheck, benchmark timing
  g++-mingw-w64-i686 binutils-mingw-w64-i686             # the shipped 32-bit Windows images
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64         # their x86-64 stand-ins
  wine wine32:i386 wine64 xvfb xauth x11-utils           # running both, with a display
  mono-mcs mono-runtime mono-devel                       # Faultbridge.dll (and the 4.7.2 reference assemblies)
  nunit-console libnunit-cil-dev                         # its tests
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
