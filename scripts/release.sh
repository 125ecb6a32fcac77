#!/usr/bin/env bash
# Makes a release of the committed tree: builds the 32-bit Uninstaller.exe in a fresh folder of its
# own, signs it when given a signer, and adds dist/Uninstaller-<version>.exe, its .buildinfo and its line
# in dist/SHA256SUMS.
#
#   scripts/release.sh                                        an unsigned release
#   scripts/release.sh --pkcs12 FILE [--password-file FILE]   key and certificates from a PKCS#12 file
#   scripts/release.sh --pkcs11-module SO --key URI --cert PEM [--pin-file FILE]
#                                                             key on a PKCS#11 token, certificates in PEM
#   with either signer:
#     --chain PEM        intermediate certificates to carry in the signature besides the signer's own
#     --ca-file PEM      the certificates the verification trusts (else the system's CA bundle)
#     --timestamp URL    an RFC 3161 time-stamp server; give several to try them in order, 30 s each
#     --tsa-ca-file PEM  the certificates a time stamp's signature is verified against (else the bundle)
#
# The password or PIN comes from the file named, or from UNINSTALLER_SIGN_PASSWORD or
# UNINSTALLER_SIGN_PIN, and reaches openssl and osslsigncode through a pipe, never a file or an
# argument. Paths are read from the folder the command was run in. A signed file must verify, its time
# stamp too, and less its signature must be the unsigned build byte for byte. Any failure stops it with
# one line and leaves dist/ as it was.
set -euo pipefail
invoked_from=$PWD
cd "$(dirname "$0")/.."

