#!/usr/bin/env bash
# Checks the server's systemd unit, alone or with drop-ins: systemd-analyze
# verify accepts the combination, its sandbox keeps an exposure score of 2.0
# or less, the settings the sandbox rests on are all in the unit and no
# drop-in touches them, only the ports of the effective ExecStart may be
# bound (UDP for --port and --extra-port, TCP for --metrics), and the memory
# limit leaves room for --max-sessions. Needs only the systemd-analyze
# program, not a running systemd; without it the check is skipped (exit 77).
#   packaging/check-unit.sh [--drop-in FILE.conf]... [UNIT_FILE [SERVER_BINARY]]
# ExecStart lines are pointed at SERVER_BINARY (default: the installed path
# named in the unit), because verify insists that the program exists.
set -euo pipefail

drop_ins=()
while [[ ${1:-} == --drop-in ]]; do
  [[ $# -ge 2 ]] || { echo "usage: $0 [--drop-in FILE.conf]... [UNIT_FILE [SERVER_BINARY]]" >&2; exit 2; }
  drop_ins+=("$2")
  shift 2
done
unit=${1:-$(dirname "$0")/punchprobe-server.service}
server=${2:-}
# ExecStart= takes only absolute paths.
[[ -z $server ]] || server=$(readlink -f -- "$server")

if ! command -v systemd-analyze >/dev/null; then
  echo "SKIPPED: systemd-analyze is not installed (Debian package systemd); unit not verified"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# verify names the unit by its file name and reads drop-ins from the
# directory beside it, so the copies keep both names.
name=punchprobe-server.service
copy=$work/$name
point_at_server() {  # point_at_server SOURCE TARGET
  if [[ -n $server ]]; then
    sed "s#^ExecStart=/[^ ]*punchprobe-server\( \|\$\)#ExecStart=$server\1#" "$1" >"$2"
  else
    cp "$1" "$2"
  fi
}
point_at_server "$unit" "$copy"

failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

copies=()
for drop_in in "${drop_ins[@]}"; do
  # systemd reads only *.conf from a drop-in directory and ignores the rest
  # without a word.
  if [[ $drop_in != *.conf ]]; then
    fail "drop-in $drop_in does not end in .conf, so systemd would ignore it"
    continue
  fi
  mkdir -p "$work/$name.d"
  point_at_server "$drop_in" "$work/$name.d/$(basename "$drop_in")"
  copies+=("$work/$name.d/$(basename "$drop_in")")
done

# The pages may not be installed where this runs; check-deb.sh verifies the
# installed unit with its Documentation= too.
# verify exits 0 after a mistyped key or value and only warns, so any word
# from it counts as a failure.
if ! complaints=$(systemd-analyze verify --man=no "$copy" 2>&1) || [[ -n $complaints ]]; then
  fail "systemd-analyze verify complains about $unit${drop_ins[*]:+ with ${drop_ins[*]}}:"
  echo "$complaints"
fi

required=(
  DynamicUser=yes NoNewPrivileges=yes CapabilityBoundingSet= AmbientCapabilities=
  ProtectSystem=strict ProtectHome=yes PrivateTmp=yes PrivateDevices=yes
  "RestrictAddressFamilies=AF_INET AF_NETLINK" RestrictNamespaces=yes SocketBindDeny=any
  MemoryDenyWriteExecute=yes SystemCallFilter=@system-service
)
for setting in "${required[@]}"; do
  if ! grep -qxF -- "$setting" "$copy"; then
    fail "the unit lacks the line '$setting'"
  fi
  # A drop-in that sets one of these, even to the same value, would make
  # the unit's line above say nothing about the service.
  for drop_in in "${copies[@]}"; do
    if grep -q "^${setting%%=*}=" "$drop_in"; then
      fail "drop-in $(basename "$drop_in") sets ${setting%%=*}=, on which the sandbox rests"
    fi
  done
done
for stray in User= Group= CapabilityBoundingSet=CAP ReadWritePaths= PrivateNetwork=yes; do
  if grep -q "^$stray" "$copy" "${copies[@]}"; then
    fail "the unit or a drop-in sets '$stray', which the sandbox does not want"
  fi
done

# What the service really gets, unit and drop-ins together, comes from
# systemd itself: at debug level verify dumps each unit it loaded on
# standard output, with every setting in its final form (also when it
# refuses the unit, whose complaints are reported above).
dump=$({ SYSTEMD_LOG_LEVEL=debug systemd-analyze verify --man=no "$copy" 2>/dev/null || true; } |
  awk -v unit="-> Unit $name:" '$0 ~ /^\t-> Unit / { inside = index($0, unit) > 0; next } inside')
dumped() {  # dumped KEY: the value of "KEY: value" at the unit's level
  sed -nE "s/^\t\t$1: ?(.*)$/\1/p" <<<"$dump"
}
if [[ -z $dump ]]; then
  fail "systemd-analyze verify dumped nothing for $name at debug level; cannot read the effective settings"
  exit 1
fi
for drop_in in "${copies[@]}"; do
  if ! grep -qxF "$drop_in" <<<"$(dumped 'DropIn Path')"; then
    fail "systemd did not load the drop-in $(basename "$drop_in")"
  fi
done
exec_starts=$(sed -nE 's/^\t\t\tCommand Line: (.*)$/\1/p' <<<"$dump")
if [[ $(grep -c . <<<"$exec_starts") -ne 1 ]]; then
  fail "the service runs $(grep -c . <<<"$exec_starts") ExecStart commands; it must run exactly one"
fi
read -ra words <<<"$(head -n 1 <<<"$exec_starts")"
option_value() {  # option_value NAME DEFAULT: the value of --NAME in ExecStart
  local i value=$2
  for ((i = 1; i < ${#words[@]}; i++)); do
    case ${words[i]} in
      "--$1="*) value=${words[i]#*=} ;;
      "--$1") value=${words[i + 1]:-} ;;
    esac
  done
  echo "$value"
}
port_rule() {  # port_rule PROTOCOL PORT OPTION: the SocketBindAllow item for it
  if [[ ! $2 =~ ^[0-9]+$ ]] || (($2 < 1 || $2 > 65535)); then
    fail "ExecStart's $3 port '$2' is no fixed port from 1 to 65535, so no SocketBindAllow= can name it"
    return
  fi
  wanted+=("ipv4:$1:$2")
}

# The server binds its main and extra UDP ports and, with --metrics, one TCP
# port: each must be allowed with its protocol, and nothing else.
wanted=()
port_rule udp "$(option_value port 30000)" --port
port_rule udp "$(option_value extra-port 30001)" --extra-port
metrics=$(option_value metrics "")
if [[ -n $metrics ]]; then
  port_rule tcp "${metrics##*:}" --metrics
  # Scrapers are few and known; the world has no business there.
  if [[ ${metrics%:*} == 0.0.0.0 ]]; then
    fail "--metrics $metrics listens on every address; bind 127.0.0.1 or a private address"
  fi
fi
if [[ $(dumped SocketBindDeny) != any ]]; then
  fail "the service's SocketBindDeny is '$(dumped SocketBindDeny)', not 'any'"
fi
read -ra allowed <<<"$(dumped SocketBindAllow)"
for rule in "${wanted[@]}"; do
  if [[ " ${allowed[*]} " != *" $rule "* ]]; then
    fail "the service lacks 'SocketBindAllow=$rule' for a port of ExecStart"
  fi
done
for rule in "${allowed[@]}"; do
  if [[ " ${wanted[*]} " != *" $rule "* ]]; then
    fail "the service allows 'SocketBindAllow=$rule', which ExecStart does not bind"
  fi
done

# A full table of 65,536 sessions measured 6.3 to 6.9 MB for the whole server
# (docs/benchmarks.md), some 100 bytes a session; 1 KB each plus 32 MB for
# the rest leaves a wide margin. The dump gives MemoryMax in bytes.
max_sessions=$(option_value max-sessions 65536)
memory_max=$(dumped MemoryMax)
if [[ ! $max_sessions =~ ^[0-9]{1,9}$ ]]; then
  fail "ExecStart's --max-sessions '$max_sessions' is no number the server takes"
elif [[ ! $memory_max =~ ^[0-9]{1,15}$ ]]; then
  fail "MemoryMax is '${memory_max:-unset}', not a limit in bytes"
else
  needed=$((32 * 1024 * 1024 + max_sessions * 1024))
  if ((memory_max < needed)); then
    fail "MemoryMax= is $memory_max bytes; --max-sessions $max_sessions needs at least $needed"
  fi
fi

# --threshold counts in tenths: 20 is an exposure of 2.0 on the 0-10 scale.
if ! score=$(systemd-analyze security --offline=yes --threshold=20 --no-pager "$copy" | tail -n 1); then
  fail "exposure above 2.0: $score"
else
  echo "${score#→ }"
fi

[[ $failed -eq 0 ]] && echo "unit OK: $unit${drop_ins[*]:+ with ${drop_ins[*]}}"
exit "$failed"
