#!/usr/bin/env bash
# Builds and runs the whole suite twice: a normal build in build/ and an
# AddressSanitizer + UndefinedBehaviorSanitizer build in build-sanitize/.
# The normal build also runs the Windows client (build-windows/) under Wine.
set -euo pipefail
cd "$(dirname "$0")"
mkdir -p build build-sanitize
scripts/install-deps.sh

jobs=$(nproc)

# CTest hides why a test was skipped; say up front whether the NAT lab runs.
nat-lab/run-lab.sh --check || true

echo "== Windows build"
scripts/build-windows.sh

echo "== normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPUNCHPROBE_WINDOWS_BUILD="$PWD/build-windows"
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 240 | tee build/ctest.log

echo "== sanitizer build"
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPUNCHPROBE_SANITIZE=ON
cmake --build build-sanitize -j "$jobs"
# Any report aborts the process that made it, which fails its test.
# tests/asan.supp: a report from inside Debian's libminiupnpc, not ours.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:suppressions=$PWD/tests/asan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-sanitize --output-on-failure -j "$jobs" --timeout 240 | tee build-sanitize/ctest.log

echo "== fuzzing"
# About a minute in all; fuzz/run-fuzz.sh 600 is the longer hunt.
fuzz/run-fuzz.sh

echo "== packaging"
# Installs the .deb into this machine and removes it again, so only as root
# (CI); the script itself refuses to replace an existing punchprobe.
if [[ $(id -u) -eq 0 ]]; then
  packaging/check-deb.sh build-deb
else
  echo "SKIPPED: packaging check (packaging/check-deb.sh) needs root to dpkg -i the package"
fi

# One closing line over both suites, for people and CI alike.
total=0
failed=0
for log in build/ctest.log build-sanitize/ctest.log; do
  read -r f n < <(sed -nE 's/.* tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p' "$log")
  failed=$((failed + f))
  total=$((total + n))
done
echo "tests: $((total - failed)) passed, $failed failed"
