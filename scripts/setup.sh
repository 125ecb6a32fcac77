#!/usr/bin/env bash
# Installs, with apt-get, whatever this machine lacks for the named kind of work:
#   windows  the 32-bit and 64-bit Windows builds and their tests: MinGW-w64, GoogleTest's sources, Wine
#            and what the Wine tests and the demo drive it with
#   test     what scripts/test.sh needs besides: shellcheck, and what the release check makes a
#            throwaway token and time-stamp servers with
#   release  what scripts/release.py needs, and nothing else: the 32-bit compiler, CMake, make, git,
#            osslsigncode, and OpenSSL with its PKCS#11 engine
#   bench    what bench/run.sh measures with: NSIS and hyperfine
#   lint     Node.js and npm, which scripts/test.sh lints the CI workflow with
#   mutate   what scripts/mutate.py sandboxes each fault with
set -euo pipefail

packages=()
for kind in "$@"; do
  case "$kind" in
    windows) packages+=(cmake make googletest g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64
                        binutils-mingw-w64-x86-64 wine wine32:i386 wine64 fonts-wine xvfb xdotool icoutils imagemagick
                        python3 python3-pefile) ;;
    test) packages+=(shellcheck git python3 softhsm2 opensc) ;;
    release) packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 cmake make git osslsigncode openssl
                        libengine-pkcs11-openssl) ;;
    bench) packages+=(nsis hyperfine) ;;
    lint) packages+=(nodejs)
          command -v npm >/dev/null 2>&1 || packages+=(npm) ;;  # some nodejs builds bring their own npm
    mutate) packages+=(bubblewrap python3) ;;
    *) echo "setup.sh: unknown kind '$kind'" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails the update for one index (seen: bookworm-security's i386 list) and can
# leave the two architectures' candidates apart, so that wine32:i386 cannot agree with its amd64
# libraries. The install is then tried again with the release's own versions; a real failure still fails.
$sudo apt-get update -qq || echo "setup.sh: apt-get update failed for some lists; installing from those it has" >&2
install=(apt-get install -y -qq --no-install-recommends)
if ! DEBIAN_FRONTEND=noninteractive $sudo "${install[@]}" "${missing[@]}" >/dev/null; then
  codename=$(sed -n "s/^VERSION_CODENAME=//p" /etc/os-release)
  echo "setup.sh: trying again with $codename's own versions" >&2
  DEBIAN_FRONTEND=noninteractive $sudo "${install[@]}" -t "$codename" "${missing[@]}" >/dev/null
fi
