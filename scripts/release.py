#!/usr/bin/python3
"""Makes a release of the committed tree, or signs one built elsewhere: installs nothing, uses the
signing key once, says in one line what failed, and publishes nothing from a failed step. The password
or PIN comes from the file named, or from UNINSTALLER_SIGN_PASSWORD or UNINSTALLER_SIGN_PIN; without
one, nothing is tried. docs/release.md gives the exit codes, the order of the checks and the flow."""
import argparse, contextlib, fcntl, hashlib, os, re, shutil, signal, subprocess, sys, tempfile
from pathlib import Path

# The secret leaves the environment before anything else runs: no tool started below inherits it.
ENV_SECRETS = {name: os.environ.pop(name) for name in ("UNINSTALLER_SIGN_PASSWORD", "UNINSTALLER_SIGN_PIN")
               if name in os.environ}
NAME = "release.py"
ROOT = Path(__file__).resolve().parent.parent
SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
TMPDIR = Path(os.environ.get("TMPDIR") or "/tmp")
DIST = ROOT / "dist"
# Each tool: the commands any one of which will do, its Debian package, and what needs it (the .buildinfo
# names the build's packages with their versions; the headers have no command).
TOOLS = [(("i686-w64-mingw32-g++-win32", "i686-w64-mingw32-g++"), "g++-mingw-w64-i686-win32", "build"),
         (("i686-w64-mingw32-windres",), "binutils-mingw-w64-i686", "build"), ((), "mingw-w64-i686-dev", "build"),
         ((), "mingw-w64-common", "build"), (("cmake",), "cmake", "build"), (("make",), "make", "build"),
         (("git",), "git", "release"), (("osslsigncode",), "osslsigncode", "signing"), (("openssl",), "openssl", "signing"),
         (("i686-w64-mingw32-gcc-win32", "i686-w64-mingw32-gcc"), "gcc-mingw-w64-i686-win32", "a dry signing")]
SIGNER = "--signing"  # set when --pkcs12 or a token is given
# Every option, and the one it never goes without (a token's three in turn): no partner is a mistake, never a default.
OPTIONS = [("--pkcs12", "FILE", "key and certificates in a PKCS#12 file", None),
           ("--password-file", "FILE", "its password: the file's first line", "--pkcs12"),
           ("--pkcs11-module", "FILE", "a PKCS#11 module, for a key on a token", "--key"),
           ("--key", "URI", "the key on the token", "--cert"),
           ("--cert", "FILE", "the token's certificate, PEM", "--pkcs11-module"),
           ("--pin-file", "FILE", "the token's PIN, read as the password is", "--pkcs11-module"),
           ("--chain", "FILE", "intermediate certificates to carry in the signature", SIGNER),
           ("--ca-file", "FILE", "certificates the signature is verified against (else the system's bundle)", SIGNER),
           ("--timestamp", "URL", "an RFC 3161 time-stamp server; give more to try them in turn, 30 s each", SIGNER),
           ("--tsa-ca-file", "FILE", "certificates a time stamp is verified against (else the system's)", "--timestamp"),
           ("--sign", "FILE", "sign FILE, built elsewhere from this commit, instead of building", SIGNER)]
# Run apart, in a session of its own, so that a kill of the release's whole process group spares it: once
# the release is gone, it kills the step still running and removes the work folder.
WATCHER = """import contextlib, os, shutil, signal, sys, time
release, work = int(sys.argv[1]), sys.argv[2]
while os.getppid() == release:  # a child outlives its parent under another: that is the sign
    time.sleep(0.2)
with contextlib.suppress(OSError, ValueError):
    os.killpg(int(open(os.path.join(work, "child")).read()), signal.SIGKILL)
shutil.rmtree(work, ignore_errors=True)
"""
state = {"phase": "checking the checkout", "child": None, "work": None, "temporary": []}


def say(message, quoted=()):
    print("\n".join(f"{NAME}: {line}" for line in [message, *(f"| {line}" for line in quoted)]), file=sys.stderr)


def fail(code, message, quoted=()):
    say(message, quoted)
    sys.exit(code)


