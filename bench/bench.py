#!/usr/bin/env python3
"""Times tree removal by Uninstaller.exe under Wine against Windows programs' own recursive deletes, on
identical trees in one throwaway prefix: an NSIS 3 program doing `RMDir /r`, and `cmd /c rmdir /s /q`.
This plants the template and builds the NSIS program; hyperfine runs the contestants, copying the
template into place before each run (--prepare), and exports the report, to which this adds the ratios
and the size of Uninstaller.exe.
"""
import argparse
import json
import os
import platform
import shlex
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# bench/run.sh picks the Windows build that this host can run, and the Wine loader that runs it.
WINE_BUILD = os.environ.get("WINE_BUILD", "windows-x86")
WINE_LOADER = os.environ.get("WINE_LOADER", "/usr/lib/wine/wine")
WIN_EXE = ROOT / "build" / WINE_BUILD / "Uninstaller.exe"
PLUGINS = Path("SketchUp/SketchUp 2014/SketchUp/Plugins")

NSIS_SCRIPT = r"""; A real installer's recursive delete, for comparison: NSIS's RMDir /r on the tree.
Unicode true
{target}
RequestExecutionLevel user
SilentInstall silent
OutFile "{out}"
Section
  RMDir /r "C:\nsis\tree"
SectionEnd
"""


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


def wine_environment(prefix):
    """The environment scripts/wine-lib.sh sets for Wine (wine_prefix_make, which makes the prefix
    unless it is there), as the demo and the tests have it."""
    dump = subprocess.run(["bash", "-c", 'source "$0" && wine_prefix_make "$1" >/dev/null && env -0',
                           str(ROOT / "scripts/wine-lib.sh"), str(prefix)],
                          check=True, capture_output=True).stdout
    return dict(item.split("=", 1) for item in dump.decode().split("\0") if "=" in item)


def nsis_program(work):
    """An NSIS 3 program doing RMDir /r, for the build's processor, built with Debian's makensis."""
    target = "" if WINE_BUILD == "windows-x86" else "Target amd64-unicode"
    script = work / "rmdir.nsi"
    script.write_text(NSIS_SCRIPT.format(target=target, out=work / "nsis-rmdir.exe"))
    subprocess.run(["makensis", "-V1", str(script)], check=True, stdout=subprocess.DEVNULL)
    return work / "nsis-rmdir.exe"


def run_hyperfine(work, files, runs):
    """hyperfine's results for the three contestants on the same tree, in one prefix."""
    prefix = work / "wineprefix"
    env = wine_environment(prefix)
    env.pop("DISPLAY", None)  # with no display the box returns at once: the run time is the work
    if (prefix / "dosdevices" / "z:").exists():
        sys.exit("the Wine prefix still maps Z:")
    drive = prefix / "drive_c"
    run = drive / "run"
    run.mkdir()
    shutil.copy(WIN_EXE, run / "Uninstaller.exe")
    shutil.copy(nsis_program(work), run / "nsis-rmdir.exe")
    user = next(p.name for p in (drive / "users").iterdir() if p.name != "Public")
    template = work / "template"
    plant(template, files)
    q = shlex.quote
    # Each run's tree is copied and written out to disk first, as an installed plug-in's files are, so
    # that the removal frees real blocks; the copy fails if the last run left its tree behind.
    contestants = [
        ("Uninstaller.exe", drive / "users" / user / "AppData/Roaming" / PLUGINS / "SU_Varnok_V2",
         "wine ./Uninstaller.exe; test $? -eq 1"),  # the program's exit status is always 1
        ("NSIS RMDir /r", drive / "nsis" / "tree", "wine ./nsis-rmdir.exe"),
        ("cmd rmdir", drive / "rmtree" / "tree", "wine cmd /c rmdir /s /q 'C:\\rmtree\\tree'"),
    ]
    command = ["hyperfine", "--runs", str(runs), "--warmup", "1", "--export-json", str(work / "times.json"),
               "--export-markdown", str(work / "times.md")]
    for name, tree, run_it in contestants:
        command += ["--prepare", f"test ! -e {q(str(tree))} && mkdir -p {q(str(tree.parent))} && "
                                 f"cp -a {q(str(template))} {q(str(tree))} && sync",
                    "--command-name", name, f"cd {q(str(run))} && {run_it}"]
    try:
        subprocess.run(command, env=env, check=True)
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    results = {r["command"]: r["median"] for r in json.loads((work / "times.json").read_text())["results"]}
    return results, (work / "times.md").read_text().strip()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--wine-files", type=int, default=10000)
    parser.add_argument("--docs", action="store_true", help="also write the report to docs/benchmarks.md")
    args = parser.parse_args()

    filesystem = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "--target", str(ROOT / "build")],
                                capture_output=True, text=True).stdout.strip()
    work = Path(tempfile.mkdtemp(prefix="uninstaller-bench-", dir=ROOT / "build"))
    try:
        medians, table = run_hyperfine(work, args.wine_files, args.runs)
    finally:
        subprocess.run(["rm", "-rf", str(work)], check=False)
    ours = medians["Uninstaller.exe"]
    lines = [f"Machine: {os.cpu_count()} cores, {platform.machine()}, Linux {platform.release()}, {filesystem}.",
             f"Wine: build/{WINE_BUILD}/Uninstaller.exe, loader {WINE_LOADER}, one prefix; {args.wine_files:,} "
             f"files written out to disk before each run; hyperfine {args.runs} runs each after one warm-up.", "",
             table, "", "| contestant | median | Uninstaller.exe against it |", "|---|---|---|"]
    lines += [f"| {name} | {seconds * 1000:.0f} ms | {ours / seconds:.2f}x |" for name, seconds in medians.items()]
    lines += ["", f"build/{WINE_BUILD}/Uninstaller.exe: {WIN_EXE.stat().st_size:,} bytes"]
    report = "\n".join(lines)
    print(report)
    (ROOT / "build" / "bench.md").write_text(report + "\n")
    if args.docs:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True, text=True).stdout
        (ROOT / "docs" / "benchmarks.md").write_text(
            f"# Benchmarks\n\nMeasured by `bench/run.sh --docs` at commit {commit.strip()}; see `bench/bench.py` for "
            "what each contest does.\n\n" + report + "\n")


if __name__ == "__main__":
    main()
