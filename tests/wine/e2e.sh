#!/usr/bin/env bash
# End-to-end scenarios: Uninstaller.exe on planted installations in a throwaway Wine prefix, its box
# watched on a virtual display. Each scenario checks the box, its style, the exit status, the process
# requests as Wine traced them, and that the whole C: drive (less Windows' own folder) changed by
# exactly the targets expected to go. The program's suite (program_tests) shows every rule through the
# seam; these are the scenarios only the built program itself can show:
#   a whole installation, DLLs planted beside the program   the real box, its wait, the exit status, the
#                                                            DLL search and the real known folders
#   a file held open by another program                      the warning box, and a second and third run
# Usage: e2e.sh UNINSTALLER_EXE HOLD_OPEN_EXE PLANTED_DLL WINEARCH WORK_DIR (WINEARCH: win32 or win64).
# Exits 77, skipped, where the host cannot run that Wine.
set -uo pipefail
exe=$(readlink -f "$1") holder=$(readlink -f "$2") planted_dll=$(readlink -f "$3") work="$5"
# shellcheck source=scripts/wine-lib.sh
source "$(dirname "$0")/../../scripts/wine-lib.sh"
skip=$(wine_skip_reason "$4")
[[ -z "$skip" ]] || { echo "skipped: $skip"; exit 77; }
wine_use "$4"

FOUND="All applications have been uninstalled"
LEFT="Some files could not be removed. Close SketchUp and run the uninstaller again."
LEFT_SHARED="${LEFT%.} as an administrator."
passed=0 failed=0
# Every failure is one of a scenario's, said here; the scenario then counts as failed.
fail() { echo "  FAIL: $*"; scenario_ok=no; }

snapshot() {  # path<TAB>kind mode [size], for every entry of C: but Windows' own folder and ours
  (cd "$C" && find . \( -path ./windows -o -path ./run \) -prune -o -type f -printf '%p\t%y %m %s\n' \
    -o -printf '%p\t%y %m\n' | LC_ALL=C sort)
}

# What the snapshot must become: everything at or below the given C:-relative paths gone, nothing else.
expected_after() {
  local before="$1"
  shift
  printf '%s\n' "$before" | GONE="$(printf '%s\n' "$@")" awk -F'\t' '
    BEGIN { n = split(ENVIRON["GONE"], g, "\n") }
    { for (i = 1; i <= n; i++) if (g[i] != "" && ($1 == "./" g[i] || index($1, "./" g[i] "/") == 1)) next; print }'
}

