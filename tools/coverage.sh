#!/usr/bin/env bash
# Line and branch coverage of src/core under the native tests and the whole pytest suite, from
# an unoptimised gcc --coverage build. Prints the totals and a table per file, and writes
# gcovr's JSON summary so that two runs can be compared.
#
#   tools/coverage.sh [SUMMARY.json]                   (default build/coverage/summary.json)
#   tools/coverage.sh --compare BEFORE.json AFTER.json
#       both runs side by side; fails if line or branch coverage fell by more than 1 point
#
# Branches that only exist for exception unwinding, and those gcc places on lines without
# code, are left out: they would swamp the decisions the code itself makes.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

if [ "${1:-}" = "--compare" ]; then
  exec python3 - "$2" "$3" <<'EOF'
import json, sys
before, after = (json.load(open(p)) for p in sys.argv[1:3])
worst = 0.0
print(f"{'':8} {'before':>22} {'after':>22} {'change':>7}")
for m in ("line", "branch"):
    b, a = before[m + "_percent"], after[m + "_percent"]
    fig = lambda s: f"{s[m + '_percent']:5.1f}% ({s[m + '_covered']}/{s[m + '_total']})"
    print(f"{m:8} {fig(before):>22} {fig(after):>22} {a - b:+7.1f}")
    worst = min(worst, a - b)
old = {f["filename"]: f for f in before["files"]}
for f in after["files"]:
    o = old.get(f["filename"])
    if o and f["line_percent"] < o["line_percent"]:
        print(f"  {f['filename']}: lines {o['line_percent']:.1f}% -> {f['line_percent']:.1f}%")
if worst < -1.0:
    sys.exit(f"coverage fell by {-worst:.1f} points (at most 1 is allowed)")
EOF
fi

source tools/setup-common.sh
B=build/coverage
OUT=${1:-$B/summary.json}
VENV=.venv/coverage
PY=$(command -v python3)

echo "== coverage build ($B)"
# A plain CMake build of the module stays on the limited API, as in the sanitizer runs.
cmake -S . -B "$B" -G Ninja -DCMAKE_BUILD_TYPE= -DTARNWISTLE_COVERAGE=ON -DTARNWISTLE_WERROR=ON \
  -DTARNWISTLE_PYTHON=ON -DTARNWISTLE_NATIVE_TESTS=ON -DPython_EXECUTABLE="$PY" > /dev/null
cmake --build "$B"
PKG="$B/pkg/tarnwistle"
rm -rf "$B/pkg" && mkdir -p "$PKG"
cp src/tarnwistle/*.py src/tarnwistle/_core.pyi src/tarnwistle/py.typed "$PKG"/
cp "$B"/_core*.so "$PKG"/

if [ ! -x "$VENV/bin/gcovr" ]; then
  "$PY" -m venv --clear "$VENV"
  # One gcovr release for every run, so two summaries count branches the same way.
  quiet_pip "$VENV/bin/pip" install -q gcovr==8.8 pytest pytest-timeout hypothesis
fi

# Every process that loads the instrumented code, the test scripts' child interpreters
# included, adds its counts to the .gcda files at exit. One test imports the module as
# 'nobody': it can add its counts only to files that exist and anyone may write.
find "$B" -name '*.gcda' -delete
find "$B" -name '*.gcno' -print0 | while IFS= read -r -d '' gcno; do
  gcda=${gcno%.gcno}.gcda
  : > "$gcda" && chmod 666 "$gcda"
done

status=0
echo "== native tests"
ctest --test-dir "$B" --output-on-failure -j2 --timeout 300 || status=$?
echo "== pytest"
(cd "$ROOT" && env PYTHONPATH="$ROOT/$PKG/.." TARNWISTLE_SOAK_SECONDS=5 \
   "$VENV/bin/python" -m pytest -p no:cacheprovider --import-mode=importlib -q tests/python) \
  || status=$?
find "$B" -name '*.gcda' -empty -delete  # units no process ran

echo "== coverage of src/core"
GCOVR="$VENV/bin/gcovr"
"$GCOVR" --root . --object-directory "$B" --filter 'src/core/' --exclude 'fuzz/' \
  --exclude 'tests/' --exclude-throw-branches --exclude-unreachable-branches -j 2 \
  --json "$B/coverage.json"
# A line of a template counts once, covered when any of its instances ran.
"$GCOVR" --root . -a "$B/coverage.json" --merge-lines --json-summary-pretty \
  --json-summary "$OUT"
for metric in line branch; do
  "$GCOVR" --root . -a "$B/coverage.json" --merge-lines --txt-metric "$metric" \
    --txt "$B/$metric.txt"
  cat "$B/$metric.txt"
done
python3 - "$OUT" <<'EOF'
import json, sys
s = json.load(open(sys.argv[1]))
for m in ("line", "branch"):
    covered, total = s[m + "_covered"], s[m + "_total"]
    print(f"src/core {m} coverage: {s[m + '_percent']:.1f}% ({covered}/{total})")
EOF
echo "summary: $OUT"
if [ "$status" -ne 0 ]; then
  echo "the tests failed (exit $status): these figures are of a failing run"
  exit "$status"
fi
