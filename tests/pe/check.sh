#!/usr/bin/env bash
# Checks the built Uninstaller.exe itself: PE32 for i386 (PE32+ for AMD64 in the 64-bit build), GUI
# subsystem with a Unicode entry, subsystem and OS version 5.0, ASLR, DEP and terminal-server aware (no SEH
# in the 32-bit file, high-entropy ASLR in the 64-bit one), stripped, no time stamp, Windows' own
# DLLs only (in the product, only functions Windows XP has), the two icon groups of eight images, the
# version information, and a manifest for the file's processor that never asks for elevation.
# Usage: check.sh UNINSTALLER_EXE win32|win64
set -uo pipefail
exe="$1"
here=$(dirname "$0")
if [[ "$2" == win64 ]]; then
  objdump=x86_64-w64-mingw32-objdump format='pei-x86-64' magic='020b' arch=amd64 dll_characteristics=00008160
else
  objdump=i686-w64-mingw32-objdump format='pei-i386' magic='010b' arch=x86 dll_characteristics=00008540
fi
failed=0
check() {  # check DESCRIPTION COMMAND...
  local what="$1"
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failed=$((failed + 1)); fi
}
header=$($objdump -p "$exe")
field() { awk -v f="$1" '$1 == f { print $2; exit }' <<<"$header"; }

check "$format, magic $magic" test "$(grep -c -E "file format $format\$|^Magic\s+$magic\b" <<<"$header")" = 2
check "no time stamp in the header" grep -q -x $'Time/Date\t\tThu Jan  1 00:00:00 1970' <<<"$header"
check "GUI subsystem" test "$(field Subsystem)" = 00000002
check "subsystem version 5.0" test "$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)" = 5.0
check "OS version 5.0" test "$(field MajorOSystemVersion).$(field MinorOSystemVersion)" = 5.0
# DYNAMIC_BASE 0x40, NX_COMPAT 0x100, TERMINAL_SERVER_AWARE 0x8000; NO_SEH 0x400 on x86, HIGH_ENTROPY_VA 0x20 on x64.
check "DllCharacteristics $dll_characteristics" test "$(field DllCharacteristics)" = "$dll_characteristics"
check "stripped" bash -c "$objdump -t '$exe' | grep -q 'no symbols'"

imports=$(awk '/DLL Name:/ { dll = $3 } /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll " " $3 }' <<<"$header" | sort)
dlls=$(awk '/DLL Name:/ { print $3 }' <<<"$header" | sort | tr '\n' ' ')
check "only Windows' own DLLs ($dlls)" test "$dlls" = "KERNEL32.dll SHELL32.dll SHLWAPI.dll USER32.dll msvcrt.dll "
if [[ "$arch" == x86 ]]; then
  unknown=$(comm -23 <(printf '%s\n' "$imports") <(awk '!/^#/ { for (i = 2; i <= NF; i++) print $1 " " $i }' "$here/xp-imports.txt" | sort))
  check "every import is one Windows XP has${unknown:+ (not: $(tr '\n' ' ' <<<"$unknown"))}" test -z "$unknown"
fi
check "Unicode entry: the start-up reads the wide command line" grep -qx 'msvcrt.dll __wgetmainargs' <<<"$imports"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
images="16x16x4 16x16x8 16x16x32 32x32x4 32x32x8 32x32x32 48x48x8 48x48x32"
for group in 107 108; do
  wrestool -x --type=14 --name=$group "$exe" -o "$work/$group.ico" 2>/dev/null
  found=$(icotool -l "$work/$group.ico" 2>/dev/null |
    sed -n 's/.*--width=\([0-9]*\) --height=\([0-9]*\) --bit-depth=\([0-9]*\).*/\1x\2x\3/p' | tr '\n' ' ')
  check "icon group $group holds the eight images" test "$found" = "$images "
done
check "icon groups 107 and 108 hold the same images" cmp -s "$work/107.ico" "$work/108.ico"

python3 "$here/../../res/make_icon.py" "$work/drawn.ico"
check "the committed icon is the one res/make_icon.py draws" cmp -s "$work/drawn.ico" "$here/../../res/uninstaller.ico"

version=$("$here/../../scripts/version.sh")
version_info=$(/usr/bin/python3 - "$exe" <<'EOF'
import pefile, sys
pe = pefile.PE(sys.argv[1], fast_load=False)
for info in getattr(pe, "FileInfo", [[]])[0]:
    for table in getattr(info, "StringTable", []):
        print("block", table.LangID.decode())
        for key, value in sorted(table.entries.items()):
            print(key.decode(), value.decode())
fixed = pe.VS_FIXEDFILEINFO[0]
print("fixed", fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF, fixed.FileVersionLS >> 16,
      fixed.ProductVersionMS >> 16, fixed.ProductVersionMS & 0xFFFF, fixed.ProductVersionLS >> 16)
EOF
)
want_info="block 040904B0
FileDescription SU Varnok Uninstaller 2014
FileVersion $version
InternalName Uninstaller
OriginalFilename Uninstaller.exe
ProductName SU Varnok Uninstaller 2014
ProductVersion $version
fixed ${version//./ } ${version//./ }"
check "version information $version, US English, Unicode" test "$version_info" = "$want_info"

manifest=$(wrestool -x --raw --type=24 --name=1 "$exe" 2>/dev/null)
check "manifest at type 24, id 1, requests asInvoker" grep -q 'requestedExecutionLevel level="asInvoker" uiAccess="false"' <<<"$manifest"
check "manifest for $arch" test "$(grep -o -c "processorArchitecture=\"$arch\"" <<<"$manifest")" = 2
check "manifest version $version.0" grep -q "name=\"SUVarnok.Uninstaller2014\" version=\"$version.0\"" <<<"$manifest"
# The tests hold the program to MAX_PATH, which Windows lifts for a program that declares itself long-path aware.
check "manifest does not declare longPathAware" test "$(grep -c -i longPathAware <<<"$manifest")" = 0
# shellcheck disable=SC2016  # $1 is the inner shell's
check "manifest never asks for elevation" bash -c '! grep -q -E "requireAdministrator|highestAvailable|uiAccess=\"true\"" <<<"$1"' _ "$manifest"

echo
[[ $failed -eq 0 ]] && echo "PE check: all passed" || echo "PE check: $failed failed"
[[ $failed -eq 0 ]]
