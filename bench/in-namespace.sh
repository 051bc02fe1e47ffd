#!/usr/bin/env bash
# Runs a command (punchprobe-bench, as a rule) in a network namespace of its
# own (root): the server's answers to forged sources then reach no program
# of this machine, and the real client finds an address besides loopback
# (one end of a veth pair inside the namespace, 192.0.2.1/24, which carries
# nothing), without which
# its lookup of 127.0.0.1 fails.
#   sudo bench/in-namespace.sh COMMAND [ARGUMENTS...]
set -euo pipefail
(($#)) || { echo "usage: $0 COMMAND [ARGUMENTS...]" >&2; exit 2; }

ns=punchprobe-bench-$$
ip netns add "$ns"
trap 'ip netns del "$ns"' EXIT
ip -n "$ns" link set lo up
# Both ends stay in the namespace; a veth pair works where no dummy driver is.
ip -n "$ns" link add pp0 type veth peer name pp1
ip -n "$ns" address add 192.0.2.1/24 dev pp0
ip -n "$ns" link set pp0 up
ip -n "$ns" link set pp1 up
ip netns exec "$ns" "$@"
