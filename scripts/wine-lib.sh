# Shared by the demo and the Wine end-to-end suite: a throwaway Wine prefix, a virtual display, planting
# an installation, and one run of Uninstaller.exe watched from outside. Source it; it changes nothing
# until a function is called. Its functions hand their results back in the globals they name.
# shellcheck shell=bash disable=SC2034

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
  wine_reg 'HKCU\Software\Wine\Debug' RelayInclude REG_SZ \
    'user32.MessageBoxA;kernel32.SetDefaultDllDirectories;kernel32.SetProcessMitigationPolicy'
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
  local user
  WINE_USER=""
  for user in "$C/users"/*; do
    [[ "${user##*/}" == Public ]] || { WINE_USER="${user##*/}"; break; }
  done
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
  DISPLAY=":$(head -n 1 "$fdfile")"
  export DISPLAY
  rm -f "$fdfile"
}

xvfb_stop() {
  if [[ -n "${XVFB_PID:-}" ]]; then kill "$XVFB_PID" 2>/dev/null || true; fi
}

# wait_for WHAT COMMAND...: runs COMMAND every tenth of a second until it succeeds, for two minutes at
# the most, which a loaded machine needs; says what did not happen, and returns 1, when time runs out.
wait_for() {
  local what="$1" deadline=$((SECONDS + 120))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || { echo "  gave up waiting: $what" >&2; return 1; }
    sleep 0.1
  done
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

# uninstaller_launch EXE: copies EXE into C:\run as Uninstaller.exe and starts it from there in the
# background, its Wine trace going to a file. Sets UNINSTALLER_PID and TRACE_LOG.
uninstaller_launch() {
  mkdir -p "$C/run"
  cp "$1" "$C/run/Uninstaller.exe"
  TRACE_LOG=$(mktemp)
  (cd "$C/run" && WINEDEBUG=-all,+relay exec wine ./Uninstaller.exe >/dev/null 2>"$TRACE_LOG" </dev/null) &
  UNINSTALLER_PID=$!
}

# box_wait: waits up to two minutes for the box. Sets BOX_WINDOW (empty when none came) and
# BOX_WAITING (yes when the program was still running while its box was up).
box_wait() {
  BOX_WINDOW=$(timeout 120 xdotool search --sync --name "^$CAPTION\$" | head -n 1) || true
  BOX_WAITING=no
  kill -0 "$UNINSTALLER_PID" 2>/dev/null && BOX_WAITING=yes
}

# box_press: presses OK. A key press can be lost while the window is still settling, so it presses
# again until the program ends, five times at the most.
box_press() {
  local _
  for _ in 1 2 3 4 5; do
    xdotool key --window "$BOX_WINDOW" Return 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$UNINSTALLER_PID" 2>/dev/null || return 0; sleep 0.1; done
  done
}

# uninstaller_wait: waits for the program to end; a program still running is ended first. Sets
# EXIT_STATUS.
uninstaller_wait() {
  if [[ "${1:-}" == end ]]; then kill "$UNINSTALLER_PID" 2>/dev/null || true; fi
  EXIT_STATUS=0
  wait "$UNINSTALLER_PID" || EXIT_STATUS=$?
}

# trace_read: the traced calls of the box and of the process requests, then the trace is removed. Sets
# BOX_TEXT, BOX_CAPTION and BOX_STYLE, and DLL_SEARCH_CALL and POLICY_CALL (empty when not made).
trace_read() {
  local box='Call user32\.MessageBoxA\([0-9a-f]+,[0-9a-f]+ "(.*)",[0-9a-f]+ "(.*)",([0-9a-f]+)\)'
  BOX_TEXT="" BOX_CAPTION="" BOX_STYLE=""
  if [[ $(grep -a -m 1 'Call user32.MessageBoxA(' "$TRACE_LOG") =~ $box ]]; then
    BOX_TEXT="${BASH_REMATCH[1]}" BOX_CAPTION="${BASH_REMATCH[2]}" BOX_STYLE="${BASH_REMATCH[3]}"
  fi
  DLL_SEARCH_CALL=$(traced_kernel_call SetDefaultDllDirectories)
  POLICY_CALL=$(traced_kernel_call SetProcessMitigationPolicy)
  rm -f "$TRACE_LOG"
}

# traced_kernel_call NAME: the first traced call of kernel32's NAME with its arguments, or nothing.
traced_kernel_call() {
  grep -a -m 1 -o "Call KERNEL32\.$1([0-9a-f,]*)" "$TRACE_LOG" || true
}

# run_uninstaller EXE [AT_BOX]: one run of EXE, watched: launch, wait for the box, run the command
# AT_BOX while it is up, save a screenshot to BOX_PNG when that is set, press OK unless BOX_PRESS is no,
# then read the trace. Sets what the functions above set; returns 1 when no box appeared.
run_uninstaller() {
  uninstaller_launch "$1"
  box_wait
  if [[ -n "$BOX_WINDOW" ]]; then
    "${2:-true}"
    if [[ -n "${BOX_PNG:-}" ]]; then
      sleep 0.5
      import -window "$BOX_WINDOW" -frame "$BOX_PNG" 2>/dev/null || import -window root "$BOX_PNG"
    fi
    if [[ "${BOX_PRESS:-yes}" == yes ]]; then box_press; fi
  fi
  if [[ -z "$BOX_WINDOW" || "${BOX_PRESS:-yes}" == yes ]]; then uninstaller_wait end; else uninstaller_wait; fi
  trace_read
  [[ -n "$BOX_WINDOW" ]] || { echo "no message box appeared" >&2; return 1; }
}
