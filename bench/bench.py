#!/usr/bin/env python3
"""Times tree removal by Uninstaller against the platform's own recursive delete, on identical trees.

Host: build/host/Uninstaller through APPDATA against `rm -rf`. Wine: Uninstaller.exe against an NSIS 3
program doing `RMDir /r` and against `cmd /c rmdir /s /q`, in one throwaway prefix. Each round copies a planted template once per contestant
and alternates which goes first. Prints medians, ratios, system calls per removed file, peak memory on a
deep tree and the size of Uninstaller.exe, as a Markdown report.
"""
import argparse
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HOST_EXE = ROOT / "build/host/Uninstaller"
# bench/run.sh picks the Windows build that this host can run, and the Wine loader that runs it.
WINE_BUILD = os.environ.get("WINE_BUILD", "windows-x86")
WINE_LOADER = os.environ.get("WINE_LOADER", "/usr/lib/wine/wine")
WIN_EXE = ROOT / "build" / WINE_BUILD / "Uninstaller.exe"
PLUGINS = Path("SketchUp/SketchUp 2014/SketchUp/Plugins")


def plant(root, files):
    """`files` small files in folders of 100, one in five read-only, and a nested subfolder in each."""
    for folder in range(files // 100):
        path = root / f"d{folder:05}"
        (path / "nested").mkdir(parents=True)
        for i in range(100):
            name = path / f"f{i:03}.rb"
            name.write_bytes(b"x\n")
            if i % 5 == 0:
                name.chmod(0o444)


def plant_deep(root, depth):
    path = root
    for _ in range(depth):
        path = path / "d"
        path.mkdir(parents=True)
        (path / "f.rb").write_bytes(b"x\n")


def copy(template, target, on_disk=True):
    """A fresh copy of the template. On disk: written out first, as an installed plug-in's files are,
    so that the removal frees real blocks and no contestant pays for another's writeback. Otherwise
    still in the page cache, where deletion is cheap and per-call overhead shows most."""
    target.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["cp", "-a", str(template), str(target)], check=True)
    if on_disk:
        os.sync()