description="SU Varnok Uninstaller 2014"
system_bundle=/etc/ssl/certs/ca-certificates.crt
die() {
  echo "release.sh: $*" >&2
  exit 1
}
from_invocation() { if [[ "$1" == /* ]]; then echo "$1"; else echo "$invoked_from/$1"; fi; }

pkcs12="" password_file="" module="" key="" cert="" pin_file="" chain="" ca_file="" tsa_ca_file=""
timestamps=() given=" "
while [[ $# -gt 0 ]]; do
  case "$1" in
    --pkcs12 | --password-file | --pkcs11-module | --key | --cert | --pin-file | --chain | --ca-file | --tsa-ca-file | \
      --timestamp) ;;
    *) die "unknown option $1 (see the comment at the top of this script)" ;;
  esac
  [[ $# -ge 2 ]] || die "$1 needs a value"
  [[ -n "$2" ]] || die "$1 was given an empty value"
  [[ "$1" == --timestamp || "$given" != *" $1 "* ]] || die "$1 was given twice"
  given+="$1 "
  case "$1" in
    --pkcs12) pkcs12=$(from_invocation "$2") ;;
    --password-file) password_file=$(from_invocation "$2") ;;
    --pkcs11-module) module=$(from_invocation "$2") ;;
    --key) key="$2" ;;
    --cert) cert=$(from_invocation "$2") ;;
    --pin-file) pin_file=$(from_invocation "$2") ;;
    --chain) chain=$(from_invocation "$2") ;;
    --ca-file) ca_file=$(from_invocation "$2") ;;
    --tsa-ca-file) tsa_ca_file=$(from_invocation "$2") ;;
    --timestamp) timestamps+=("$2") ;;
  esac
  shift 2
done

# Only what was asked for: an option without the partner it needs is a mistake, never a quiet default.
token="$module$key$cert"
[[ -z "$password_file" || -n "$pkcs12" ]] || die "--password-file goes with --pkcs12"
[[ -z "$pin_file" || ( -n "$module" && -z "$pkcs12" ) ]] || die "--pin-file goes with --pkcs11-module"
[[ -z "$pkcs12" || -z "$token" ]] || die "give either --pkcs12 or a token (--pkcs11-module, --key, --cert), not both"
[[ -z "$token" || ( -n "$module" && -n "$key" && -n "$cert" ) ]] || die "a token needs --pkcs11-module, --key and --cert together"
for option in --chain --ca-file --tsa-ca-file --timestamp; do
  [[ -n "$pkcs12$token" || "$given" != *" $option "* ]] || die "$option needs a signer: --pkcs12 or --pkcs11-module"
done
[[ -z "$tsa_ca_file" || ${#timestamps[@]} -gt 0 ]] || die "--tsa-ca-file goes with --timestamp"
[[ "$key" != *pin-value* ]] || die "a PIN inside --key would show on the command line; use --pin-file or UNINSTALLER_SIGN_PIN"
for file in "$pkcs12" "$password_file" "$module" "$cert" "$pin_file" "$chain" "$ca_file" "$tsa_ca_file"; do
  [[ -z "$file" || ( -r "$file" && ! -d "$file" ) ]] || die "no file $file"
done

git rev-parse HEAD >/dev/null 2>&1 || die "not a git checkout"
[[ -z "$(git status --porcelain)" ]] || die "the tree has uncommitted changes; a release is made from a commit"
version=$(scripts/version.sh) || die "no VERSION in CMakeLists.txt"
name="Uninstaller-$version.exe"
for made in "dist/$name" "dist/${name%.exe}.buildinfo"; do
  [[ ! -e "$made" ]] || die "$made exists already: raise the version in CMakeLists.txt, or move the old file away"
done
commit=$(git rev-parse HEAD)

signing=""
[[ -z "$pkcs12$token" ]] || signing=yes
secret=""
if [[ -n "$password_file$pin_file" ]]; then
  secret=$(head -n 1 "$password_file$pin_file") || die "could not read $password_file$pin_file"
elif [[ -n "$pkcs12" ]]; then
  secret="${UNINSTALLER_SIGN_PASSWORD:-}"
elif [[ -n "$module" ]]; then
  secret="${UNINSTALLER_SIGN_PIN:-}"
fi
# The secret as a /dev/fd path of a pipe that printf, a shell builtin, writes: never a file, never an argument.
secret_pipe() { printf '%s\n' "$secret"; }

kinds=(windows)
[[ -z "$signing" ]] || kinds+=(release)
scripts/setup.sh "${kinds[@]}" >/dev/null || die "could not install what the build needs"

work=$(mktemp -d "${TMPDIR:-/tmp}/uninstaller-release.XXXXXX")
trap 'rm -rf "$work" dist/.*.part' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
# cause LOG: the tool's own reason, in one line: its "Error:" line, else OpenSSL's reason field, else its
# last line.
cause() {
  local said
  said=$(sed -n 's/^[[:space:]]*Error: //p' "$1" | head -n 1)
  grep -q "^Unsupported Signer's certificate purpose" "$1" &&
    said="the certificate is not for code signing (its extended key usage lacks Code Signing)"
  [[ -n "$said" ]] || said=$(grep -a -m 1 -E '^[0-9A-F]+:error:' "$1" | cut -d: -f6)
  [[ -n "$said" ]] || said=$(grep -v '^[[:space:]]*$' "$1" | tail -n 1)
  echo "$said"
}

# Built from the commit alone, in a folder of its own, with the windows-x86 preset's settings.
mkdir "$work/src"
git archive --format=tar HEAD | tar -x -C "$work/src"
(cd "$work/src" && cmake --preset windows-x86 && cmake --build --preset windows-x86 --target Uninstaller) \
  >"$work/build.log" 2>&1 || die "the build failed: $(tail -n 1 "$work/build.log")"
unsigned="$work/src/build/windows-x86/Uninstaller.exe"
release="$work/$name"
buildinfo="$work/${name%.exe}.buildinfo"
{
  echo "version: $version"
  echo "commit: $commit"
  for package in g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev mingw-w64-common cmake; do
    echo "$package: $(dpkg-query -W -f='${Version}' "$package" 2>/dev/null || echo none)"
  done
  echo "unsigned-sha256: $(sha256sum "$unsigned" | cut -d' ' -f1)"
} >"$buildinfo"

# sign [URL]: signs the unsigned build into $release, with a time stamp from URL when given.
sign() {
  local signer=(-pkcs12 "$pkcs12") extra=()
  [[ -n "$pkcs12" ]] || signer=(-pkcs11module "$module" -key "$key" -certs "$cert")
  [[ -z "$chain" ]] || extra+=(-ac "$chain")
  [[ -z "${1:-}" ]] || extra+=(-ts "$1")
  rm -f "$release"
  timeout 30 osslsigncode sign "${signer[@]}" "${extra[@]}" -readpass <(secret_pipe) -h sha256 -n "$description" \
    -in "$unsigned" -out "$release" >"$work/sign.log" 2>&1
}

if [[ -n "$signing" ]]; then
  if [[ -n "$pkcs12" ]]; then
    openssl pkcs12 -in "$pkcs12" -nokeys -passin file:<(secret_pipe) -out /dev/null 2>/dev/null ||
      openssl pkcs12 -legacy -in "$pkcs12" -nokeys -passin file:<(secret_pipe) -out /dev/null 2>/dev/null ||
      die "cannot read $pkcs12: wrong password, or not a PKCS#12 file"
  fi
  # First without a time stamp, so that a fault of the signer is told apart from one of a server.
  sign || die "signing failed: $(cause "$work/sign.log")"
  stamped_by="" unanswered=""
  for url in "${timestamps[@]}"; do
    status=0
    sign "$url" || status=$?
    if [[ $status -eq 0 ]]; then stamped_by="$url" && break; fi
    unanswered="$url: $(cause "$work/sign.log")"
    [[ $status -ne 124 ]] || unanswered="$url did not answer within 30 seconds"
  done
  [[ ${#timestamps[@]} -eq 0 || -n "$stamped_by" ]] || die "no time-stamp server answered; the last, $unanswered"

  osslsigncode verify -CAfile "${ca_file:-$system_bundle}" -TSA-CAfile "${tsa_ca_file:-$system_bundle}" \
    -in "$release" >"$work/verify.log" 2>&1 || true
  if [[ -n "$stamped_by" ]] && ! grep -q '^Timestamp Server Signature verification: ok' "$work/verify.log"; then
    die "the time stamp does not verify: $(cause "$work/verify.log")"
  fi
  if ! grep -q '^Signature verification: ok' "$work/verify.log" || ! grep -q '^Succeeded' "$work/verify.log"; then
    die "the signature does not verify: $(cause "$work/verify.log")"
  fi
  osslsigncode remove-signature -in "$release" -out "$work/stripped.exe" >/dev/null 2>&1 ||
    die "the signature could not be removed again"
  cmp -s "$work/stripped.exe" "$unsigned" || die "the signed file, less its signature, is not the unsigned build"

  # The signer as the signature names it: the first certificate verify reports, whose fields it prints
  # as "Subject:", "Issuer :" and "Serial :".
  signer_field() { awk -v f="$1" '/^Signer.s certificate:/ { on = 1 } on && $1 == f { sub(/^[^:]*: */, ""); print; exit }' \
    "$work/verify.log"; }
  signed_by=$(signer_field Subject:)
  {
    echo "signer-subject: $signed_by"
    echo "signer-issuer: $(signer_field Issuer)"
    echo "signer-serial: $(signer_field Serial)"
    echo "signed-sha256: $(sha256sum "$release" | cut -d' ' -f1)"
    if [[ -n "$stamped_by" ]]; then
      echo "timestamp-server: $stamped_by"
      echo "timestamp-time: $(sed -n 's/^[[:space:]]*Timestamp time: //p' "$work/verify.log" | head -n 1)"
    fi
  } >>"$buildinfo"
else
  cp "$unsigned" "$release"
fi

# SHA256SUMS gains this file's line and keeps every other.
{
  [[ ! -f dist/SHA256SUMS ]] || grep -v "  $name\$" dist/SHA256SUMS || true
  (cd "$work" && sha256sum "$name")
} >"$work/SHA256SUMS"
# Copied in beside their places first, then renamed, so that dist/ never holds half a file.
mkdir -p dist
for file in "$release" "$buildinfo" "$work/SHA256SUMS"; do cp "$file" "dist/.${file##*/}.part"; done
for file in "$release" "$buildinfo" "$work/SHA256SUMS"; do mv "dist/.${file##*/}.part" "dist/${file##*/}"; done
if [[ -n "$signing" ]]; then
  echo "Signed release: dist/$name, its .buildinfo and dist/SHA256SUMS (commit ${commit:0:7}, signed by $signed_by${stamped_by:+, time-stamped by $stamped_by})"
else
  echo "Unsigned release: dist/$name, its .buildinfo and dist/SHA256SUMS (commit ${commit:0:7}; no certificate given)"
fi
