#!/usr/bin/env bash
# Benchmarks tree removal: the host Uninstaller against rm -rf, Uninstaller.exe under Wine against an
# NSIS program's RMDir /r and cmd /c rmdir /s /q, system calls per file, peak memory on a deep tree, and
# the size of the program. The Wine contest runs the 32-bit product where the host can execute 32-bit
# code, and the 64-bit build elsewhere (with no NSIS contestant, which it builds as a 32-bit program).
# Writes the report to build/bench.md, and with --docs to docs/benchmarks.md. Options go to
# bench/bench.py: --rounds N (5), --sizes A,B,C (host trees, 1000,10000,100000 files), --wine-files N
# (the Wine tree, 10000 files), --no-wine, --docs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh host windows bench
# shellcheck source=scripts/wine-lib.sh
source scripts/wine-lib.sh
arch=win32 WINE_BUILD=windows-x86
[[ -z "$(wine_skip_reason win32)" ]] || arch=win64 WINE_BUILD=windows-x64
wine_use "$arch"
WINE_LOADER=$(wine_loader "$arch")
export WINE_BUILD WINE_LOADER
for preset in host "$WINE_BUILD"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" --target Uninstaller >/dev/null
done
exec python3 bench/bench.py "$@"
