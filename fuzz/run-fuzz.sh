#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, ASan + UBSan) in build-fuzz/ and
# runs each for a bounded time, starting from the seeds in fuzz/corpus/.
#   fuzz/run-fuzz.sh          20 s per target (what test.sh runs)
#   fuzz/run-fuzz.sh 600      a longer hunt: 10 minutes per target
# New inputs go to build-fuzz/corpus/<target>/, findings to
# build-fuzz/findings/<target>/; a finding fails the script. Keep the input
# of a fixed crash in fuzz/corpus/<target>/ as a regression case.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
targets=(client_datagram_fuzzer server_datagram_fuzzer gateway_answer_fuzzer)

# Skip only when the toolchain is really missing; any other failure is real.
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
  >"$probe_dir/probe.cpp"
if ! command -v clang++-14 >/dev/null ||
   ! clang++-14 -fsanitize=fuzzer,address,undefined "$probe_dir/probe.cpp" -o "$probe_dir/probe" 2>/dev/null; then
  echo "fuzz: skipped: clang++-14 with libFuzzer is not available (packages clang-14, libclang-rt-14-dev)"
  exit 0
fi

echo "== fuzz build"
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPUNCHPROBE_FUZZ=ON -DPUNCHPROBE_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

passed=0
failed=0
for target in "${targets[@]}"; do
  echo "== fuzz $target for ${seconds}s"
  mkdir -p "build-fuzz/corpus/$target" "build-fuzz/findings/$target"
  # -timeout catches a hang of one input, -rss_limit_mb a runaway table,
  # -max_len lets datagrams grow past the client's 1024-byte buffer.
  if "build-fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -max_len=4096 -dict=fuzz/punchprobe.dict -print_final_stats=1 \
       -artifact_prefix="build-fuzz/findings/$target/" \
       "build-fuzz/corpus/$target" "fuzz/corpus/$target" >"build-fuzz/$target.log" 2>&1; then
    passed=$((passed + 1))
    grep -E '^(stat::number_of_executed_units|Done )' "build-fuzz/$target.log" || true
  else
    failed=$((failed + 1))
    tail -n 60 "build-fuzz/$target.log"
    echo "fuzz: $target found a fault; inputs in build-fuzz/findings/$target/"
  fi
done
echo "fuzz: $passed targets ran clean, $failed with findings"
[[ $failed -eq 0 ]]
