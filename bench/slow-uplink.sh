#!/usr/bin/env bash
# A forged-source INIT flood against a server whose replies leave through a
# 1 Mbit/s link, as behind a slow uplink: the server's send queue is what
# grows. Runs punchprobe-bench in a network namespace of its own (root), in
# which everything sent from 127.0.0.1 (the server's replies) goes through a
# 1 Mbit/s class and the flood's forged sources keep full speed.
#   sudo bench/slow-uplink.sh [SERVER_BINARY [-- server options]]
set -euo pipefail
cd "$(dirname "$0")/.."
server=${1:-build-bench/punchprobe-server}
shift || true
[[ ${1:-} == -- ]] && shift

ns=punchprobe-slow-$$
ip netns add "$ns"
trap 'ip netns del "$ns"' EXIT
ip -n "$ns" link set lo up
ip netns exec "$ns" tc qdisc add dev lo root handle 1: htb default 10 2>/dev/null
ip netns exec "$ns" tc class add dev lo parent 1: classid 1:10 htb rate 10gbit 2>/dev/null
ip netns exec "$ns" tc class add dev lo parent 1: classid 1:20 htb rate 1mbit
ip netns exec "$ns" tc filter add dev lo parent 1: protocol ip u32 match ip src 127.0.0.1/32 classid 1:20
ip netns exec "$ns" build-bench/bench/punchprobe-bench --server "$server" --sessions 0 \
  --flood-kind init-forged --flood-rate 50000 --flood-time 10 -- "$@"
