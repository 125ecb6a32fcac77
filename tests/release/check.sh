#!/usr/bin/env bash
# Checks scripts/release.py on a clone of this commit, with a throwaway CA, a SoftHSM2 token and local
# RFC 3161 servers: releases that must verify and match their .buildinfo, and refusals that must leave
# dist/ as it was.
# Usage: check.sh SOURCE_DIR
set -uo pipefail
source_dir=$(readlink -f "$1")
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
passed=0 failed=0 skipped=0
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

# time_stamp_server KEY: an RFC 3161 server on a free port of localhost that answers with openssl ts
# -reply; sets url to its URL once it answers.
time_stamp_server() {
  printf '[tsa]\ndefault_tsa=t\n[t]\nserial=%s\nsigner_digest=sha256\ndefault_policy=1.2.3.4\ndigests=sha256\n' \
    "$work/$1.serial" >"$work/$1.cnf" && echo 01 >"$work/$1.serial"
  /usr/bin/python3 -c 'import http.server, subprocess, sys
class Stamp(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1] + ".cnf", "-queryfile", "/dev/stdin",
            "-inkey", sys.argv[1] + ".key", "-signer", sys.argv[1] + ".pem", "-out", "/dev/stdout"], capture_output=True,
            input=self.rfile.read(int(self.headers["Content-Length"]))).stdout
        self.send_response(200); self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers(); self.wfile.write(reply)
server = http.server.HTTPServer(("127.0.0.1", 0), Stamp)
open(sys.argv[1] + ".port", "w").write(str(server.server_port))
server.serve_forever()' "$work/$1" >/dev/null 2>&1 &
  local port
  for _ in $(seq 100); do
    port=$(cat "$work/$1.port" 2>/dev/null) && [[ -n "$port" ]] && (: </dev/tcp/127.0.0.1/"$port") 2>/dev/null && break
    sleep 0.1
  done
  url="http://127.0.0.1:$port"
}
time_stamp_server tsa && tsa=$url
time_stamp_server rogue-tsa && rogue_tsa=$url
trust=(--ca-file "$work/root.pem")

