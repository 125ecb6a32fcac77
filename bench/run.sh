#!/usr/bin/env bash
# Benchmarks tree removal under Wine with hyperfine: Uninstaller.exe against an NSIS program's RMDir /r
# and cmd /c rmdir /s /q, and the size of the program. It runs the 32-bit product where the host can
# execute 32-bit code, and the 64-bit build elsewhere (and a 64-bit NSIS program there). Writes the
# report to build/bench.md, and with --docs to docs/benchmarks.md. Options go to bench/bench.py:
# --runs N (5), --wine-files N (the tree, 10000 files), --docs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh windows bench
# shellcheck source=scripts/wine-lib.sh
source scripts/wine-lib.sh
arch=win32 WINE_BUILD=windows-x86
[[ -z "$(wine_skip_reason win32)" ]] || arch=win64 WINE_BUILD=windows-x64
wine_use "$arch"
WINE_LOADER=$(wine_loader "$arch")
export WINE_BUILD WINE_LOADER
cmake --preset "$WINE_BUILD" >/dev/null
cmake --build --preset "$WINE_BUILD" -j "$(nproc)" --target Uninstaller >/dev/null
exec python3 bench/bench.py "$@"
