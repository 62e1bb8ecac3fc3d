#!/usr/bin/env bash
# The whole test suite: builds and installs the module into .venv, then runs
# the C++ unit tests and the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

# The C++ unit tests live in a Meson build tree of their own.
[ -f build-tests/build.ninja ] || meson setup build-tests -Dtests=true >/dev/null
meson test -C build-tests --print-errorlogs

.venv/bin/python -m pytest tests -q "$@"
