#!/usr/bin/python3
"""Mutation sweep: makes one small fault at a time in the program (app/, plan/, removal/, headers
included), builds the 64-bit test program (program_tests.exe) with it, runs that under Wine inside
bubblewrap, where nothing but the worker's own copy of the tree and a fresh /tmp can be written, and reports
the faults the suite did not catch. A fault counts as killed only when a test failed, or the test program
crashed after it had started; a run that was still going after TIMEOUT seconds is reported apart, with
its time, and never counted as killed; a build, sandbox or Wine start that fails for any other reason
stops the sweep.

The faults are the standard operators: a relational or equality operator replaced, && and || swapped,
a condition negated or replaced by true or by false, an integer or character constant moved by one, a
call statement removed, continue and break swapped, a returned value negated. A fault that does not
compile is not counted. A survivor listed in scripts/equivalent-mutants.txt, with the reason why no
test can tell it apart, is reported as equivalent.

Usage: scripts/mutate.py [--jobs N] [--only TEXT] [--list]   (scripts/setup.sh windows mutate first)
  --jobs N     builds and runs N faults at once (default: the number of cores)
  --only TEXT  only the faults whose file or line holds TEXT
  --list       lists the faults without building them
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import skips  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
PROGRAM = ["app", "plan", "removal"]
EQUIVALENTS = ROOT / "scripts" / "equivalent-mutants.txt"
TIMEOUT = 300  # seconds for one run of the suite; it takes about one minute on an idle machine

RELATIONAL = {"<": ["<=", ">", "!="], "<=": ["<", ">", "=="], ">": [">=", "<", "!="], ">=": [">", "<", "=="],
              "==": ["!="], "!=": ["=="]}


def code_part(line):
    """The line less a trailing // comment; string and character literals are kept whole."""
    out, quote, i = [], None, 0
    while i < len(line):
        c = line[i]
        if quote:
            out.append(c)
            if c == "\\" and i + 1 < len(line):
                out.append(line[i + 1])
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)


def outside_literals(code):
    """The spans of `code` outside string and character literals."""
    spans, start, quote, i = [], 0, None, 0
    while i < len(code):
        c = code[i]
        if quote:
            if c == "\\":
                i += 1
            elif c == quote:
                quote = None
                start = i + 1
        elif c in "\"'":
            if code[i - 1:i] == "L" and (i < 2 or not (code[i - 2].isalnum() or code[i - 2] == "_")):
                spans.append((start, i - 1))
            else:
                spans.append((start, i))
            quote = c
        i += 1
    if not quote:
        spans.append((start, len(code)))
    return spans


