#!/usr/bin/env bash
# Checks scripts/release.sh on a clone of this commit, with a throwaway CA, a SoftHSM2 token and local
# RFC 3161 servers: releases that must verify and match their .buildinfo, and refusals that must leave
# dist/ as it was.
# Usage: check.sh SOURCE_DIR
set -uo pipefail
source_dir=$(readlink -f "$1")
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
passed=0 failed=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok   $1"; passed=$((passed + 1)); else echo "FAIL $1"; failed=$((failed + 1)); fi
}

git clone -q "$source_dir" "$work/clone"
cd "$work/clone" || exit 1
version=$(scripts/version.sh)
(cmake --preset windows-x86 && cmake --build --preset windows-x86 --target Uninstaller) >/dev/null 2>&1
unsigned=build/windows-x86/Uninstaller.exe

# certificate NAME ISSUER EXTENSIONS: NAME.key and NAME.pem, signed by ISSUER's key (its own for NAME).
certificate() {
  local by=(-CA "$work/$2.pem" -CAkey "$work/$2.key")
  [[ "$1" != "$2" ]] || by=(-key "$work/$1.key")
  openssl req -newkey rsa:2048 -nodes -keyout "$work/$1.key" -subj "/CN=Throwaway $1" -out "$work/$1.csr" 2>/dev/null
  openssl x509 -req -in "$work/$1.csr" "${by[@]}" -days 2 -set_serial "0x$RANDOM" -out "$work/$1.pem" \
    -extfile <(printf '%s\n' "$3") 2>/dev/null
}
certificate root root $'basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign'
certificate intermediate root $'basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign'
certificate signer intermediate $'keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning'
certificate tsa root $'keyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping'
certificate rogue-tsa rogue-tsa $'keyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping'
openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" -certfile "$work/intermediate.pem" \
  -out "$work/signer.p12" -passout pass:secret
openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" -out "$work/leaf.p12" -passout pass:secret
export SOFTHSM2_CONF="$work/softhsm2.conf"
mkdir "$work/tokens" && echo "directories.tokendir = $work/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label throwaway --pin 1234 --so-pin 5678 >/dev/null
softhsm2-util --import "$work/signer.key" --token throwaway --label signer --id 01 --pin 1234 >/dev/null
token=(--pkcs11-module /usr/lib/softhsm/libsofthsm2.so --key "pkcs11:token=throwaway;object=signer;type=private" --cert "$work/signer.pem")

# time_stamp_server PORT KEY: an RFC 3161 server on localhost that answers with openssl ts -reply.
time_stamp_server() {
  printf '[tsa]\ndefault_tsa=t\n[t]\nserial=%s\nsigner_digest=sha256\ndefault_policy=1.2.3.4\ndigests=sha256\n' \
    "$work/$2.serial" >"$work/$2.cnf" && echo 01 >"$work/$2.serial"
  /usr/bin/python3 -c 'import http.server, subprocess, sys
class Stamp(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[2] + ".cnf", "-queryfile", "/dev/stdin",
            "-inkey", sys.argv[2] + ".key", "-signer", sys.argv[2] + ".pem", "-out", "/dev/stdout"], capture_output=True,
            input=self.rfile.read(int(self.headers["Content-Length"]))).stdout
        self.send_response(200); self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers(); self.wfile.write(reply)
http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Stamp).serve_forever()' "$1" "$work/$2" 2>/dev/null &
}
time_stamp_server 38111 tsa
time_stamp_server 38112 rogue-tsa
trust=(--ca-file "$work/root.pem")

