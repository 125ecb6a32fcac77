#!/usr/bin/env bash
# Runs every test: the host build against the stand-in, the same under ASan and UBSan, and the Windows
# build: its tree tests under Wine, the end-to-end suite on Uninstaller.exe, and the check of the file.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh host windows

jobs=$(nproc)
for preset in host host-sanitize windows-x86; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
