# Shared by the demo, the Wine test runner and the benchmark: which Wine, a throwaway Wine prefix, a
# virtual display, planting an installation, and one watched run of Uninstaller.exe. Source it; it changes nothing until a function is called.
# A function with results prints them as key=value lines, values quoted for the shell, for the caller
# to read with eval; the only variables it sets are its two constants and, exported, Wine's own and PATH.
# shellcheck shell=bash

CAPTION="SU Varnok Uninstaller 2014"
PLUGINS="SketchUp/SketchUp 2014/SketchUp/Plugins"

# wine_skip_reason ARCH: prints why this host cannot run ARCH (win32 or win64) programs, or nothing. A
# host that cannot execute 32-bit code is found by starting the 32-bit loader; UNINSTALLER_NO_32BIT
# asks to act as if so.
wine_skip_reason() {
  [[ "$1" == win32 ]] || return 0
  if [[ -n "${UNINSTALLER_NO_32BIT:-}" ]]; then
    echo "UNINSTALLER_NO_32BIT is set, so the 32-bit Wine runs are skipped"
  elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "this host cannot execute 32-bit code: Wine's 32-bit loader does not start"
  fi
}

# wine_loader ARCH: prints the Wine loader that runs ARCH programs.
wine_loader() {
  if [[ "$1" == win32 ]]; then echo /usr/lib/wine/wine; else echo /usr/lib/wine/wine64; fi
}

# wine_use ARCH: every Wine command from here on runs ARCH programs in a prefix of that kind (exports
# WINEARCH, and for win64 puts the wine commands of scripts/wine64, which start the 64-bit loader,
# first on PATH).
wine_use() {
  local wine64
  wine64="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wine64"
  if [[ "$1" == win64 && ":$PATH:" != *":$wine64:"* ]]; then export PATH="$wine64:$PATH"; fi
  export WINEARCH="$1"
}

# wine_prefix_make DIR: a prefix in DIR for the Wine chosen by wine_use, made unless one is there, with
# its Z: drive (the Unix root) unmapped, so that a program started inside C: can reach nothing outside
# the prefix; exports WINEPREFIX, and starts the server (wine_env).
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

# wine_prefix_init DIR: a new prefix in DIR, made afresh as wine_prefix_make makes it, with the
# arguments of the message box traced. Start the display first: Wine's desktop process, started here,
# keeps the one it found.
wine_prefix_init() {
  rm -rf "$1"
  wine_prefix_make "$1"
  wine_reg 'HKCU\Software\Wine\Debug' RelayInclude REG_SZ user32.MessageBoxA
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

# wine_prefix_locate: prints C (the prefix's C: drive), WINE_USER, and ROAMING and COMMON, the two known
# folders as Unix paths; fails when the prefix lacks them.
wine_prefix_locate() {
  local c="$WINEPREFIX/drive_c" user name=""
  for user in "$c/users"/*; do
    [[ "${user##*/}" == Public ]] || { name="${user##*/}"; break; }
  done
  [[ -d "$c/users/$name/AppData/Roaming" && -d "$c/ProgramData" ]] ||
    { echo "the Wine prefix lacks its known folders" >&2; return 1; }
  printf 'C=%q\nWINE_USER=%q\nROAMING=%q\nCOMMON=%q\n' "$c" "$name" "$c/users/$name/AppData/Roaming" "$c/ProgramData"
}

wine_prefix_end() {
  wineserver -k 2>/dev/null || true
}

# xvfb_start: starts a virtual display for the message box; prints DISPLAY and XVFB_PID.
xvfb_start() {
  local fdfile pid
  fdfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 </dev/null &
  pid=$!
  wait_for 120 "the virtual display starts" test -s "$fdfile"
  printf 'DISPLAY=:%q\nXVFB_PID=%q\n' "$(head -n 1 "$fdfile")" "$pid"
  rm -f "$fdfile"
}

# xvfb_stop PID: ends the display xvfb_start started, if any.
xvfb_stop() {
  if [[ -n "${1:-}" ]]; then kill "$1" 2>/dev/null || true; fi
}

# wait_for SECONDS WHAT COMMAND...: runs COMMAND every tenth of a second until it succeeds, for SECONDS
# at the most (a loaded machine needs generous ones); says what did not happen, and returns 1, when
# time runs out.
wait_for() {
  local deadline=$((SECONDS + $1)) what="$2"
  shift 2
  until "$@"; do
    ((SECONDS < deadline)) || { echo "  gave up waiting: $what" >&2; return 1; }
    sleep 0.1
  done
}

# process_ended PID: true once the process is gone.
process_ended() {
  ! kill -0 "$1" 2>/dev/null
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

# run_uninstaller EXE [--png FILE] [--no-press]: one run of EXE, copied into C:\run and started from
# there, watched from outside: it waits for the box, saves a screenshot of the box to FILE, presses OK
# unless told not to, and waits for the program to end. Prints text and caption of the box and status
# (the exit status). Needs C from wine_prefix_locate.
run_uninstaller() {
  local exe="$1" png="" press=yes
  shift
  while [[ $# -gt 0 ]]; do
    case "$1" in
      --png) png="$2"; shift ;;
      --no-press) press=no ;;
    esac
    shift
  done
  mkdir -p "$C/run"
  cp "$exe" "$C/run/Uninstaller.exe"
  local trace pid window status=0
  trace=$(mktemp)
  (cd "$C/run" && WINEDEBUG=-all,+relay exec wine ./Uninstaller.exe >/dev/null 2>"$trace" </dev/null) &
  pid=$!
  window=$(timeout 120 xdotool search --sync --name "^$CAPTION\$" | head -n 1) || true
  if [[ -n "$window" ]]; then
    if [[ -n "$png" ]]; then
      sleep 0.5  # the window draws itself after it is mapped
      import -window "$window" -frame "$png" 2>/dev/null || import -window root "$png"
    fi
    # A key press can be lost while the window is still settling: press again until the program ends.
    if [[ "$press" == yes ]]; then
      local _
      for _ in $(seq 12); do
        xdotool key --window "$window" Return 2>/dev/null || true
        wait_for 10 "the program ends after OK" process_ended "$pid" 2>/dev/null && break
      done
    fi
  fi
  if [[ -z "$window" || "$press" == yes ]]; then kill "$pid" 2>/dev/null || true; fi
  wait "$pid" || status=$?
  local box='Call user32\.MessageBoxA\([0-9a-f]+,[0-9a-f]+ "(.*)",[0-9a-f]+ "(.*)",[0-9a-f]+\)'
  local text="" caption=""
  if [[ $(grep -a -m 1 'Call user32.MessageBoxA(' "$trace") =~ $box ]]; then
    text="${BASH_REMATCH[1]}" caption="${BASH_REMATCH[2]}"
  fi
  printf 'text=%q\ncaption=%q\nstatus=%q\n' "$text" "$caption" "$status"
  rm -f "$trace"
}
