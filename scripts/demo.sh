#!/usr/bin/env bash
# The main job: builds Uninstaller.exe, plants a sample V2 and V2.5 installation in a throwaway Wine
# prefix, runs the program under Wine on a virtual display, and shows what was there before, what is
# left, what the box said, and a screenshot of the box (build/messagebox.png).
#
# With WINEPREFIX set explicitly, it runs on that prefix instead: nothing is planted, the program
# removes whatever installation that prefix really holds, and its copy in C:\run is removed after.
#
# The product is the 32-bit program. On a host that cannot execute 32-bit code, the 64-bit build of the
# same sources runs instead, under Wine's 64-bit loader; the first lines say which.
set -euo pipefail
cd "$(dirname "$0")/.."
given_prefix="${WINEPREFIX:-}"
scripts/setup.sh windows
# shellcheck source=scripts/wine-lib.sh
source scripts/wine-lib.sh
skip=$(wine_skip_reason win32)
if [[ -z "$skip" ]]; then
  wine_use win32
  preset=windows-x86
  echo "Running the product, the 32-bit Uninstaller.exe, under Wine's 32-bit loader."
else
  echo "The 32-bit program cannot run here: $skip."
  echo "Running the 64-bit build of the same sources instead, under Wine's 64-bit loader."
  wine_use win64
  preset=windows-x64
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target Uninstaller >/dev/null
exe="$PWD/build/$preset/Uninstaller.exe"

show() {  # every entry below the two plug-in folders
  local base
  for base in "$ROAMING" "$COMMON"; do
    [[ -d "$base/$PLUGINS" ]] || continue
    (cd "$base/$PLUGINS" && find . -mindepth 1 | LC_ALL=C sort | sed "s|^\./|  ${base#"$C"/}/.../Plugins/|")
  done
}

XVFB_PID="" run_options=()
if [[ -z "$given_prefix" ]]; then
  [[ -n "${DISPLAY:-}" ]] || eval "$(xvfb_start)"
  export DISPLAY
  trap 'wine_prefix_end; xvfb_stop "$XVFB_PID"' EXIT
  echo "Preparing a throwaway Wine prefix in build/demo-prefix-$WINEARCH (its Z: drive unmapped)"
  wine_prefix_init "$PWD/build/demo-prefix-$WINEARCH"
  eval "$(wine_prefix_locate)"
  # Wine draws the box's own title bar, so that the screenshot shows the caption without a window manager.
  wine_reg 'HKCU\Software\Wine\X11 Driver' Decorated REG_SZ N
  plant "$ROAMING" SU_Varnok_V2/plug_in/varnok_tools.rbs SU_Varnok_V2/main.rb SU_Varnok_V2.rbs \
    SU_Varnok_Section_Tool.rb varnok_tools.rbs Veltrix_Section/section.rb OtherVendor.rb
  plant "$COMMON" SU_Varnok_V2.5/plug_in/varnok_tools.rbs SU_Varnok_V2.5/plug_in/icons/ SU_Varnok_V2.5.rbs \
    Veltrix_Section/section.rb
  chmod a-w "$COMMON/$PLUGINS/SU_Varnok_V2.5.rbs" "$ROAMING/$PLUGINS/SU_Varnok_V2/main.rb"
  run_options=(--png "$PWD/build/messagebox.png")
else
  export WINEPREFIX="$given_prefix"
  unset WINEARCH  # the prefix you gave is of its own kind
  echo "Running on the Wine prefix you gave: $WINEPREFIX"
  wine_env
  eval "$(wine_prefix_locate)"
  # On a real display the box waits for you; on none, a virtual one is made and OK pressed.
  if [[ -n "${DISPLAY:-}" ]]; then
    run_options=(--no-press)
  else
    eval "$(xvfb_start)"
    export DISPLAY
    run_options=(--png "$PWD/build/messagebox.png")
  fi
  trap 'xvfb_stop "$XVFB_PID"' EXIT
fi

echo "Before:"
show
echo
eval "$(run_uninstaller "$exe" "${run_options[@]}")"
# The program was copied into C:\run to start it from inside C:; it goes again, so that a prefix you
# gave keeps nothing of the demo's.
rm -f "$C/run/Uninstaller.exe"
rmdir "$C/run" 2>/dev/null || true
# shellcheck disable=SC2154  # text, caption and status come from run_uninstaller
echo "The box said: ${text:-(none was seen)}${caption:+ (caption \"$caption\")}"
echo "Exit status: $status"
[[ ${#run_options[@]} -eq 2 ]] && echo "Screenshot of the box: ${run_options[1]#"$PWD"/}"
echo
echo "After:"
show
[[ -z "$given_prefix" ]] &&
  echo "(SU_Varnok_V2.5.rbs is read-only: a loose file is deleted only when it is writable. OtherVendor.rb is not ours.)"
exit 0
