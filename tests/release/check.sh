#!/usr/bin/env bash
# Checks scripts/release.sh on a clone of this commit: an unsigned release, one signed from a PKCS#12
# file and one from a SoftHSM2 token, each verified and stripped back to the unsigned bytes, and the
# refusals of a wrong PIN and of a tree with changes, which must leave dist/ as it was.
# Usage: check.sh SOURCE_DIR
set -uo pipefail
source_dir=$(readlink -f "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() {  # check DESCRIPTION COMMAND...
  local what="$1"
  shift
  if "$@"; then echo "ok   $what"; passed=$((passed + 1)); else echo "FAIL $what"; failed=$((failed + 1)); fi
}

git clone -q "$source_dir" "$work/clone"
cd "$work/clone" || exit 1
version=$(scripts/version.sh)
release="dist/Uninstaller-$version.exe"

# A throwaway signer: a key and a self-signed certificate for code signing, as a PKCS#12 file, and the
# same key on a SoftHSM2 token of this run's own.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Throwaway code signer" -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/signer.p12" -passout pass:secret
echo secret >"$work/password"
export SOFTHSM2_CONF="$work/softhsm2.conf"
mkdir "$work/tokens" && echo "directories.tokendir = $work/tokens" >"$SOFTHSM2_CONF"
module=/usr/lib/softhsm/libsofthsm2.so
softhsm2-util --init-token --free --label throwaway --pin 1234 --so-pin 5678 >/dev/null
softhsm2-util --import "$work/key.pem" --token throwaway --label signer --id 01 --pin 1234 >/dev/null
token_key="pkcs11:token=throwaway;object=signer;type=private"

signed_right() {  # the release verifies, and less its signature is the unsigned release
  rm -f "$work/stripped.exe"
  osslsigncode verify -CAfile "$work/cert.pem" -in "$release" >/dev/null 2>&1 &&
    osslsigncode remove-signature -in "$release" -out "$work/stripped.exe" >/dev/null 2>&1 &&
    cmp -s "$work/stripped.exe" "$work/unsigned.exe" &&
    (cd dist && sha256sum --quiet -c SHA256SUMS)
}

last=$(scripts/release.sh 2>&1 | tail -n 1)
check "unsigned release, said so" grep -q '^Unsigned release: ' <<<"$last"
check "unsigned release is the build, with its checksum" \
  bash -c "cmp -s '$release' build/windows-x86/Uninstaller.exe && cd dist && sha256sum --quiet -c SHA256SUMS"
cp "$release" "$work/unsigned.exe"

last=$(scripts/release.sh --pkcs12 "$work/signer.p12" --password-file "$work/password" 2>&1 | tail -n 1)
check "signed from a PKCS#12 file" grep -q '^Signed release: .*Throwaway code signer' <<<"$last"
check "PKCS#12 signature verifies and strips back to the unsigned bytes" signed_right

last=$(UNINSTALLER_SIGN_PIN=1234 scripts/release.sh --pkcs11-module "$module" --key "$token_key" --cert "$work/cert.pem" 2>&1 | tail -n 1)
check "signed from a SoftHSM2 token" grep -q '^Signed release: ' <<<"$last"
check "token signature verifies and strips back to the unsigned bytes" signed_right

before=$(ls -la dist; sha256sum dist/*)
out=$(UNINSTALLER_SIGN_PIN=0000 scripts/release.sh --pkcs11-module "$module" --key "$token_key" --cert "$work/cert.pem" 2>&1)
status=$?
check "a wrong PIN is refused in one line" test "$status" -ne 0 -a "$(grep -c '^release.sh: ' <<<"$out")" = 1
check "a wrong PIN leaves dist/ as it was" test "$before" = "$(ls -la dist; sha256sum dist/*)"
echo "# a change" >>README.md
out=$(scripts/release.sh 2>&1)
check "a tree with changes is refused" grep -q '^release.sh: the tree has uncommitted changes' <<<"$out"
check "a tree with changes leaves dist/ as it was" test "$before" = "$(ls -la dist; sha256sum dist/*)"
git checkout -q README.md

echo
echo "release: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
