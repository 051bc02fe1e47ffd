#!/usr/bin/env bash
# Checks the server's systemd unit: systemd-analyze verify accepts it, its
# sandbox keeps an exposure score of 2.0 or less, the settings the sandbox
# rests on are all there, only the ports of ExecStart may be bound, and the
# memory limit leaves room for --max-sessions. Needs only the systemd-analyze program, not
# a running systemd; without it the check is skipped (exit 77).
#   packaging/check-unit.sh [UNIT_FILE [SERVER_BINARY]]
# The unit's ExecStart is pointed at SERVER_BINARY (default: the installed
# path named in the unit), because verify insists that the program exists.
set -euo pipefail

unit=${1:-$(dirname "$0")/punchprobe-server.service}
server=${2:-}

if ! command -v systemd-analyze >/dev/null; then
  echo "SKIPPED: systemd-analyze is not installed (Debian package systemd); unit not verified"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# verify names the unit by its file name, so the copy keeps it.
copy=$work/punchprobe-server.service
if [[ -n $server ]]; then
  sed "s|^ExecStart=/[^ ]*punchprobe-server |ExecStart=$server |" "$unit" >"$copy"
else
  cp "$unit" "$copy"
fi

failed=0
# The pages may not be installed where this runs; check-deb.sh verifies the
# installed unit with its Documentation= too.
# verify exits 0 after a mistyped key or value and only warns, so any word
# from it counts as a failure.
if ! complaints=$(systemd-analyze verify --man=no "$copy" 2>&1) || [[ -n $complaints ]]; then
  echo "FAIL: systemd-analyze verify complains about $unit:"
  echo "$complaints"
  failed=1
fi

required=(
  DynamicUser=yes NoNewPrivileges=yes CapabilityBoundingSet= AmbientCapabilities=
  ProtectSystem=strict ProtectHome=yes PrivateTmp=yes PrivateDevices=yes
  "RestrictAddressFamilies=AF_INET AF_NETLINK" RestrictNamespaces=yes SocketBindDeny=any
  MemoryDenyWriteExecute=yes SystemCallFilter=@system-service
)
for setting in "${required[@]}"; do
  if ! grep -qxF -- "$setting" "$copy"; then
    echo "FAIL: the unit lacks the line '$setting'"
    failed=1
  fi
done
for stray in User= Group= CapabilityBoundingSet=CAP ReadWritePaths= PrivateNetwork=yes; do
  if grep -q "^$stray" "$copy"; then
    echo "FAIL: the unit sets '$stray', which the sandbox does not want"
    failed=1
  fi
done

# The server binds its main and extra port and nothing else.
exec_start=$(grep -m 1 '^ExecStart=/' "$copy")
option_value() {  # option_value NAME DEFAULT: the value of --NAME in ExecStart
  local value
  value=$(sed -nE "s/.*--$1[ =]([0-9]+).*/\1/p" <<<"$exec_start")
  echo "${value:-$2}"
}
for port in "$(option_value port 30000)" "$(option_value extra-port 30001)"; do
  if ! grep -qxF "SocketBindAllow=ipv4:udp:$port" "$copy"; then
    echo "FAIL: the unit lacks 'SocketBindAllow=ipv4:udp:$port' for a port of ExecStart"
    failed=1
  fi
done
allowed=$(grep -c '^SocketBindAllow=' "$copy" || true)
if ((allowed != 2)); then
  echo "FAIL: the unit allows $allowed bind rules; the server needs exactly its two UDP ports"
  failed=1
fi

# Sessions take some 150 bytes each (BENCHMARKS.md); 1 KB each plus 32 MB for
# the rest leaves a wide margin.
max_sessions=$(option_value max-sessions 65536)
memory_max=$(sed -nE 's/^MemoryMax=([0-9]+)([KMG]?)$/\1 \2/p' "$copy")
if [[ -z $memory_max ]]; then
  echo "FAIL: MemoryMax= is not a number of bytes, K, M or G"
  failed=1
else
  read -r amount suffix <<<"$memory_max"
  case $suffix in K) amount=$((amount * 1024)) ;; M) amount=$((amount * 1024 * 1024)) ;; G) amount=$((amount * 1024 * 1024 * 1024)) ;; esac
  needed=$((32 * 1024 * 1024 + max_sessions * 1024))
  if ((amount < needed)); then
    echo "FAIL: MemoryMax= is $amount bytes; --max-sessions $max_sessions needs at least $needed"
    failed=1
  fi
fi

# --threshold counts in tenths: 20 is an exposure of 2.0 on the 0-10 scale.
if ! score=$(systemd-analyze security --offline=yes --threshold=20 --no-pager "$copy" | tail -n 1); then
  echo "FAIL: exposure above 2.0: $score"
  failed=1
else
  echo "${score#→ }"
fi

[[ $failed -eq 0 ]] && echo "unit OK: $unit"
exit "$failed"