field() { sed -n "s/^$1: //p" "dist/${name%.exe}.buildinfo"; }
# released DESCRIPTION ARGS...: a release that must succeed, and what it wrote, checked.
released() {
  local what="$1" out
  name="Uninstaller-$version.exe"
  [[ "$*" == *--pkcs* ]] || name="Uninstaller-$version-unsigned.exe"
  out=$(scripts/release.py "${@:2}" 2>&1 | tail -n 1)
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
    [[ "${*:2}" != *--timestamp* ]] || check "$what: the .buildinfo names the server that stamped it, and when" \
      test "$(field timestamp-server)" = "$tsa" -a -n "$(field timestamp-time)"
  else
    check "$what: is the build of a fresh clone" cmp -s "dist/$name" "$unsigned"
  fi
}
listing() { ls -lA --time-style=full-iso dist; sha256sum dist/*; }
# refused CODE DESCRIPTION ARGS...: a run that must stop with exit CODE in one line (and the tool's lines it
# quotes), leaving dist/ as it was; $through, when set, is the command that runs it.
refused() {
  local before status
  before=$(listing)
  out=$(${through:-} scripts/release.py "${@:3}" 2>&1)
  status=$?
  check "$2: refused in one line, exit $1 ($out)" \
    test "$(grep -vc '^release.py: | ' <<<"$out") $(grep -vc '^release.py: ' <<<"$out") $status" = "1 0 $1"
  check "$2: leaves dist/ as it was" test "$before" = "$(listing)"
}

mkdir dist && echo "0000000000000000000000000000000000000000000000000000000000000000  old.exe" >dist/SHA256SUMS
moved_away() { mv "dist/$name" "$work/" && rm "dist/${name%.exe}.buildinfo"; }
released "unsigned"
mkdir "$work/handed" && mv "dist/$name" "dist/${name%.exe}.buildinfo" "$work/handed/"
handed="$work/handed/$name"
released "PKCS#12 file with its intermediate, time-stamped by the second server when the first refuses" \
  --pkcs12 "$work/signer.p12" --password-file <(echo secret) "${trust[@]}" --timestamp http://127.0.0.1:1 \
  --timestamp "$tsa" --tsa-ca-file "$work/root.pem"; moved_away
UNINSTALLER_SIGN_PASSWORD=secret released "PKCS#12 file with the leaf only, and --chain" --pkcs12 "$work/leaf.p12" \
  --chain "$work/intermediate.pem" "${trust[@]}"; moved_away
UNINSTALLER_SIGN_PIN=1234 released "SoftHSM2 token, and --chain" "${token[@]}" --chain "$work/intermediate.pem" "${trust[@]}"
UNINSTALLER_SIGN_PIN=1234 refused 4 "a dist/ that holds the version" "${token[@]}" "${trust[@]}"; moved_away
UNINSTALLER_SIGN_PIN=0000 refused 6 "a wrong PIN" "${token[@]}" "${trust[@]}"
check "a wrong PIN is named" grep -q "PIN incorrect" <<<"$out"
refused 2 "a token with no PIN, which is never tried" "${token[@]}" "${trust[@]}"
UNINSTALLER_SIGN_PIN=1234 refused 2 "a PIN in the environment and no signer"
refused 2 "an empty --pkcs12" --pkcs12 ''
refused 2 "a PKCS#12 file and a token's module and PIN file" --pkcs12 "$work/signer.p12" \
  --pkcs11-module /usr/lib/softhsm/libsofthsm2.so --pin-file <(echo 1234)
check "... named as two signers" grep -q "not both" <<<"$out"
# A machine that lacks a tool (only git on the PATH), and a build that fails (a cmake that does).
mkdir "$work/git-only" "$work/failing" && ln -s "$(command -v git)" "$work/git-only/git"
printf '#!/bin/sh\necho "CMake Error: made to fail" >&2\nexit 1\n' >"$work/failing/cmake" && chmod +x "$work/failing/cmake"
through="env PATH=$work/git-only" refused 3 "a missing tool" --pkcs12 "$work/signer.p12" --password-file <(echo secret)
check "... named with its package" grep -q "osslsigncode (osslsigncode)" <<<"$out"
through="env PATH=$work/failing:$PATH" refused 5 "a build that fails"
check "... quotes its error" grep -q "made to fail" <<<"$out"
echo garbage >"$work/garbage.pem"
refused 6 "a --chain that holds no certificate" --pkcs12 "$work/signer.p12" --password-file <(echo secret) --chain "$work/garbage.pem"
refused 7 "a time stamp that does not verify" --pkcs12 "$work/signer.p12" --password-file <(echo secret) "${trust[@]}" \
  --timestamp "$rogue_tsa" --tsa-ca-file "$work/root.pem"
refused 6 "a leaf whose CA is not trusted" --pkcs12 "$work/signer.p12" --password-file <(echo secret)
exec 9<dist && flock 9
refused 4 "a second release while one holds dist/"
exec 9<&-
before=$(listing)
out=$(scripts/release.py --dry-run --pkcs12 "$work/signer.p12" --password-file <(printf 'secret\r\n') "${trust[@]}" \
  --timestamp "$tsa" --tsa-ca-file "$work/root.pem" 2>&1)
check "a dry run, its password file ending in CR LF, checks out ($out)" grep -q "dry run of commit .* nothing was changed" <<<"$out"
check "a dry run changes nothing" test "$before" = "$(listing)"
refused 6 "a wrong PKCS#12 password" --pkcs12 "$work/signer.p12" --password-file <(echo wrong) "${trust[@]}"
check "a wrong PKCS#12 password is named as the likely cause" grep -q "wrong password" <<<"$out"

# A file handed in from outside the checkout is signed only when a rebuild of the commit gives its bytes.
cp "$handed" "$work/changed.exe" && printf 'X' | dd of="$work/changed.exe" bs=1 seek=1000 conv=notrunc 2>/dev/null
sed "s/^unsigned-sha256: .*/unsigned-sha256: $(sha256sum <"$work/changed.exe" | cut -d' ' -f1)/" \
  "${handed%.exe}.buildinfo" >"$work/changed.buildinfo"
refused 4 "a changed file whose .buildinfo was rewritten to match" --sign "$work/changed.exe" \
  --pkcs12 "$work/signer.p12" --password-file <(echo secret) "${trust[@]}"

# A kill of the release's whole process group while it builds, as CI cancels a job: within 5 s no step
# runs on, dist/ is free and the work folder is gone; a dry run then names a leftover it leaves alone,
# and the next real run removes it.
export TMPDIR="$work/tmp"
mkdir "$TMPDIR"
setsid scripts/release.py >/dev/null 2>&1 &
group=$!
for _ in $(seq 600); do compgen -G "$TMPDIR/uninstaller-release.$group.*/src/build" >/dev/null && break; sleep 0.1; done
sleep 2
kill -KILL -- "-$group"
sleep 5
in_work() { for process in /proc/[0-9]*; do readlink "$process/cwd"; tr '\0' ' ' <"$process/cmdline"; echo; done 2>/dev/null |
  grep -c "uninstaller-release\.$group\."; }
check "a group kill while building: no step runs on after 5 s" test "$(in_work)" = 0
check "... dist/ is free" flock -n dist true
check "... and the work folder is gone" test -z "$(compgen -G "$TMPDIR/uninstaller-release.$group.*")"
mkdir "$TMPDIR/uninstaller-release.999999999.left"
out=$(scripts/release.py --dry-run 2>&1)
check "a dry run names the leftover of a killed release, and leaves it ($out)" \
  test "$(grep -c "would remove $TMPDIR/uninstaller-release.999999999.left" <<<"$out")" = 1 -a -d "$TMPDIR/uninstaller-release.999999999.left"
released "--sign on a file handed in from outside the checkout, rebuilt to the same bytes" --sign "$handed" \
  --pkcs12 "$work/signer.p12" --password-file <(echo secret) "${trust[@]}"
check "... and the real run removed the leftover" test ! -e "$TMPDIR/uninstaller-release.999999999.left"
moved_away

# A full $TMPDIR and a full dist/, each a small tmpfs: refused, dist/ byte for byte as it was, no
# temporary file left.
if [[ $(id -u) -eq 0 ]] && mkdir "$work/small" && mount -t tmpfs -o size=200k tmpfs "$work/small"; then
  TMPDIR="$work/small" refused 4 "a full \$TMPDIR while signing a handed file" --sign "$handed" \
    --pkcs12 "$work/signer.p12" --password-file <(echo secret) "${trust[@]}"
  check "... leaves nothing in it" test -z "$(ls -A "$work/small")"
  umount "$work/small"
  cp -a dist "$work/dist-was" && mount -t tmpfs -o size=400k tmpfs dist && cp -a "$work/dist-was/." dist/ &&
    head -c 300000 /dev/zero >dist/filler
  refused 4 "a full dist/" --pkcs12 "$work/signer.p12" --password-file <(echo secret) "${trust[@]}"
  check "... keeps no temporary file" test -z "$(find dist -mindepth 1 ! -name SHA256SUMS ! -name filler)"
  umount dist
else
  echo "skipped: a full \$TMPDIR and a full dist/: mounting a small tmpfs needs root and CAP_SYS_ADMIN"
  skipped=$((skipped + 1))
fi
unset TMPDIR

echo "# a change" >>README.md
refused 4 "a tree with changes"
git checkout -q README.md

echo
echo "release: $passed passed, $failed failed, $skipped skipped"
[[ $failed -eq 0 ]] || exit 1
[[ $skipped -eq 0 ]] || exit 77
