#!/usr/bin/env bash
# Holds every tracked file to its formatter: black for Python, clang-format (.clang-format) for C++, and
# for shell, shellcheck. It prints what differs and fixes nothing; to apply the layout:
#   black $(git ls-files '*.py') && clang-format -i $(git ls-files '*.cpp' '*.h')
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
mapfile -t python < <(git ls-files '*.py')
mapfile -t cxx < <(git ls-files '*.cpp' '*.h')
mapfile -t shell < <(git ls-files '*.sh' .ci/run)
status=0
black --check --diff --quiet "${python[@]}" || status=1
clang-format --dry-run -Werror "${cxx[@]}" || status=1
shellcheck "${shell[@]}" || status=1
[ $status -eq 0 ] && echo "style: ${#python[@]} Python, ${#cxx[@]} C++ and ${#shell[@]} shell files as their formatters lay them out"
exit $status
