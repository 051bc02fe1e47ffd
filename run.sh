#!/usr/bin/env bash
# Builds punchprobe and runs it.
#   ./run.sh HOST [PORT]  tests this router against the punchprobe-server at HOST
#   ./run.sh              a demo on this machine (loopback has no NAT): a punchprobe-server on
#                         127.0.0.1 with system-chosen ports, and the client against it
set -euo pipefail
cd "$(dirname "$0")"
# A Ctrl-C or kill ends the script through its EXIT trap, which tidies up.
trap 'exit 130' INT
trap 'exit 143' TERM
scripts/install-deps.sh

# The build speaks only when it fails, and then says everything.
build_log=$(mktemp)
trap 'rm -f "$build_log"' EXIT
build_step() {
  local status=0
  "$@" >>"$build_log" 2>&1 || status=$?
  if [[ $status -ne 0 ]]; then
    echo "The build failed:" >&2
    cat "$build_log" >&2
    exit "$status"
  fi
}
targets=(punchprobe)
[[ $# -gt 0 ]] || targets+=(punchprobe-server)
echo "Building punchprobe (the first build takes about a minute) ..." >&2
build_step cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
build_step cmake --build build --target "${targets[@]}"
# exec skips the EXIT trap, so the log goes now.
rm -f "$build_log"
trap - EXIT

if [[ $# -gt 0 ]]; then
  exec build/punchprobe "$@"
fi

# shellcheck source=scripts/server-line.sh
source scripts/server-line.sh
server_log=$(mktemp)
server_pid=
# Whatever ends this script, the server goes with it.
stop_our_server() {
  [[ -z $server_pid ]] || stop_server "$server_pid" || true
  server_pid=
}
trap 'stop_our_server; rm -f "$server_log"' EXIT

echo "Starting punchprobe-server on 127.0.0.1 ..." >&2
build/punchprobe-server --bind 127.0.0.1 --port 0 --extra-port 0 >"$server_log" &
server_pid=$!

# The first line names the ports the system chose.
if ! wait_for_server "$server_log" "$server_pid"; then
  echo "punchprobe-server did not start:" >&2
  cat "$server_log" >&2
  exit 1
fi

client_log=$(mktemp)
trap 'stop_our_server; rm -f "$server_log" "$client_log"' EXIT
build/punchprobe 127.0.0.1 "$server_main_port" | tee "$client_log"
# The client stops at its third PING; let the server finish its train so that
# its session line shows the whole of it.
sleep 0.5

stop_our_server
echo
echo "punchprobe-server said:"
sed 's/^/  /' "$server_log"
# The SUCCESS above is a verdict on loopback, not on the user's router.
cat >&2 <<'EOF'

Note: this run went over loopback (127.0.0.1), which has no NAT. It shows that
punchprobe and punchprobe-server work together, not what your router does.
To test your router, run the client against a punchprobe-server on a host
with a public IPv4 address:
  ./run.sh HOST [PORT]
EOF
grep -q '^  SUCCESS  $' "$client_log"
