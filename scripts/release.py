#!/usr/bin/python3
"""Makes a release of the committed tree, or signs one built elsewhere; installs nothing, uses the
signing key once, says in one line what failed, and publishes nothing from a failed step.
docs/release.md says what is checked, the exit codes and the signing-machine flow.

Signer, one of:
  --pkcs12 FILE [--password-file FILE]      key and certificates in a PKCS#12 file
  --pkcs11-module SO --key URI --cert PEM [--pin-file FILE]
                                            key on a PKCS#11 token, certificate in PEM
  The password or PIN comes from the file named, or from UNINSTALLER_SIGN_PASSWORD or
  UNINSTALLER_SIGN_PIN; without one, nothing is tried.
Exit codes: 0 done; 2 usage; 3 tools missing; 4 tree, dist/, a file or a write refused; 5 build failed;
  6 signing or trust failed; 7 no time stamp; 129, 130 and 143 interrupted.
"""
import argparse
import fcntl
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

# The secret leaves the environment before anything else runs: no tool started below inherits it.
ENV_SECRETS = {name: os.environ.pop(name) for name in ("UNINSTALLER_SIGN_PASSWORD", "UNINSTALLER_SIGN_PIN")
               if name in os.environ}
NAME = "release.py"
ROOT = Path(__file__).resolve().parent.parent
SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
TMPDIR = Path(os.environ.get("TMPDIR") or "/tmp")
BUILD_PACKAGES = ["g++-mingw-w64-i686-win32", "binutils-mingw-w64-i686", "mingw-w64-i686-dev", "mingw-w64-common",
                  "cmake"]
# Run apart, in a session of its own, so that a kill of the release's whole process group spares it: once
# the release is gone, it kills the step still running and removes the work folder.
WATCHER = """import os, shutil, signal, sys, time
release, work = int(sys.argv[1]), sys.argv[2]
def running():
    try:
        return open(f"/proc/{release}/stat").read().rsplit(") ", 1)[1][0] != "Z"
    except OSError:
        return False
while running():
    time.sleep(0.2)
try:
    os.killpg(int(open(os.path.join(work, "child")).read()), signal.SIGKILL)
except (OSError, ValueError):
    pass
shutil.rmtree(work, ignore_errors=True)
"""
state = {"phase": "starting", "child": None, "work": None, "temporary": []}


def say(message, quoted=()):
    print(f"{NAME}: {message}", file=sys.stderr)
    for line in quoted:
        print(f"{NAME}: | {line}", file=sys.stderr)


def fail(code, message, quoted=()):
    say(message, quoted)
    sys.exit(code)


def end_child(gently=False):
    """Ends the running step and everything it started: its process group."""
    child = state["child"]
    if child is None:
        return
    for number in ([signal.SIGTERM] if gently else []) + [signal.SIGKILL]:
        try:
            os.killpg(child.pid, number)
        except ProcessLookupError:
            break
        try:
            child.wait(0.3)
        except subprocess.TimeoutExpired:
            pass
    child.wait()
    state["child"] = None
    (state["work"] / "child").write_text("")


def interrupted(number, _frame):
    end_child(gently=True)
    fail(128 + number, f"interrupted while {state['phase']}; dist/ is as it was")


def run(command, timeout=None, cwd=None, env=None, pass_fds=()):
    """Runs one step in a process group of the release's own; returns its exit status (124 when it ran out
    of time) and its output."""
    child = subprocess.Popen(command, cwd=cwd, env=env, pass_fds=pass_fds, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, process_group=0)
    state["child"] = child
    try:
        (state["work"] / "child").write_text(str(child.pid))
        output, _ = child.communicate(timeout=timeout)
        return child.returncode, output.decode(errors="replace")
    except subprocess.TimeoutExpired:
        return 124, ""
    finally:
        end_child()


