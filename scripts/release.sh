#!/usr/bin/env bash
# Makes a release from a clean checkout: builds the 32-bit Uninstaller.exe, signs it when given a
# certificate, and writes dist/Uninstaller-<version>.exe and dist/SHA256SUMS.
#
#   scripts/release.sh                                        an unsigned release
#   scripts/release.sh --pkcs12 FILE [--password-file FILE]   key and certificate from a PKCS#12 file
#   scripts/release.sh --pkcs11-module SO --key URI --cert PEM [--pin-file FILE]
#                                                             key on a PKCS#11 token, chain in a PEM file
#   either, with --timestamp URL                              an RFC 3161 time stamp on the signature
#
# The password or PIN comes from the file named, or from UNINSTALLER_SIGN_PASSWORD or
# UNINSTALLER_SIGN_PIN; never from the command line. A signed file is verified, and removing its
# signature must give back the unsigned build byte for byte, before any checksum is written. Any
# failure stops it with one line, and leaves nothing in dist/ of this release.
set -euo pipefail
cd "$(dirname "$0")/.."

description="SU Varnok Uninstaller 2014"
pkcs12="" password_file="" module="" key="" cert="" pin_file="" timestamp=""
staging=""
trap '[[ -z "$staging" ]] || rm -rf "$staging"' EXIT
die() {
  echo "release.sh: $*" >&2
  exit 1
}
while [[ $# -gt 0 ]]; do
  [[ $# -ge 2 ]] || die "$1 needs a value"
  case "$1" in
    --pkcs12) pkcs12="$2" ;;
    --password-file) password_file="$2" ;;
    --pkcs11-module) module="$2" ;;
    --key) key="$2" ;;
    --cert) cert="$2" ;;
    --pin-file) pin_file="$2" ;;
    --timestamp) timestamp="$2" ;;
    *) die "unknown option $1 (see the comment at the top of this script)" ;;
  esac
  shift 2
done
if [[ -n "$pkcs12" && -n "$module$key$cert" ]]; then die "give either --pkcs12 or --pkcs11-module, not both"; fi
if [[ -n "$module$key$cert" && ( -z "$module" || -z "$key" || -z "$cert" ) ]]; then
  die "a token needs --pkcs11-module, --key and --cert together"
fi
[[ -z "$pkcs12" || -f "$pkcs12" ]] || die "no PKCS#12 file $pkcs12"
[[ -z "$module" || -f "$module" ]] || die "no PKCS#11 module $module"
[[ -z "$cert" || -f "$cert" ]] || die "no certificate file $cert"

[[ -z "$(git status --porcelain 2>/dev/null)" ]] || die "the tree has uncommitted changes; a release is made from a commit"
git rev-parse HEAD >/dev/null 2>&1 || die "not a git checkout"
version=$(scripts/version.sh) || die "no VERSION in CMakeLists.txt"
name="Uninstaller-$version.exe"

kinds=(windows)
[[ -z "$pkcs12$module" ]] || kinds+=(release)
scripts/setup.sh "${kinds[@]}" || die "could not install what the build needs"
cmake --preset windows-x86 >/dev/null || die "the build could not be configured"
cmake --build --preset windows-x86 --target Uninstaller >/dev/null || die "the build failed"
unsigned=build/windows-x86/Uninstaller.exe

mkdir -p dist
staging=$(mktemp -d dist/.staging.XXXXXX)
# The secret goes to osslsigncode and openssl in a file only this user can read, never as an argument.
secret="$staging/secret"
( umask 077
  if [[ -n "$pkcs12" ]]; then
    if [[ -n "$password_file" ]]; then head -n 1 "$password_file"; else printf '%s\n' "${UNINSTALLER_SIGN_PASSWORD:-}"; fi
  elif [[ -n "$module" ]]; then
    if [[ -n "$pin_file" ]]; then head -n 1 "$pin_file"; else printf '%s\n' "${UNINSTALLER_SIGN_PIN:-}"; fi
  fi >"$secret" ) || die "could not read the password or PIN file"

if [[ -n "$pkcs12" ]]; then
  openssl pkcs12 -in "$pkcs12" -nokeys -passin "file:$secret" -out "$staging/chain.pem" 2>/dev/null ||
    openssl pkcs12 -legacy -in "$pkcs12" -nokeys -passin "file:$secret" -out "$staging/chain.pem" 2>/dev/null ||
    die "cannot read $pkcs12: wrong password, or not a PKCS#12 file"
  signer=(-pkcs12 "$pkcs12")
elif [[ -n "$module" ]]; then
  cp "$cert" "$staging/chain.pem"
  signer=(-pkcs11module "$module" -key "$key" -certs "$cert")
fi

if [[ -n "$pkcs12$module" ]]; then
  # The signing certificate is the first in the chain; it must be meant for signing code.
  openssl x509 -in "$staging/chain.pem" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' ||
    die "the certificate is not for code signing (its extended key usage lacks Code Signing)"
  stamp=()
  [[ -z "$timestamp" ]] || stamp=(-ts "$timestamp")
  osslsigncode sign "${signer[@]}" -readpass "$secret" -h sha256 -n "$description" "${stamp[@]}" \
    -in "$unsigned" -out "$staging/$name" >"$staging/log" 2>&1 ||
    die "signing failed: $(grep -v '^$' "$staging/log" | tail -n 1)"
  osslsigncode verify -CAfile "$staging/chain.pem" -in "$staging/$name" >"$staging/log" 2>&1 ||
    die "the signature does not verify: $(grep -v '^$' "$staging/log" | tail -n 1)"
  osslsigncode remove-signature -in "$staging/$name" -out "$staging/stripped.exe" >/dev/null 2>&1 ||
    die "the signature could not be removed again"
  cmp -s "$staging/stripped.exe" "$unsigned" || die "the signed file, less its signature, is not the unsigned build"
  signed_by=$(openssl x509 -in "$staging/chain.pem" -noout -subject | sed 's/^subject=//')
else
  cp "$unsigned" "$staging/$name"
fi

(cd "$staging" && sha256sum "$name" >SHA256SUMS)
rm -f "dist/$name" dist/SHA256SUMS
mv "$staging/$name" "$staging/SHA256SUMS" dist/
rm -rf "$staging"
staging=""
if [[ -n "$pkcs12$module" ]]; then
  echo "Signed release: dist/$name and dist/SHA256SUMS (commit $(git rev-parse --short HEAD), signed by $signed_by)"
else
  echo "Unsigned release: dist/$name and dist/SHA256SUMS (commit $(git rev-parse --short HEAD); no certificate given)"
fi
