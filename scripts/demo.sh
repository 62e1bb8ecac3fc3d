#!/usr/bin/env bash
# Sets everything up if needed, then runs the demo on real molecules.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python scripts/demo.py "$@"
