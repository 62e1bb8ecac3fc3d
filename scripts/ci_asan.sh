#!/usr/bin/env bash
# The whole Python test suite against a build of the module with
# AddressSanitizer and UndefinedBehaviorSanitizer, leak checking on.  Any
# sanitizer report, in the test process or in a child it starts, fails it.
# Extra arguments go to pytest (for example -k or a single test file).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-asan

# Debian packages and .venv as for the normal build; once this build tree
# exists they are known to be there, which keeps a rerun quick.
if [ ! -x .venv/bin/python ] || [ ! -f "$build/build.ninja" ]; then
  scripts/setup.sh
fi
if [ ! -f "$build/build.ninja" ]; then
  # b_lundef=false: the sanitizer runtimes come from the preloaded library,
  # not from the interpreter the module is linked against.
  meson setup "$build" -Dbuildtype=debugoptimized \
    -Db_sanitize=address,undefined -Db_lundef=false \
    "-Dcpp_args=-fno-omit-frame-pointer -fno-sanitize-recover=all" >"$build.setup.log" \
    || { cat "$build.setup.log"; exit 1; }
  rm -f "$build.setup.log"
fi
ninja -C "$build" >"$build/ninja.out" || { cat "$build/ninja.out"; exit 1; }

runtimes=()
for name in libasan.so libubsan.so; do
  runtime=$(g++ -print-file-name="$name")
  [ -f "$runtime" ] || { echo "g++ has no $name" >&2; exit 1; }
  runtimes+=("$runtime")
done

# Reports go to files, so that those of child processes whose exit status a
# test does not look at still fail the run.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# The interpreter is not instrumented: ASan must be loaded before anything
# else, and PYTHONMALLOC=malloc sends every Python object through it.
# UBSan's runtime brings libstdc++ in at start-up, without which ASan's
# interceptor of C++ throws finds no real __cxa_throw and aborts.
export LD_PRELOAD="${runtimes[*]}"
export PYTHONMALLOC=malloc
# tests/sanitizers holds the sitecustomize that runs the leak check before
# the interpreter tears itself down (see that file).
export PYTHONPATH="$PWD/$build/src:$PWD/tests/sanitizers${PYTHONPATH:+:$PYTHONPATH}"
# allocator_may_return_null: a refused huge allocation stays a MemoryError,
# as without ASan.  A smaller quarantine keeps the resident-memory checks of
# the suite meaningful.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:quarantine_size_mb=64:log_path=$logs/asan"
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
# Lets the few tests that cannot work under ASan skip themselves.
export QUARNEL_SANITIZER=address

.venv/bin/python - "$PWD/$build/src/" <<'EOF'
import sys
import _quarnel
import sitecustomize
if not _quarnel.__file__.startswith(sys.argv[1]):
    sys.exit(f"imported {_quarnel.__file__}, not the sanitizer build")
if not sitecustomize.__file__.endswith("tests/sanitizers/sitecustomize.py"):
    sys.exit(f"the leak check hook is not loaded: {sitecustomize.__file__}")
EOF

status=0
.venv/bin/python -m pytest tests -q "$@" || status=$?

source scripts/lib/common.sh
fail_on_sanitizer_reports "$logs" || status=1
exit "$status"
