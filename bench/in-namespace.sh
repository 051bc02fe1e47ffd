#!/usr/bin/env bash
# Runs a command (punchprobe-bench, as a rule) in a network namespace of its
# own (root): the server's answers to forged sources then reach no program
# of this machine, and the real client finds an address besides loopback
# (one end of a veth pair inside the namespace, 192.0.2.1/24, which carries
# nothing), without which
# its lookup of 127.0.0.1 fails.
# With --rps-cpus MASK, the kernel's receive work for loopback runs on the
# CPUs of MASK (hexadecimal, 1 is CPU 0) instead of the sender's: how a
# server fares when the network's interrupts land on its core.
#   sudo bench/in-namespace.sh [--rps-cpus MASK] COMMAND [ARGUMENTS...]
set -euo pipefail
rps_cpus=
if [[ ${1:-} == --rps-cpus ]]; then
    rps_cpus=$2
    shift 2
fi
(($#)) || { echo "usage: $0 [--rps-cpus MASK] COMMAND [ARGUMENTS...]" >&2; exit 2; }

ns=punchprobe-bench-$$
ip netns add "$ns"
trap 'ip netns del "$ns"' EXIT
ip -n "$ns" link set lo up
# Both ends stay in the namespace; a veth pair works where no dummy driver is.
ip -n "$ns" link add pp0 type veth peer name pp1
ip -n "$ns" address add 192.0.2.1/24 dev pp0
ip -n "$ns" link set pp0 up
ip -n "$ns" link set pp1 up
if [[ -n $rps_cpus ]]; then
    # ip netns exec mounts the namespace's own /sys, where lo is this one.
    ip netns exec "$ns" sh -c 'echo "$1" > /sys/class/net/lo/queues/rx-0/rps_cpus' sh "$rps_cpus"
fi
ip netns exec "$ns" "$@"
