#!/usr/bin/env bash
# Builds the fingerprint-file fuzzer (libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it from the seed corpus for
# FUZZ_SECONDS (default 60).  Any crash, leak, sanitizer report or broken
# invariant fails the script and leaves the input in build-fuzz/.
# Extra arguments go to the fuzzer, e.g. -jobs=8 -workers=8.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(clang-14 libclang-rt-14-dev llvm-14)
source scripts/lib/common.sh
install_missing_packages "${packages[@]}"

# The store's plain-C++ sources, without Python, RDKit or the engine.
sources=(
  fuzz/fingerprint_file_fuzzer.cpp
  src/store/mapped_fingerprint_file.cpp
  src/store/fingerprint_words.cpp
  src/store/read_exact.cpp
  src/store/clean_words.cpp
  src/common/error.cpp
  src/common/owned_buffer.cpp
)
out=build-fuzz
mkdir -p "$out/corpus"
clang++-14 -std=c++20 -O1 -g -fno-omit-frame-pointer -Wall -Wextra -Werror \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -Isrc "${sources[@]}" -o "$out/fingerprint_file_fuzzer"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LLVM_SYMBOLIZER_PATH=/usr/bin/llvm-symbolizer-14
# New inputs go to build-fuzz/corpus; fuzz/corpus (seeds and regressions) is
# read only, and is replayed in full before the fuzzing starts.
"$out/fingerprint_file_fuzzer" "$out/corpus" fuzz/corpus \
  -dict=fuzz/fingerprint_file.dict -max_total_time="${FUZZ_SECONDS:-60}" -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/" "$@"
