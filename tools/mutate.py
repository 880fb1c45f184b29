#!/usr/bin/env python3
"""Mutation testing of src/core: which small faults does the test suite catch?

From a fixed seed it picks single-point mutants of src/core/*.cpp and *.hpp (code only, never
inside comments, literals or preprocessor lines), takes the kinds in turn and drops a mutant
that does not compile for the next one of its kind. Each mutant is built in a scratch copy of
the tree (build/mutate/tree; the worktree is never touched), then the native tests and the
pytest suite (-x, short soak, fixed hypothesis seed) run against it: a failing test, a crash or
a hang past the time limit kills it.

  tools/mutate.py --list                       the chosen mutants, nothing is run
  tools/mutate.py                              the campaign: build/mutate/results.{json,md}
  tools/mutate.py --only m03,m17 --out F.json  some of them again (--limit N: the first N)
  tools/mutate.py --resume                     go on with an interrupted campaign
  tools/mutate.py --compare BEFORE.json AFTER.json
      fails if a mutant killed before is not killed after
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "mutate"
TREE = WORK / "tree"
BUILD = TREE / "build"
KINDS = ("comparison", "off-by-one", "drop-error", "swap-args", "negate")


# ---- finding sites -------------------------------------------------------------------------

RAW = re.compile(r'\b(?:u8|u|U|L)?R"([^()\\\s]{0,16})\(')
NUMBER_END = re.compile(r"\b\d[\w']*$")  # a ' after it separates digits: 1'000


def mask(text):
    """The text with comments and preprocessor lines turned into spaces and literals into '_',
    offsets and newlines kept, so that no operator, digit or bracket is found inside them."""
    out, i, n = list(text), 0, len(text)

    def blank(a, b, ch):
        out[a:b] = [c if c == "\n" else ch for c in text[a:b]]

    while i < n:
        raw = RAW.match(text, i) if text[i] in "uULR" else None
        if text.startswith("//", i):
            j = text.find("\n", i) % (n + 1)
            blank(i, j, " ")
        elif text.startswith("/*", i):
            j = text.index("*/", i) + 2
            blank(i, j, " ")
        elif raw:
            j = text.index(")" + raw.group(1) + '"', raw.end()) + len(raw.group(1)) + 2
            blank(i, j, "_")
        elif text[i] in "\"'" and not (text[i] == "'" and NUMBER_END.search(text, 0, i)):
            j = i + 1
            while text[j] != text[i]:
                j += 2 if text[j] == "\\" else 1
            j += 1
            blank(i, j, "_")
        else:
            j = i + 1
        i = j
    lines, pos, directive = "".join(out).split("\n"), 0, False
    for k, line in enumerate(lines):
        directive = directive or line.lstrip().startswith("#")
        if directive:
            lines[k] = " " * len(line)
        directive = directive and text[pos:pos + len(line)].endswith("\\")
        pos += len(line) + 1
    return "\n".join(lines)


def match_close(m, i):
    """Index of the bracket closing the one at m[i]."""
    depth = 0
    for j in range(i, len(m)):
        depth += (m[j] in "([{") - (m[j] in ")]}")
        if depth == 0:
            return j
    raise ValueError("unbalanced")


def top_level(m, a, b, sep):
    """Stripped spans of m[a:b] split at `sep` outside brackets."""
    spans, depth, start = [], 0, a
    for j in range(a, b + 1):
        if j == b or (m[j] == sep and depth == 0):
            s, e = start, j
            while s < e and m[s].isspace():
                s += 1
            while e > s and m[e - 1].isspace():
                e -= 1
            spans.append((s, e))
            start = j + 1
        elif j < b:
            depth += (m[j] in "([{") - (m[j] in ")]}")
    return spans


@dataclass
class Mutant:
    file: str  # relative to the tree
    start: int
    end: int
    new: str
    kind: str
    id: str = ""
    line: int = 0
    original: str = ""
    mutated: str = ""
    key: str = ""
    result: dict = field(default_factory=dict)


FLIP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
CMP = r"(?:<=|>=|==|!=|<|>)"
OP = r"(?:<=|>=|==|!=|<|>|\+|-)"
ERRORISH = re.compile(r"rror|nullptr|\bfalse\b|-1\b|errno|unexpected")  # a failure returned
NOT_CALLS = {"if", "while", "for", "switch", "catch", "return", "sizeof", "alignof", "decltype",
             "noexcept", "static_assert", "alignas", "requires", "operator", "defined",
             "min", "max", "swap"}  # the last three are symmetric: a swap changes nothing
BEFORE_CALL = {"return", "else", "case", "throw", "co_return", "new", "delete", "do"}


def comparisons(m, text, rnd):
    for x in re.finditer(r"(?<=[\w)\]]) (<=|>=|==|!=|<|>) (?=[\w(!*&:~-])", m):
        yield x.start(1), x.end(1), FLIP[x.group(1)]


def off_by_one(m, text, rnd):
    for x in re.finditer(r"(?<=[ (\[])(\d+)[uUlL]{0,3}(?![\w.'])", m):
        prev = re.search(r"(?:(?<![-+<>=!])(" + OP + r")|[(\[,=?:]|return) ?$",
                         m[max(0, x.start() - 8):x.start()])
        # Only a bound: the literal is an operand of a comparison, a sum or a difference.
        if not prev or not (prev.group(1) or re.match(" " + OP + "(?:[^-+<>=]|$)", m[x.end():])):
            continue
        value, up = int(x.group(1)), rnd(x.start()).random() < 0.5
        if value == 1 and prev.group(1) in ("+", "-"):
            yield (x.start(1), x.end(1), "2") if up else (x.start() - 3, x.end(), "")  # dropped
        else:
            yield x.start(1), x.end(1), str(value + 1 if up or value == 0 else value - 1)
    for x in re.finditer(r"\.(?:size|length)\(\)", m):
        if re.search(CMP + r" $", m[x.start() - 4:x.start()]) or re.match(r" " + CMP + " ",
                                                                           m[x.end():]):
            yield x.end(), x.end(), rnd(x.start()).choice((" + 1", " - 1"))


def dropped_errors(m, text, rnd):
    for x in re.finditer(r"\bif \(", m):
        if m[:x.start()].rstrip().endswith("else"):
            continue
        j = match_close(m, x.end() - 1) + 1
        while m[j].isspace():
            j += 1
        if m[j] == "{":
            end = match_close(m, j) + 1
            stmts = [s for s in top_level(m, j + 1, end - 1, ";") if s[0] < s[1]]
            if not stmts or len(stmts) > 3:
                continue
            last = text[stmts[-1][0]:stmts[-1][1]]
        elif re.match(r"(return|throw)\b", m[j:]):
            end = m.index(";", j) + 1
            last = text[j:end]
        else:
            continue
        if not (last.startswith("throw") or last.startswith("return")
                and ERRORISH.search(last[6:])):
            continue
        if re.match(r"\s*else\b", m[end:]):
            continue
        yield x.start(), end, "\n" * text.count("\n", x.start(), end)


def swapped_args(m, text, rnd):
    for p in (i for i, c in enumerate(m) if c == "("):
        name_end = p
        if m[p - 1] == ">":  # a template's arguments between the name and the call
            depth, name_end = 0, p - 1
            while name_end > 0 and (depth := depth + (m[name_end] == ">") - (m[name_end] == "<")):
                name_end -= 1
        callee = re.search(r"[A-Za-z_][\w:]*$", m[max(0, name_end - 80):name_end])
        if not callee or callee.group().split("::")[-1] in NOT_CALLS:
            continue
        before = m[:name_end - len(callee.group())].rstrip()
        prev = re.search(r"(\w+|\S)$", before)
        # A name after a type or another name declares something: `int f(...)`, `T x(...)`.
        if prev and prev.group()[0].isalnum() and prev.group() not in BEFORE_CALL:
            continue
        if prev and prev.group() in "*&>" and len(before) > 1 and not before[-2].isspace():
            continue
        args = top_level(m, p + 1, match_close(m, p), ",")
        if len(args) < 2 or any(s == e for s, e in args):
            continue
        k = rnd(p).randrange(len(args) - 1)
        (a, b), (c, d) = args[k], args[k + 1]
        if text[a:b] != text[c:d]:
            yield a, d, text[c:d] + text[b:c] + text[a:b]


def negations(m, text, rnd):
    for x in re.finditer(r"\b(?:if|while) \(", m):
        a, close = x.end(), match_close(m, x.end() - 1)
        if ";" in m[a:close]:
            continue
        single = m[a] == "!" and len(top_level(m, a + 1, close, " ")) == 1  # `!ok`, `!f(x, y)`
        yield a, close, text[a + 1:close] if single else "!(" + text[a:close] + ")"


FINDERS = dict(zip(KINDS, (comparisons, off_by_one, dropped_errors, swapped_args, negations)))


def describe(mut, text):
    """Line, before/after snippets and a key that survives edits elsewhere in the file."""
    ls = text.rfind("\n", 0, mut.start) + 1
    le = text.find("\n", mut.end) % (len(text) + 1)
    mut.line = text.count("\n", 0, mut.start) + 1
    orig, new = text[ls:le], text[ls:mut.start] + mut.new + text[mut.end:le]
    squash = lambda s: " ".join(s.split())
    mut.original, mut.mutated = squash(orig), squash(new)
    same_before = text[:ls].split("\n").count(text[ls:text.find("\n", ls)])
    ident = [mut.file, mut.kind, orig, str(same_before), str(mut.start - ls), mut.new]
    mut.key = hashlib.sha1("\0".join(ident).encode()).hexdigest()[:12]


def candidates(tree, seed):
    """Every site of every kind, each kind's list shuffled by the seed."""
    by_kind = {k: [] for k in KINDS}
    files = sorted(p for p in (tree / "src" / "core").iterdir() if p.suffix in (".cpp", ".hpp"))
    for path in files:
        rel = str(path.relative_to(tree))
        text = path.read_text()
        m = mask(text)
        for kind, finder in FINDERS.items():
            # One generator per site: what it draws does not depend on the other sites.
            rnd = lambda pos: random.Random(f"{seed}:{rel}:{kind}:{pos}")
            for start, end, new in finder(m, text, rnd):
                mut = Mutant(rel, start, end, new, kind)
                describe(mut, text)
                by_kind[kind].append(mut)
    order = random.Random(seed)
    for kind in KINDS:
        order.shuffle(by_kind[kind])
    return by_kind


