#!/usr/bin/env python3
"""Mutation runner: proves the suites catch the faults listed in
scripts/mutate-faults.txt.

For each fault it replaces one line of src/, rebuilds only the suites named
for that fault in its own build tree, runs them and puts the line back. A
fault is KILLED when a suite fails, SURVIVED when all pass, NOT-APPLICABLE
when its line is not found exactly once in src/ or the change does not
compile.

  scripts/mutate.py [--faults REGEX] [--build DIR] [--dry-run] [--list FILE]

--dry-run only checks that every line is found exactly once. The exit status
is 0 only when every fault run was killed (or, dry, every line was found).
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
SOURCE_SUFFIXES = {".cc", ".h"}


@dataclass
class Fault:
    name: str
    find: str
    replace: str
    tests: str
    line: int  # in the list, for messages


def parse_faults(list_path):
    faults, current = [], None
    for number, raw in enumerate(list_path.read_text().splitlines(), 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("[") and line.endswith("]"):
            current = {"name": line[1:-1], "line": number}
            faults.append(current)
            continue
        key, sep, value = line.partition(":")
        if current is None or not sep or key not in ("find", "replace", "tests") or key in current:
            sys.exit(f"{list_path}:{number}: expected '[name]' or one each of find:, replace:, tests:")
        current[key] = value.strip()
    result = []
    for f in faults:
        missing = [k for k in ("find", "replace", "tests") if k not in f]
        if missing:
            sys.exit(f"{list_path}:{f['line']}: fault {f['name']} lacks {', '.join(missing)}")
        re.compile(f["tests"])
        result.append(Fault(f["name"], f["find"], f["replace"], f["tests"], f["line"]))
    names = [f.name for f in result]
    if len(names) != len(set(names)):
        sys.exit(f"{list_path}: fault names must be unique")
    return result


def source_files():
    for path in sorted((REPO / "src").rglob("*")):
        if path.suffix in SOURCE_SUFFIXES and path.is_file():
            yield path


def index_source_lines():
    """Every stripped line of src/ with the places it stands. Read once: each
    fault puts its file back before the next is applied."""
    places = {}
    for path in source_files():
        for index, text in enumerate(path.read_text(errors="surrogateescape").split("\n")):
            places.setdefault(text.strip(), []).append((path, index))
    return places


def locate(fault, places):
    """(path, line index) of the one line equal to fault.find, or a reason."""
    hits = places.get(fault.find, [])
    if len(hits) == 1:
        return hits[0], None
    if not hits:
        return None, "line not found in src/"
    where = ", ".join(f"{p.relative_to(REPO)}:{i + 1}" for p, i in hits)
    return None, f"line found {len(hits)} times ({where})"


def run(command, log, **kwargs):
    with open(log, "a") as out:
        out.write(f"$ {' '.join(command)}\n")
        out.flush()
        return subprocess.run(command, stdout=out, stderr=subprocess.STDOUT, cwd=REPO, **kwargs).returncode


def configure(build, log):
    # A fault often leaves a helper or a variable unused; that is no reason to
    # skip it, so unused-code warnings (gcc honours this before -Wall) are off.
    flags = ["-DSMCD_BUILD_BENCH=OFF", "-DCMAKE_CXX_FLAGS=-Wno-unused"]
    if shutil.which("ccache"):
        flags += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    if run(["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja", *flags], log) != 0:
        sys.exit(f"mutate: configuring {build} failed; see {log}")


def suites_matching(build, regex):
    listing = subprocess.run(["ctest", "--test-dir", str(build), "-N", "-R", regex],
                             capture_output=True, text=True, cwd=REPO).stdout
    return re.findall(r"Test\s+#\d+: (\S+)", listing)


def build_and_run(build, suites, regex, log, jobs):
    """'built-failed', 'failed' (a suite caught it) or 'passed'."""
    if run(["cmake", "--build", str(build), f"-j{jobs}", "--target", *suites], log) != 0:
        return "built-failed"
    # A suite a fault aborts never removes its temporary folders: give each
    # run its own TMPDIR and remove that instead. Open to every user as /tmp
    # is, since some suites look at their folders as another user.
    with tempfile.TemporaryDirectory(prefix="smcd-mutate-") as scratch:
        os.chmod(scratch, 0o1777)
        status = run(["ctest", "--test-dir", str(build), "-R", regex, "--output-on-failure", "--no-tests=error",
                      f"-j{jobs}"], log, env={**os.environ, "TMPDIR": scratch})
    return "failed" if status != 0 else "passed"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--faults", default="", help="regex over fault names (default: all)")
    parser.add_argument("--build", default=str(REPO / "build-mutate"))
    parser.add_argument("--list", default=str(REPO / "scripts" / "mutate-faults.txt"))
    parser.add_argument("--dry-run", action="store_true")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    args = parser.parse_args()

    faults = [f for f in parse_faults(Path(args.list)) if re.search(args.faults, f.name)]
    if not faults:
        sys.exit(f"mutate: no fault matches '{args.faults}'")

    places = index_source_lines()
    if args.dry_run:
        missing = 0
        for fault in faults:
            _, reason = locate(fault, places)
            if reason:
                missing += 1
                print(f"{fault.name}: {reason}")
        print(f"mutate: {len(faults) - missing} of {len(faults)} lines found exactly once")
        return 0 if missing == 0 else 1

    build = Path(args.build).resolve()
    build.mkdir(parents=True, exist_ok=True)
    log = build / "mutate.log"
    log.write_text("")
    configure(build, log)

    # The unchanged tree must pass the suites, or a "kill" would prove nothing.
    # CMake's regexes allow nine groups at most, so the faults' alternatives
    # are joined as they stand, each once.
    wanted = "|".join(dict.fromkeys(part for f in faults for part in f.tests.split("|")))
    every_suite = suites_matching(build, wanted)
    print(f"mutate: baseline: building and running {len(every_suite)} suites", flush=True)
    if build_and_run(build, every_suite, wanted, log, args.jobs) != "passed":
        sys.exit(f"mutate: the suites fail without any fault; see {log}")

    counts = {"KILLED": 0, "SURVIVED": 0, "NOT-APPLICABLE": 0}
    restore = {}

    def put_back(*_):
        for path, text in restore.items():
            path.write_bytes(text)
        restore.clear()

    signal.signal(signal.SIGTERM, lambda *a: (put_back(), sys.exit(143)))
    try:
        for fault in faults:
            started = time.monotonic()
            found, reason = locate(fault, places)
            suites = suites_matching(build, fault.tests)
            if found and not suites:
                reason = f"no suite matches {fault.tests}"
            if reason:
                verdict = "NOT-APPLICABLE"
            else:
                path, index = found
                original = path.read_bytes()
                restore[path] = original
                lines = original.decode(errors="surrogateescape").split("\n")
                indent = lines[index][: len(lines[index]) - len(lines[index].lstrip())]
                lines[index] = indent + fault.replace
                path.write_bytes("\n".join(lines).encode(errors="surrogateescape"))
                with open(log, "a") as out:
                    out.write(f"\n=== {fault.name}: {path.relative_to(REPO)}:{index + 1}\n")
                try:
                    outcome = build_and_run(build, suites, fault.tests, log, args.jobs)
                finally:
                    put_back()
                verdict = {"failed": "KILLED", "passed": "SURVIVED", "built-failed": "NOT-APPLICABLE"}[outcome]
                if outcome == "built-failed":
                    reason = "does not compile"
            counts[verdict] += 1
            detail = f" ({reason})" if reason else ""
            print(f"{verdict:<14} {fault.name}{detail} [{time.monotonic() - started:.0f} s]", flush=True)
    finally:
        put_back()
        # Leave the tree built from the real sources for the next run.
        subprocess.run(["cmake", "--build", str(build), f"-j{args.jobs}", "--target", *every_suite],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=REPO)

    print(f"{counts['KILLED']} killed, {counts['SURVIVED']} survived of {len(faults)}"
          + (f" ({counts['NOT-APPLICABLE']} not applicable)" if counts["NOT-APPLICABLE"] else ""))
    print(f"mutate: build and test output in {log}")
    return 0 if counts["KILLED"] == len(faults) else 1


if __name__ == "__main__":
    sys.exit(main())
