#!/usr/bin/env bash
# shellcheck disable=SC2317  # functions called from traps or by name look unreachable
# The NAT lab: runs the rows of nat-lab/scenarios.tsv, the real client against
# the real server across routers made of network namespaces and nftables.
#
#   sudo nat-lab/run-lab.sh [--client PATH] [--server PATH] [--only ID,ID...]
#                           [--repeat N] [--jobs N] [--keep-logs] [--daemon-cache DIR]
#   nat-lab/run-lab.sh --check    only tells whether the lab can run here
#
# Exit status: 0 all runs right, 1 some run wrong (or the rebuilt router daemon
# would not build), 2 bad usage, a bad table or missing binaries, 77 skipped
# (not root; no ip netns, nftables, jq, python3 or, for rows with a router
# daemon, miniupnpd).
set -uo pipefail
shopt -s extglob
# A fixed locale keeps $EPOCHREALTIME's decimal point and the greps predictable.
export LC_ALL=C

lab_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$lab_dir")
readonly lab_dir repo_dir python=/usr/bin/python3
# shellcheck source=scripts/server-line.sh source-path=SCRIPTDIR/..
source "$repo_dir/scripts/server-line.sh"

client=$repo_dir/build/punchprobe server=$repo_dir/build/punchprobe-server
# Where nat-lab/build-miniupnpd.sh keeps the rebuilt router daemon: by
# default where CTest keeps it for build/.
daemon_cache=$repo_dir/build/nat-lab/miniupnpd
readonly stock_daemon=/usr/sbin/miniupnpd
only="" repeat=0 jobs=0 keep_logs=no check_only=no
usage() { echo "usage: $0 [--client PATH] [--server PATH] [--only ID,ID...] [--repeat N] [--jobs N] [--keep-logs] [--daemon-cache DIR] | --check" >&2; exit 2; }

