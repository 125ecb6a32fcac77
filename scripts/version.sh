#!/usr/bin/env bash
# Prints the project's version: the VERSION of project() in CMakeLists.txt, the one place it is written.
set -euo pipefail
version=$(sed -n 's/^project(.* VERSION \([0-9.]*\) .*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
[[ -n "$version" ]] || { echo "version.sh: no VERSION in CMakeLists.txt" >&2; exit 1; }
echo "$version"