# ---- the scratch tree ----------------------------------------------------------------------

def sh(cmd, **kw):
    kw.setdefault("stderr", subprocess.PIPE)
    return subprocess.run(cmd, check=True, text=True, stdout=subprocess.PIPE, **kw).stdout


def sync_tree():
    """Mirrors the worktree's files (tracked or not, but not ignored) into TREE. Only changed
    files are written, so the build there stays incremental."""
    files = set(sh(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT).split("\0"))
    files.discard("")
    for rel in files:
        src, dst = ROOT / rel, TREE / rel
        if src.is_file() and (not dst.is_file() or dst.read_bytes() != src.read_bytes()):
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(src, dst)
            shutil.copymode(src, dst)
    for top, dirs, names in os.walk(TREE):
        if Path(top) == TREE:
            dirs[:] = [d for d in dirs if d != "build"]
        for name in names:
            if str((Path(top) / name).relative_to(TREE)) not in files:
                (Path(top) / name).unlink()


def python_for_tests(given):
    if given:
        return given
    venv = ROOT / ".venv" / "mutate"
    if not (venv / "bin" / "pytest").exists():
        subprocess.run([sys.executable, "-m", "venv", "--clear", str(venv)], check=True)
        pip = sh([str(venv / "bin" / "pip"), "install", "-q", "pytest", "pytest-timeout",
                  "hypothesis"], stderr=subprocess.STDOUT)
        print("".join(l for l in pip.splitlines(True) if "is ignored" not in l), end="")
    return str(venv / "bin" / "python")


