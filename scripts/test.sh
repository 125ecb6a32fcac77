#!/usr/bin/env bash
# Runs every test: the host build against the stand-in, and the same tests under ASan and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh host

jobs=$(nproc)
for preset in host host-sanitize; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
