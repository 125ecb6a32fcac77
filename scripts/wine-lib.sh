# Shared by the demo and the Wine end-to-end suite: a throwaway Wine prefix, a virtual display, planting
# an installation, and one run of Uninstaller.exe watched from outside. Source it; it changes nothing
# until a function is called.

CAPTION="SU Varnok Uninstaller 2014"
PLUGINS="SketchUp/SketchUp 2014/SketchUp/Plugins"

WINE_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# wine_use ARCH: every Wine command from here on runs ARCH programs, win32 or win64, in a prefix of that
# kind; sets WINEARCH and WINE_LOADER. Returns 1, with WINE_SKIP_REASON set, when this host cannot run
# 32-bit code (found by starting the 32-bit loader) or UNINSTALLER_NO_32BIT asks to act as if so.
wine_use() {
  if [[ "$1" == win32 ]]; then
    if [[ -n "${UNINSTALLER_NO_32BIT:-}" ]]; then
      WINE_SKIP_REASON="UNINSTALLER_NO_32BIT is set, so the 32-bit Wine runs are skipped"
      return 1
    fi
    if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
      WINE_SKIP_REASON="this host cannot execute 32-bit code: Wine's 32-bit loader does not start"
      return 1
    fi
    WINE_LOADER=/usr/lib/wine/wine
  else
    [[ ":$PATH:" == *":$WINE_LIB_DIR/wine64:"* ]] || export PATH="$WINE_LIB_DIR/wine64:$PATH"
    WINE_LOADER=/usr/lib/wine/wine64
  fi
  export WINEARCH="$1"
}

# wine_prefix_make DIR: a prefix in DIR for the Wine chosen by wine_use, made unless one is there, with
# its Z: drive (the Unix root) unmapped, so that a program started inside C: can reach nothing outside
# the prefix. Sets WINEPREFIX.
wine_prefix_make() {
  export WINEPREFIX="$1"
  export WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
  if [[ ! -d "$WINEPREFIX/drive_c" ]]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 </dev/null
    wineserver -w
    rm -f "$WINEPREFIX/dosdevices/z:"
    # Debian's Wine 8 looks for its own fonts in /usr/share/fonts, not where fonts-wine puts them; from
    # the prefix's Fonts folder they are found, and the box has Windows' look (Marlett's close glyph).
    cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  fi
  wine_env
}

# wine_prefix_init DIR: a new prefix in DIR, made afresh, with the arguments of the message box and of
# the process policy call traced.
# Start the display first: Wine's desktop process, started here, keeps the one it found.
wine_prefix_init() {
  rm -rf "$1"
  wine_prefix_make "$1"
  wine_reg 'HKCU\Software\Wine\Debug' RelayInclude REG_SZ 'user32.MessageBoxA;kernel32.SetProcessMitigationPolicy'
  wine_prefix_locate
}

# wine_env: the environment for Wine, and a server kept alive between programs, which makes each start
# much faster. The server and the services Wine starts with the first program outlive it and keep every
# descriptor they were given, so they are started here with none: a caller reading a later program's
# output to its end would otherwise wait for them.
wine_env() {
  export WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
  wineserver -p60 >/dev/null 2>&1 </dev/null || true  # fails when a server already runs
  wine cmd /c exit >/dev/null 2>&1 </dev/null || true
}

# wine_reg KEY NAME TYPE DATA: sets one registry value in the prefix.
wine_reg() {
  wine reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null 2>&1 </dev/null
}

# wine_prefix_locate: sets C (the prefix's C: drive), WINE_USER, and ROAMING and COMMON, the two known
# folders as Unix paths.
wine_prefix_locate() {
  C="$WINEPREFIX/drive_c"
  WINE_USER=$(ls "$C/users" | grep -v -x Public | head -n 1)
  ROAMING="$C/users/$WINE_USER/AppData/Roaming"
  COMMON="$C/ProgramData"
  [[ -d "$ROAMING" && -d "$COMMON" ]] || { echo "the Wine prefix lacks its known folders" >&2; return 1; }
}

wine_prefix_end() {
  wineserver -k 2>/dev/null || true
}