def build():
    """Incremental build of TREE; True when it succeeded. The output goes to WORK/build.log."""
    with open(WORK / "build.log", "w") as log:
        return subprocess.run(["ninja", "-C", str(BUILD)], stdout=log, stderr=subprocess.STDOUT
                              ).returncode == 0


def set_up(python):
    """Scratch tree, configured once (no -Werror: a mutant that only warns is still a mutant),
    built, and a package dir that imports the module being built."""
    TREE.mkdir(parents=True, exist_ok=True)
    sync_tree()
    if not (BUILD / "build.ninja").exists():
        sh(["cmake", "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=",
            "-DCMAKE_CXX_FLAGS=-O1", "-DTARNWISTLE_PYTHON=ON", "-DTARNWISTLE_NATIVE_TESTS=ON",
            "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", f"-DPython_EXECUTABLE={python}"])
    print("building the scratch tree", TREE, flush=True)
    if not build():
        sys.exit(f"the unmutated tree does not build: see {WORK / 'build.log'}")
    pkg = BUILD / "pkg" / "tarnwistle"
    shutil.rmtree(pkg.parent, ignore_errors=True)
    pkg.mkdir(parents=True)
    for f in (TREE / "src" / "tarnwistle").iterdir():
        shutil.copyfile(f, pkg / f.name)
    (so,) = BUILD.glob("_core*.so")
    (pkg / so.name).symlink_to(so)


