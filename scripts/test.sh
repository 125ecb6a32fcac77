#!/usr/bin/env bash
# Runs every test: the host build against the stand-in, the same under ASan and UBSan, and both Windows
# builds: their tree tests under Wine, the end-to-end suite and the check of the built file. Where the
# host cannot execute 32-bit code, the 32-bit Wine tests are reported as skipped, with the reason.
# Ends with a summary of what ran, passed and was skipped.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh host windows release || exit 1

jobs=$(nproc)
summary=() passed=0 failed=0 skipped=0
for preset in host host-sanitize windows-x86 windows-x64; do
  echo "== $preset"
  log="build/$preset-ctest.log"
  mkdir -p build
  if cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$jobs"; then
    ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log"
  else
    echo "the build failed" >"$log"
  fi
  total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$log")
  bad=$(sed -n 's/.* \([0-9]*\) tests failed out of [0-9]*$/\1/p' "$log")
  skips=$(grep -c -E '^\s+[0-9]+ - .* \(Skipped\)$' "$log")
  if [[ -z "$total" ]]; then
    summary+=("$preset: did not build or run")
    failed=$((failed + 1))
    continue
  fi
  passed=$((passed + total - bad - skips)) failed=$((failed + bad)) skipped=$((skipped + skips))
  line="$preset: $((total - bad - skips)) passed, $bad failed, $skips skipped"
  if [[ $skips -gt 0 ]]; then
    names=$(sed -n 's/^\s*[0-9]* - \(.*\) (Skipped)$/\1/p' "$log" | tr '\n' ' ')
    reason=$(grep -h -m 1 '^skipped: ' "build/$preset/Testing/Temporary/LastTest.log" | sed 's/^skipped: //')
    line+=" (${names% }: ${reason:-no reason given})"
  fi
  summary+=("$line")
done

echo
echo "== summary (CTest tests; host_tests count each GoogleTest case)"
printf '%s\n' "${summary[@]}"
echo "all: $passed passed, $failed failed, $skipped skipped"
[[ $failed -eq 0 ]]