while (($#)); do
  case $1 in
    --client | --server | --only | --jobs | --repeat)
      (($# >= 2)) || usage
      # Three digits of --repeat keep the interface names within 15 bytes.
      if [[ $1 == --jobs && ! $2 =~ ^[0-9]+$ || $1 == --repeat && ! $2 =~ ^[1-9][0-9]{0,2}$ ]]; then usage; fi
      declare "${1#--}=$2"
      shift 2
      ;;
    --daemon-cache) (($# >= 2)) || usage; daemon_cache=$2; shift 2 ;;
    --keep-logs) keep_logs=yes; shift ;;
    --check) check_only=yes; shift ;;
    *) usage ;;
  esac
done

# Documentation ranges only: home LAN, carrier, "Internet"; and the shared
# address space (100.64.0.0/10) between a home router and a carrier-grade NAT.
readonly client_ip=192.0.2.2 home_lan_ip=192.0.2.1 home_behind_carrier_ip=198.51.100.2/24
readonly carrier_inside_ip=198.51.100.1/24 home_behind_cgnat_ip=100.64.0.2/10 cgnat_inside_ip=100.64.0.1/10
readonly router_public_ip=203.0.113.1 server_ip=203.0.113.100
readonly main_port=30000 extra_port=30001
# Short enough that a session which never sees a PING is logged well before
# the client's 20 s deadline, long enough for any exchange on a loaded box.
readonly session_ttl=5 ping_interval_ms=100
readonly lossy_runs=3  # per lossy row in a plain run: CI often crosses a lossy path, in seconds

# What the server's counters line must show after a run with each mapping.
declare -rA counters_after=(
  [none]='counters sessions=0 *'
  [endpoint-independent]='counters sessions=1 completed=1 endpoint_independent=1 endpoint_dependent=0 expired=0 *'
  [endpoint-dependent]='counters sessions=1 completed=1 endpoint_independent=0 endpoint_dependent=1 expired=0 *'
  [unknown]='counters sessions=1 completed=0 endpoint_independent=0 endpoint_dependent=0 expired=1 *'
)

# --- The checks that rows name, run once the server has stopped -----------------
# The home router's deterministic loss rule dropped one datagram and no more.
check_lost_exactly_one() { [[ $(drops lab_loss) == 1 ]] || problem "table lab_loss dropped '$(drops lab_loss)' datagrams, expected 1"; }

check_ping_1_missed() { expect_watch ping_1_in 0; expect_watch ping_2_in 1; }

# The INIT2 reply the server sent again brought a second START.
check_start_sent_twice() { expect_watch init2_replies_in 2; expect_watch starts_out 2; }

check_replies_resent_1() { grep -qE '^counters .* replies_resent=1( |$)' "$scenario_dir/server.out" || problem "counters lack replies_resent=1"; }

# Behind masquerade nothing but the random loss can keep a run from SUCCESS.
check_loss_seen() {
  local dropped
  dropped=$(drops lab_random_loss)
  echo "loss rule dropped '$dropped' datagrams"
  [[ -n $dropped && ($observed == SUCCESS || $dropped -gt 0) ]] || problem "verdict $observed, but table lab_random_loss dropped '$dropped'"
}

# drops TABLE: what the home router's TABLE counted, in all; nothing without it.
drops() { in_ns "${router_ns[home]}" nft list table ip "$1" | grep -oE 'counter packets [0-9]+' | awk '{ n += $3 } END { if (NR) print n }'; }

# expect_watch COUNTER N: a counter of rules/client-watch.nft, in the client's namespace.
expect_watch() { [[ $(watched "$1") == "$2" ]] || problem "client's $1 counted '$(watched "$1")', expected $2"; }
watched() { in_ns "$client_ns" nft list counter ip lab_watch "$1" | awk '$1 == "packets" { print $2 }'; }

# --- Preconditions ----------------------------------------------------------------
skip() { echo "nat-lab: SKIPPED: $*"; exit 77; }
[[ $(id -u) -eq 0 ]] || skip "needs root (run: sudo $0)"
for tool in ip nft jq "$python"; do
  command -v "$tool" >/dev/null || skip "the command $tool is missing"
done
[[ $check_only == yes ]] || for binary in "$client" "$server"; do
  [[ -x $binary ]] || { echo "nat-lab: no executable $binary (build first, or pass --client/--server)" >&2; exit 2; }
done
[[ $check_only == yes ]] || client=$(realpath "$client") server=$(realpath "$server")

readonly run_id=$$ prefix="pplab$$"
work_dir=$(mktemp -d "${TMPDIR:-/tmp}/nat-lab.XXXXXX") || exit 2

# Only namespaces whose names carry this run's id are ours to remove.
remove_namespaces() {
  local namespace pid
  for namespace in $(ip netns list 2>/dev/null | awk '{print $1}' | grep "^$1"); do
    for pid in $(ip netns pids "$namespace" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
    ip netns delete "$namespace" 2>/dev/null
  done
}

finish() {
  local status=$? pid
  trap - EXIT INT TERM
  # Only the workers still running: a long repeat's finished ones may have
  # handed their process ids on to others.
  for pid in $(jobs -p); do kill -TERM "$pid" 2>/dev/null; done
  wait
  remove_namespaces "${prefix}-"
  if [[ $keep_logs == yes ]]; then echo "nat-lab: logs kept in $work_dir"; else rm -rf "$work_dir"; fi
  exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The first namespace on a machine makes ip mount /run/netns; doing that once,
# serialised on this script's own file, keeps parallel labs from racing on it.
probe_ok=no
(flock -w 30 9 || true
  ip netns add "$prefix-probe" && ip netns exec "$prefix-probe" nft add table ip lab_probe) 9<"${BASH_SOURCE[0]}" 2>"$work_dir/probe.err" && probe_ok=yes
remove_namespaces "$prefix-probe"
[[ $probe_ok == yes ]] || skip "ip netns or nftables does not work here: $(head -n 1 "$work_dir/probe.err")"
[[ $check_only == no ]] || { echo "nat-lab: can run here (root, ip netns and nftables work)"; exit 0; }

# --- One run, in a worker subshell --------------------------------------------------
in_ns() { ip netns exec "$@"; }

# link NS_A IF_A ADDR_A/LEN NS_B IF_B ADDR_B/LEN: a veth pair the host never sees.
link() {
  ip -n "$1" link add "$2" type veth peer name "$5" netns "$4"
  ip -n "$1" addr add "$3" dev "$2"; ip -n "$4" addr add "$6" dev "$5"
  ip -n "$1" link set "$2" up; ip -n "$4" link set "$5" up
}

# build_network KEY TOPOLOGY: sets public_ip (what the server should see) and
# each router's namespace and LAN- and WAN-side interfaces ($lan and $wan).
declare -A router_ns=() router_lan=() router_wan=()
build_network() {
  local home_ns="${prefix}-$1-home" carrier_ns="${prefix}-$1-carrier" namespace edge_ns
  # Interface names stay within 15 bytes and carry the run id.
  local wan_router="w$1r$run_id" lan_home="l$1h$run_id" mid_home="m$1h$run_id" namespaces=("$client_ns" "$home_ns" "$internet_ns")
  [[ $2 != @(carrier|cgnat) ]] || namespaces+=("$carrier_ns")
  for namespace in "${namespaces[@]}"; do ip netns add "$namespace"; ip -n "$namespace" link set lo up; done
  link "$client_ns" "l$1c$run_id" "$client_ip/24" "$home_ns" "$lan_home" "$home_lan_ip/24"
  # A default route, as a host on a LAN has: the client finds its gateway by
  # it, and SSDP's multicast leaves by it.
  ip -n "$client_ns" route add default via "$home_lan_ip"
  router_ns[home]=$home_ns router_lan[home]=$lan_home router_wan[home]=$wan_router edge_ns=$home_ns
  if [[ $2 == @(carrier|cgnat) ]]; then  # the last router before the Internet owns the public address
    local home_side=$home_behind_carrier_ip carrier_side=$carrier_inside_ip
    [[ $2 == carrier ]] || home_side=$home_behind_cgnat_ip carrier_side=$cgnat_inside_ip
    router_wan[home]=$mid_home edge_ns=$carrier_ns
    router_ns[carrier]=$carrier_ns router_lan[carrier]="m$1k$run_id" router_wan[carrier]=$wan_router
    link "$home_ns" "$mid_home" "$home_side" "$carrier_ns" "m$1k$run_id" "$carrier_side"
    ip -n "$home_ns" route add 203.0.113.0/24 via "${carrier_side%/*}"
  fi
  for namespace in "${router_ns[@]}"; do in_ns "$namespace" sysctl -qw net.ipv4.ip_forward=1; done
  link "$edge_ns" "$wan_router" "$router_public_ip/24" "$internet_ns" "w$1s$run_id" "$server_ip/24"
  public_ip=$router_public_ip
  if [[ $2 == routed ]]; then  # the only one where the Internet routes the LAN back
    ip -n "$internet_ns" route add 192.0.2.0/24 via "$router_public_ip"
    public_ip=$client_ip
  fi
}

# load_nft NS FILE LAN WAN [-D NAME=N...]: one transaction, the lab's addresses as variables.
load_nft() {
  in_ns "$1" nft -f "$2" -D "lan=$3" -D "wan=$4" -D "client_ip=$client_ip" -D "server_ip=$server_ip" \
    -D "main_port=$main_port" -D "extra_port=$extra_port" "${@:5}"
}

# load_rules ROUTER:FILE[=N],...: each router's rule files in order, with each
# FILE=N as nft variable $FILE; the files stay beside the run's logs.
load_rules() {
  local entry router
  local -A defines=()
  [[ $1 != - ]] || return 0
  for entry in ${1//,/ }; do
    router=${entry%%:*} entry=${entry#*:}
    [[ -n ${router_ns[$router]:-} ]] || { echo "nat-lab: this topology has no router '$router'"; return 1; }
    [[ $entry != *=* ]] || defines[$router]+=" -D $entry"
    cat "$lab_dir/rules/${entry%%=*}.nft" >>"$scenario_dir/$router.nft"
  done
  for router in "${!router_ns[@]}"; do
    # shellcheck disable=SC2086  # the defines are words
    [[ ! -e $scenario_dir/$router.nft ]] ||
      load_nft "${router_ns[$router]}" "$scenario_dir/$router.nft" "${router_lan[$router]}" "${router_wan[$router]}" ${defines[$router]:-}
  done
}

# start_daemon BINARY: miniupnpd on the home router, its config and log
# beside the run's, its chains made first; true once it is ready, that is,
# once its NAT-PMP/PCP and SSDP sockets and its HTTP listener are all there
# (requests queue on them until its loop reads them).
start_daemon() {
  local namespace=${router_ns[home]} conf=$scenario_dir/miniupnpd.conf tries
  load_nft "$namespace" "$lab_dir/rules/miniupnpd.nft" "${router_lan[home]}" "${router_wan[home]}" || return 1
  cat >"$conf" <<EOF
ext_ifname=${router_wan[home]}
listening_ip=${router_lan[home]}
enable_upnp=yes
enable_natpmp=yes
secure_mode=yes
uuid=$(cat /proc/sys/kernel/random/uuid)
lease_file=$scenario_dir/miniupnpd.leases
allow 1024-65535 192.0.2.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
EOF
  # -d keeps it in the foreground, logging to its standard error; ip itself,
  # not in_ns, so that $! is the daemon.
  ip netns exec "$namespace" "$1" -d -f "$conf" -P "$scenario_dir/miniupnpd.pid" >"$scenario_dir/miniupnpd.log" 2>&1 &
  daemon_pid=$!
  for ((tries = 100; tries > 0; tries--)); do
    [[ -n $(in_ns "$namespace" ss -Hlun 'sport = :5351') && -n $(in_ns "$namespace" ss -Hlun 'sport = :1900') &&
      -n $(in_ns "$namespace" ss -Hltn) ]] && return 0
    kill -0 "$daemon_pid" 2>/dev/null || break
    sleep 0.05
  done
  problem "miniupnpd not ready: $(tail -n 5 "$scenario_dir/miniupnpd.log")"
  return 1
}

problems=0
problem() { problems=$((problems + 1)); echo "PROBLEM: $*"; }
field() { sed -nE "s/.* $2=([^ ]*).*/\1/p" <<<"$1"; }  # field LINE KEY
write_result() {
  printf '%s\t%s\t%s\t%s\t%s\n' "$observed" "$elapsed" "$( ((problems)) && echo no || echo yes)" "$told_nat" "$told_gateway" \
    >"$scenario_dir/result"
}

# The worker's EXIT trap: a run cut short has a result too.
teardown() {
  [[ -e $scenario_dir/result ]] || { problem "interrupted, or the network could not be built"; write_result; }
  remove_namespaces "${prefix}-${key}-"
}

# run_scenario KEY ID TOPOLOGY RULES DAEMON PINGS VERDICT MAPPING NAT GATEWAY
# CHECKS: one run of a row, named KEY (the row's id, or ID_N for its Nth run).
run_scenario() {
  local topology=$3 rules=$4 daemon=$5 pings=${6#-} mapping=$8 nat=$9 gateway=${10} checks=${11} check
  local options=(--json)
  key=$1 expected=$7 scenario_dir=$work_dir/$1 observed=none elapsed=- told_nat=- told_gateway=- daemon_pid=""
  client_ns="${prefix}-$1-client" internet_ns="${prefix}-$1-internet"
  trap teardown EXIT
  trap 'exit 143' TERM
  set -e
  build_network "$key" "$topology"
  load_rules "$rules"
  load_nft "$client_ns" "$lab_dir/rules/client-watch.nft" lo lo
  set +e
  if [[ $daemon != - ]]; then
    start_daemon "${daemon_binary[$daemon]}" || { write_result; return 1; }
  fi
  [[ $gateway == - ]] || options+=(--port-mapping)

  ip netns exec "$internet_ns" "$server" --bind "$server_ip" --port "$main_port" --extra-port "$extra_port" \
    --ping-interval "$ping_interval_ms" --session-ttl "$session_ttl" --max-sessions 16 ${pings:+--pings "$pings"} \
    >"$scenario_dir/server.out" 2>"$scenario_dir/server.err" &
  server_pid=$!
  wait_for_server "$scenario_dir/server.out" "$server_pid"
  case $? in
    0) ;;
    2) problem "server's first line is '$(head -n 1 "$scenario_dir/server.out")', not its listening line" ;;
    *) problem "server did not start: $(head -c 300 "$scenario_dir/server.err")"; write_result; return 1 ;;
  esac
  [[ "$server_main_address:$server_main_port $server_extra_address:$server_extra_port" == "$server_ip:$main_port $server_ip:$extra_port" ]] ||
    problem "server listens on $server_main_address:$server_main_port and $server_extra_address:$server_extra_port"

  # The client's own deadlines end it within 10 s + 10 s + 10 s + 20 s at most.
  local started=$EPOCHREALTIME
  ip netns exec "$client_ns" timeout -k 5 75 "$client" "${options[@]}" "$server_ip" "$main_port" \
    >"$scenario_dir/client.out" 2>"$scenario_dir/client.err" &
  wait $!
  local status=$?
  elapsed=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
  read_client_result "$status"
  verify_port_mapping "$nat" "$gateway"
  verify_record "$mapping" "$pings"
  [[ $checks == - ]] || for check in ${checks//,/ }; do "check_$check"; done
  if [[ -n $daemon_pid ]]; then
    stop_server "$daemon_pid" || problem "miniupnpd did not exit 0 on SIGTERM: $server_status"
  fi
  write_result
  ((problems == 0))
}

# read_client_result STATUS: the client's one-line JSON result and its exit
# status; sets observed and, "-" where null, what the client was told.
read_client_result() {
  local facts verdict out=$scenario_dir/client.out
  told_public=- told_alt=- pings_received=0 start_reply=-
  if [[ $(wc -l <"$out") != 1 ]] || ! facts=$(jq -er '[.verdict, if .public_ip then "\(.public_ip):\(.public_port)" else null end,
    .public_port_alt, .pings_received, .elapsed_ms.start_reply] | map(. // "-" | tostring) | join(" ")' "$out"); then
    problem "client (status $1) printed no one-line JSON result"
    return
  fi
  echo "client: $facts"
  read -r verdict told_public told_alt pings_received start_reply <<<"$facts"
  # "absent" stands for a missing member, JSON null for a null one.
  told_nat=$(jq -r 'if has("nat") then .nat | tostring else "absent" end' "$out")
  told_gateway=$(jq -c 'if has("gateway") then .gateway else "absent" end' "$out")
  echo "client: nat $told_nat, gateway $told_gateway"
  local -A status_of=([success]=0 [failure]=2 [timeout]=3)
  [[ $1 == "${status_of[$verdict]:-4}" ]] || problem "client exited with status $1 after verdict $verdict"
  [[ -z ${status_of[$verdict]:-} ]] || observed=${verdict^^}
}

# verify_port_mapping NAT GATEWAY: the client's "nat" and "gateway" members
# against the row's. A lossy run that got no INIT reply has no public address
# to compare, so "nat" is null. GATEWAY is "-" (no --port-mapping, so null)
# or NAME=VALUE for every member, where "public" stands for public_ip.
verify_port_mapping() {
  local nat=$1 want line
  [[ $told_nat != - ]] || return 0  # no result to read, already a problem
  [[ $expected != ANY || $told_public != - ]] || nat=null
  [[ $told_nat == "$nat" ]] || problem "client's nat is $told_nat, expected $nat"
  if [[ $2 == - ]]; then
    [[ $told_gateway == null ]] || problem "client's gateway is $told_gateway without --port-mapping"
    return
  fi
  want=$(jq -cn --arg cell "$2" --arg public "$public_ip" '$cell | split(",") | map(split("=") |
    {(.[0]): (.[1] | if . == "public" then $public elif . == "null" or . == "true" or . == "false" then fromjson else . end)}) | add')
  while IFS= read -r line; do
    problem "client's gateway$line"
  done < <(jq -rn --argjson want "$want" --argjson got "$told_gateway" '
    if ($got | type) != "object" then " is \($got | tojson), expected \($want | tojson)"
    else ($want | to_entries[] | .key as $k | .value as $v | select(($got | has($k) | not) or $got[$k] != $v) |
        ".\($k) is \(if $got | has($k) then $got[$k] | tojson else "missing" end), expected \($v | tojson)"),
      (($got | keys) - ($want | keys) | .[] | " has an unexpected member \(.)")
    end')
}

# verify_record MAPPING PINGS: the verdict against the row, and the stopped
# server's record: one session line with MAPPING (or none) and counters to
# match. A verdict of random loss (ANY) must be one the record bears: TIMEOUT
# had no START reply (no session, or an unpinged one), FAILURE sent its PING
# (MAPPING, or unpinged and then no PING came back), SUCCESS has MAPPING.
verify_record() {
  local mapping=$1 log=$scenario_dir/server.out line counters sessions
  if [[ $expected != ANY ]]; then
    [[ $observed == "$expected" ]] || problem "verdict $observed, expected $expected"
  elif [[ $observed == TIMEOUT ]]; then
    # Its 10 s wait, twice the session's TTL, saw out any session it made.
    [[ $start_reply == - ]] || problem "client timed out after sending its PING"
    mapping=none
  elif [[ $observed == FAILURE ]]; then
    [[ $start_reply != - ]] || problem "FAILURE, but the client sent no PING after a START reply"
  elif [[ $observed != SUCCESS ]]; then
    problem "verdict $observed, expected SUCCESS, FAILURE or TIMEOUT"
  fi
  [[ $mapping == none ]] || wait_for_line "$log" '^session ' $((session_ttl + 10)) || problem "server logged no session line"
  stop_server "$server_pid" || problem "server did not exit 0 on SIGTERM: $server_status"
  line=$(grep -m 1 '^session ' "$log") counters=$(grep -m 1 '^counters ' "$log") sessions=$(grep -c '^session ' "$log")
  if [[ $expected == ANY && $observed == @(TIMEOUT|FAILURE) && $(field "$line" mapping) == unknown ]]; then
    mapping=unknown
    ((pings_received == 0)) || problem "client received a PING, but the server logged its session as never pinged"
  fi
  # shellcheck disable=SC2053  # the right side is a glob
  [[ $counters == ${counters_after[$mapping]} ]] || problem "counters line '$counters' does not match '${counters_after[$mapping]}'"
  if [[ $mapping == none ]]; then
    ((sessions == 0)) || problem "server logged $sessions session lines, expected none"
    return
  fi
  ((sessions == 1)) || problem "server logged $sessions session lines, expected 1"
  # The session line holds what the client was told: its public address, and
  # its alternate port unless the INIT2 reply was lost for good.
  local alt=$told_alt source=$told_public pings=${2:-@([3-9]|[1-9]+([0-9]))} plus_1='*'
  [[ $told_alt != - || $observed != TIMEOUT ]] || alt='+([0-9])'
  [[ ${told_public%:*} == "$public_ip" ]] || problem "client was told public address $told_public, expected address $public_ip"
  case $mapping in
    endpoint-independent) plus_1=yes ;;  # port-preserving routers keep P and P+1 side by side
    endpoint-dependent) source="$public_ip:!(${told_public#*:})" ;;
    unknown) source=none pings=0 ;;
  esac
  local pattern="session id=* public=$told_public alt_port=$alt alt_is_main_plus_1=$plus_1 mapping=$mapping ping_source=$source pings_sent=$pings"
  # shellcheck disable=SC2053
  [[ $line == $pattern ]] || problem "session line '$line' does not match '$pattern'"
}

# --- Driver -------------------------------------------------------------------------
((repeat > 0 && jobs == 0)) && jobs=16  # hundreds at once would only fight over the CPU
echo "nat-lab: run $run_id, client $client, server $server"
# The plan: runs.tsv, one line per run, its key and its row's columns.
"$python" "$lab_dir/report.py" plan "$lab_dir/scenarios.tsv" "$work_dir" "$only" "$repeat" "$lossy_runs" \
  "$(declare -F | sed -n 's/^declare -f check_//p')" || exit
mapfile -t runs <"$work_dir/runs.tsv"
# The router daemons the planned rows name: Debian's own, and the one rebuilt
# to count the lab's WAN ranges as public (built once, then cached).
declare -A daemon_binary=([stock]=$stock_daemon)
daemons=$(cut -f 5 "$work_dir/runs.tsv" | sort -u)
if grep -qE '^(stock|public)$' <<<"$daemons"; then
  [[ -x $stock_daemon ]] || skip "$stock_daemon is missing (scripts/install-deps.sh installs miniupnpd-nftables)"
fi
if grep -qx public <<<"$daemons"; then
  daemon_binary[public]=$("$lab_dir/build-miniupnpd.sh" "$daemon_cache") ||
    { echo "nat-lab: the rebuilt miniupnpd did not build" >&2; exit 1; }
fi
lab_started=$EPOCHREALTIME
running=0
for run in "${runs[@]}"; do
  IFS=$'\t' read -r -a columns <<<"$run"
  if ((jobs > 0 && running >= jobs)); then wait -n 2>/dev/null; ((running--)); fi
  mkdir -p "$work_dir/${columns[0]}"
  (run_scenario "${columns[@]}") >"$work_dir/${columns[0]}/worker.log" 2>&1 &
  ((running++))
done
wait
lab_elapsed=$(awk -v a="$lab_started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
"$python" "$lab_dir/report.py" results "$lab_dir/scenarios.tsv" "$work_dir" "$repeat" "$lab_elapsed"