class Applied:
    """A mutant written into TREE; on leaving, the original is back. `keep_time` gives the
    file its old time stamp too, for a check that built nothing from it: after a build the
    original must look newer than the mutant's objects, or they would be linked again."""

    def __init__(self, mut, keep_time):
        self.path, self.mut, self.keep_time = TREE / mut.file, mut, keep_time

    def __enter__(self):
        self.text, self.stat = self.path.read_text(), self.path.stat()
        mut = self.mut
        self.path.write_text(self.text[:mut.start] + mut.new + self.text[mut.end:])

    def __exit__(self, *exc):
        self.path.write_text(self.text)
        if self.keep_time:
            os.utime(self.path, ns=(self.stat.st_atime_ns, self.stat.st_mtime_ns))


# ---- choosing mutants ----------------------------------------------------------------------

class Compiler:
    """Front-end check of a mutant: every unit that includes the mutated file is compiled
    with -fsyntax-only. Verdicts are cached per state of src/core."""

    def __init__(self):
        self.cache_file = WORK / "compile-checks.json"
        self.cache = json.loads(self.cache_file.read_text()) if self.cache_file.exists() else {}
        core = sorted((TREE / "src" / "core").iterdir())
        self.state = hashlib.sha1(b"".join(p.name.encode() + p.read_bytes() for p in core))
        self.state = self.state.hexdigest()[:12]
        commands = json.loads((BUILD / "compile_commands.json").read_text())
        by_output = {os.path.join(c["directory"], c["output"]): c for c in commands}
        self.units = {}  # source or header path -> compile commands of the units including it
        out = None
        for line in sh(["ninja", "-C", str(BUILD), "-t", "deps"]).splitlines():
            if line and not line.startswith(" "):
                out = by_output.get(os.path.join(BUILD, line.split(":")[0]))
            elif line.strip() and out:
                self.units.setdefault(os.path.realpath(line.strip()), []).append(out)
        if not any(p.endswith(".cpp") for p in self.units):
            sys.exit("no compile command found for the units: cannot check mutants")

    def compiles(self, mut):
        key = f"{self.state}:{mut.key}"
        if key not in self.cache:
            units = self.units.get(os.path.realpath(TREE / mut.file), [])
            with Applied(mut, keep_time=True):
                with concurrent.futures.ThreadPoolExecutor(2) as pool:
                    ok = all(pool.map(self.syntax_ok, units))
            self.cache[key] = ok and bool(units)
            self.cache_file.write_text(json.dumps(self.cache))
        return self.cache[key]

    @staticmethod
    def syntax_ok(unit):
        argv = shlex.split(unit["command"])
        i = argv.index("-o")
        argv = argv[:i] + argv[i + 2:] + ["-fsyntax-only"]
        return subprocess.run(argv, cwd=unit["directory"], capture_output=True).returncode == 0


