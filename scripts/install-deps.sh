#!/usr/bin/env bash
# Installs what building and testing need from Debian's packages, as root, saying what; apt runs only for
# what is missing, and only here are its package lists updated. The .NET SDK comes with the machine.
#   scripts/install-deps.sh            everything the build and the tests need
#   scripts/install-deps.sh PACKAGE..  just these
set -euo pipefail
cd "$(dirname "$0")/.."

# PACKAGE[:ARCH] is installed for ARCH, or for this machine's own architecture. A name alone may
# also match its i386 copy (libicu72:i386 comes with Wine), which does not count.
installed() {
  local name=${1%%:*} arch=${1#*:}
  [ "$arch" = "$1" ] && arch=$(dpkg --print-architecture)
  dpkg-query -W -f='${Architecture} ${Status}\n' "$name" 2>/dev/null | grep -Eqx "($arch|all) install ok installed"
}

install() {
  local missing=() package
  for package in "$@"; do installed "$package" || missing+=("$package"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "install-deps: installing ${missing[*]}" >&2
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

if [ $# -gt 0 ]; then install "$@"; exit 0; fi
# The guest's kernel is fetched with apt later: the lists must be there.
apt-cache show linux-image-amd64 >/dev/null 2>&1 ||
  { echo "install-deps: fetching apt's package lists" >&2; apt-get update -qq; }
install \
  cmake make g++ python3 libgtest-dev libbenchmark-dev   `# native build, tests, benchmarks` \
  nlohmann-json3-dev                                     `# the image tool's JSON, for both builds` \
  python3-pefile                                         `# reading PE files (for /usr/bin/python3)` \
  clang libclang-rt-14-dev valgrind time                 `# fuzzing, memcheck, benchmark timing` \
  g++-mingw-w64-i686 binutils-mingw-w64-i686             `# the pe32 build: shipped 32-bit images` \
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64         `# the x64 build: their x86-64 stand-ins` \
  wine wine32:i386 wine64 xvfb x11-utils e2fsprogs       `# running both, with a display` \
  ca-certificates libicu72 libssl3                       `# the .NET SDK: NuGet over https, globalisation` \
  qemu-system-x86 busybox-static cpio squashfs-tools     `# the guest; a test boots one everywhere so it cannot rot` \
  osslsigncode openssl                                   `# signing the release; the signing tests' throwaway keys`
