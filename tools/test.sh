#!/usr/bin/env bash
# Sets up everything and runs every test: builds the one abi3 wheel once (warnings are errors),
# audits it, runs the native unit tests, the sanitizer runs (tools/sanitize.sh), then the whole
# pytest suite, the stub check and strict type checks of the example under the oldest and the
# newest supported CPython.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source tools/setup-common.sh

ensure_system_packages
PY_OLD=$(find_python 3.10)
PY_NEW=$(find_python 3.13)

echo "== building the wheel with $($PY_OLD --version)"
rm -rf dist
"$PY_OLD" -m venv --clear .venv/build
quiet_pip .venv/build/bin/pip install -q --upgrade pip build abi3audit
.venv/build/bin/python -m build --wheel --outdir dist -C cmake.define.TARNWISTLE_WERROR=ON . \
  > .venv/build/build.log 2>&1 || { cat .venv/build/build.log; exit 1; }
if grep -q 'warning:' .venv/build/build.log; then grep 'warning:' .venv/build/build.log; exit 1; fi
WHEEL=$(ls dist/tarnwistle-*-cp310-abi3-*.whl)
echo "wheel: $WHEEL"

echo "== auditing the stable ABI"
.venv/build/bin/abi3audit --strict --report "$WHEEL"
check_exports "$WHEEL"

echo "== native unit tests"
cmake -S . -B build/native -G Ninja -DTARNWISTLE_PYTHON=OFF -DTARNWISTLE_NATIVE_TESTS=ON \
  -DTARNWISTLE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build/native
ctest --test-dir build/native --output-on-failure -j2 --timeout 120

tools/sanitize.sh "$(find_python 3.11)"

echo "== fuzz targets, 10 s each"
tools/fuzz.sh 10

# The soak runs its full minute once, under the newest interpreter.
for PY in "$PY_OLD" "$PY_NEW"; do
  VER=$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  SOAK=5; [ "$PY" = "$PY_NEW" ] && SOAK=60
  echo "== pytest under Python $VER"
  "$PY" -m venv --clear ".venv/test-$VER"
  quiet_pip ".venv/test-$VER/bin/pip" install -q "$WHEEL" pytest pytest-timeout hypothesis \
    mypy pyright
  (cd /tmp && "$ROOT/.venv/test-$VER/bin/python" -m mypy.stubtest tarnwistle._core)
  # The example must type-check in strict mode against the installed stub (pyright runs its
  # bundled copy on the system node; the warning would look up the newest release).
  ".venv/test-$VER/bin/python" -m mypy --strict --no-incremental examples/agent_tools.py
  PYRIGHT_PYTHON_IGNORE_WARNINGS=1 ".venv/test-$VER/bin/pyright" \
    --pythonpath ".venv/test-$VER/bin/python" examples/agent_tools.py
  (cd "$ROOT" && TARNWISTLE_SOAK_SECONDS=$SOAK ".venv/test-$VER/bin/python" -m pytest -p no:cacheprovider \
     --import-mode=importlib -q tests/python)
done
echo "== all tests passed"
