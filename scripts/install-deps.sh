#!/usr/bin/env bash
# Installs what building and testing need from Debian's packages, as root, saying what; apt runs only for
# what is missing, and only here are its package lists updated. The .NET SDK comes with the machine.
#   scripts/install-deps.sh            everything the build and the tests need
#   scripts/install-deps.sh PACKAGE..  just these
# A mirror on a bad day (one suite's index served with the wrong size in the middle of a sync) does not stop
# it: apt retries each download, the lists that still fail are named, and the packages are installed from
# the lists apt has; if that fails, once more with the failed suites left out (in a private copy of the
# sources: none of the machine's sources changes). Only then it stops, with apt's words.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
failed_suites=()   # "URI SUITE" for each suite of which apt-get update could not fetch a list

# PACKAGE[:ARCH] is installed for ARCH, or for this machine's own architecture. A name alone may
# also match its i386 copy (libicu72:i386 comes with Wine), which does not count.
installed() {
  local name=${1%%:*} arch=${1#*:}
  [ "$arch" = "$1" ] && arch=$(dpkg --print-architecture)
  dpkg-query -W -f='${Architecture} ${Status}\n' "$name" 2>/dev/null | grep -Eqx "($arch|all) install ok installed"
}

# Fetches apt's lists, each download tried up to four times. A list that still fails is named, and its
# suite noted in failed_suites; that alone never stops the script.
update_lists() {
  local said url suite
  said=$(apt-get update -qq -o Acquire::Retries=3 2>&1) && return 0
  echo "install-deps: apt-get update failed (each download tried 4 times); going on with the lists apt has:" >&2
  printf '%s\n' "$said" | sed 's/^/  /' >&2
  while read -r _ _ _ _ url _; do   # E: Failed to fetch URI/dists/SUITE/...  why
    [[ $url == */dists/* ]] || continue
    suite=${url#*/dists/}
    failed_suites+=("${url%%/dists/*} ${suite%%/*}")
  done < <(printf '%s\n' "$said" | grep -E '^[EW]: Failed to fetch ' | sort -u)
}

# What leaves a suite (awk -v uri= -v suite=) out of apt's sources: a one-line source of it goes; in the
# deb822 form (a stanza a record), the suite leaves the Suites of its URI's stanzas, and a stanza left
# without suites goes.
# shellcheck disable=SC2016 # awk's own $
ONE_LINE='{ for (i = 1; i < NF; i++) if (($i == uri || $i == uri "/") && $(i + 1) == suite) next; print }'
# shellcheck disable=SC2016
DEB822='BEGIN { RS = ""; ORS = "\n\n" }
{
  n = split($0, line, "\n"); ours = 0; text = ""
  for (i = 1; i <= n; i++)
    if (line[i] ~ /^URIs:/ && (index(line[i] " ", " " uri " ") || index(line[i] " ", " " uri "/ "))) ours = 1
  for (i = 1; i <= n; i++) {
    if (ours && line[i] ~ /^Suites:/) {
      m = split(line[i], word, /[ \t]+/)
      line[i] = "Suites:"
      for (j = 2; j <= m; j++) if (word[j] != suite) line[i] = line[i] " " word[j]
      if (line[i] == "Suites:") next
    }
    text = text (i > 1 ? "\n" : "") line[i]
  }
  print text
}'

# Copies the machine's apt sources (where apt-config says they are) into a folder, without the suites in
# failed_suites.
sources_without_failed_suites() {
  local folder=$1 SOURCELIST SOURCEPARTS file copy failed
  eval "$(apt-config shell SOURCELIST Dir::Etc::sourcelist/f SOURCEPARTS Dir::Etc::sourceparts/d 2>/dev/null)"
  for file in "$SOURCELIST" "$SOURCEPARTS"*.list "$SOURCEPARTS"*.sources; do
    [ -f "$file" ] || continue
    copy=$folder/$(basename "$file")
    cp "$file" "$copy"
    for failed in "${failed_suites[@]}"; do
      awk -v uri="${failed% *}" -v suite="${failed#* }" "$([[ $file == *.sources ]] && echo "$DEB822" || echo "$ONE_LINE")" \
        "$copy" >"$copy.new"
      mv "$copy.new" "$copy"
    done
  done
}

# apt-get install of the packages with the given options before them; all that apt said goes to stdout.
apt_install() {
  local options=()
  while [ "${1-}" = -o ]; do options+=("$1" "$2"); shift 2; done
  apt-get "${options[@]}" install -y -qq --no-install-recommends "$@" 2>&1
}

install() {
  local missing=() package said sources
  for package in "$@"; do installed "$package" || missing+=("$package"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "install-deps: installing ${missing[*]}" >&2
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  update_lists
  said=$(apt_install "${missing[@]}") && return 0
  if [ ${#failed_suites[@]} -gt 0 ]; then
    echo "install-deps: that failed; once more without the suites whose lists failed:" \
      "$(printf '%s\n' "${failed_suites[@]}" | awk '{ print $2 }' | paste -sd' ')" >&2
    sources=$(mktemp -d)
    sources_without_failed_suites "$sources"
    said=$(apt_install -o Dir::Etc::SourceParts="$sources" -o Dir::Etc::SourceList=/dev/null "${missing[@]}") &&
      { rm -rf "$sources"; return 0; }
    rm -rf "$sources"
  fi
  echo "install-deps: cannot install ${missing[*]}; apt-get said:" >&2
  printf '%s\n' "$said" >&2
  exit 1
}

if [ $# -gt 0 ]; then install "$@"; exit 0; fi
# The guest's kernel is fetched with apt later: the lists must be there.
apt-cache show linux-image-amd64 >/dev/null 2>&1 ||
  { echo "install-deps: fetching apt's package lists" >&2; update_lists; }
install \
  cmake make g++ python3 libgtest-dev libbenchmark-dev   `# native build, tests, benchmarks` \
  nlohmann-json3-dev                                     `# the image tool's JSON, for both builds` \
  python3-pefile                                         `# reading PE files (for /usr/bin/python3)` \
  python3-pytest python3-pytest-timeout                  `# every Python table (for /usr/bin/python3)` \
  python3-pytest-xdist                                   `# the scenarios in two workers` \
  clang libclang-rt-14-dev valgrind time                 `# fuzzing, memcheck, benchmark timing` \
  g++-mingw-w64-i686 binutils-mingw-w64-i686             `# the pe32 build: shipped 32-bit images` \
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64         `# the x64 build: their x86-64 stand-ins` \
  wine wine32:i386 wine64 xvfb x11-utils e2fsprogs       `# running both, with a display` \
  ca-certificates libicu72 libssl3                       `# the .NET SDK: NuGet over https, globalisation` \
  qemu-system-x86 busybox-static cpio squashfs-tools     `# the guest; a test boots one everywhere so it cannot rot` \
  osslsigncode openssl                                   `# signing the release; the signing tests' throwaway keys` \
  black clang-format shellcheck                          `# the layout of Python, C++ and shell (check-style.sh)`
