#!/usr/bin/env bash
# Builds punchprobe and runs it: ./run.sh HOST [PORT]
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target punchprobe >/dev/null
exec build/punchprobe "$@"
