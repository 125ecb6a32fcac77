#!/usr/bin/env bash
# End-to-end scenarios: Uninstaller.exe on planted installations in a throwaway Wine prefix, its box
# watched on a virtual display. In each scenario the whole C: drive (less Windows' own folder) must
# change by exactly the planted targets expected to go, and by nothing else.
# Usage: e2e.sh UNINSTALLER_EXE HOLD_OPEN_EXE PLANTED_DLL WINEARCH WORK_DIR (WINEARCH: win32 or win64).
# Exits 77, skipped, where the host cannot run that Wine.
set -uo pipefail
exe=$(readlink -f "$1") holder=$(readlink -f "$2") planted_dll=$(readlink -f "$3") work="$5"
# shellcheck source=scripts/wine-lib.sh
source "$(dirname "$0")/../../scripts/wine-lib.sh"
wine_use "$4" || { echo "skipped: $WINE_SKIP_REASON"; exit 77; }

LEFT="Some files could not be removed. Close SketchUp and run the uninstaller again."
LEFT_SHARED="$LEFT" LEFT_SHARED="${LEFT_SHARED%.} as an administrator."
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

# scenario NAME TEXT [GONE...]: runs the program once and checks its box, its exit status, its requests
# of the process and the drive; then runs the command in AFTER_CHECK, when set, for checks of its own.
scenario() {
  local name="$1" text="$2"
  shift 2
  echo "== $name"
  scenario_ok=yes
  local before want at_box_state
  before=$(snapshot)
  want=$(expected_after "$before" "$@")
  record_at_box() { at_box_state=$(snapshot); }
  at_box_state=""
  run_uninstaller "$exe" record_at_box || fail "no message box"
  [[ "$BOX_WAITING" == yes ]] || fail "the program was not waiting while its box was up"
  [[ "$BOX_TEXT" == "$text" ]] || fail "box text '$BOX_TEXT', wanted '$text'"
  [[ "$BOX_CAPTION" == "$CAPTION" ]] || fail "box caption '$BOX_CAPTION'"
  local style=00000040  # MB_OK|MB_ICONINFORMATION, or MB_OK|MB_ICONWARNING when something was left
  [[ "$text" == "$LEFT" || "$text" == "$LEFT_SHARED" ]] && style=00000030
  [[ "$BOX_STYLE" == "$style" ]] || fail "box style $BOX_STYLE, wanted $style"
  [[ "$EXIT_STATUS" == 1 ]] || fail "exit status $EXIT_STATUS"
  [[ "$DLL_SEARCH_CALL" =~ \(0*800\)$ ]] || fail "DLL search not restricted to System32 ('$DLL_SEARCH_CALL')"
  # ProcessRedirectionTrustPolicy (16), a buffer (its flags are checked on the host), 4 bytes
  [[ "$POLICY_CALL" =~ \(0*10,[0-9a-f]+,0*4\)$ ]] || fail "no redirection trust asked for ('$POLICY_CALL')"
  local after
  after=$(snapshot)
  [[ "$at_box_state" == "$after" ]] || fail "the drive changed after the box appeared"
  if [[ "$after" != "$want" ]]; then
    fail "the drive is not as expected:"
    diff <(printf '%s\n' "$want") <(printf '%s\n' "$after") | sed 's/^/    /' | head -20
  fi
  ${AFTER_CHECK:-true}
  if [[ "$scenario_ok" == yes ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}

clear_plugins() { rm -rf "$ROAMING/SketchUp" "$COMMON/SketchUp" "$C/outside" "$C/elsewhere"; }

# link_level BASE LEVEL: an installation of both generations under C:\elsewhere, and the LEVEL-th
# folder (1 to 4) of BASE's plug-in path a link to the same folder there.
link_level() {
  local path
  path=$(cut -d/ -f1-"$2" <<<"$PLUGINS")
  plant "$C/elsewhere" "${v2_files[@]}" "${v25_files[@]}" "${neighbours[@]}"
  mkdir -p "$(dirname "$1/$path")"
  ln -s "$C/elsewhere/$path" "$1/$path"
}

# Relative to C:, a target in the plug-in folder below each known folder, and below C:\elsewhere.
in_roaming() { echo "users/$WINE_USER/AppData/Roaming/$PLUGINS/$1"; }
in_common() { echo "ProgramData/$PLUGINS/$1"; }
in_elsewhere() { echo "elsewhere/$PLUGINS/$1"; }

v2_files=(SU_Varnok_V2/plug_in/varnok_tools.rbs SU_Varnok_V2/main.rb SU_Varnok_V2/plug_in/icons/ SU_Varnok_V2.rbs
          SU_Varnok_Section_Tool.rb varnok_tools.rbs Veltrix_Section/section.rb)
v25_files=(SU_Varnok_V2.5/plug_in/varnok_tools.rbs SU_Varnok_V2.5/main.rb SU_Varnok_V2.5.rbs SU_Varnok_Section_Tool.rb
           varnok_tools.rbs Veltrix_Section/section.rb)
neighbours=(OtherVendor.rb SU_Varnok_V3/keep.rb su_varnok_tools.rb)
shell_folders='HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders'

echo "Preparing a throwaway Wine prefix in $work"
xvfb_start
wine_prefix_init "$work/prefix" || exit 1
trap 'xvfb_stop; wine_prefix_end' EXIT

# --- The box, the exit status and the real file calls on a whole installation
for base in "$ROAMING" "$COMMON"; do plant "$base" "${v2_files[@]}" "${v25_files[@]}" "${neighbours[@]}"; done
chmod a-w "$ROAMING/$PLUGINS/SU_Varnok_V2/main.rb" "$COMMON/$PLUGINS/SU_Varnok_V2.5/plug_in/varnok_tools.rbs" \
  "$ROAMING/$PLUGINS/varnok_tools.rbs"
gone=()
for target in SU_Varnok_V2 SU_Varnok_V2.rbs SU_Varnok_V2.5 SU_Varnok_V2.5.rbs SU_Varnok_Section_Tool.rb Veltrix_Section; do
  gone+=("$(in_roaming "$target")" "$(in_common "$target")")
done
gone+=("$(in_common varnok_tools.rbs)")
scenario "V2 and V2.5 under both folders; read-only loose file stays" "All applications have been uninstalled" \
  "${gone[@]}"

# DLLs planted beside the program, which Wine is told to prefer to its own, as Windows prefers any DLL
# that is not a KnownDLL: the box loads uxtheme.dll (and on some Windows dwmapi.dll) by name.
planted_dlls_did_not_run() {
  local ran
  ran=$(cd "$C/run" && ls -- *.ran 2>/dev/null)
  [[ -z "$ran" ]] || fail "a planted DLL ran: $ran"
}
clear_plugins
plant "$COMMON" "${v25_files[@]}" SU_Varnok_V2.5/empty/
plant "$ROAMING" SU_Varnok_V2.rbs Veltrix_Section/a/b/c.rb
mkdir -p "$C/run" && rm -f "$C/run/"*.ran
for dll in uxtheme.dll dwmapi.dll; do cp "$planted_dll" "$C/run/$dll"; done
overrides="$WINEDLLOVERRIDES"
export WINEDLLOVERRIDES="$overrides;uxtheme,dwmapi=n,b"
AFTER_CHECK=planted_dlls_did_not_run scenario "V2.5 under the shared folder only, DLLs planted beside the program" \
  "All applications have been uninstalled" \
  "$(in_common SU_Varnok_V2.5)" "$(in_common SU_Varnok_V2.5.rbs)" "$(in_common SU_Varnok_Section_Tool.rb)" \
  "$(in_common varnok_tools.rbs)" "$(in_common Veltrix_Section)" "$(in_roaming SU_Varnok_V2.rbs)" \
  "$(in_roaming Veltrix_Section)"
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

# Every user may create folders below ProgramData: a link anywhere on the way to its plug-in folder is
# never followed. The user's own roaming folder is followed down to the plug-in folder.
for level in 1 2 3 4; do
  clear_plugins
  link_level "$COMMON" "$level"
  scenario "a link at level $level below ProgramData is not followed" "No application installed"
done
clear_plugins
link_level "$ROAMING" 1
scenario "a link below the roaming folder is followed" "All applications have been uninstalled" \
  "$(in_elsewhere SU_Varnok_V2)" "$(in_elsewhere SU_Varnok_V2.rbs)" "$(in_elsewhere SU_Varnok_V2.5)" \
  "$(in_elsewhere SU_Varnok_V2.5.rbs)" "$(in_elsewhere SU_Varnok_Section_Tool.rb)" \
  "$(in_elsewhere varnok_tools.rbs)" "$(in_elsewhere Veltrix_Section)"

# Names that no plain path names literally: Windows reads "x." as "x", ".. " as the parent, CON and COM¹
# as devices; COM0 and LPT12 are ordinary names.
clear_plugins
plant "$ROAMING" SU_Varnok_V2/main.rb SU_Varnok_V2/x. "SU_Varnok_V2/y " SU_Varnok_V2/CON SU_Varnok_V2/nul.txt \
  "SU_Varnok_V2/.. /inner.rb" SU_Varnok_V2/dd./inner.rb SU_Varnok_V2/COM¹.log SU_Varnok_V2/COM0 SU_Varnok_V2/LPT12
scenario "odd names in the product folder stay, the rest goes" "$LEFT" \
  "$(in_roaming SU_Varnok_V2/main.rb)" "$(in_roaming SU_Varnok_V2/COM0)" "$(in_roaming SU_Varnok_V2/LPT12)"

# --- Known folders as the registry gives them
# A roaming folder that is not absolute ("." or "C:") would lead to C:\run, the current folder.
run_untouched() { [[ -f "$C/run/$PLUGINS/SU_Varnok_V2/main.rb" ]] || fail "the run reached C:\\run"; }
clear_plugins
mkdir -p "$C/run/$PLUGINS/SU_Varnok_V2" && echo x >"$C/run/$PLUGINS/SU_Varnok_V2/main.rb"
for relative in . C:; do
  wine_reg "$shell_folders" AppData REG_EXPAND_SZ "$relative"
  AFTER_CHECK=run_untouched scenario "a roaming folder of '$relative' is skipped" "No application installed"
done
wine_reg "$shell_folders" AppData REG_EXPAND_SZ '%USERPROFILE%\AppData\Roaming'
rm -rf "$C/run/SketchUp"

clear_plugins
plant "$ROAMING" "${v2_files[@]}"
plant "$COMMON" "${v2_files[@]}"
mv "$COMMON" "$COMMON.away"
scenario "ProgramData missing: passes 2 and 3 are skipped" "All applications have been uninstalled" \
  "$(in_roaming SU_Varnok_V2)" "$(in_roaming SU_Varnok_V2.rbs)" "$(in_roaming SU_Varnok_Section_Tool.rb)" \
  "$(in_roaming varnok_tools.rbs)" "$(in_roaming Veltrix_Section)"
mv "$COMMON.away" "$COMMON"

clear_plugins
long="users/$WINE_USER/$(printf 'l%.0s' $(seq 65))/$(printf 'o%.0s' $(seq 65))/$(printf 'n%.0s' $(seq 65))/Roaming"
mkdir -p "$C/$long"
plant "$C/$long" "${v2_files[@]}" "${v25_files[@]}"
wine_reg "$shell_folders" AppData REG_EXPAND_SZ "C:\\${long//\//\\}"
echo "  (roaming folder: $((3 + ${#long})) characters)"
scenario "roaming folder so long that every append overflows" "No application installed"
wine_reg "$shell_folders" AppData REG_EXPAND_SZ '%USERPROFILE%\AppData\Roaming'
rm -rf "$C/users/$WINE_USER/lll"*

# --- A file held open by another program, as SketchUp holds its plug-in's files: under the user's
# folder, and under ProgramData, where an administrator installed it
cp "$holder" "$C/run/hold_open.exe"
for held in roaming common; do
  clear_plugins
  if [[ $held == roaming ]]; then base=$ROAMING held_text=$LEFT; else base=$COMMON held_text=$LEFT_SHARED; fi
  plant "$base" "${v2_files[@]}"
  held_unix="${base#"$C"/}/$PLUGINS/SU_Varnok_V2/plug_in/varnok_tools.rbs"
  (cd "$C/run" && exec wine ./hold_open.exe "C:\\${held_unix//\//\\}" 'C:\run\holding' >/dev/null 2>&1 </dev/null) &
  holder_pid=$!
  wait_for "the helper holds the file open" test -e "$C/run/holding"
  scenario "a file held open by another program below $held stays, the rest goes" "$held_text" \
    "$("in_$held" SU_Varnok_V2/main.rb)" "$("in_$held" SU_Varnok_V2/plug_in/icons)" "$("in_$held" SU_Varnok_V2.rbs)" \
    "$("in_$held" SU_Varnok_Section_Tool.rb)" "$("in_$held" varnok_tools.rbs)" "$("in_$held" Veltrix_Section)"
  scenario "a second run while the file is held says so again" "$held_text"
  rm -f "$C/run/holding"
  wait "$holder_pid" || true
  scenario "a run after the file was let go removes the rest" "All applications have been uninstalled" \
    "$("in_$held" SU_Varnok_V2)"
done

echo
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
