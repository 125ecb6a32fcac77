#!/usr/bin/env bash
# End-to-end scenarios: Uninstaller.exe on planted installations in a throwaway Wine prefix, its box
# watched on a virtual display. Each scenario checks the box, its style, the exit status, the process
# requests as Wine traced them, and that the whole C: drive (less Windows' own folder) changed by
# exactly the targets expected to go. The host suite shows every rule against the stand-in; these are
# the scenarios only a real Win32 can show:
#   a whole installation, DLLs planted beside the program   the real box, real attributes, DLL search
#   a folder link inside the product folder                 a real link, which Wine cannot remove
#   a link on the way below ProgramData                      a real link on the way
#   odd names                                                how Windows reads trailing dots and devices
#   a roaming folder of "C:" in the registry                 SHGetFolderPathW reading the registry
#   ProgramData missing                                      SHGetFolderPathW failing
#   a file held open, below either known folder              another process holding a file open
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
  # ProcessRedirectionTrustPolicy (16), a buffer (its flags are checked on the host), 4 bytes
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

clear_plugins() { rm -rf "$ROAMING/SketchUp" "$COMMON/SketchUp" "$C/outside"; }

# Relative to C:, a target in the plug-in folder below each known folder.
in_roaming() { echo "users/$WINE_USER/AppData/Roaming/$PLUGINS/$1"; }
in_common() { echo "ProgramData/$PLUGINS/$1"; }

v2_files=(SU_Varnok_V2/plug_in/varnok_tools.rbs SU_Varnok_V2/main.rb SU_Varnok_V2/plug_in/icons/ SU_Varnok_V2.rbs
          SU_Varnok_Section_Tool.rb varnok_tools.rbs Veltrix_Section/section.rb)
v25_files=(SU_Varnok_V2.5/plug_in/varnok_tools.rbs SU_Varnok_V2.5/main.rb SU_Varnok_V2.5.rbs SU_Varnok_Section_Tool.rb
           varnok_tools.rbs Veltrix_Section/section.rb)
neighbours=(OtherVendor.rb SU_Varnok_V3/keep.rb su_varnok_tools.rb)
shell_folders='HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders'

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

# --- Links as Wine shows them
# The link takes the place of plug_in, so the later step for plug_in\varnok_tools.rbs would reach
# through it were it followed; Wine cannot remove a Unix link, so the link survives the tree removal,
# and the product folder with it.
link_target_kept() { [[ -f "$C/outside/dir/varnok_tools.rbs" ]] || fail "the link's target lost a file"; }
clear_plugins
mkdir -p "$C/outside/dir" && echo keep >"$C/outside/dir/keep.txt" && echo keep >"$C/outside/dir/varnok_tools.rbs"
plant "$ROAMING" SU_Varnok_V2/main.rb SU_Varnok_V2/sub/ SU_Varnok_V2.rbs SU_Varnok_Section_Tool.rb varnok_tools.rbs
ln -s "$C/outside/dir" "$ROAMING/$PLUGINS/SU_Varnok_V2/plug_in"
AFTER_CHECK=link_target_kept scenario "a folder link inside the product folder points outside" "$LEFT" \
  "$(in_roaming SU_Varnok_V2/main.rb)" "$(in_roaming SU_Varnok_V2/sub)" "$(in_roaming SU_Varnok_V2.rbs)" \
  "$(in_roaming SU_Varnok_Section_Tool.rb)" "$(in_roaming varnok_tools.rbs)"

# Every user may create folders below ProgramData: a link on the way to its plug-in folder is never
# followed.
clear_plugins
plant "$C/outside" "${v2_files[@]}" "${v25_files[@]}" "${neighbours[@]}"
mkdir -p "$COMMON/SketchUp/SketchUp 2014/SketchUp"
ln -s "$C/outside/$PLUGINS" "$COMMON/$PLUGINS"
scenario "a link on the way below ProgramData is not followed" "No application installed"

