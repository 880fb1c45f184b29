#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan and UBSan, coverage-instrumented native
# library) in build/fuzz and runs each for SECONDS on a scratch copy of its seed corpus, so the
# repository is never written. Fails on any crash, property violation, sanitizer report, slow
# input (-timeout), leak or memory blow-up; the inputs that failed are kept in build/fuzz/findings.
# Prints one line per target: executions, coverage (cov: edges, ft: features) and corpus size.
set -euo pipefail
SECONDS_EACH=${1:?usage: tools/fuzz.sh SECONDS}
cd "$(dirname "$0")/.."

cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DTARNWISTLE_PYTHON=OFF \
  -DTARNWISTLE_FUZZ=ON -DTARNWISTLE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build/fuzz > build/fuzz/build.log 2>&1 || { cat build/fuzz/build.log; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings=build/fuzz/findings
status=0

# One target on its scratch corpus; its exit status is left in $work/NAME.rc.
run_one() {
  local name=$1 bin=$2 rc=0
  "$bin" -max_total_time="$SECONDS_EACH" -timeout=20 -print_final_stats=1 \
    -artifact_prefix="$work/$name-" "$work/$name" > "$work/$name.log" 2>&1 || rc=$?
  echo "$rc" > "$work/$name.rc"
}

# As many targets at once as there are cores; they share nothing but the build.
names=()
for bin in build/fuzz/fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  name=${bin##*/fuzz_}
  names+=("$name")
  mkdir -p "$work/$name"
  if [ -d "fuzz/corpus/$name" ]; then cp -R "fuzz/corpus/$name/." "$work/$name/"; fi
  run_one "$name" "$bin" &
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
done
wait

for name in "${names[@]}"; do
  log=$work/$name.log
  if [ "$(cat "$work/$name.rc")" != 0 ]; then
    status=1
    echo "FAILED $name:"
    grep -v -E '^#[0-9]+|^(INFO|MS):' "$log" | tail -40
    mkdir -p "$findings"
    cp "$work/$name"-* "$findings/" 2> /dev/null || true
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  last=$(grep -E ' cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<< "$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<< "$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<< "$last")
  printf '%-16s runs %-9s exec/s %-7s cov %-6s ft %-6s corpus %s\n' \
    "$name" "${runs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}"
done
if [ "$status" -ne 0 ]; then echo "fuzzing found problems; failing inputs in $findings"; fi
exit "$status"