def timed(command, env=None, cwd=None):
    start = time.perf_counter()
    subprocess.run(command, env=env, cwd=cwd, check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def host_env(base):
    env = dict(os.environ)
    env["APPDATA"] = str(base / "Roaming")
    env["ProgramData"] = str(base / "ProgramData")
    (base / "ProgramData").mkdir(parents=True, exist_ok=True)
    return env


def race(rounds, contestants):
    """Runs each contestant once a round, the order alternating; returns the median seconds of each.
    A contestant is (name, prepare, run, check): prepare copies its tree, check says it is gone."""
    times = {name: [] for name, _, _, _ in contestants}
    for r in range(rounds):
        order = contestants if r % 2 == 0 else list(reversed(contestants))
        for name, prepare, run, check in order:
            prepare()
            times[name].append(run())
            if not check():
                sys.exit(f"{name} left its tree behind")
    return {name: statistics.median(t) for name, t in times.items()}


def bench_host(work, sizes, rounds, on_disk):
    rows = []
    for files in sizes:
        template = work / f"template-{files}"
        if not template.exists():
            plant(template, files)
        base = work / "host"
        product = base / "Roaming" / PLUGINS / "SU_Varnok_V2"
        other = work / "rm" / "tree"
        env = host_env(base)
        medians = race(rounds, [
            ("Uninstaller", lambda: copy(template, product, on_disk), lambda: timed([str(HOST_EXE)], env=env),
             lambda: not product.exists()),
            ("rm -rf", lambda: copy(template, other, on_disk), lambda: timed(["rm", "-rf", str(other)]),
             lambda: not other.exists()),
        ])
        rows.append((files, medians["Uninstaller"], medians["rm -rf"]))
    return rows


def syscalls_per_file(work, files):
    template = work / f"template-{files}"
    if not template.exists():
        plant(template, files)
    base = work / "strace"
    copy(template, base / "Roaming" / PLUGINS / "SU_Varnok_V2")
    log = work / "strace.txt"
    subprocess.run(["strace", "-c", "-f", "-o", str(log), str(HOST_EXE)], env=host_env(base),
                   stdout=subprocess.DEVNULL)
    total = re.search(r"^100\.00\s+\S+\s+\S+\s+(\d+)", log.read_text(), re.M)
    calls = int(total.group(1))
    top = [line.split()[-1] + " " + line.split()[3] for line in log.read_text().splitlines()[2:7]]
    return calls, calls / files, top


def peak_memory_kib(base):
    """Peak resident memory of one run, as GNU time reports it (a child of Python would carry
    Python's own size from before its exec)."""
    result = subprocess.run(["/usr/bin/time", "-f", "%M", str(HOST_EXE)], env=host_env(base),
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int(result.stderr.strip().splitlines()[-1])


def peak_memory_deep(work, depth):
    empty = peak_memory_kib(work / "empty")
    base = work / "deep"
    plant_deep(base / "Roaming" / PLUGINS / "SU_Varnok_V2", depth)
    deep = peak_memory_kib(base)
    gone = not (base / "Roaming" / PLUGINS / "SU_Varnok_V2").exists()
    return deep, empty, gone


NSIS_SCRIPT = r"""; A real installer's recursive delete, for comparison: NSIS's RMDir /r on the tree.
Unicode true
RequestExecutionLevel user
SilentInstall silent
OutFile "{out}"
Section
  RMDir /r "C:\nsis\tree"
SectionEnd
"""


def wine_environment(prefix):
    """The environment scripts/wine-lib.sh sets for Wine (wine_prefix_make, which makes the prefix
    unless it is there), as the demo and the tests have it."""
    dump = subprocess.run(["bash", "-c", 'source "$0" && wine_prefix_make "$1" >/dev/null && env -0',
                           str(ROOT / "scripts/wine-lib.sh"), str(prefix)],
                          check=True, capture_output=True).stdout
    return dict(item.split("=", 1) for item in dump.decode().split("\0") if "=" in item)


def nsis_program(work):
    """An NSIS 3 program doing RMDir /r, built with Debian's makensis; None where there is no makensis
    or no 32-bit Wine to run it (NSIS builds 32-bit programs only)."""
    if shutil.which("makensis") is None or WINE_BUILD != "windows-x86":
        return None
    script = work / "rmdir.nsi"
    script.write_text(NSIS_SCRIPT.format(out=work / "nsis-rmdir.exe"))
    subprocess.run(["makensis", "-V1", str(script)], check=True, stdout=subprocess.DEVNULL)
    return work / "nsis-rmdir.exe"


def bench_wine(work, files, rounds):
    """Medians of Uninstaller.exe, an NSIS program's RMDir /r (where it can run) and cmd's rmdir, on the
    same tree in one prefix."""
    prefix = work / "wineprefix"
    env = wine_environment(prefix)
    env.pop("DISPLAY", None)  # with no display the box returns at once: the run time is the work
    if (prefix / "dosdevices" / "z:").exists():
        sys.exit("the Wine prefix still maps Z:")
    drive = prefix / "drive_c"
    run = drive / "run"
    run.mkdir()
    shutil.copy(WIN_EXE, run / "Uninstaller.exe")
    user = next(p.name for p in (drive / "users").iterdir() if p.name != "Public")
    product = drive / "users" / user / "AppData/Roaming" / PLUGINS / "SU_Varnok_V2"
    template = work / f"template-{files}"
    if not template.exists():
        plant(template, files)
    contestants = [("Uninstaller.exe", lambda: copy(template, product),
                    lambda: timed(["wine", "./Uninstaller.exe"], env=env, cwd=run), lambda: not product.exists())]
    nsis = nsis_program(work)
    if nsis is not None:
        shutil.copy(nsis, run / "nsis-rmdir.exe")
        contestants.append(("NSIS RMDir /r", lambda: copy(template, drive / "nsis" / "tree"),
                            lambda: timed(["wine", "./nsis-rmdir.exe"], env=env, cwd=run),
                            lambda: not (drive / "nsis" / "tree").exists()))
    contestants.append(("cmd rmdir", lambda: copy(template, drive / "rmtree" / "tree"),
                        lambda: timed(["wine", "cmd", "/c", "rmdir", "/s", "/q", "C:\\rmtree\\tree"], env=env, cwd=run),
                        lambda: not (drive / "rmtree" / "tree").exists()))
    try:
        return race(rounds, contestants)
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--sizes", default="1000,10000,100000")
    parser.add_argument("--wine-files", type=int, default=10000)
    parser.add_argument("--no-wine", action="store_true")
    parser.add_argument("--docs", action="store_true", help="also write the report to docs/benchmarks.md")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    lines = [f"Machine: {os.cpu_count()} cores, {platform.machine()}, Linux {platform.release()}, "
             f"{subprocess.run(['findmnt', '-n', '-o', 'FSTYPE', '--target', str(ROOT / 'build')], capture_output=True, text=True).stdout.strip()}; "
             f"{args.rounds} rounds each, medians, order alternating.", ""]
    # Removed with rm -rf at the end: the deep tree's end, which the program keeps as Windows would, is
    # deeper than Python's own tree removal can recurse.
    work = Path(tempfile.mkdtemp(prefix="uninstaller-bench-", dir=ROOT / "build"))
    try:
        for on_disk, title in ((True, "Trees written out to disk, as an installed plug-in is"),
                               (False, "Trees still in the page cache, just copied")):
            lines += [f"{title}:", "", "| tree | Uninstaller (host) | rm -rf | ratio | per file |",
                      "|---|---|---|---|---|"]
            host = bench_host(work, sizes, args.rounds, on_disk)
            for files, ours, theirs in host:
                lines.append(f"| {files:,} files | {ours * 1000:.1f} ms | {theirs * 1000:.1f} ms | "
                             f"{ours / theirs:.2f}x | {ours / files * 1e6:.2f} us |")
            first, last = host[0], host[-1]
            lines += ["", f"Time per file at {last[0]:,} files against {first[0]:,}: "
                          f"{(last[1] / last[0]) / (first[1] / first[0]):.2f}x", ""]
        calls, per_file, top = syscalls_per_file(work, 10000)
        lines += [f"System calls (strace -c -f) removing 10,000 files: {calls:,}, {per_file:.2f} per file "
                  f"(the five that took the most time: {', '.join(top)})"]
        deep, empty, gone = peak_memory_deep(work, 1000)
        lines += [f"Tree 1,000 folders deep: peak resident memory {deep / 1024:.1f} MiB (a run with nothing "
                  f"to remove: {empty / 1024:.1f} MiB), {'removed completely' if gone else 'its deep end kept, as on Windows (MAX_PATH)'}"]
        if not args.no_wine:
            medians = bench_wine(work, args.wine_files, args.rounds)
            ours = medians["Uninstaller.exe"]
            lines += ["", f"Wine: build/{WINE_BUILD}/Uninstaller.exe, loader {WINE_LOADER}, one prefix; "
                          f"{args.wine_files:,} files.", "",
                      "| contestant | median | Uninstaller.exe against it |", "|---|---|---|"]
            for name, seconds in medians.items():
                lines.append(f"| {name} | {seconds * 1000:.0f} ms | {ours / seconds:.2f}x |")
            if "NSIS RMDir /r" not in medians:
                lines += ["", "(No NSIS contestant: it is built as a 32-bit program, and this host runs the 64-bit build.)"]
        lines += ["", f"build/{WINE_BUILD}/Uninstaller.exe: {WIN_EXE.stat().st_size:,} bytes"]
    finally:
        subprocess.run(["rm", "-rf", str(work)], check=False)
    report = "\n".join(lines)
    print(report)
    (ROOT / "build" / "bench.md").write_text(report + "\n")
    if args.docs:
        (ROOT / "docs" / "benchmarks.md").write_text(
            "# Benchmarks\n\nMeasured by `bench/run.sh --docs` at commit "
            f"{subprocess.run(['git', 'rev-parse', '--short', 'HEAD'], cwd=ROOT, capture_output=True, text=True).stdout.strip()}"
            "; see `bench/bench.py` for what each contest does.\n\n" + report + "\n")


if __name__ == "__main__":
    main()
