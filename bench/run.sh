#!/usr/bin/env bash
# Benchmarks tree removal: the host Uninstaller against rm -rf, Uninstaller.exe under Wine against
# cmd /c rmdir /s /q, system calls per file, peak memory on a deep tree, and the size of the program.
# Writes the report to build/bench.md. Options go to bench/bench.py (--rounds, --sizes, --no-wine).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh host windows bench
for preset in host windows-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" --target Uninstaller >/dev/null
done
exec python3 bench/bench.py "$@"
