#!/usr/bin/env python3
"""Non-blank lines of the code and of its tests, and the tests' share of the code.

  tools/count_lines.py [--ref REV]   counts the tracked files of the worktree, or of REV

Reliability suites are the fault, leak and soak tests with the sshd and process-table harness
they share; functional tests are the rest of tests/. Seed corpora and golden data files are
data, not tests, and are left out.
"""
import argparse
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RELIABILITY = ("test_faults", "test_leaks", "test_soak", "test_reliability", "ssh_server",
               "proc_table")
DATA = ("/corpus/", ".golden")


def tracked(ref, top):
    args = ["git", "ls-tree", "-r", "--name-only", ref, top] if ref else ["git", "ls-files", top]
    return subprocess.run(args, cwd=ROOT, check=True, text=True,
                          capture_output=True).stdout.split()


def non_blank(ref, path):
    text = subprocess.run(["git", "show", f"{ref}:{path}"], cwd=ROOT, check=True,
                          capture_output=True).stdout if ref else (ROOT / path).read_bytes()
    return sum(1 for line in text.decode(errors="replace").splitlines() if line.strip())


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--ref", help="a commit to count instead of the worktree")
    ref = ap.parse_args().ref
    groups = {"src": 0, "functional tests": 0, "reliability suites": 0, "fuzz targets": 0}
    for top, group in (("src", "src"), ("tests", None), ("fuzz", "fuzz targets")):
        for path in tracked(ref, top):
            if any(d in path for d in DATA):
                continue
            name = group or ("reliability suites" if Path(path).stem in RELIABILITY
                             else "functional tests")
            groups[name] += non_blank(ref, path)
    src = groups.pop("src")
    print(f"{'src':<22}{src:>7}")
    for name, lines in groups.items():
        print(f"{name:<22}{lines:>7}  {lines / src:6.1%} of src")
    total = sum(groups.values())
    print(f"{'all tests':<22}{total:>7}  {total / src:6.1%} of src")


if __name__ == "__main__":
    main()
