#!/usr/bin/env bash
# The C++ unit tests of the engine (worker pool, kernels, top-k) built with
# ThreadSanitizer and run several times over; any report fails it.  Extra
# arguments go to the test binary (for example --gtest_filter=WorkerPool.*).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-tsan

# Debian packages (GoogleTest, Meson) as for the normal build; once this
# build tree exists they are known to be there.
[ -f "$build/build.ninja" ] || scripts/setup.sh
if [ ! -f "$build/build.ninja" ]; then
  meson setup "$build" -Dtests=true -Dbuildtype=debugoptimized -Db_sanitize=thread \
    "-Dcpp_args=-fno-omit-frame-pointer" >"$build.setup.log" \
    || { cat "$build.setup.log"; exit 1; }
  rm -f "$build.setup.log"
fi
ninja -C "$build" tests/cpp/engine_unit_tests >"$build/ninja.out" || { cat "$build/ninja.out"; exit 1; }

# Reports go to files, so that one from a death-test child counts as well.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$logs/tsan"

status=0
# Repeated and shuffled: the pool's interleavings differ from run to run.
"$build/tests/cpp/engine_unit_tests" --gtest_repeat=10 --gtest_shuffle --gtest_brief=1 "$@" || status=$?

source scripts/lib/common.sh
fail_on_sanitizer_reports "$logs" || status=1
exit "$status"