def cause(output):
    """The tool's own reason, in one line."""
    if re.search(r"mac verify failure|PKCS12_parse", output):
        return "wrong password, or not a PKCS#12 file"
    if "Unsupported Signer's certificate purpose" in output:
        return "the certificate is not for code signing (its extended key usage lacks Code Signing)"
    found = (re.search(r"^\s*Error: (.*)$", output, re.M) or re.search(r"^[0-9A-F]+:error:(?:[^:]*:){3}([^:\n]*)", output, re.M))
    if found:
        return found.group(1).strip()
    lines = [line for line in output.splitlines() if line.strip()]
    return lines[-1].strip() if lines else "no reason given"


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def parse_options():
    parser = argparse.ArgumentParser(prog="scripts/release.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.error = lambda message: fail(2, f"{message} (see --help)")
    paths = {"--pkcs12": "key and certificates in a PKCS#12 file", "--password-file": "its password",
             "--pkcs11-module": "a PKCS#11 module", "--cert": "the token's certificate, PEM",
             "--pin-file": "the token's PIN", "--chain": "intermediate certificates to carry in the signature",
             "--ca-file": "certificates the signature is verified against (else the system's bundle)",
             "--tsa-ca-file": "certificates a time stamp is verified against (else the system's bundle)",
             "--sign": "sign FILE, built elsewhere from this commit, instead of building"}
    for option, text in paths.items():
        parser.add_argument(option, action="append", default=[], metavar="FILE", help=text)
    parser.add_argument("--key", action="append", default=[], metavar="URI", help="the key on the token")
    parser.add_argument("--timestamp", action="append", default=[], metavar="URL",
                        help="an RFC 3161 time-stamp server; give several to try them in turn, 30 s each")
    parser.add_argument("--dry-run", action="store_true", help="check everything that needs no build; change nothing")
    args = parser.parse_args()
    for option in list(paths) + ["--key", "--timestamp"]:
        values = getattr(args, option[2:].replace("-", "_"))
        if "" in values:
            fail(2, f"{option} was given an empty value")
        if len(values) > 1 and option != "--timestamp":
            fail(2, f"{option} was given twice")
        if option != "--timestamp":
            value = values[0] if values else None
            setattr(args, option[2:].replace("-", "_"), os.path.abspath(value) if value and option in paths else value)
    return args


def check_options(args):
    """The signer and the secret; an option without the partner it needs is a mistake, never a default."""
    token = args.pkcs11_module or args.key or args.cert
    args.signing = bool(args.pkcs12 or token)
    if args.password_file and not args.pkcs12:
        fail(2, "--password-file goes with --pkcs12")
    if args.pin_file and (not args.pkcs11_module or args.pkcs12):
        fail(2, "--pin-file goes with --pkcs11-module")
    if args.pkcs12 and token:
        fail(2, "give either --pkcs12 or a token (--pkcs11-module, --key, --cert), not both")
    if token and not (args.pkcs11_module and args.key and args.cert):
        fail(2, "a token needs --pkcs11-module, --key and --cert together")
    for option in ("chain", "ca_file", "tsa_ca_file", "timestamp", "sign"):
        if getattr(args, option) and not args.signing:
            fail(2, f"--{option.replace('_', '-')} needs a signer: --pkcs12 or --pkcs11-module")
    if args.tsa_ca_file and not args.timestamp:
        fail(2, "--tsa-ca-file goes with --timestamp")
    if args.key and "pin-value" in args.key:
        fail(2, "a PIN inside --key would show on the command line; use --pin-file or UNINSTALLER_SIGN_PIN")
    if ENV_SECRETS and not args.signing:
        fail(2, "a signing password or PIN is in the environment, but no signer was given; "
                "a release is never unsigned by mistake")
    for file in (args.pkcs12, args.password_file, args.pkcs11_module, args.cert, args.pin_file, args.chain,
                 args.ca_file, args.tsa_ca_file, args.sign):
        if file and not (os.access(file, os.R_OK) and not os.path.isdir(file)):
            fail(2, f"no file {file}")
    args.secret = ""
    if args.password_file or args.pin_file:
        lines = Path(args.password_file or args.pin_file).read_text(errors="replace").splitlines()
        args.secret = lines[0].rstrip("\r") if lines else ""
        if not args.secret:
            fail(2, f"{args.password_file or args.pin_file} is empty")
    elif args.signing:
        args.secret = ENV_SECRETS.get("UNINSTALLER_SIGN_PASSWORD" if args.pkcs12 else "UNINSTALLER_SIGN_PIN", "")
    if args.signing and not args.secret:
        what = ("password", "--password-file or UNINSTALLER_SIGN_PASSWORD", "file") if args.pkcs12 else \
               ("PIN", "--pin-file or UNINSTALLER_SIGN_PIN", "token")
        fail(2, f"no {what[0]} given ({what[1]}); the {what[2]} was not tried")


def build_tools_missing():
    """The tools a build needs that this machine lacks, each with its Debian package."""
    wanted = [(("i686-w64-mingw32-g++-win32", "i686-w64-mingw32-g++"), "g++-mingw-w64-i686"),
              (("i686-w64-mingw32-windres",), "binutils-mingw-w64-i686"), (("cmake",), "cmake"), (("make",), "make")]
    return [f"{names[-1]} ({package})" for names, package in wanted if not any(map(shutil.which, names))]


def check_tools(args):
    missing = [] if args.sign else build_tools_missing()
    tools = [("git", "git")] + ([("osslsigncode", "osslsigncode"), ("openssl", "openssl")] if args.signing else [])
    if args.signing and args.dry_run:
        tools.append(("i686-w64-mingw32-gcc", "gcc-mingw-w64-i686"))
    missing += [f"{tool} ({package})" for tool, package in tools if not shutil.which(tool)]
    if args.pkcs11_module and shutil.which("openssl"):
        engines = re.search(r'ENGINESDIR: "(.*)"', subprocess.run(["openssl", "version", "-e"], capture_output=True,
                                                                     text=True).stdout)
        if not engines or not Path(engines.group(1), "pkcs11.so").is_file():
            missing.append("OpenSSL's PKCS#11 engine (libengine-pkcs11-openssl)")
    if missing:
        fail(3, f"missing: {'; '.join(missing)}; scripts/setup.sh release installs them")


def check_checkout(args):
    """The commit, the version, the release's name, and dist/ locked for the rest of the run."""
    said = subprocess.run(["git", "rev-parse", "HEAD"], cwd=ROOT, capture_output=True, text=True)
    if said.returncode != 0:
        fail(4, f"git cannot read this checkout: {(said.stderr.splitlines() or ['no reason given'])[0]}")
    args.commit = said.stdout.strip()
    if subprocess.run(["git", "status", "--porcelain", "--", ".", ":(exclude)dist"], cwd=ROOT,
                      capture_output=True, text=True).stdout:
        fail(4, "the tree has uncommitted changes; a release is made from a commit")
    version = re.search(r"^project\(.* VERSION ([0-9.]+) ", (ROOT / "CMakeLists.txt").read_text(), re.M)
    if not version:
        fail(4, "no VERSION in CMakeLists.txt")
    args.version = version.group(1)
    dist = ROOT / "dist"
    if dist.is_symlink():
        fail(4, "dist is a symbolic link; it must be a folder of this checkout")
    if dist.exists() and not dist.is_dir():
        fail(4, "dist is not a folder")
    if dist.is_dir() and not os.access(dist, os.W_OK | os.X_OK):
        fail(4, "dist/ cannot be written")
    if not dist.exists() and not os.access(ROOT, os.W_OK):
        fail(4, "dist/ cannot be made here")
    args.name = f"Uninstaller-{args.version}.exe" if args.signing else f"Uninstaller-{args.version}-unsigned.exe"
    for made in (dist / args.name, dist / args.name.replace(".exe", ".buildinfo")):
        if made.exists():
            fail(4, f"dist/{made.name} exists already: raise the version in CMakeLists.txt, or move the old file away")
    if args.sign:
        args.handed_info = Path(args.sign[:-4] + ".buildinfo" if args.sign.endswith(".exe") else args.sign + ".buildinfo")
        if not os.access(args.handed_info, os.R_OK):
            fail(4, f"no {args.handed_info} beside the file to sign")
        info = dict(re.findall(r"^([^:\n]+): (.*)$", args.handed_info.read_text(errors="replace"), re.M))
        if info.get("commit") != args.commit:
            fail(4, f"{args.sign} was built from {info.get('commit')}, but this checkout is at {args.commit}")
        args.sign_sha256 = sha256(args.sign)
        if args.sign_sha256 != info.get("unsigned-sha256"):
            fail(4, f"{args.sign} is not the unsigned file its .buildinfo names (its SHA-256 differs)")
    for pem in (args.chain, args.ca_file, args.tsa_ca_file):
        said = pem and subprocess.run(["openssl", "x509", "-in", pem, "-noout"], capture_output=True, text=True)
        if said and said.returncode != 0:
            fail(6, f"{pem} holds no certificate OpenSSL can read: {cause(said.stderr)}")
    if not dist.exists() and not args.dry_run:
        dist.mkdir()
    if dist.exists():
        args.lock = os.open(dist, os.O_RDONLY)  # held, and inherited by no step, until the release ends
        try:
            fcntl.flock(args.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            fail(4, "another release is running on dist/; nothing was changed")


def clean_leftovers(dry_run):
    """Removes the work folders of releases that were killed outright; a dry run only says which."""
    for left in TMPDIR.glob("uninstaller-release.*.*"):
        pid = left.name.split(".")[1]
        if left.is_dir() and left.stat().st_uid == os.getuid() and pid.isdigit() and not Path(f"/proc/{pid}").exists():
            if dry_run:
                say(f"dry run: a real run would remove {left}, which an interrupted release left")
            else:
                shutil.rmtree(left, ignore_errors=True)
                say(f"removed {left}, which an interrupted release left")


def build(args, work):
    """Uninstaller.exe built from the commit alone, in a folder of its own, with its own TMPDIR."""
    state["phase"] = "building"
    (work / "src").mkdir()
    (work / "tmp").mkdir()
    env = dict(os.environ, TMPDIR=str(work / "tmp"))
    steps = [["git", "-C", str(ROOT), "archive", "--format=tar", "-o", str(work / "src.tar"), "HEAD"],
             ["tar", "-x", "-f", str(work / "src.tar"), "-C", str(work / "src")],
             ["cmake", "--preset", "windows-x86", "-DBUILD_TESTING=OFF"],
             ["cmake", "--build", "--preset", "windows-x86", "--target", "Uninstaller"]]
    log = ""
    for step in steps:
        status, output = run(step, cwd=work / "src", env=env)
        log += output
        if status != 0:
            kept = TMPDIR / f"uninstaller-release-{args.version}-build.log"
            try:
                kept.write_text(log)
                where = f"its whole log is {kept}"
            except OSError as error:
                where = f"its log could not be kept ({error.strerror})"
            errors = [line for line in log.splitlines() if re.search("error|Error", line) and not line.startswith("gmake")]
            fail(5, f"the build failed ({' '.join(step[:2])}); {where}; its error lines:", errors[:20] or log.splitlines()[-5:])
    return work / "src" / "build" / "windows-x86" / "Uninstaller.exe"


def verifies(args, path, stamp=False):
    status, output = run(["osslsigncode", "verify", "-CAfile", args.ca_file or SYSTEM_BUNDLE,
                          "-TSA-CAfile", args.tsa_ca_file or SYSTEM_BUNDLE, "-in", str(path)])
    good = status == 0 and "\nSignature verification: ok" in "\n" + output and "\nSucceeded" in "\n" + output
    return good and (not stamp or "Timestamp Server Signature verification: ok" in output), output


def timestamp_reason(url, status, output):
    if status == 124:
        return f"{url}: silent, no answer within 30 seconds"
    if "refused" in output.lower():
        return f"{url}: refused the connection"
    http = re.search(r"code=(\d+), reason=([^:\n]*)", output)
    return f"{url}: answered HTTP {http.group(1)} ({http.group(2)})" if http else \
        f"{url}: answered with no time stamp ({cause(output)})"


def sign(args, work, unsigned):
    """Signs once (one login on a token), verifies, and adds the first time stamp that verifies; a dry run
    asks every server. Returns the signed file, its verification and the server that stamped it."""
    state["phase"] = "signing"
    signer = ["-pkcs12", args.pkcs12] if args.pkcs12 else ["-pkcs11module", args.pkcs11_module, "-key", args.key,
                                                            "-certs", args.cert]
    reading, writing = os.pipe()  # the secret reaches osslsigncode through a pipe: never a file or an argument
    os.write(writing, (args.secret + "\n").encode())
    os.close(writing)
    args.secret = ""
    signed = work / "signed.exe"
    status, output = run(["osslsigncode", "sign", *signer, *(["-ac", args.chain] if args.chain else []),
                          "-readpass", f"/dev/fd/{reading}", "-h", "sha256", "-n", "SU Varnok Uninstaller 2014",
                          "-in", str(unsigned), "-out", str(signed)], pass_fds=(reading,))
    os.close(reading)
    if status != 0:
        fail(6, f"signing failed: {cause(output)}")
    state["phase"] = "verifying the signature"
    good, verified = verifies(args, signed)
    if not good:
        fail(6, f"the signature does not verify: {cause(verified)}")
    reasons, stamped_by = [], None
    for url in args.timestamp:
        state["phase"] = f"time-stamping at {url}"
        stamped = work / "stamped.exe"
        stamped.unlink(missing_ok=True)
        status, output = run(["osslsigncode", "add", "-ts", url, "-h", "sha256", "-in", str(signed), "-out", str(stamped)],
                             timeout=30)
        good, stamp_verified = verifies(args, stamped, stamp=True) if status == 0 else (False, "")
        if status != 0:
            reasons.append(timestamp_reason(url, status, output))
        elif not good:
            reasons.append(f"{url}: its time stamp does not verify ({cause(stamp_verified)})")
        elif args.dry_run:
            print(f"{NAME}: dry run: {url} answers with a time stamp that verifies")
        else:
            stamped.replace(signed)
            stamped_by, verified = url, stamp_verified
            break
    if reasons and (args.dry_run or not stamped_by):
        fail(7, f"no time stamp: {'; '.join(reasons)}")
    return signed, verified, stamped_by


def signing_lines(args, work, unsigned, signed, verified, stamped_by):
    """The .buildinfo's signing lines, once removing the signature gives back the unsigned bytes."""
    stripped = work / "stripped.exe"
    status, _ = run(["osslsigncode", "remove-signature", "-in", str(signed), "-out", str(stripped)])
    if status != 0 or stripped.read_bytes() != unsigned.read_bytes():
        fail(6, "the signed file, less its signature, is not the unsigned build")
    block = verified.split("Signer's certificate:", 1)[-1]

    def field(name):  # as verify prints it, bytes beyond ASCII as \xHH
        found = re.search(rf"^\s*{name}\s*: ?(.*)$", block, re.M)
        text = found.group(1) if found else ""
        return re.sub(rb"\\x([0-9A-Fa-f]{2})", lambda m: bytes([int(m.group(1), 16)]), text.encode()).decode(errors="replace")
    lines = [f"signer-subject: {field('Subject')}", f"signer-issuer: {field('Issuer')}",
             f"signer-serial: {field('Serial')}", f"signed-sha256: {sha256(signed)}"]
    if stamped_by:
        stamp_time = re.search(r"^\s*Timestamp time: (.*)$", verified, re.M)
        lines += [f"timestamp-server: {stamped_by}", f"timestamp-time: {stamp_time.group(1) if stamp_time else ''}"]
    tools = [subprocess.run(command, capture_output=True, text=True).stdout.splitlines()[0]
             for command in (["osslsigncode", "--version"], ["openssl", "version"])]
    return lines + [f"osslsigncode: {tools[0].split(',')[0]}", f"openssl: {tools[1]}"]


def publish(args, final, buildinfo):
    """dist/ gains the file, its .buildinfo and its SHA256SUMS line beside every older one: each written
    under a temporary name, flushed and read back, then renamed into place; else dist/ is as it was."""
    state["phase"] = "writing dist/"
    dist = ROOT / "dist"
    info_name = args.name.replace(".exe", ".buildinfo")
    sums = dist / "SHA256SUMS"
    old = [line for line in (sums.read_text().splitlines() if sums.exists() else []) if not line.endswith(f"  {args.name}")]
    contents = {args.name: final.read_bytes(), info_name: buildinfo.encode(),
                "SHA256SUMS": "".join(f"{line}\n" for line in old + [f"{sha256(final)}  {args.name}"]).encode()}
    try:
        for name, data in contents.items():
            part = dist / f".{name}.part"
            state["temporary"].append(part)
            with open(part, "wb") as out:
                out.write(data)
                out.flush()
                os.fsync(out.fileno())
            if part.read_bytes() != data:
                fail(4, f"dist/.{name}.part does not read back as written; dist/ is as it was")
    except OSError as error:
        fail(4, f"could not write dist/: {error.strerror}; dist/ is as it was")
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP})  # now or never
    for name in contents:
        os.replace(dist / f".{name}.part", dist / name)
    state["temporary"].clear()
    os.fsync(os.open(dist, os.O_RDONLY))