def matching_paren(code, open_at):
    depth = 0
    for i in range(open_at, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return None


def mutants_of_line(code):
    """(operator, mutated code) for one line of code."""
    found = []
    spans = outside_literals(code)

    def outside(i):
        return any(a <= i < b for a, b in spans)

    for m in re.finditer(r" (<=|>=|==|!=|<|>) ", code):
        if outside(m.start()):
            for other in RELATIONAL[m.group(1)]:
                found.append(("relational", code[:m.start(1)] + other + code[m.end(1):]))
    for m in re.finditer(r" (&&|\|\|) ", code):
        if outside(m.start()):
            other = "||" if m.group(1) == "&&" else "&&"
            found.append(("logical", code[:m.start(1)] + other + code[m.end(1):]))
    for m in re.finditer(r"\b(if|while) \(", code):
        close = matching_paren(code, m.end() - 1)
        if close is None or not outside(m.start()):
            continue
        condition = code[m.end():close]
        for name, replacement in (("negated", f"!({condition})"), ("true", "true"), ("false", "false")):
            found.append((f"condition {name}", code[:m.end()] + replacement + code[close:]))
    for m in re.finditer(r"(?<![\w.])(0x[0-9a-fA-F]+|\d+)(?![\w.])", code):
        if outside(m.start()):
            literal = m.group(1)
            octal = literal.startswith("0") and len(literal) > 1 and literal[1].isdigit()
            value = int(literal, 8 if octal else 0)
            for moved in (value - 1, value + 1):
                if moved >= 0:
                    text = hex(moved) if literal.startswith("0x") else f"0{moved:o}" if octal else str(moved)
                    found.append(("constant", code[:m.start()] + text + code[m.end():]))
    for m in re.finditer(r"(L?)'(\\?.)'", code):
        value = ord(m.group(2)[-1]) if not m.group(2).startswith("\\") else None
        if value is not None:
            for moved in (value - 1, value + 1):
                found.append(("constant", code[:m.start()] + f"{m.group(1)}'\\x{moved:x}'" + code[m.end():]))
    if re.fullmatch(r"\s*[A-Za-z_][\w:.>\-]*\(.*\);\s*", code) and not re.match(r"\s*(return|delete)\b", code):
        found.append(("call removed", re.match(r"\s*", code).group() + ";"))
    for word, other in (("continue;", "break;"), ("break;", "continue;")):
        for m in re.finditer(re.escape(word), code):
            if outside(m.start()):
                found.append(("continue/break", code[:m.start()] + other + code[m.end():]))
    m = re.match(r"(\s*return )(.+);\s*$", code)
    if m and m.group(2) not in ("true", "false"):
        found.append(("return negated", f"{m.group(1)}!({m.group(2)});"))
    elif m:
        found.append(("return negated", f"{m.group(1)}{'false' if m.group(2) == 'true' else 'true'};"))
    return found


def all_mutants(only):
    mutants = []
    for folder in PROGRAM:
        for path in sorted(list((ROOT / folder).glob("*.cpp")) + list((ROOT / folder).glob("*.h"))):
            relative = str(path.relative_to(ROOT))
            lines = path.read_text().splitlines(keepends=True)
            in_block = False
            for number, line in enumerate(lines):
                stripped = line.strip()
                if in_block or stripped.startswith("/*"):
                    in_block = "*/" not in stripped
                    continue
                if stripped.startswith("#") or stripped.startswith("//") or "static_assert" in line:
                    continue
                code = code_part(line.rstrip("\n"))
                for operator, mutated in mutants_of_line(code):
                    if only and only not in relative and only not in line:
                        continue
                    mutants.append({"file": relative, "line": number, "operator": operator,
                                    "original": code.strip(), "mutated": mutated.strip(),
                                    "text": mutated + line.rstrip("\n")[len(code):] + "\n"})
    return mutants


def equivalents():
    """The file's entries: path, original line, mutated line and reason, tab-separated, one a line."""
    listed = {}
    if EQUIVALENTS.exists():
        for line in EQUIVALENTS.read_text().splitlines():
            if line.strip() and not line.startswith("#"):
                path, original, mutated, reason = line.split("\t")
                listed[(path, original, mutated)] = reason
    return listed


class Broken(Exception):
    """The sweep cannot go on: a build, the sandbox or Wine failed with no fault to blame."""


def make_worker(index, base, template):
    """A copy of the working tree and a windows-x64 build of its own, unoptimised for quick rebuilds, with
    the prefix template in its build folder, from which its runner copies each run's prefix afresh."""
    tree = base / f"tree-{index}"
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns(".git", "build", "dist"))
    build = tree / "build"
    subprocess.run(["cmake", "-S", str(tree), "-B", str(build), "--toolchain", str(tree / "cmake/mingw-w64-x86_64.cmake"),
                    "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS=-O0 -g0"], check=True, stdout=subprocess.DEVNULL)
    built = subprocess.run(["cmake", "--build", str(build), "--target", "program_tests", "-j", "1"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if built.returncode != 0:
        raise Broken(f"the worker's build failed:\n{built.stdout[-3000:]}")
    place_template(tree, template)
    return tree


def make_prefix_template(base):
    """A Wine prefix made once; each worker gets a copy, its Windows folder hard-linked, since Wine only
    reads it, and the rest copied."""
    template = base / "prefix"
    subprocess.run(["bash", "-c", 'source "$0" && wine_use win64 && wine_prefix_make "$1" && wineserver -k',
                    str(ROOT / "scripts/wine-lib.sh"), str(template)], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return template


def place_template(tree, template):
    prefix = tree / "build" / "wineprefix-tests"
    (prefix / "drive_c").mkdir(parents=True)
    for entry in template.iterdir():
        if entry.name != "drive_c":
            subprocess.run(["cp", "-a", str(entry), str(prefix)], check=True)
    for entry in (template / "drive_c").iterdir():
        copy = "-al" if entry.name == "windows" else "-a"
        subprocess.run(["cp", copy, str(entry), str(prefix / "drive_c")], check=True)


def run_suite(tree, template):
    """'passed', 'failed' (a test failed, or the program crashed once running), 'timed out' (it was still
    running after TIMEOUT seconds: no kill, since a loaded machine is slow too), or raises Broken."""
    build = tree / "build"
    command = ["bwrap", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp",
               "--bind", str(tree), str(tree), "--unshare-all", "--die-with-parent", "--",
               str(build / "wine-run.sh"), str(build / "tests" / "program_tests.exe"), "--gtest_fail_fast",
               "--gtest_brief=1"]
    try:
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                                timeout=TIMEOUT)
        output, code = result.stdout, result.returncode
    except subprocess.TimeoutExpired:
        return "timed out"
    started = "Running main()" in output
    if code == 0 and "[  PASSED  ]" in output:
        return "passed"
    if code == 77 and started and not skips.unexcused("wine", output):
        return "passed"  # only rows that Wine cannot run were skipped; they are listed apart
    if code == 77:  # other rows that did not run can neither kill a fault nor let it survive
        raise Broken(f"the suite skipped rows:\n{output[-3000:]}")
    if started:
        return "failed"
    raise Broken(f"the test program did not start (exit {code}):\n{output[-3000:]}")


def try_mutant(tree, template, mutant):
    """'killed', 'survived', 'timed out' or 'not compiled'."""
    source = tree / mutant["file"]
    original = source.read_text()
    lines = original.splitlines(keepends=True)
    lines[mutant["line"]] = mutant["text"]
    source.write_text("".join(lines))
    try:
        built = subprocess.run(["cmake", "--build", str(tree / "build"), "--target", "program_tests", "-j", "1"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if built.returncode != 0:
            # The compiler or the linker refusing the fault, in the file or in one that includes it.
            if re.search(r"(\.(cpp|h):\d+:\d+: error:|undefined reference to)", built.stdout):
                return "not compiled"
            raise Broken(f"a build failed with no fault to blame:\n{built.stdout[-3000:]}")
        outcome = run_suite(tree, template)
        return {"passed": "survived", "failed": "killed"}.get(outcome, outcome)
    finally:
        source.write_text(original)
        os.utime(source, (time.time() + 1, time.time() + 1))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    parser.add_argument("--only", default="")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    mutants = all_mutants(args.only)
    if args.list:
        for m in mutants:
            print(f"{m['file']}:{m['line'] + 1}: {m['operator']}: {m['mutated']}")
        print(f"{len(mutants)} faults")
        return 0
    if shutil.which("bwrap") is None:
        sys.exit("mutate.py: bubblewrap is missing: scripts/setup.sh windows mutate installs it")
    listed = equivalents()
    # Not below /tmp, which each run sees afresh and empty inside bubblewrap.
    (ROOT / "build").mkdir(exist_ok=True)
    base = Path(tempfile.mkdtemp(prefix="mutate-", dir=ROOT / "build"))
    started = time.time()
    results = []
    try:
        template = make_prefix_template(base)
        trees = [make_worker(i, base, template) for i in range(args.jobs)]
        for tree in trees:
            if run_suite(tree, template) != "passed":
                raise Broken("the suite fails without any fault")
        free = list(trees)

        def one(mutant):
            tree = free.pop()
            try:
                return mutant, try_mutant(tree, template, mutant)
            finally:
                free.append(tree)

        with ThreadPoolExecutor(max_workers=args.jobs) as pool:
            for done, (mutant, outcome) in enumerate(pool.map(one, mutants), 1):
                results.append((mutant, outcome))
                if outcome == "timed out":
                    print(f"timed out after {TIMEOUT} s, not counted: {mutant['file']}:{mutant['line'] + 1}: "
                          f"{mutant['operator']}\n    {mutant['mutated']}", flush=True)
                if outcome == "survived":
                    key = (mutant["file"], mutant["original"], mutant["mutated"])
                    said = f"equivalent: {listed[key]}" if key in listed else "SURVIVED"
                    print(f"{said}: {mutant['file']}:{mutant['line'] + 1}: {mutant['operator']}\n"
                          f"    {mutant['original']}\n    {mutant['mutated']}", flush=True)
                if done % 25 == 0:
                    print(f"({done} of {len(mutants)} tried, {time.time() - started:.0f} s)", flush=True)
    except Broken as broken:
        print(f"mutate.py: stopped: {broken}", file=sys.stderr)
        return 2
    finally:
        shutil.rmtree(base, ignore_errors=True)

    print()
    mine = [(m, o) for m, o in results if o not in ("not compiled", "timed out")]
    timed_out = sum(1 for _, o in results if o == "timed out")
    killed = sum(1 for _, o in mine if o == "killed")
    equivalent = sum(1 for m, o in mine if o == "survived" and (m["file"], m["original"], m["mutated"]) in listed)
    survived = len(mine) - killed - equivalent
    print(f"program: {killed} of {len(mine) - equivalent} killed ({100 * killed / max(1, len(mine) - equivalent):.1f}%), "
          f"{equivalent} equivalent, {survived} survived; {timed_out} timed out after {TIMEOUT} s, not counted")
    print(f"{sum(1 for _, o in results if o == 'not compiled')} did not compile; {time.time() - started:.0f} s")
    return 1 if survived or timed_out else 0


if __name__ == "__main__":
    sys.exit(main())
