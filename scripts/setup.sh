#!/usr/bin/env bash
# Installs, with apt-get, whatever this machine lacks for the named kind of work:
#   windows  the 32-bit and 64-bit Windows builds, Wine and what the Wine tests and the demo drive it with
#   release  what scripts/release.sh signs with, and what its test makes a throwaway token with
#   bench    what bench/run.sh measures with
#   mutate   what scripts/mutate.py sandboxes each fault with
set -euo pipefail

packages=(cmake g++ make libgtest-dev googletest shellcheck)
for kind in "$@"; do
  case "$kind" in
    windows) packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
                        wine wine32:i386 wine64 fonts-wine xvfb xdotool icoutils imagemagick python3 python3-pefile) ;;
    release) packages+=(git osslsigncode openssl softhsm2 libengine-pkcs11-openssl opensc) ;;
    bench) packages+=(nsis) ;;
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
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