def end_child(gently=False):
    """Ends the running step and everything it started: its process group."""
    child = state["child"]
    if child is None: return
    for number in ([signal.SIGTERM] if gently else []) + [signal.SIGKILL]:
        with contextlib.suppress(ProcessLookupError, subprocess.TimeoutExpired):
            os.killpg(child.pid, number)
            child.wait(0.3)
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
    if re.search(r"mac verify failure|PKCS12_parse", output): return "wrong password, or not a PKCS#12 file"
    if "Unsupported Signer's certificate purpose" in output:
        return "the certificate is not for code signing (its extended key usage lacks Code Signing)"
    found = re.search(r"^\s*Error: (.*)$", output, re.M) or re.search(r"^[0-9A-F]+:error:(?:[^:]*:){3}([^:\n]*)", output, re.M)
    lines = [line.strip() for line in output.splitlines() if line.strip()] or ["no reason given"]
    return found.group(1).strip() if found else lines[-1]


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


class Once(argparse.Action):
    """An option's value, once (--timestamp as often as given) and never empty; a FILE, readable and absolute."""

    def __call__(self, parser, args, value, option):
        if value == "": parser.error(f"{option} was given an empty value")
        if self.metavar == "FILE":
            value = os.path.abspath(value)
            if not os.access(value, os.R_OK) or os.path.isdir(value): parser.error(f"no file {value}")
        if getattr(args, self.dest) not in (None, []) and option != "--timestamp": parser.error(f"{option} was given twice")
        setattr(args, self.dest, getattr(args, self.dest) + [value] if option == "--timestamp" else value)


