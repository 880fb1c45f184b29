#!/usr/bin/env bash
# Runs the native tests and the whole pytest suite against a build instrumented with the
# address and undefined-behaviour sanitizers, then the process runner's and the path locks'
# native tests under the thread sanitizer. Any report fails the run: undefined behaviour
# aborts at once, a leak fails the exit of the process that made it.
#
#   tools/sanitize.sh [PYTHON]     PYTHON: the interpreter to test the module under (default python3)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source tools/setup-common.sh
PY=${1:-python3}

# The C++ runtime is preloaded with the sanitizer: the interpreter is a C program, and the
# sanitizer finds the real exception-throwing entry point only if it is loaded at start-up.
ASAN_RT="$(gcc -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
ASAN_BUILD=build/asan
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

echo "== address + undefined-behaviour sanitizers: build"
# One build gives both the native test binary and the module, so the native library is
# compiled once. A plain CMake build of the module stays on the limited API.
cmake -S . -B "$ASAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS=-O1 -DTARNWISTLE_WERROR=ON \
  -DTARNWISTLE_SANITIZE=address,undefined -DTARNWISTLE_PYTHON=ON -DTARNWISTLE_NATIVE_TESTS=ON \
  -DPython_EXECUTABLE="$(command -v "$PY")" > /dev/null
cmake --build "$ASAN_BUILD"

echo "== address + undefined-behaviour sanitizers: native tests, leak detection on"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
  ctest --test-dir "$ASAN_BUILD" --output-on-failure -j2 --timeout 180

echo "== address + undefined-behaviour sanitizers: pytest under $("$PY" --version)"
# The module is imported from a package directory beside the build instead of a wheel, and
# the interpreter starts with the runtime preloaded (it is not instrumented itself).
PKG="$ASAN_BUILD/pkg/tarnwistle"
rm -rf "$ASAN_BUILD/pkg" && mkdir -p "$PKG"
cp src/tarnwistle/__init__.py src/tarnwistle/_core.pyi src/tarnwistle/py.typed "$PKG"/
cp "$ASAN_BUILD"/_core*.so "$PKG"/
"$PY" -m venv --clear .venv/asan
quiet_pip .venv/asan/bin/pip install -q pytest pytest-timeout hypothesis
# PYTHONMALLOC=malloc hands every interpreter allocation to the sanitizer too, so a buffer
# overrun into a Python object or a double release is caught where it happens. The leak and
# soak loops run shorter here: instrumented calls are slower, and the sanitizer checks every
# allocation itself.
(cd "$ROOT" && env LD_PRELOAD="$ASAN_RT" ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
   LSAN_OPTIONS="suppressions=$ROOT/tools/lsan-python.supp:print_suppressions=0" \
   PYTHONMALLOC=malloc PYTHONPATH="$ROOT/$ASAN_BUILD/pkg" TARNWISTLE_SOAK_SECONDS=5 \
   TARNWISTLE_LEAK_ROUNDS=2000 \
   .venv/asan/bin/python -m pytest -p no:cacheprovider --import-mode=importlib -q tests/python)

echo "== thread sanitizer: process runner and path locks"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS=-O1 -DTARNWISTLE_WERROR=ON \
  -DTARNWISTLE_SANITIZE=thread -DTARNWISTLE_PYTHON=OFF -DTARNWISTLE_NATIVE_TESTS=ON > /dev/null
cmake --build build/tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  build/tsan/native_tests --gtest_filter='RunProcess.*:PathLocks.*:CreateOnly.*'
echo "== sanitizers: no reports"