# scenario NAME TEXT [GONE...]: runs the program once and checks what the header says; then runs the
# command in AFTER_CHECK, when set, for checks of its own.
scenario() {
  local name="$1" wanted="$2"
  shift 2
  echo "== $name"
  scenario_ok=yes
  local before want after box waiting text caption style status dll_search policy at_box
  before=$(snapshot)
  want=$(expected_after "$before" "$@")
  eval "$(run_uninstaller "$exe" --at-box snapshot)"
  [[ "$box" == yes ]] || fail "no message box"
  [[ "$waiting" == yes ]] || fail "the program was not waiting while its box was up"
  [[ "$text" == "$wanted" ]] || fail "box text '$text', wanted '$wanted'"
  [[ "$caption" == "$CAPTION" ]] || fail "box caption '$caption'"
  local want_style=00000040  # MB_OK|MB_ICONINFORMATION, or MB_OK|MB_ICONWARNING when something was left
  [[ "$wanted" == "$LEFT" || "$wanted" == "$LEFT_SHARED" ]] && want_style=00000030
  [[ "$style" == "$want_style" ]] || fail "box style $style, wanted $want_style"
  [[ "$status" == 1 ]] || fail "exit status $status"
  [[ "$dll_search" =~ \(0*800\)$ ]] || fail "DLL search not restricted to System32 ('$dll_search')"
  # ProcessRedirectionTrustPolicy (16), a buffer (its flags are checked by program_tests), 4 bytes
  [[ "$policy" =~ \(0*10,[0-9a-f]+,0*4\)$ ]] || fail "no redirection trust asked for ('$policy')"
  after=$(snapshot)
  [[ "$at_box" == "$after" ]] || fail "the drive changed after the box appeared"
  if [[ "$after" != "$want" ]]; then
    fail "the drive is not as expected:"
    diff <(printf '%s\n' "$want") <(printf '%s\n' "$after") | sed 's/^/    /' | head -20
  fi
  ${AFTER_CHECK:-true}
  if [[ "$scenario_ok" == yes ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}

clear_plugins() { rm -rf "$ROAMING/SketchUp" "$COMMON/SketchUp"; }

# Relative to C:, a target in the plug-in folder below each known folder.
in_roaming() { echo "users/$WINE_USER/AppData/Roaming/$PLUGINS/$1"; }
in_common() { echo "ProgramData/$PLUGINS/$1"; }

v2_files=(SU_Varnok_V2/plug_in/varnok_tools.rbs SU_Varnok_V2/main.rb SU_Varnok_V2/plug_in/icons/ SU_Varnok_V2.rbs
          SU_Varnok_Section_Tool.rb varnok_tools.rbs Veltrix_Section/section.rb)
v25_files=(SU_Varnok_V2.5/plug_in/varnok_tools.rbs SU_Varnok_V2.5/main.rb SU_Varnok_V2.5.rbs SU_Varnok_Section_Tool.rb
           varnok_tools.rbs Veltrix_Section/section.rb)
neighbours=(OtherVendor.rb SU_Varnok_V3/keep.rb su_varnok_tools.rb)

echo "Preparing a throwaway Wine prefix in $work"
eval "$(xvfb_start)"
export DISPLAY
trap 'xvfb_stop "$XVFB_PID"; wine_prefix_end' EXIT
wine_prefix_init "$work/prefix"
eval "$(wine_prefix_locate)" || exit 1

# --- A whole installation under both folders, read-only files in it and one read-only loose file, and
# DLLs planted beside the program, which Wine is told to prefer to its own, as Windows prefers any DLL
# that is not a KnownDLL: the box loads uxtheme.dll (and on some Windows dwmapi.dll) by name.
for base in "$ROAMING" "$COMMON"; do plant "$base" "${v2_files[@]}" "${v25_files[@]}" "${neighbours[@]}"; done
chmod a-w "$ROAMING/$PLUGINS/SU_Varnok_V2/main.rb" "$COMMON/$PLUGINS/SU_Varnok_V2.5/plug_in/varnok_tools.rbs" \
  "$ROAMING/$PLUGINS/varnok_tools.rbs"
gone=()
for target in SU_Varnok_V2 SU_Varnok_V2.rbs SU_Varnok_V2.5 SU_Varnok_V2.5.rbs SU_Varnok_Section_Tool.rb Veltrix_Section; do
  gone+=("$(in_roaming "$target")" "$(in_common "$target")")
done
gone+=("$(in_common varnok_tools.rbs)")
planted_dlls_did_not_run() {
  local ran
  ran=$(cd "$C/run" && ls -- *.ran 2>/dev/null)
  [[ -z "$ran" ]] || fail "a planted DLL ran: $ran"
}
mkdir -p "$C/run"
for dll in uxtheme.dll dwmapi.dll; do cp "$planted_dll" "$C/run/$dll"; done
overrides="$WINEDLLOVERRIDES"
export WINEDLLOVERRIDES="$overrides;uxtheme,dwmapi=n,b"
AFTER_CHECK=planted_dlls_did_not_run scenario "V2 and V2.5 under both folders, DLLs planted beside the program" \
  "$FOUND" "${gone[@]}"
export WINEDLLOVERRIDES="$overrides"
rm -f "$C/run/"*.dll "$C/run/"*.ran

# --- A file held open by another program, as SketchUp holds its plug-in's files, below ProgramData,
# where an administrator installed it
cp "$holder" "$C/run/hold_open.exe"
clear_plugins
plant "$COMMON" "${v2_files[@]}"
held_file="ProgramData/$PLUGINS/SU_Varnok_V2/plug_in/varnok_tools.rbs"
(cd "$C/run" && exec wine ./hold_open.exe "C:\\${held_file//\//\\}" 'C:\run\holding' >/dev/null 2>&1 </dev/null) &
holder_pid=$!
wait_for 120 "the helper holds the file open" test -e "$C/run/holding"
scenario "a file held open by another program stays, the rest goes" "$LEFT_SHARED" \
  "$(in_common SU_Varnok_V2/main.rb)" "$(in_common SU_Varnok_V2/plug_in/icons)" "$(in_common SU_Varnok_V2.rbs)" \
  "$(in_common SU_Varnok_Section_Tool.rb)" "$(in_common varnok_tools.rbs)" "$(in_common Veltrix_Section)"
scenario "a second run while the file is held says so again" "$LEFT_SHARED"
rm -f "$C/run/holding"
wait "$holder_pid" || true
scenario "a run after the file was let go removes the rest" "$FOUND" "$(in_common SU_Varnok_V2)"

echo
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