def main():
    for number in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
        signal.signal(number, interrupted)
    args = parse_options()
    check_options(args)
    check_tools(args)
    check_checkout(args)
    clean_leftovers(args.dry_run)
    try:
        work = Path(tempfile.mkdtemp(prefix=f"uninstaller-release.{os.getpid()}.", dir=TMPDIR))
    except OSError as error:
        fail(4, f"could not make a work folder in {TMPDIR}: {error.strerror}")
    state["work"] = work
    subprocess.Popen([sys.executable, "-c", WATCHER, str(os.getpid()), str(work)], start_new_session=True,
                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        (work / "child").write_text("")
        if args.dry_run:
            unsigned = work / "probe.exe"
            if args.signing:
                state["phase"] = "making a program to sign"
                (work / "probe.c").write_text("int main(void) { return 0; }\n")
                status, output = run(["i686-w64-mingw32-gcc", "-o", str(unsigned), str(work / "probe.c")])
                if status != 0:
                    fail(5, f"could not build the program to sign: {cause(output)}")
                sign(args, work, unsigned)
            extent = ", the signer, its chain and its password or PIN (one login)" if args.signing else ""
            print(f"{NAME}: dry run of commit {args.commit[:7]}: the options, the tools, the tree and dist/{extent} "
                  "check out; nothing was changed")
            return 0
        if args.sign:
            state["phase"] = "copying the file to sign"
            unsigned = work / "unsigned.exe"
            shutil.copyfile(args.sign, unsigned)
            if sha256(unsigned) != args.sign_sha256:
                fail(4, f"{args.sign} did not copy whole into {work}")
            missing = build_tools_missing()
            if missing:
                say(f"no build tools here ({'; '.join(missing)}): only the .buildinfo was compared, not a rebuild")
            elif sha256(build(args, work)) != args.sign_sha256:
                fail(4, f"{args.sign} is not what commit {args.commit[:7]} builds: a rebuild gives other bytes")
            kept = [line for line in args.handed_info.read_text().splitlines()
                    if not re.match(r"(signer-|signed-sha256|timestamp-|osslsigncode:|openssl:)", line)]
        else:
            unsigned = build(args, work)
            packages = [f"{p}: {subprocess.run(['dpkg-query', '-W', '-f=${Version}', p], capture_output=True, text=True).stdout or 'none'}"
                        for p in BUILD_PACKAGES]
            kept = [f"version: {args.version}", f"commit: {args.commit}", *packages, f"unsigned-sha256: {sha256(unsigned)}"]
        final, signed_by, stamped_by = unsigned, None, None
        if args.signing:
            final, verified, stamped_by = sign(args, work, unsigned)
            kept += signing_lines(args, work, unsigned, final, verified, stamped_by)
            signed_by = next(line.split(": ", 1)[1] for line in kept if line.startswith("signer-subject: "))
        publish(args, final, "".join(f"{line}\n" for line in kept))
    except OSError as error:
        fail(4, f"{state['phase']} failed: {error.strerror} ({error.filename}); dist/ is as it was")
    finally:
        end_child()
        for part in state["temporary"]:
            part.unlink(missing_ok=True)
        shutil.rmtree(work, ignore_errors=True)
    stamp = f", time-stamped by {stamped_by}" if stamped_by else ""
    what = f"signed release dist/{args.name}" if args.signing else f"unsigned release dist/{args.name}"
    by = f", signed by {signed_by}{stamp}" if args.signing else "; no certificate given"
    print(f"{NAME}: {what}, its .buildinfo and dist/SHA256SUMS (commit {args.commit[:7]}{by})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
