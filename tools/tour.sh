#!/usr/bin/env bash
# Sets everything up on a fresh machine and runs a short tour of the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup-common.sh
ensure_system_packages
PY=$(command -v python3)
"$PY" -m venv .venv/tour
quiet_pip .venv/tour/bin/pip install -q .
exec .venv/tour/bin/python tools/tour.py
