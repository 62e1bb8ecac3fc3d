#!/usr/bin/env bash
# The stress tests (many calls, many Python threads, far more workers than
# cores), which the default test run leaves out.  Builds and installs the
# module into .venv first, as scripts/test.sh does.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
.venv/bin/python -m pytest tests -m stress -q "$@"
