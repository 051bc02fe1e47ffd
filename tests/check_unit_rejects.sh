#!/usr/bin/env bash
# packaging/check-unit.sh must refuse a metrics drop-in with each of these
# faults, and say which: a check that passes everything would pass the
# shipped drop-in too.
#   tests/check_unit_rejects.sh CHECK_UNIT UNIT DROP_IN SERVER_BINARY
set -euo pipefail
check_unit=$1 unit=$2 drop_in=$3 server=$4

# fault | file name | sed program applied to the shipped drop-in | expected words
cases=(
  "no TCP rule|metrics.conf|/^SocketBindAllow=ipv4:tcp/d|lacks 'SocketBindAllow=ipv4:tcp:9330'"
  "UDP rule for the TCP port|metrics.conf|s/ipv4:tcp:9330/ipv4:udp:9330/|allows 'SocketBindAllow=ipv4:udp:9330', which ExecStart does not bind"
  "a port nothing binds|metrics.conf|\$aSocketBindAllow=ipv4:tcp:9331|allows 'SocketBindAllow=ipv4:tcp:9331'"
  "metrics moved, rule not|metrics.conf|s/127.0.0.1:9330/127.0.0.1:9331/|lacks 'SocketBindAllow=ipv4:tcp:9331'"
  "main port moved, rule not|metrics.conf|s/--port 30000/--port=31000/|lacks 'SocketBindAllow=ipv4:udp:31000'"
  "ExecStart not cleared|metrics.conf|/^ExecStart=\$/d|more than one ExecStart"
  "metrics on every address|metrics.conf|s/127.0.0.1:9330/0.0.0.0:9330/|listens on every address"
  "sandbox setting in the drop-in|metrics.conf|\$aDynamicUser=yes|sets DynamicUser=, on which the sandbox rests"
  "sessions beyond MemoryMax|metrics.conf|s/--metrics/--max-sessions 16777216 --metrics/|--max-sessions 16777216 needs"
  "not a .conf file|metrics.txt||does not end in .conf"
)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
for entry in "${cases[@]}"; do
  IFS='|' read -r fault file program expected <<<"$entry"
  mkdir "$work/case" && sed -e "$program" "$drop_in" >"$work/case/$file"
  status=0
  output=$("$check_unit" --drop-in "$work/case/$file" "$unit" "$server" 2>&1) || status=$?
  rm -r "$work/case"
  if [[ $status -eq 77 ]]; then
    echo "$output"
    exit 77
  fi
  if [[ $status -eq 1 && $output == *"FAIL: "*"$expected"* ]]; then
    echo "refused as it should be: $fault"
  else
    echo "NOT REFUSED ($fault): exit status $status, no line with \"$expected\":"
    echo "$output"
    failures=$((failures + 1))
  fi
done
((failures == 0))
