#!/usr/bin/env bash
# The main job on this host: builds Uninstaller, plants a sample V2 and V2.5 installation in a throwaway
# folder, runs the program on it, and shows what was there before, what is left and what it reported.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh host
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc)" --target Uninstaller >/dev/null

work=$(mktemp -d /tmp/uninstaller-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
roaming="$work/Roaming" programdata="$work/ProgramData"
plant() {  # plant BASE PATH... : files, or folders when the path ends in /
  local base="$1/SketchUp/SketchUp 2014/SketchUp/Plugins" path
  shift
  for path in "$@"; do
    if [[ "$path" == */ ]]; then mkdir -p "$base/$path"; else mkdir -p "$(dirname "$base/$path")"; echo x > "$base/$path"; fi
  done
}
plant "$roaming" SU_Varnok_V2/plug_in/varnok_tools.rbs SU_Varnok_V2/main.rb SU_Varnok_V2.rbs \
  SU_Varnok_Section_Tool.rb varnok_tools.rbs Veltrix_Section/section.rb OtherVendor.rb
plant "$programdata" SU_Varnok_V2.5/plug_in/varnok_tools.rbs SU_Varnok_V2.5/plug_in/icons/ SU_Varnok_V2.5.rbs \
  Veltrix_Section/section.rb
chmod a-w "$programdata/SketchUp/SketchUp 2014/SketchUp/Plugins/SU_Varnok_V2.5.rbs" \
  "$roaming/SketchUp/SketchUp 2014/SketchUp/Plugins/SU_Varnok_V2/main.rb"

show() {  # every entry below the two plug-in folders
  find "$work" -mindepth 1 -path '*/Plugins/*' | sort | sed "s|^$work/|  |; s|/SketchUp/SketchUp 2014/SketchUp/Plugins/| ...Plugins/|"
}
echo "Before:"; show
echo
echo "Running Uninstaller with APPDATA=$roaming and ProgramData=$programdata"
# Only the throwaway folder is writable for the run.
status=0
APPDATA="$roaming" ProgramData="$programdata" \
  bwrap --ro-bind / / --bind "$work" "$work" --dev /dev --proc /proc build/host/Uninstaller || status=$?
echo "Exit status: $status"
echo
echo "After (the read-only SU_Varnok_V2.5.rbs stays: a loose file is deleted only when it is writable):"; show