def parse_options():
    parser = argparse.ArgumentParser(prog="scripts/release.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.error = lambda message: fail(2, f"{message} (see --help)")
    for option, metavar, text, _ in OPTIONS:
        parser.add_argument(option, action=Once, metavar=metavar, help=text)
    parser.add_argument("--dry-run", action="store_true", help="check everything that needs no build; change nothing")
    parser.set_defaults(timestamp=[])
    return parser.parse_args()


def check_options(args):
    """The signer, each option's partner, and the secret."""
    token = args.pkcs11_module or args.key or args.cert
    args.signing = bool(args.pkcs12 or token)
    if args.pkcs12 and token: fail(2, "give either --pkcs12 or a token (--pkcs11-module, --key, --cert), not both")
    given = vars(args)
    for option, _, _, partner in OPTIONS:
        if partner and given[option[2:].replace("-", "_")] and not given[partner[2:].replace("-", "_")]:
            fail(2, f"{option} goes with {partner}" if partner != SIGNER else f"{option} needs a signer: --pkcs12 or a token")
    if args.key and "pin-value" in args.key:
        fail(2, "a PIN inside --key would show on the command line; use --pin-file or UNINSTALLER_SIGN_PIN")
    if ENV_SECRETS and not args.signing:
        fail(2, "a signing password or PIN is in the environment, but no signer was given; "
                "a release is never unsigned by mistake")
    what, file, variable, tried = ("password", args.password_file, "UNINSTALLER_SIGN_PASSWORD", "file") if args.pkcs12 \
        else ("PIN", args.pin_file, "UNINSTALLER_SIGN_PIN", "token")
    args.secret = next(iter(Path(file).read_text(errors="replace").splitlines()), "") if file else ENV_SECRETS.get(variable)
    if file and not args.secret: fail(2, f"{file} is empty")
    if args.signing and not args.secret:
        fail(2, f"no {what} given (--{what.lower()}-file or {variable}); the {tried} was not tried")


def tools_missing(needs):
    """The tools of TOOLS that what is asked `needs` and this machine lacks, each with its package."""
    return [f"{names[-1]} ({package})" for names, package, need in TOOLS
            if need in needs and names and not any(map(shutil.which, names))]


def check_tools(args):
    needs = {"release"} | (set() if args.sign else {"build"}) | ({"signing"} if args.signing else set())
    missing = tools_missing(needs | ({"a dry signing"} if args.signing and args.dry_run else set()))
    if args.pkcs11_module and shutil.which("openssl"):
        engines = re.search(r'ENGINESDIR: "(.*)"', subprocess.run(["openssl", "version", "-e"], capture_output=True, text=True).stdout)
        if not engines or not Path(engines.group(1), "pkcs11.so").is_file():
            missing.append("OpenSSL's PKCS#11 engine (libengine-pkcs11-openssl)")
    if missing: fail(3, f"missing: {'; '.join(missing)}; scripts/setup.sh release installs them")


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
    if not version: fail(4, "no VERSION in CMakeLists.txt")
    args.version = version.group(1)
    if DIST.is_symlink() or (DIST.exists() and not DIST.is_dir()):
        fail(4, "dist is a link or a file; it must be a folder of this checkout")
    args.name = f"Uninstaller-{args.version}.exe" if args.signing else f"Uninstaller-{args.version}-unsigned.exe"
    for made in (DIST / args.name, DIST / args.name.replace(".exe", ".buildinfo")):
        if made.exists():
            fail(4, f"dist/{made.name} exists already: raise the version in CMakeLists.txt, or move the old file away")
    if args.sign:
        args.handed_info = Path(re.sub(r"(\.exe)?$", ".buildinfo", args.sign, count=1))
        info = dict(re.findall(r"^([^:\n]+): (.*)$", args.handed_info.read_text(errors="replace"), re.M))
        if info.get("commit") != args.commit:
            fail(4, f"{args.sign} was built from {info.get('commit')}, but this checkout is at {args.commit}")
        args.sign_sha256 = sha256(args.sign)
        if args.sign_sha256 != info.get("unsigned-sha256"):
            fail(4, f"{args.sign} is not the unsigned file its .buildinfo names (its SHA-256 differs)")
    for pem in (args.chain, args.ca_file, args.tsa_ca_file):
        said = pem and subprocess.run(["openssl", "x509", "-in", pem, "-noout"], capture_output=True, text=True)
        if said and said.returncode != 0: fail(6, f"{pem} holds no certificate OpenSSL can read: {cause(said.stderr)}")
    if not args.dry_run: DIST.mkdir(exist_ok=True)
    if DIST.exists():
        args.lock = os.open(DIST, os.O_RDONLY)  # held, and inherited by no step, until the release ends
        with contextlib.suppress(BlockingIOError):
            return fcntl.flock(args.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        fail(4, "another release is running on dist/; nothing was changed")


def clean_leftovers(dry_run):
    """Removes the work folders of releases that were killed with their watcher; a dry run only says which."""
    for left in TMPDIR.glob("uninstaller-release.*.*"):
        pid = left.name.split(".")[1]
        if pid.isdigit() and not Path(f"/proc/{pid}").exists() and left.is_dir() and left.stat().st_uid == os.getuid():
            if not dry_run: shutil.rmtree(left, ignore_errors=True)
            say(f"{'dry run: a real run would remove' if dry_run else 'removed'} {left}, which an interrupted release left")


def build(args, work):
    """Uninstaller.exe built from the commit alone, in a folder of its own, with its own TMPDIR."""
    state["phase"] = "building"
    for folder in ("src", "tmp"): (work / folder).mkdir()
    env = dict(os.environ, TMPDIR=str(work / "tmp"))
    log = ""
    for step in (["git", "-C", str(ROOT), "archive", "--format=tar", "-o", str(work / "src.tar"), "HEAD"],
                 ["tar", "-x", "-f", str(work / "src.tar"), "-C", str(work / "src")],
                 ["cmake", "--preset", "windows-x86", "-DBUILD_TESTING=OFF"],
                 ["cmake", "--build", "--preset", "windows-x86", "--target", "Uninstaller"]):
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
    return (status == 0 and "\nSignature verification: ok" in "\n" + output and "\nSucceeded" in "\n" + output and
            (not stamp or "Timestamp Server Signature verification: ok" in output)), output


def timestamp_reason(url, status, output):
    http = re.search(r"code=(\d+), reason=([^:\n]*)", output)
    return url + (": silent, no answer within 30 seconds" if status == 124 else ": refused the connection"
                  if "refused" in output.lower() else f": answered HTTP {http.group(1)} ({http.group(2)})" if http
                  else f": answered with no time stamp ({cause(output)})")


def sign(args, work, unsigned):
    """Signs once (one login on a token), verifies, and adds the first time stamp that verifies; a dry run
    asks every server. Returns the signed file, its verification and the server that stamped it."""
    state["phase"] = "signing"
    signer = ["-pkcs12", args.pkcs12] if args.pkcs12 else ["-pkcs11module", args.pkcs11_module, "-key", args.key, "-certs", args.cert]
    reading, writing = os.pipe()  # the secret reaches osslsigncode through a pipe: never a file or an argument
    os.write(writing, (args.secret + "\n").encode())
    os.close(writing)
    args.secret = ""
    signed = work / "signed.exe"
    status, output = run(["osslsigncode", "sign", *signer, *(["-ac", args.chain] if args.chain else []),
                          "-readpass", f"/dev/fd/{reading}", "-h", "sha256", "-n", "SU Varnok Uninstaller 2014",
                          "-in", str(unsigned), "-out", str(signed)], pass_fds=(reading,))
    os.close(reading)
    if status != 0: fail(6, f"signing failed: {cause(output)}")
    state["phase"] = "verifying the signature"
    good, verified = verifies(args, signed)
    if not good: fail(6, f"the signature does not verify: {cause(verified)}")
    reasons, stamped_by = [], None
    for attempt, url in enumerate(args.timestamp):
        state["phase"] = f"time-stamping at {url}"
        stamped = work / f"stamped-{attempt}.exe"
        status, output = run(["osslsigncode", "add", "-ts", url, "-h", "sha256", "-in", str(signed), "-out", str(stamped)],
                             timeout=30)
        good, stamp_verified = verifies(args, stamped, stamp=True) if status == 0 else (False, "")
        if not good:
            reasons.append(timestamp_reason(url, status, output) if status else
                           f"{url}: its time stamp does not verify ({cause(stamp_verified)})")
        elif args.dry_run:
            print(f"{NAME}: dry run: {url} answers with a time stamp that verifies")
        else:
            stamped.replace(signed)
            stamped_by, verified = url, stamp_verified
            break
    if reasons and (args.dry_run or not stamped_by): fail(7, f"no time stamp: {'; '.join(reasons)}")
    return signed, verified, stamped_by


def signing_lines(args, work, unsigned, signed, verified, stamped_by):
    """The .buildinfo's signing lines, once removing the signature gives back the unsigned bytes."""
    stripped = work / "stripped.exe"
    status, _ = run(["osslsigncode", "remove-signature", "-in", str(signed), "-out", str(stripped)])
    if status != 0 or stripped.read_bytes() != unsigned.read_bytes():
        fail(6, "the signed file, less its signature, is not the unsigned build")
    block = verified.split("Signer's certificate:", 1)[-1]

    def field(name):  # as verify prints it, bytes beyond ASCII as \xHH
        text = next(iter(re.findall(rf"^\s*{name}\s*: ?(.*)$", block, re.M)), "")
        return re.sub(rb"\\x([0-9A-Fa-f]{2})", lambda m: bytes([int(m.group(1), 16)]), text.encode()).decode(errors="replace")
    lines = [f"signer-subject: {field('Subject')}", f"signer-issuer: {field('Issuer')}",
             f"signer-serial: {field('Serial')}", f"signed-sha256: {sha256(signed)}"]
    if stamped_by:
        lines += [f"timestamp-server: {stamped_by}",
                  "timestamp-time: " + next(iter(re.findall(r"^\s*Timestamp time: (.*)$", verified, re.M)), "")]
    tools = [subprocess.run(command, capture_output=True, text=True).stdout.splitlines()[0] for command in
             (["osslsigncode", "--version"], ["openssl", "version"])]
    return lines + [f"osslsigncode: {tools[0].split(',')[0]}", f"openssl: {tools[1]}"]


def publish(args, final, buildinfo):
    """dist/ gains the file, its .buildinfo and its SHA256SUMS line beside every older one: each written
    under a temporary name and flushed to disk, then all renamed into place; else dist/ is as it was."""
    state["phase"] = "writing dist/"
    sums = DIST / "SHA256SUMS"
    old = [line for line in (sums.read_text().splitlines() if sums.exists() else []) if not line.endswith(f"  {args.name}")]
    contents = {args.name: final.read_bytes(), args.name.replace(".exe", ".buildinfo"): buildinfo.encode(),
                "SHA256SUMS": "".join(f"{line}\n" for line in old + [f"{sha256(final)}  {args.name}"]).encode()}
    for name, data in contents.items():
        part = DIST / f".{name}.part"
        state["temporary"].append(part)
        with open(part, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP})  # now or never
    for name in contents:
        os.replace(DIST / f".{name}.part", DIST / name)
    state["temporary"].clear()
    os.fsync(os.open(DIST, os.O_RDONLY))


def unsigned_release(args, work):
    """The file to sign or publish, and its .buildinfo's lines of the build."""
    if not args.sign:
        unsigned = build(args, work)
        packages = [f"{package}: {subprocess.run(['dpkg-query', '-W', '-f=${Version}', package], capture_output=True, text=True).stdout or 'none'}"
                    for _, package, need in TOOLS if need == "build"]
        return unsigned, [f"version: {args.version}", f"commit: {args.commit}", *packages, f"unsigned-sha256: {sha256(unsigned)}"]
    state["phase"] = "copying the file to sign"
    unsigned = work / "unsigned.exe"
    shutil.copyfile(args.sign, unsigned)
    if sha256(unsigned) != args.sign_sha256: fail(4, f"{args.sign} changed after it was hashed; nothing was signed")
    missing = tools_missing({"build"})
    if missing: say(f"no build tools here ({'; '.join(missing)}): only the .buildinfo was compared, not a rebuild")
    elif sha256(build(args, work)) != args.sign_sha256:
        fail(4, f"{args.sign} is not what commit {args.commit[:7]} builds: a rebuild gives other bytes")
    return unsigned, [line for line in args.handed_info.read_text().splitlines()
                      if not re.match(r"(signer-|signed-sha256|timestamp-|osslsigncode:|openssl:)", line)]


def dry_run(args, work):
    """Signs a program made for the purpose once, and asks every time-stamp server: one login."""
    if args.signing:
        state["phase"] = "making a program to sign"
        (work / "probe.c").write_text("int main(void) { return 0; }\n")
        status, output = run(["i686-w64-mingw32-gcc", "-o", str(work / "probe.exe"), str(work / "probe.c")])
        if status != 0: fail(5, f"could not build the program to sign: {cause(output)}")
        sign(args, work, work / "probe.exe")
    print(f"{NAME}: dry run of commit {args.commit[:7]}: the options, the tools, the tree and dist/"
          f"{', the signer, its chain and its password or PIN (one login)' * args.signing} check out; nothing was changed")


def main():
    for number in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM): signal.signal(number, interrupted)
    args = parse_options()
    check_options(args)
    check_tools(args)
    work = None
    try:
        check_checkout(args)
        clean_leftovers(args.dry_run)
        state["phase"] = f"making a work folder in {TMPDIR}"
        work = state["work"] = Path(tempfile.mkdtemp(prefix=f"uninstaller-release.{os.getpid()}.", dir=TMPDIR))
        subprocess.Popen([sys.executable, "-c", WATCHER, str(os.getpid()), str(work)], start_new_session=True,
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if args.dry_run: return dry_run(args, work) or 0
        unsigned, kept = unsigned_release(args, work)
        final, stamped_by = unsigned, None
        if args.signing:
            final, verified, stamped_by = sign(args, work, unsigned)
            kept += signing_lines(args, work, unsigned, final, verified, stamped_by)
        publish(args, final, "".join(f"{line}\n" for line in kept))
    except OSError as error:
        fail(4, f"{state['phase']} failed: {error.strerror} ({error.filename}); dist/ is as it was")
    finally:
        end_child()
        for part in state["temporary"]:
            part.unlink(missing_ok=True)
        if work:
            shutil.rmtree(work, ignore_errors=True)

    signer = next((line[16:] for line in kept if line.startswith("signer-subject: ")), None)
    by = (f", signed by {signer}" + (f", time-stamped by {stamped_by}" if stamped_by else "")) if signer else "; no certificate given"
    print(f"{NAME}: {'signed' if signer else 'unsigned'} release dist/{args.name}, its .buildinfo and "
          f"dist/SHA256SUMS (commit {args.commit[:7]}{by})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
