#!/usr/bin/env python3
"""Times tree removal by Uninstaller.exe under Wine against Windows programs' own recursive deletes, on
identical trees: an NSIS 3 program doing `RMDir /r`, and `cmd /c rmdir /s /q`, in one throwaway prefix.
Each round copies a planted template once per contestant and alternates which goes first. Prints
medians, ratios and the size of Uninstaller.exe, as a Markdown report.
"""
import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
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
    or no 32-bit Wine to run it."""
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
    parser.add_argument("--wine-files", type=int, default=10000)
    parser.add_argument("--docs", action="store_true", help="also write the report to docs/benchmarks.md")
    args = parser.parse_args()

    lines = [f"Machine: {os.cpu_count()} cores, {platform.machine()}, Linux {platform.release()}, "
             f"{subprocess.run(['findmnt', '-n', '-o', 'FSTYPE', '--target', str(ROOT / 'build')], capture_output=True, text=True).stdout.strip()}; "
             f"{args.rounds} rounds each, medians, order alternating.", ""]
    work = Path(tempfile.mkdtemp(prefix="uninstaller-bench-", dir=ROOT / "build"))
    try:
        medians = bench_wine(work, args.wine_files, args.rounds)
        ours = medians["Uninstaller.exe"]
        lines += [f"Wine: build/{WINE_BUILD}/Uninstaller.exe, loader {WINE_LOADER}, one prefix; "
                  f"{args.wine_files:,} files written out to disk, as an installed plug-in's are.", "",
                  "| contestant | median | Uninstaller.exe against it |", "|---|---|---|"]
        for name, seconds in medians.items():
            lines.append(f"| {name} | {seconds * 1000:.0f} ms | {ours / seconds:.2f}x |")
        if "NSIS RMDir /r" not in medians:
            lines += ["", "(No NSIS contestant: the 32-bit NSIS program cannot run where this host runs the 64-bit build.)"]
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
