#!/usr/bin/env bash
# Makes a release of the committed tree, or signs one built elsewhere; installs nothing, uses the
# signing key once, and says in one line what failed. `scripts/release.sh --help` prints the usage;
# docs/release.md says what is checked, the exit codes and the signing-machine flow.
set -uo pipefail

# The secret leaves the environment before anything else runs: no tool started below inherits it.
env_password="${UNINSTALLER_SIGN_PASSWORD-}" env_pin="${UNINSTALLER_SIGN_PIN-}"
env_secret_given="${UNINSTALLER_SIGN_PASSWORD+yes}${UNINSTALLER_SIGN_PIN+yes}"
unset UNINSTALLER_SIGN_PASSWORD UNINSTALLER_SIGN_PIN

usage() {
  cat <<'EOF'
Usage: scripts/release.sh [SIGNER] [OPTIONS]
  Builds dist/Uninstaller-<version>.exe from the committed tree, signed when a signer is given, with its
  .buildinfo and its line in dist/SHA256SUMS; unsigned, it is dist/Uninstaller-<version>-unsigned.exe.
Signer, one of:
  --pkcs12 FILE [--password-file FILE]      key and certificates in a PKCS#12 file
  --pkcs11-module SO --key URI --cert PEM [--pin-file FILE]
                                            key on a PKCS#11 token, certificate in PEM
  The password or PIN comes from the file named, or from UNINSTALLER_SIGN_PASSWORD or
  UNINSTALLER_SIGN_PIN; without one, nothing is tried.
Options:
  --chain PEM        intermediate certificates to carry in the signature
  --ca-file PEM      the certificates the signature is verified against (else the system's bundle)
  --timestamp URL    an RFC 3161 time-stamp server; give several to try them in turn, 30 s each
  --tsa-ca-file PEM  the certificates a time stamp is verified against (else the system's bundle)
  --sign FILE        sign FILE, built elsewhere from this commit, instead of building (needs a signer)
  --dry-run          check everything that needs no build, with one login, and change nothing
  --help             this text
Exit codes: 0 done; 2 usage; 3 tools missing; 4 tree, dist/ or file refused; 5 build failed;
  6 signing or trust failed; 7 no time stamp; 130 and 143 interrupted.
EOF
}

invoked_from=$PWD
cd "$(dirname "$0")/.." || exit 4
description="SU Varnok Uninstaller 2014"
system_bundle=/etc/ssl/certs/ca-certificates.crt
work="" child="" phase="starting"
# fail CODE MESSAGE: the one line, and the exit code that tells the kind of failure apart.
fail() {
  echo "release.sh: $2" >&2
  exit "$1"
}
from_invocation() { if [[ "$1" == /* ]]; then echo "$1"; else echo "$invoked_from/$1"; fi; }
# joined ITEM...: the items, separated by "; ".
joined() {
  local all
  all=$(printf '%s; ' "$@")
  echo "${all%; }"
}

pkcs12="" password_file="" module="" key="" cert="" pin_file="" chain="" ca_file="" tsa_ca_file="" to_sign=""
dry_run="" timestamps=() given=" "
while [[ $# -gt 0 ]]; do
  case "$1" in
    --help) usage; exit 0 ;;
    --dry-run) dry_run=yes; shift; continue ;;
    --pkcs12 | --password-file | --pkcs11-module | --key | --cert | --pin-file | --chain | --ca-file | --tsa-ca-file | \
      --timestamp | --sign) ;;
    *) fail 2 "unknown option $1 (see --help)" ;;
  esac
  [[ $# -ge 2 ]] || fail 2 "$1 needs a value"
  [[ -n "$2" ]] || fail 2 "$1 was given an empty value"
  [[ "$1" == --timestamp || "$given" != *" $1 "* ]] || fail 2 "$1 was given twice"
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
    --sign) to_sign=$(from_invocation "$2") ;;
  esac
  shift 2
done

# Only what was asked for: an option without the partner it needs is a mistake, never a quiet default.
token="$module$key$cert"
signing=""
[[ -z "$pkcs12$token" ]] || signing=yes
[[ -z "$password_file" || -n "$pkcs12" ]] || fail 2 "--password-file goes with --pkcs12"
[[ -z "$pin_file" || ( -n "$module" && -z "$pkcs12" ) ]] || fail 2 "--pin-file goes with --pkcs11-module"
[[ -z "$pkcs12" || -z "$token" ]] || fail 2 "give either --pkcs12 or a token (--pkcs11-module, --key, --cert), not both"
[[ -z "$token" || ( -n "$module" && -n "$key" && -n "$cert" ) ]] || fail 2 "a token needs --pkcs11-module, --key and --cert together"
for option in --chain --ca-file --tsa-ca-file --timestamp --sign; do
  [[ -n "$signing" || "$given" != *" $option "* ]] || fail 2 "$option needs a signer: --pkcs12 or --pkcs11-module"
done
[[ -z "$tsa_ca_file" || ${#timestamps[@]} -gt 0 ]] || fail 2 "--tsa-ca-file goes with --timestamp"
[[ "$key" != *pin-value* ]] || fail 2 "a PIN inside --key would show on the command line; use --pin-file or UNINSTALLER_SIGN_PIN"
[[ -n "$signing" || -z "$env_secret_given" ]] ||
  fail 2 "a signing password or PIN is in the environment, but no signer was given; a release is never unsigned by mistake"
for file in "$pkcs12" "$password_file" "$module" "$cert" "$pin_file" "$chain" "$ca_file" "$tsa_ca_file" "$to_sign"; do
  [[ -z "$file" || ( -r "$file" && ! -d "$file" ) ]] || fail 2 "no file $file"
done

# The secret: the file's first line less a trailing CR, or the environment's. None means no login at all.
secret=""
if [[ -n "$password_file$pin_file" ]]; then
  IFS= read -r secret <"$password_file$pin_file" || [[ -n "$secret" ]] || fail 2 "$password_file$pin_file is empty"
  secret="${secret%$'\r'}"
elif [[ -n "$pkcs12" ]]; then
  secret="$env_password"
elif [[ -n "$module" ]]; then
  secret="$env_pin"
fi
env_password="" env_pin=""
[[ -z "$signing" || -n "$secret" ]] || fail 2 "no ${pkcs12:+password}${module:+PIN} given (${pkcs12:+--password-file or UNINSTALLER_SIGN_PASSWORD}${module:+--pin-file or UNINSTALLER_SIGN_PIN}); the ${pkcs12:+file}${module:+token} was not tried"
# The secret as a /dev/fd path of a pipe that printf, a shell builtin, writes: never a file, never an argument.
secret_pipe() { printf '%s\n' "$secret"; }

# The tools for what was asked, each with its Debian package; nothing is installed here.
missing=()
need() { command -v "$1" >/dev/null 2>&1 || missing+=("$1 ($2)"); }
if [[ -z "$to_sign" ]]; then
  command -v i686-w64-mingw32-g++-win32 >/dev/null 2>&1 || need i686-w64-mingw32-g++ g++-mingw-w64-i686
  need i686-w64-mingw32-windres binutils-mingw-w64-i686
  need cmake cmake
  need make make
fi
need git git
if [[ -n "$signing" ]]; then
  need osslsigncode osslsigncode
  need openssl openssl
  [[ -n "$to_sign" || -z "$dry_run" ]] || command -v i686-w64-mingw32-gcc-win32 >/dev/null 2>&1 ||
    need i686-w64-mingw32-gcc gcc-mingw-w64-i686
fi
if [[ -n "$module" ]]; then
  engines=$(openssl version -e 2>/dev/null | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')
  [[ -f "$engines/pkcs11.so" ]] || missing+=("OpenSSL's PKCS#11 engine (libengine-pkcs11-openssl)")
fi
[[ ${#missing[@]} -eq 0 ]] ||
  fail 3 "missing: $(joined "${missing[@]}"); scripts/setup.sh release installs them"

# The checkout, dist/ and the version, before anything is built.
said=$(git rev-parse HEAD 2>&1) || fail 4 "git cannot read this checkout: $(head -n 1 <<<"$said")"
commit=$said
[[ -z "$(git status --porcelain -- . ':(exclude)dist')" ]] ||
  fail 4 "the tree has uncommitted changes; a release is made from a commit"
version=$(scripts/version.sh) || fail 4 "no VERSION in CMakeLists.txt"
if [[ -L dist ]]; then fail 4 "dist is a symbolic link; it must be a folder of this checkout"; fi
if [[ -e dist && ! -d dist ]]; then fail 4 "dist is not a folder"; fi
# lock_dist: holds dist/ for the rest of the run (fd 8), or refuses at once when another run holds it.
lock_dist() {
  exec 8<dist
  flock -n 8 || fail 4 "another release is running on dist/; nothing was changed"
}
if [[ -d dist ]]; then
  [[ -w dist && -x dist ]] || fail 4 "dist/ cannot be written"
  lock_dist
elif [[ ! -w . ]]; then
  fail 4 "dist/ cannot be made here"
fi
name="Uninstaller-$version.exe"
[[ -n "$signing" ]] || name="Uninstaller-$version-unsigned.exe"
for made in "dist/$name" "dist/${name%.exe}.buildinfo"; do
  [[ ! -e "$made" ]] || fail 4 "$made exists already: raise the version in CMakeLists.txt, or move the old file away"
done
if [[ -n "$to_sign" ]]; then
  from_info="${to_sign%.exe}.buildinfo"
  [[ -r "$from_info" ]] || fail 4 "no $from_info beside the file to sign"
  info() { sed -n "s/^$1: //p" "$from_info"; }
  [[ "$(info commit)" == "$commit" ]] || fail 4 "$to_sign was built from $(info commit), but this checkout is at $commit"
  [[ "$(sha256sum <"$to_sign" | cut -d' ' -f1)" == "$(info unsigned-sha256)" ]] ||
    fail 4 "$to_sign is not the unsigned file its .buildinfo names (its SHA-256 differs)"
fi
for pem in "$chain" "$ca_file" "$tsa_ca_file"; do
  [[ -z "$pem" ]] || said=$(openssl x509 -in "$pem" -noout 2>&1) ||
    fail 6 "$pem holds no certificate OpenSSL can read: $( (grep -m 1 -E ':error:' <<<"$said" || tail -n 1 <<<"$said") | cut -d: -f6-)"
done

if [[ ! -d dist && -z "$dry_run" ]]; then
  mkdir dist || fail 4 "dist/ cannot be made here"
  lock_dist
fi

# What an earlier run that was killed left behind: its work folder, which its watcher could not remove.
for left in "${TMPDIR:-/tmp}"/uninstaller-release.*; do
  [[ -d "$left" && -O "$left" ]] || continue
  pid=${left#*/uninstaller-release.}
  pid=${pid%%.*}
  kill -0 "$pid" 2>/dev/null && continue
  rm -rf "$left" && echo "release.sh: removed $left, which an interrupted release left"
done

# Each step runs in a process group of its own (setsid), so that an interruption ends it and all it
# started; a watcher ends them, and removes the work folder, if this script is killed outright.
work=$(mktemp -d "${TMPDIR:-/tmp}/uninstaller-release.$$.XXXXXX")
(
  exec 8<&-
  trap '' INT TERM HUP
  while kill -0 $$ 2>/dev/null; do sleep 0.5; done
  [[ -f "$work/child" ]] && kill -KILL -- "-$(cat "$work/child")" 2>/dev/null
  rm -rf "$work"
) >/dev/null 2>&1 </dev/null &
watcher=$!
disown "$watcher"
cleanup() {
  [[ -z "$child" ]] || kill -KILL -- "-$child" 2>/dev/null
  kill -KILL "$watcher" 2>/dev/null
  rm -rf "$work"
}
interrupted() {
  if [[ -n "$child" ]]; then
    kill -TERM -- "-$child" 2>/dev/null
    sleep 0.5
  fi
  echo "release.sh: interrupted while $phase; dist/ is as it was" >&2
  exit "$1"
}
trap cleanup EXIT
trap 'interrupted 129' HUP
trap 'interrupted 130' INT
trap 'interrupted 143' TERM

# step LOG COMMAND...: runs COMMAND as its own job, its output in LOG, and returns its status; a signal
# to this script ends it at once.
step() {
  local log="$1" status
  shift
  setsid "$@" >"$log" 2>&1 </dev/null &
  child=$!
  echo "$child" >"$work/child"
  wait "$child"
  status=$?
  child=""
  return "$status"
}

# cause LOG: the tool's own reason, in one line: its "Error:" line, else OpenSSL's reason field, else its
# last line.
cause() {
  local said
  said=$(sed -n 's/^[[:space:]]*Error: //p' "$1" | head -n 1)
  grep -q "^Unsupported Signer's certificate purpose" "$1" &&
    said="the certificate is not for code signing (its extended key usage lacks Code Signing)"
  [[ -n "$said" ]] || said=$(grep -a -m 1 -E '^[0-9A-F]+:error:' "$1" | cut -d: -f6)
  [[ -n "$said" ]] || said=$(grep -v '^[[:space:]]*$' "$1" | tail -n 1)
  echo "${said:-no reason given}"
}

# Built from the commit alone, in a folder of its own, with the windows-x86 preset's settings. A dry run
# builds only a one-line program to sign.
unsigned="$work/unsigned.exe"
if [[ -n "$to_sign" ]]; then
  cp "$to_sign" "$unsigned"
elif [[ -n "$dry_run" ]]; then
  if [[ -n "$signing" ]]; then
    phase="making a program to sign"
    printf 'int main(void) { return 0; }\n' >"$work/probe.c"
    compiler=$(command -v i686-w64-mingw32-gcc-win32 || command -v i686-w64-mingw32-gcc)
    step "$work/probe.log" "$compiler" -o "$unsigned" "$work/probe.c" || fail 5 "could not build the program to sign: $(cause "$work/probe.log")"
  fi
else
  phase="building"
  mkdir "$work/src"
  git archive --format=tar HEAD | tar -x -C "$work/src"
  # shellcheck disable=SC2016 # the folder is the inner shell's $1
  if ! step "$work/build.log" bash -c 'cd "$1" && cmake --preset windows-x86 -DBUILD_TESTING=OFF &&
      cmake --build --preset windows-x86 --target Uninstaller' _ "$work/src"; then
    kept="${TMPDIR:-/tmp}/uninstaller-release-$version-build.log"
    cp "$work/build.log" "$kept"
    grep -E 'error|Error' "$work/build.log" | grep -v '^gmake' | head -n 20 >&2
    fail 5 "the build failed; its whole log is $kept"
  fi
  cp "$work/src/build/windows-x86/Uninstaller.exe" "$unsigned"
fi

buildinfo="$work/buildinfo"
if [[ -n "$to_sign" ]]; then
  grep -v -E '^(signer-|signed-sha256|timestamp-|osslsigncode:|openssl:)' "$from_info" >"$buildinfo"
elif [[ -z "$dry_run" ]]; then
  {
    echo "version: $version"
    echo "commit: $commit"
    for package in g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev mingw-w64-common cmake; do
      echo "$package: $(dpkg-query -W -f='${Version}' "$package" 2>/dev/null || echo none)"
    done
    echo "unsigned-sha256: $(sha256sum "$unsigned" | cut -d' ' -f1)"
  } >"$buildinfo"
fi

# verifies FILE LOG: osslsigncode's verification of FILE against the trusted certificates, in LOG;
# true when the signature verifies, and with STAMP, its time stamp too.
verifies() {
  step "$2" osslsigncode verify -CAfile "${ca_file:-$system_bundle}" -TSA-CAfile "${tsa_ca_file:-$system_bundle}" \
    -in "$1"
  grep -q '^Signature verification: ok' "$2" && grep -q '^Succeeded' "$2" &&
    { [[ -z "${3:-}" ]] || grep -q '^Timestamp Server Signature verification: ok' "$2"; }
}
# timestamp_reason URL STATUS: why the server gave no time stamp, in words.
timestamp_reason() {
  local log="$work/stamp.log"
  if [[ $2 -eq 124 ]]; then echo "$1: silent, no answer within 30 seconds"
  elif grep -q -i 'refused' "$log"; then echo "$1: refused the connection"
  elif grep -q -E 'code=[0-9]+' "$log"; then
    echo "$1: answered HTTP $(grep -o -m 1 -E 'code=[0-9]+, reason=[^:]*' "$log" | sed 's/code=//; s/, reason=/ (/; s/$/)/')"
  else echo "$1: answered with no time stamp ($(cause "$log"))"
  fi
}

if [[ -n "$signing" ]]; then
  # Signed exactly once: one login on a token, one signature. Time stamps are added to that signature.
  phase="signing"
  signer=(-pkcs12 "$pkcs12")
  [[ -n "$pkcs12" ]] || signer=(-pkcs11module "$module" -key "$key" -certs "$cert")
  extra=()
  [[ -z "$chain" ]] || extra+=(-ac "$chain")
  step "$work/sign.log" osslsigncode sign "${signer[@]}" "${extra[@]}" -readpass <(secret_pipe) -h sha256 \
    -n "$description" -in "$unsigned" -out "$work/signed.exe" ||
    fail 6 "signing failed: $(cause "$work/sign.log")"
  secret=""
  phase="verifying the signature"
  verifies "$work/signed.exe" "$work/verify.log" || fail 6 "the signature does not verify: $(cause "$work/verify.log")"

  # Each server in turn adds its stamp to the one signature; a dry run asks every one.
  stamped_by="" reasons=()
  for url in "${timestamps[@]}"; do
    phase="time-stamping at $url"
    status=0
    rm -f "$work/stamped.exe"
    step "$work/stamp.log" timeout 30 osslsigncode add -ts "$url" -h sha256 -in "$work/signed.exe" \
      -out "$work/stamped.exe" || status=$?
    if [[ $status -ne 0 ]]; then
      reasons+=("$(timestamp_reason "$url" "$status")")
    elif ! verifies "$work/stamped.exe" "$work/stamp-verify.log" stamp; then
      reasons+=("$url: its time stamp does not verify ($(cause "$work/stamp-verify.log"))")
    else
      [[ -n "$dry_run" ]] || { stamped_by="$url" && break; }
      echo "release.sh: dry run: $url answers with a time stamp that verifies"
      continue
    fi
  done
  if [[ ${#reasons[@]} -gt 0 && ( -n "$dry_run" || -z "$stamped_by" ) ]]; then
    fail 7 "no time stamp: $(joined "${reasons[@]}")"
  fi

  if [[ -z "$dry_run" ]]; then
    [[ -z "$stamped_by" ]] || { mv "$work/stamped.exe" "$work/signed.exe" && mv "$work/stamp-verify.log" "$work/verify.log"; }
    step "$work/strip.log" osslsigncode remove-signature -in "$work/signed.exe" -out "$work/stripped.exe" ||
      fail 6 "the signature could not be removed again"
    cmp -s "$work/stripped.exe" "$unsigned" || fail 6 "the signed file, less its signature, is not the unsigned build"
    # The signer as the signature names it: the first certificate verify reports, whose fields it prints
    # as "Subject:", "Issuer :" and "Serial :", with bytes beyond ASCII as \xHH.
    signer_field() {
      printf '%b' "$(awk -v f="$1" '/^Signer.s certificate:/ { on = 1 } on && $1 == f { sub(/^[^:]*: */, ""); print; exit }' \
        "$work/verify.log" | sed 's/\\/\\\\/g; s/\\\\x\([0-9A-Fa-f][0-9A-Fa-f]\)/\\x\1/g')"
    }
    signed_by=$(signer_field Subject:)
    {
      echo "signer-subject: $signed_by"
      echo "signer-issuer: $(signer_field Issuer)"
      echo "signer-serial: $(signer_field Serial)"
      echo "signed-sha256: $(sha256sum "$work/signed.exe" | cut -d' ' -f1)"
      if [[ -n "$stamped_by" ]]; then
        echo "timestamp-server: $stamped_by"
        echo "timestamp-time: $(sed -n 's/^[[:space:]]*Timestamp time: //p' "$work/verify.log" | head -n 1)"
      fi
      echo "osslsigncode: $(osslsigncode --version 2>&1 | head -n 1 | cut -d, -f1)"
      echo "openssl: $(openssl version)"
    } >>"$buildinfo"
  fi
fi

if [[ -n "$dry_run" ]]; then
  echo "release.sh: dry run of commit ${commit:0:7}: the options, the tools, the tree and dist/${signing:+, the signer, its chain and its password or PIN (one login)} check out; nothing was changed"
  exit 0
fi

# dist/ gains the file and its .buildinfo, and SHA256SUMS the file's line, keeping every other; each is
# copied in beside its place, then renamed, so that dist/ never holds half a file.
phase="writing dist/"
final="$unsigned"
[[ -z "$signing" ]] || final="$work/signed.exe"
cp "$final" "$work/$name"
cp "$buildinfo" "$work/${name%.exe}.buildinfo"
{
  [[ ! -f dist/SHA256SUMS ]] || grep -v "  $name\$" dist/SHA256SUMS
  (cd "$work" && sha256sum "$name")
} >"$work/SHA256SUMS"
trap '' INT TERM HUP
for file in "$name" "${name%.exe}.buildinfo" SHA256SUMS; do cp "$work/$file" "dist/.$file.part" || fail 4 "could not write dist/"; done
for file in "$name" "${name%.exe}.buildinfo" SHA256SUMS; do mv "dist/.$file.part" "dist/$file"; done
if [[ -n "$signing" ]]; then
  echo "release.sh: signed release dist/$name, its .buildinfo and dist/SHA256SUMS (commit ${commit:0:7}, signed by $signed_by${stamped_by:+, time-stamped by $stamped_by})"
else
  echo "release.sh: unsigned release dist/$name, its .buildinfo and dist/SHA256SUMS (commit ${commit:0:7}; no certificate given)"
fi