# Names that no plain path names literally: Windows reads "x." as "x", ".. " as the parent, CON and COM¹
# as devices; COM0 and LPT12 are ordinary names.
clear_plugins
plant "$ROAMING" SU_Varnok_V2/main.rb SU_Varnok_V2/x. "SU_Varnok_V2/y " SU_Varnok_V2/CON SU_Varnok_V2/nul.txt \
  "SU_Varnok_V2/.. /inner.rb" SU_Varnok_V2/dd./inner.rb SU_Varnok_V2/COM¹.log SU_Varnok_V2/COM0 SU_Varnok_V2/LPT12
scenario "odd names in the product folder stay, the rest goes" "$LEFT" \
  "$(in_roaming SU_Varnok_V2/main.rb)" "$(in_roaming SU_Varnok_V2/COM0)" "$(in_roaming SU_Varnok_V2/LPT12)"

# --- Known folders as the registry gives them
# A roaming folder of "C:" is not absolute: read as C:\ or as the current folder C:\run, it would reach
# an installation there.
run_untouched() {
  [[ -f "$C/run/$PLUGINS/SU_Varnok_V2/main.rb" && -f "$C/$PLUGINS/SU_Varnok_V2/main.rb" ]] ||
    fail "the run reached C:\\ or C:\\run"
}
clear_plugins
plant "$C/run" SU_Varnok_V2/main.rb
plant "$C" SU_Varnok_V2/main.rb
wine_reg "$shell_folders" AppData REG_EXPAND_SZ C:
AFTER_CHECK=run_untouched scenario "a roaming folder of 'C:' is skipped" "No application installed"
wine_reg "$shell_folders" AppData REG_EXPAND_SZ '%USERPROFILE%\AppData\Roaming'
rm -rf "$C/run/SketchUp" "$C/SketchUp"

clear_plugins
plant "$ROAMING" "${v2_files[@]}"
plant "$COMMON" "${v2_files[@]}"
mv "$COMMON" "$COMMON.away"
scenario "ProgramData missing: passes 2 and 3 are skipped" "$FOUND" \
  "$(in_roaming SU_Varnok_V2)" "$(in_roaming SU_Varnok_V2.rbs)" "$(in_roaming SU_Varnok_Section_Tool.rb)" \
  "$(in_roaming varnok_tools.rbs)" "$(in_roaming Veltrix_Section)"
mv "$COMMON.away" "$COMMON"

# --- A file held open by another program, as SketchUp holds its plug-in's files: below the user's
# folder, and below ProgramData, where an administrator installed it
cp "$holder" "$C/run/hold_open.exe"
for held in roaming common; do
  clear_plugins
  if [[ $held == roaming ]]; then base=$ROAMING held_text=$LEFT; else base=$COMMON held_text=$LEFT_SHARED; fi
  plant "$base" "${v2_files[@]}"
  held_file="${base#"$C"/}/$PLUGINS/SU_Varnok_V2/plug_in/varnok_tools.rbs"
  (cd "$C/run" && exec wine ./hold_open.exe "C:\\${held_file//\//\\}" 'C:\run\holding' >/dev/null 2>&1 </dev/null) &
  holder_pid=$!
  wait_for 120 "the helper holds the file open" test -e "$C/run/holding"
  scenario "a file held open by another program below $held stays, the rest goes" "$held_text" \
    "$("in_$held" SU_Varnok_V2/main.rb)" "$("in_$held" SU_Varnok_V2/plug_in/icons)" "$("in_$held" SU_Varnok_V2.rbs)" \
    "$("in_$held" SU_Varnok_Section_Tool.rb)" "$("in_$held" varnok_tools.rbs)" "$("in_$held" Veltrix_Section)"
  scenario "a second run while the file is held says so again" "$held_text"
  rm -f "$C/run/holding"
  wait "$holder_pid" || true
  scenario "a run after the file was let go removes the rest" "$FOUND" "$("in_$held" SU_Varnok_V2)"
done

echo
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