# xvfb_start: a virtual display for the message box; sets DISPLAY and XVFB_PID.
xvfb_start() {
  local fdfile
  fdfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 </dev/null &
  XVFB_PID=$!
  for _ in $(seq 100); do [[ -s "$fdfile" ]] && break; sleep 0.1; done
  export DISPLAY=":$(head -n 1 "$fdfile")"
  rm -f "$fdfile"
}

xvfb_stop() {
  [[ -n "${XVFB_PID:-}" ]] && kill "$XVFB_PID" 2>/dev/null || true
}

# plant BASE PATH...: files below BASE's plug-in folder, or folders when a path ends in "/".
plant() {
  local base="$1/$PLUGINS" path
  shift
  for path in "$@"; do
    if [[ "$path" == */ ]]; then
      mkdir -p "$base/$path"
    else
      mkdir -p "$(dirname "$base/$path")"
      printf '%s\n' "$path" >"$base/$path"
    fi
  done
}

# run_uninstaller EXE [AT_BOX]: runs EXE from inside C: under the virtual display and waits for its box.
# While the box is up it checks that the program is still waiting, runs the command AT_BOX, and saves
# a screenshot to BOX_PNG when that is set. Then it presses OK, unless BOX_PRESS is no. Sets BOX_TEXT,
# BOX_CAPTION and BOX_STYLE from the traced call, POLICY_CALL (the traced SetProcessMitigationPolicy
# call, if any), EXIT_STATUS, and BOX_WAITING (yes when the program was still running).
run_uninstaller() {
  local exe="$1" at_box="${2:-true}" log window pid
  mkdir -p "$C/run"
  cp "$exe" "$C/run/Uninstaller.exe"
  log=$(mktemp)
  (cd "$C/run" && WINEDEBUG=-all,+relay exec wine ./Uninstaller.exe >/dev/null 2>"$log" </dev/null) &
  pid=$!
  window=$(timeout 120 xdotool search --sync --name "^$CAPTION\$" | head -n 1) || true
  BOX_WAITING=no
  kill -0 "$pid" 2>/dev/null && BOX_WAITING=yes
  if [[ -n "$window" ]]; then
    $at_box
    if [[ -n "${BOX_PNG:-}" ]]; then
      sleep 0.5
      import -window "$window" -frame "$BOX_PNG" 2>/dev/null || import -window root "$BOX_PNG"
    fi
    if [[ "${BOX_PRESS:-yes}" == yes ]]; then
      # A key press can be lost while the window is still settling: press again until the program ends.
      for _ in 1 2 3 4 5; do
        xdotool key --window "$window" Return 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break 2; sleep 0.1; done
      done
    fi
  fi
  if [[ -z "$window" || "${BOX_PRESS:-yes}" == yes ]]; then kill "$pid" 2>/dev/null || true; fi
  EXIT_STATUS=0
  wait "$pid" || EXIT_STATUS=$?
  local call
  call=$(grep -a -m 1 'Call user32.MessageBoxA(' "$log" || true)
  BOX_TEXT=$(sed -n 's/.*Call user32\.MessageBoxA([0-9a-f]*,[0-9a-f]* "\(.*\)",[0-9a-f]* "\(.*\)",\([0-9a-f]*\)).*/\1/p' <<<"$call")
  BOX_CAPTION=$(sed -n 's/.*Call user32\.MessageBoxA([0-9a-f]*,[0-9a-f]* "\(.*\)",[0-9a-f]* "\(.*\)",\([0-9a-f]*\)).*/\2/p' <<<"$call")
  BOX_STYLE=$(sed -n 's/.*Call user32\.MessageBoxA([0-9a-f]*,[0-9a-f]* "\(.*\)",[0-9a-f]* "\(.*\)",\([0-9a-f]*\)).*/\3/p' <<<"$call")
  POLICY_CALL=$(grep -a -m 1 -o 'Call KERNEL32.SetProcessMitigationPolicy([0-9a-f,]*)' "$log" || true)
  rm -f "$log"
  [[ -n "$window" ]] || { echo "no message box appeared" >&2; return 1; }
}
