#!/usr/bin/env bash
# Builds and runs the whole suite twice: a normal build in build/ and an
# AddressSanitizer + UndefinedBehaviorSanitizer build in build-sanitize/.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

jobs=$(nproc)

echo "== normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 120

echo "== sanitizer build"
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPUNCHPROBE_SANITIZE=ON
cmake --build build-sanitize -j "$jobs"
# Any report aborts the process that made it, which fails its test.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-sanitize --output-on-failure -j "$jobs" --timeout 180