field() { sed -n "s/^$1: //p" "dist/${name%.exe}.buildinfo"; }
# released DESCRIPTION ARGS...: a release that must succeed, and what it wrote, checked.
released() {
  local what="$1" out
  name="Uninstaller-$version.exe"
  [[ "$*" == *--pkcs* ]] || name="Uninstaller-$version-unsigned.exe"
  out=$(scripts/release.sh "${@:2}" 2>&1 | tail -n 1)
  check "$what: said so" grep -q "release dist/$name" <<<"$out"
  rm -f "$work/stripped.exe"
  check "$what: the .buildinfo names the commit and the unsigned build" test \
    "$(field commit) $(field unsigned-sha256)" = "$(git rev-parse HEAD) $(sha256sum <"$unsigned" | cut -d' ' -f1)"
  check "$what: SHA256SUMS holds the file and every older line" \
    bash -c "cd dist && sha256sum --quiet --ignore-missing -c SHA256SUMS && grep -q old.exe SHA256SUMS && grep -q ' $name\$' SHA256SUMS"
  if [[ "$out" == *"signed release"* && "$out" != *unsigned* ]]; then
    check "$what: verifies, time stamp too, and strips back to the unsigned bytes" bash -c "
      osslsigncode verify -CAfile '$work/root.pem' -TSA-CAfile '$work/root.pem' -in 'dist/$name' | grep -q '^Succeeded' &&
      osslsigncode remove-signature -in 'dist/$name' -out '$work/stripped.exe' >/dev/null && cmp -s '$work/stripped.exe' '$unsigned'"
    check "$what: the .buildinfo names the signed file, its signer and the signing tools" test \
      "$(field signed-sha256) $(field signer-subject) $(field openssl | cut -c1-7)" = \
      "$(sha256sum <"dist/$name" | cut -d' ' -f1) /CN=Throwaway signer OpenSSL"
    [[ "${*:2}" != *--timestamp* ]] || check "$what: the .buildinfo names the time stamp" test -n "$(field timestamp-time)"
  else
    check "$what: is the build of a fresh clone" cmp -s "dist/$name" "$unsigned"
  fi
}
# refused CODE DESCRIPTION ARGS...: a run that must stop with exit CODE in one line, leaving dist/ as it was.
refused() {
  local before out status
  before=$(ls -la dist; sha256sum dist/*)
  out=$(scripts/release.sh "${@:3}" 2>&1)
  status=$?
  check "$2: refused in one line, exit $1 ($out)" test "$(grep -c . <<<"$out") $status" = "1 $1" -a "${out#release.sh: }" != "$out"
  check "$2: leaves dist/ as it was" test "$before" = "$(ls -la dist; sha256sum dist/*)"
}

mkdir dist && echo "0000000000000000000000000000000000000000000000000000000000000000  old.exe" >dist/SHA256SUMS
moved_away() { mv "dist/$name" "$work/" && rm "dist/${name%.exe}.buildinfo"; }
released "unsigned"; moved_away
released "PKCS#12 file with its intermediate, time-stamped" --pkcs12 "$work/signer.p12" --password-file <(echo secret) \
  "${trust[@]}" --timestamp http://127.0.0.1:38111 --tsa-ca-file "$work/root.pem"; moved_away
UNINSTALLER_SIGN_PASSWORD=secret released "PKCS#12 file with the leaf only, and --chain" --pkcs12 "$work/leaf.p12" \
  --chain "$work/intermediate.pem" "${trust[@]}"; moved_away
UNINSTALLER_SIGN_PIN=1234 released "SoftHSM2 token, and --chain" "${token[@]}" --chain "$work/intermediate.pem" "${trust[@]}"
UNINSTALLER_SIGN_PIN=1234 refused 4 "a dist/ that holds the version" "${token[@]}" "${trust[@]}"; moved_away
UNINSTALLER_SIGN_PIN=0000 refused 6 "a wrong PIN" "${token[@]}" "${trust[@]}"
refused 2 "a token with no PIN, which is never tried" "${token[@]}" "${trust[@]}"
UNINSTALLER_SIGN_PIN=1234 refused 2 "a PIN in the environment and no signer"
refused 2 "an empty --pkcs12" --pkcs12 ''
echo garbage >"$work/garbage.pem"
refused 6 "a --chain that holds no certificate" --pkcs12 "$work/signer.p12" --password-file <(echo secret) --chain "$work/garbage.pem"
refused 7 "a time stamp that does not verify" --pkcs12 "$work/signer.p12" --password-file <(echo secret) "${trust[@]}" \
  --timestamp http://127.0.0.1:38112 --tsa-ca-file "$work/root.pem"
refused 6 "a leaf whose CA is not trusted" --pkcs12 "$work/signer.p12" --password-file <(echo secret)
exec 9<dist && flock 9
refused 4 "a second release while one holds dist/"
exec 9<&-
before=$(ls -la dist; sha256sum dist/*)
out=$(scripts/release.sh --dry-run --pkcs12 "$work/signer.p12" --password-file <(printf 'secret\r\n') "${trust[@]}" \
  --timestamp http://127.0.0.1:38111 --tsa-ca-file "$work/root.pem" 2>&1)
check "a dry run, its password file ending in CR LF, checks out ($out)" grep -q "dry run of commit .* nothing was changed" <<<"$out"
check "a dry run changes nothing" test "$before" = "$(ls -la dist; sha256sum dist/*)"
echo "# a change" >>README.md
refused 4 "a tree with changes"
git checkout -q README.md

echo
echo "release: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