def choose(seed, count):
    """The first `count` mutants that compile, the kinds taken in turn."""
    by_kind, compiler = candidates(TREE, seed), Compiler()
    chosen, dropped = [], 0
    while len(chosen) < count and any(by_kind.values()):
        for kind in KINDS:
            while by_kind[kind] and len(chosen) < count:
                mut = by_kind[kind].pop(0)
                if compiler.compiles(mut):
                    mut.id = f"m{len(chosen) + 1:03d}"
                    chosen.append(mut)
                    break
                dropped += 1
    return chosen, dropped


# ---- running the suite ---------------------------------------------------------------------

def run_limited(cmd, env, deadline, log):
    """Runs cmd in a process group of its own; its exit code, or None when it was still running
    at the deadline (it gets an interrupt, so pytest tears its servers down, then a kill)."""
    log.write(f"$ {' '.join(cmd)}\n")
    log.flush()
    proc = subprocess.Popen(cmd, cwd=TREE, env=env, stdout=log, stderr=subprocess.STDOUT,
                            start_new_session=True)
    try:
        return proc.wait(timeout=max(1.0, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGINT)
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            pass
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
        return None


def verdict(phase, code, output, limit):
    """(killed, killer, reason) from one phase's exit code and output."""
    if code is None:
        running = re.findall(r"^(tests/python/\S+) ", output, re.M)  # from -v's progress lines
        return True, running[-1] if running else phase, f"hang: still running after {limit} s"
    if code == 0:
        return False, "", ""
    if phase == "ctest":
        failed = re.findall(r"^\s*\d+ - (\S+) \((.+)\)$", output.split("tests FAILED:")[-1], re.M)
        return True, *(failed[0] if failed else ("ctest", f"exit {code}"))
    if code in (4, 5):
        raise SystemExit(f"pytest could not run the suite (exit {code}): see the log")
    failed = re.search(r"^(?:FAILED|ERROR) (.+?)(?: - (.*))?$", output, re.M)
    if code < 0:
        frame = re.search(r'File "[^"]*/(tests/python/[^"]+)", line \d+ in (\w+)', output)
        where = f"{frame.group(1)}::{frame.group(2)}" if frame else "pytest"
        return True, where, f"crash: {signal.Signals(-code).name}"
    if failed:
        first_error = re.search(r"^E +(.+)$", output, re.M)  # the failure's first 'E' line
        reason = first_error.group(1) if first_error else failed.group(2) or ""
        return True, failed.group(1), reason.strip()[:100]
    return True, "pytest", f"exit {code}"


# Suites that start servers and child interpreters, run last: with -x, a mutant that a quick
# test kills is then known in seconds.
SLOW_LAST = ("test_ssh", "test_faults", "test_leaks", "test_soak")


def test_files():
    files = sorted((TREE / "tests" / "python").glob("test_*.py"))
    rank = lambda p: (SLOW_LAST.index(p.stem) if p.stem in SLOW_LAST else -1, p.name)
    return [str(p.relative_to(TREE)) for p in sorted(files, key=rank)]


def run_suite(python, seed, limit, log_path):
    """Native tests, then pytest -x; returns (killed, killer, reason)."""
    env = dict(os.environ, PYTHONPATH=str(BUILD / "pkg"), TARNWISTLE_SOAK_SECONDS="5")
    deadline = time.monotonic() + limit
    shutil.rmtree(TREE / ".hypothesis", ignore_errors=True)  # no examples saved by another mutant
    phases = (("ctest", ["ctest", "--test-dir", str(BUILD), "-j2", "--stop-on-failure",
                         "--timeout", "120", "--output-on-failure"]),
              ("pytest", [python, "-m", "pytest", "-x", "-v", "-p", "no:cacheprovider",
                          "--import-mode=importlib", "-rfE", f"--hypothesis-seed={seed}",
                          *test_files()]))
    with open(log_path, "w") as log:
        for phase, cmd in phases:
            start = log.tell()
            code = run_limited(cmd, env, deadline, log)
            output = Path(log_path).read_bytes()[start:].decode(errors="replace")
            killed, killer, reason = verdict(phase, code, output, limit)
            if killed:
                return killed, killer, reason
    return False, "", ""


def run_one(mut, python, seed, limit):
    began = time.monotonic()
    with Applied(mut, keep_time=False):
        if not build():
            shutil.copyfile(WORK / "build.log", WORK / "logs" / f"{mut.id}.log")
            return {"result": "build-error", "killer": "", "reason": "see the log",
                    "build_s": round(time.monotonic() - began, 1), "test_s": 0}
        built = time.monotonic()
        killed, killer, reason = run_suite(python, seed, limit, WORK / "logs" / f"{mut.id}.log")
    return {"result": "killed" if killed else "survived", "killer": killer, "reason": reason,
            "build_s": round(built - began, 1), "test_s": round(time.monotonic() - built, 1)}


# ---- reports -------------------------------------------------------------------------------

def snippets(a, b, width=56):
    """`a` → `b`, cut to a window around where they first differ."""
    start = max(0, len(os.path.commonprefix([a, b])) - 24)
    def cut(s):
        if not s:
            return "(removed)"
        s = ("…" if start else "") + s[start:]
        s = s if len(s) <= width else s[:width - 1] + "…"
        return "`" + s.replace("|", "\\|").replace("`", "'") + "`"
    return f"{cut(a)} → {cut(b)}"


def table(mutants, with_results):
    head = "| id | file:line | kind | original → mutated |"
    rows = [head + (" result | killer | s |" if with_results else ""),
            "|" + "---|" * (7 if with_results else 4)]
    for m in mutants:
        row = f"| {m.id} | {m.file}:{m.line} | {m.kind} | {snippets(m.original, m.mutated)} |"
        if with_results:
            r = m.result
            who = r.get("killer", "") + (f" ({r['reason']})" if r.get("reason") else "")
            row += f" {r.get('result', '-')} | {who.replace('|', '/')} | " \
                   f"{r.get('build_s', 0) + r.get('test_s', 0):.0f} |"
        rows.append(row)
    return "\n".join(rows)


def counts(mutants):
    per = {}
    for m in mutants:
        per.setdefault(m.kind, {}).setdefault(m.result.get("result", "chosen"), 0)
        per[m.kind][m.result.get("result", "chosen")] += 1
    return per


def save(path, mutants, meta):
    data = dict(meta, counts=counts(mutants), mutants=[asdict(m) for m in mutants])
    path.write_text(json.dumps(data, indent=1))
    done = [m for m in mutants if m.result]
    killed = sum(m.result["result"] == "killed" for m in done)
    path.with_suffix(".md").write_text(
        f"Mutants: {len(mutants)}, run: {len(done)}, killed: {killed}, "
        f"survived: {sum(m.result['result'] == 'survived' for m in done)} "
        f"(seed {meta['seed']})\n\n" + table(mutants, True) + "\n")


def compare(before_path, after_path):
    before, after = (json.loads(Path(p).read_text()) for p in (before_path, after_path))
    after_by_key = {m["key"]: m for m in after["mutants"]}
    lost = []
    for m in before["mutants"]:
        now = after_by_key.get(m["key"], {}).get("result", {}).get("result", "missing")
        if m["result"].get("result") == "killed" and now != "killed":
            lost.append((m, now))
    for name, data, path in (("before", before, before_path), ("after", after, after_path)):
        res = [m["result"].get("result") for m in data["mutants"]]
        print(f"{name}: {len(res)} mutants, {res.count('killed')} killed, "
              f"{res.count('survived')} survived ({path})")
    for m, now in lost:
        print(f"  {m['id']} {m['file']}:{m['line']} {m['kind']}: killed before "
              f"by {m['result']['killer']}, now {now}")
    if lost:
        sys.exit(f"{len(lost)} mutants killed before are not killed after")
    print("every mutant killed before is killed after")


# ---- main ----------------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument("--count", type=int, default=60, help="mutants to choose (default 60)")
    ap.add_argument("--list", action="store_true", help="print the chosen mutants and stop")
    ap.add_argument("--only", help="comma-separated ids to run")
    ap.add_argument("--limit", type=int, help="run only the first N of the chosen mutants")
    ap.add_argument("--timeout", type=int, default=480, help="seconds of tests per mutant")
    ap.add_argument("--out", type=Path, help="results (.json, and .md beside it); default "
                    "build/mutate/results.json, or subset.json with --only/--limit")
    ap.add_argument("--resume", action="store_true", help="keep the results already in --out")
    ap.add_argument("--no-baseline", action="store_true",
                    help="skip the run of the unmutated tree that must pass first")
    ap.add_argument("--python", help="interpreter with pytest (default: .venv/mutate, made)")
    ap.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"))
    args = ap.parse_args()
    if args.compare:
        return compare(*args.compare)

    python = python_for_tests(args.python)
    set_up(python)
    chosen, dropped = choose(args.seed, args.count)
    if args.list:
        print(table(chosen, False))
        per = {k: sum(m.kind == k for m in chosen) for k in KINDS}
        print(f"\n{len(chosen)} mutants (seed {args.seed}), {dropped} candidates dropped as "
              f"not compiling; per kind: " + ", ".join(f"{k} {n}" for k, n in per.items()))
        return
    subset = args.only or args.limit
    out = args.out or WORK / ("subset.json" if subset else "results.json")
    if args.only:
        ids = set(args.only.split(","))
        if ids - {m.id for m in chosen}:
            sys.exit(f"not among the {len(chosen)} chosen: {sorted(ids - {m.id for m in chosen})}")
        chosen = [m for m in chosen if m.id in ids]
    elif args.limit:
        chosen = chosen[:args.limit]
    if args.resume and out.exists():
        old = {m["key"]: m["result"] for m in json.loads(out.read_text())["mutants"]}
        for m in chosen:
            m.result = old.get(m.key, {})
    (WORK / "logs").mkdir(exist_ok=True)
    meta = {"seed": args.seed, "count": args.count, "timeout": args.timeout,
            "commit": sh(["git", "rev-parse", "HEAD"], cwd=ROOT).strip()}
    if not args.no_baseline:
        began = time.monotonic()
        killed, killer, reason = run_suite(python, args.seed, args.timeout,
                                           WORK / "logs" / "baseline.log")
        meta["baseline_s"] = round(time.monotonic() - began, 1)
        print(f"baseline: the unmutated tree {'FAILS' if killed else 'passes'} "
              f"({meta['baseline_s']} s) {killer} {reason}", flush=True)
        if killed:
            sys.exit("the suite must pass on the unmutated tree first")
    # Mutants of one file run one after another: the file is compiled once per mutant.
    for m in sorted(chosen, key=lambda m: (m.file, m.start)):
        if m.result:
            continue
        m.result = run_one(m, python, args.seed, args.timeout)
        r = m.result
        print(f"{m.id} {m.file}:{m.line} {m.kind}: {r['result']} {r['killer']} {r['reason']} "
              f"({r['build_s']} + {r['test_s']} s)", flush=True)
        save(out, chosen, meta)
    save(out, chosen, meta)
    print(out.with_suffix(".md").read_text())


if __name__ == "__main__":
    sys.exit(main())
