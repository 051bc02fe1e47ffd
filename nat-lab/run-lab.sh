#!/usr/bin/env bash
# shellcheck disable=SC2317  # functions called from traps look unreachable
# The NAT lab: runs the real punchprobe client against the real
# punchprobe-server across routers built from network namespaces, veth links
# and nftables, one fresh set of namespaces per scenario, and checks that every
# kind of router gets the verdict it deserves and the server's session line
# that matches it.
#
#   sudo nat-lab/run-lab.sh [--client PATH] [--server PATH] [--only ID,ID...]
#                           [--jobs N] [--keep-logs]
#   nat-lab/run-lab.sh --check    only tells whether the lab can run here
#
# Exit status: 0 all scenarios right, 1 some scenario wrong, 2 bad usage or
# missing binaries, 77 skipped (not root, or no ip netns / nftables here).
#
# Addresses come only from the documentation ranges: the home LAN is
# 192.0.2.0/24, the carrier's network 198.51.100.0/24 and the "Internet"
# 203.0.113.0/24. Nothing touches the host's own interfaces or routes: every
# link is created inside the namespaces, and no namespace has a route out.
set -uo pipefail
# A fixed locale keeps $EPOCHREALTIME's decimal point and the greps predictable.
export LC_ALL=C

lab_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$lab_dir")
readonly lab_dir repo_dir
# shellcheck source=scripts/server-line.sh source-path=SCRIPTDIR/..
source "$repo_dir/scripts/server-line.sh"

client_binary=$repo_dir/build/punchprobe
server_binary=$repo_dir/build/punchprobe-server
only=""
jobs=0
keep_logs=no
check_only=no

usage() {
  echo "usage: $0 [--client PATH] [--server PATH] [--only ID,ID...] [--jobs N] [--keep-logs] | --check" >&2
  exit 2
}

while (($#)); do
  case $1 in
    --client) (($# >= 2)) || usage; client_binary=$2; shift 2 ;;
    --server) (($# >= 2)) || usage; server_binary=$2; shift 2 ;;
    --only) (($# >= 2)) || usage; only=$2; shift 2 ;;
    --jobs)
      if (($# < 2)) || [[ ! $2 =~ ^[0-9]+$ ]]; then usage; fi
      jobs=$2
      shift 2
      ;;
    --keep-logs) keep_logs=yes; shift ;;
    --check) check_only=yes; shift ;;
    -h | --help) usage ;;
    *) usage ;;
  esac
done

# --- The network ---------------------------------------------------------------
readonly client_ip=192.0.2.2
readonly home_lan_ip=192.0.2.1
readonly home_wan_behind_carrier_ip=198.51.100.2
readonly carrier_inside_ip=198.51.100.1
readonly router_public_ip=203.0.113.1
readonly server_ip=203.0.113.100
readonly main_port=30000
readonly extra_port=30001
# Short enough that a session which never sees a PING is logged well before
# the client's 20 s deadline, long enough for any exchange on a loaded box.
readonly session_ttl=5
readonly ping_interval_ms=100

# --- The scenarios ---------------------------------------------------------------
# One row each, in columns:
#   id        what --only names
#   topology  routed   client - home router - Internet, no NAT: the Internet
#                      routes the LAN back, so the server sees the client's own
#                      address;
#             home     client - home router - Internet;
#             carrier  client - home router - carrier router - Internet.
#   rules     ROUTER:FILE,... the files of rules/FILE.nft loaded into the
#             routers (home, carrier), in order; "-" for none
#   pings     the server's --pings ("-" for its default)
#   verdict   the client's: SUCCESS, FAILURE, or TIMEOUT (the timed-out notice)
#   mapping   the server's: its session line's mapping=, which also fixes the
#             counters line; "none" for no session at all
#   check     a check_NAME function this scenario needs besides, or "-"
#   the rest  the router's behaviour, as the results table shows it
readonly scenarios=(
  "1  routed  -                                     - SUCCESS endpoint-independent - no NAT, plain routing"
  "2  home    home:masquerade                       - SUCCESS endpoint-independent - NAT, endpoint-independent mapping, address-and-port-dependent filtering (masquerade)"
  "3  home    home:masquerade,home:full-cone-dnat   - SUCCESS endpoint-independent - full cone: masquerade plus DNAT of all inbound UDP to the client"
  "4  home    home:symmetric                        - FAILURE endpoint-dependent   - symmetric NAT: public port depends on the destination"
  "5a carrier home:masquerade,carrier:masquerade    - SUCCESS endpoint-independent - double NAT: endpoint-independent home NAT behind endpoint-independent carrier NAT"
  "5b carrier home:masquerade,carrier:symmetric     - FAILURE endpoint-dependent   - double NAT: endpoint-independent home NAT behind symmetric carrier NAT"
  "6  home    home:masquerade,home:main-port-only   - FAILURE unknown              - NAT with a firewall that lets UDP out only to the server's main port"
  "7  home    home:masquerade,home:drop-udp         - TIMEOUT none                 - all UDP dropped"
  "8a home    home:masquerade,home:lose-first-ping  3 FAILURE endpoint-independent first_ping_lost endpoint-independent NAT that loses the first server PING, --pings 3"
  "8b home    home:masquerade,home:lose-first-ping  5 SUCCESS endpoint-independent first_ping_lost endpoint-independent NAT that loses the first server PING, --pings 5"
  "8c home    home:masquerade,home:lose-first-ping  - SUCCESS endpoint-independent first_ping_lost endpoint-independent NAT that loses the first server PING, server's default --pings"
)

# What the server's counters line must show after a run with each mapping (a
# glob).
declare -rA counters_after=(
  [none]='counters sessions=0 *'
  [endpoint-independent]='* endpoint_independent=1 endpoint_dependent=0 *'
  [endpoint-dependent]='* endpoint_independent=0 endpoint_dependent=1 *'
  [unknown]='* expired=1 *'
)

# Checks that only some scenarios need, named by their rows.

# The lost datagram is the first PING, and only that one.
check_first_ping_lost() {
  grep -q '^Received server PING(1) ' "$scenario_dir/client.out" &&
    problem "client received PING(1), which the router drops"
  local lost
  lost=$(in_ns "${router_ns[home]}" nft list table ip lab_loss | grep -oE 'counter packets [0-9]+' | awk '{print $3}')
  [[ $lost == 1 ]] || problem "loss rule dropped '${lost}' datagrams, expected exactly 1"
}

# --- Preconditions ----------------------------------------------------------------
skip() {
  echo "nat-lab: SKIPPED: $*"
  exit 77
}

[[ $(id -u) -eq 0 ]] || skip "needs root (run: sudo $0)"
command -v ip >/dev/null || skip "the ip command (iproute2) is missing"
command -v nft >/dev/null || skip "the nft command (nftables) is missing"
if [[ $check_only == no ]]; then
  for binary in "$client_binary" "$server_binary"; do
    if [[ ! -x $binary ]]; then
      echo "nat-lab: no executable $binary (build first, or pass --client/--server)" >&2
      exit 2
    fi
  done
  client_binary=$(realpath "$client_binary")
  server_binary=$(realpath "$server_binary")
fi

readonly run_id=$$
readonly prefix="pplab${run_id}"
work_dir=$(mktemp -d "${TMPDIR:-/tmp}/nat-lab.XXXXXX") || exit 2
readonly work_dir

# Only namespaces whose names carry this run's id are ours to remove.
remove_namespace() {
  local namespace=$1 pid
  for pid in $(ip netns pids "$namespace" 2>/dev/null); do
    kill -KILL "$pid" 2>/dev/null
  done
  ip netns delete "$namespace" 2>/dev/null
}

remove_run_namespaces() {
  local namespace
  for namespace in $(ip netns list 2>/dev/null | awk '{print $1}' | grep "^${prefix}-"); do
    remove_namespace "$namespace"
  done
}

worker_pids=()
finish() {
  local status=$?
  trap - EXIT INT TERM
  local pid
  for pid in "${worker_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null
  done
  for pid in "${worker_pids[@]}"; do
    wait "$pid" 2>/dev/null
  done
  remove_run_namespaces
  if [[ $keep_logs == yes ]]; then
    echo "nat-lab: logs kept in $work_dir"
  else
    rm -rf "$work_dir"
  fi
  exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The first namespace on a machine makes ip mount /run/netns; doing that once,
# serialised on this script's own file, keeps parallel scenarios and parallel
# labs from racing on it.
probe_namespace="${prefix}-probe"
probe_ok=no
if (flock -w 30 9 || true
    ip netns add "$probe_namespace" &&
    ip netns exec "$probe_namespace" nft add table ip lab_probe) 9<"${BASH_SOURCE[0]}" 2>"$work_dir/probe.err"; then
  probe_ok=yes
fi
remove_namespace "$probe_namespace"
[[ $probe_ok == yes ]] || skip "ip netns or nftables does not work here: $(head -n 1 "$work_dir/probe.err")"
if [[ $check_only == yes ]]; then
  echo "nat-lab: can run here (root, ip netns and nftables work)"
  exit 0
fi

# --- Building blocks ----------------------------------------------------------------
# All of these run inside a scenario worker, under `set -e`.

in_ns() {
  local namespace=$1
  shift
  ip netns exec "$namespace" "$@"
}

make_namespace() {
  ip netns add "$1"
  ip -n "$1" link set lo up
}

# veth pair: link_namespaces NS_A IF_A ADDR_A/LEN NS_B IF_B ADDR_B/LEN, made
# directly inside the two namespaces so the host never sees it.
link_namespaces() {
  local ns_a=$1 if_a=$2 addr_a=$3 ns_b=$4 if_b=$5 addr_b=$6
  ip -n "$ns_a" link add "$if_a" type veth peer name "$if_b" netns "$ns_b"
  ip -n "$ns_a" addr add "$addr_a" dev "$if_a"
  ip -n "$ns_b" addr add "$addr_b" dev "$if_b"
  ip -n "$ns_a" link set "$if_a" up
  ip -n "$ns_b" link set "$if_b" up
}

enable_forwarding() {
  in_ns "$1" sysctl -qw net.ipv4.ip_forward=1
}

# build_network ID TOPOLOGY: the namespaces and links of one scenario. Sets
# public_ip, the address the server should see, and for each router its
# namespace (router_ns) and its LAN- and WAN-side interfaces (router_lan,
# router_wan), which its rule files see as $lan and $wan.
declare -A router_ns=() router_lan=() router_wan=()
build_network() {
  local id=$1 topology=$2
  local client_ns="${prefix}-${id}-client" home_ns="${prefix}-${id}-home"
  local carrier_ns="${prefix}-${id}-carrier" internet_ns="${prefix}-${id}-internet"
  # Interface names stay within 15 bytes and carry the run id.
  local lan_client="l${id}c${run_id}" lan_home="l${id}h${run_id}"
  local mid_home="m${id}h${run_id}" mid_carrier="m${id}k${run_id}"
  local wan_router="w${id}r${run_id}" wan_server="w${id}s${run_id}"
  [[ $topology =~ ^(routed|home|carrier)$ ]] || { echo "nat-lab: unknown topology '$topology'"; return 1; }

  make_namespace "$client_ns"
  make_namespace "$home_ns"
  make_namespace "$internet_ns"
  link_namespaces "$client_ns" "$lan_client" "$client_ip/24" "$home_ns" "$lan_home" "$home_lan_ip/24"
  ip -n "$client_ns" route add 203.0.113.0/24 via "$home_lan_ip"
  enable_forwarding "$home_ns"
  router_ns[home]=$home_ns router_lan[home]=$lan_home router_wan[home]=$wan_router

  # The last router before the Internet owns the public address.
  local edge_ns=$home_ns
  if [[ $topology == carrier ]]; then
    make_namespace "$carrier_ns"
    edge_ns=$carrier_ns
    router_wan[home]=$mid_home
    router_ns[carrier]=$carrier_ns router_lan[carrier]=$mid_carrier router_wan[carrier]=$wan_router
    link_namespaces "$home_ns" "$mid_home" "$home_wan_behind_carrier_ip/24" \
      "$carrier_ns" "$mid_carrier" "$carrier_inside_ip/24"
    ip -n "$home_ns" route add 203.0.113.0/24 via "$carrier_inside_ip"
    enable_forwarding "$carrier_ns"
  fi
  link_namespaces "$edge_ns" "$wan_router" "$router_public_ip/24" "$internet_ns" "$wan_server" "$server_ip/24"

  public_ip=$router_public_ip
  if [[ $topology == routed ]]; then
    # The only topology where the Internet knows the way to the LAN.
    ip -n "$internet_ns" route add 192.0.2.0/24 via "$router_public_ip"
    public_ip=$client_ip
  fi
}

# load_rules ROUTER:FILE,...: rules/FILE.nft into that router, each router's
# files in one nft transaction, with the router's interfaces and the lab's
# addresses and ports as nft variables. The files each router got stay beside
# the scenario's logs.
load_rules() {
  local entry router
  [[ $1 == - ]] && return 0
  for entry in ${1//,/ }; do
    router=${entry%%:*}
    [[ -n ${router_ns[$router]:-} ]] || { echo "nat-lab: this topology has no router '$router'"; return 1; }
    cat "$lab_dir/rules/${entry#*:}.nft" >>"$scenario_dir/$router.nft"
  done
  for router in "${!router_ns[@]}"; do
    [[ -e $scenario_dir/$router.nft ]] || continue
    in_ns "${router_ns[$router]}" nft -f "$scenario_dir/$router.nft" \
      -D "wan=${router_wan[$router]}" -D "lan=${router_lan[$router]}" \
      -D "client_ip=$client_ip" -D "server_ip=$server_ip" \
      -D "main_port=$main_port" -D "extra_port=$extra_port"
  done
}

problems=()
problem() {
  problems+=("$*")
  echo "PROBLEM: $*"
}

field() {
  # field LINE KEY -> value of KEY=value in a key=value line
  local line=$1 key=$2
  sed -nE "s/.* ${key}=([^ ]*).*/\1/p" <<<"$line"
}

# --- One scenario ---------------------------------------------------------------------

# Scenario state lives in globals of the worker subshell, so that its EXIT
# trap still sees it after run_scenario has returned.
write_result() {
  local verdict_ok=no
  ((${#problems[@]} == 0)) && verdict_ok=yes
  printf '%s\n%s\n%s\n' "$observed" "$elapsed" "$verdict_ok" >"$result_file.tmp"
  mv "$result_file.tmp" "$result_file"
}

teardown() {
  local namespace
  [[ -e $result_file ]] || { problem "interrupted, or the network could not be built"; write_result; }
  for namespace in $(ip netns list 2>/dev/null | awk '{print $1}' | grep "^${prefix}-${scenario_id}-"); do
    remove_namespace "$namespace"
  done
}

# run_scenario ROW: builds the row's network, runs server and client across
# it and checks what both say against the row.
run_scenario() {
  local id topology rules pings expected mapping check behaviour
  read -r id topology rules pings expected mapping check behaviour <<<"$1"
  [[ $pings == - ]] && pings=""
  scenario_id=$id
  scenario_dir=$work_dir/$id
  result_file=$scenario_dir/result
  observed=none
  elapsed=-
  mkdir -p "$scenario_dir"
  local client_ns="${prefix}-${id}-client" internet_ns="${prefix}-${id}-internet"
  trap teardown EXIT
  trap 'exit 143' TERM

  set -e
  build_network "$id" "$topology"
  load_rules "$rules"
  set +e

  local server_args=(--bind "$server_ip" --port "$main_port" --extra-port "$extra_port"
    --ping-interval "$ping_interval_ms" --session-ttl "$session_ttl" --max-sessions 16)
  [[ -n $pings ]] && server_args+=(--pings "$pings")
  local server_log=$scenario_dir/server.out client_log=$scenario_dir/client.out
  ip netns exec "$internet_ns" "$server_binary" "${server_args[@]}" >"$server_log" 2>"$scenario_dir/server.err" &
  local server_pid=$!
  wait_for_server "$server_log" "$server_pid"
  case $? in
    0) ;;
    2) problem "server's first line is '$(head -n 1 "$server_log")', not its listening line" ;;
    *)
      problem "server did not start: $(head -c 300 "$scenario_dir/server.err")"
      write_result
      return 1
      ;;
  esac
  local listening="$server_main_address:$server_main_port and $server_extra_address:$server_extra_port"
  [[ $listening == "$server_ip:$main_port and $server_ip:$extra_port" ]] ||
    problem "server listens on $listening, not on $server_ip:$main_port and $server_ip:$extra_port"

  # The client's own deadlines end it within 10 s + 10 s + 10 s + 20 s at most.
  local started=$EPOCHREALTIME
  ip netns exec "$client_ns" timeout -k 5 75 "$client_binary" "$server_ip" "$main_port" \
    >"$client_log" 2>"$scenario_dir/client.err" &
  local client_pid=$!
  wait "$client_pid"
  local client_status=$?
  local ended=$EPOCHREALTIME
  elapsed=$(awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.1f s", b - a }')
  ((client_status == 0)) || problem "client exited with status $client_status"

  if grep -qx '  SUCCESS  ' "$client_log"; then
    observed=SUCCESS
  elif grep -qx '  FAILURE  ' "$client_log"; then
    observed=FAILURE
  elif grep -qx "The connection to $server_ip timed out." "$client_log"; then
    observed=TIMEOUT
  fi
  [[ $observed == "$expected" ]] || problem "verdict $observed, expected $expected"

  check_server_log "$mapping" "$pings" "$server_pid"
  [[ $check == - ]] || "check_$check"
  write_result
  ((${#problems[@]} == 0))
}

# check_server_log MAPPING PINGS SERVER_PID: the server's record of the run,
# once it has been stopped: one session line with MAPPING (or none at all) and
# counters to match.
check_server_log() {
  local mapping=$1 pings=$2 server_pid=$3 server_log=$scenario_dir/server.out
  if [[ $mapping != none ]]; then
    wait_for_line "$server_log" '^session ' $((session_ttl + 10)) || problem "server logged no session line"
  fi
  if ! stop_server "$server_pid"; then
    if [[ $server_status == timeout ]]; then
      problem "server did not stop on SIGTERM"
    else
      problem "server exited with status $server_status on SIGTERM"
    fi
  fi
  local counters sessions
  counters=$(grep -m 1 '^counters ' "$server_log") || problem "server printed no counters line"
  sessions=$(grep -c '^session ' "$server_log")
  if [[ $mapping == none ]]; then
    ((sessions == 0)) || problem "server logged $sessions sessions, expected none"
    # shellcheck disable=SC2053  # the right side is a glob
    [[ $counters == ${counters_after[none]} ]] || problem "counters do not show zero sessions"
    return
  fi
  ((sessions == 1)) || problem "server logged $sessions session lines, expected 1"
  check_session_line "$(grep -m 1 '^session ' "$server_log")" "$mapping" "$pings"
  # shellcheck disable=SC2053
  [[ $counters == ${counters_after[$mapping]} ]] ||
    problem "counters do not match one $mapping session: $counters"
}

check_session_line() {
  local line=$1 expected_mapping=$2 pings=$3
  local mapping public alt_port alt_plus_1 ping_source pings_sent
  mapping=$(field "$line" mapping)
  public=$(field "$line" public)
  alt_port=$(field "$line" alt_port)
  alt_plus_1=$(field "$line" alt_is_main_plus_1)
  ping_source=$(field "$line" ping_source)
  pings_sent=$(field "$line" pings_sent)

  [[ $mapping == "$expected_mapping" ]] || problem "server saw mapping=$mapping, expected $expected_mapping"
  [[ ${public%:*} == "$public_ip" ]] || problem "server saw public=$public, expected address $public_ip"

  # What the client was told must be what the server logged.
  local told told_alt
  told=$(sed -nE 's/^Our public address is (.*)$/\1/p' "$scenario_dir/client.out")
  told_alt=$(sed -nE 's/^Our alternate public address is .*:([0-9]+)$/\1/p' "$scenario_dir/client.out")
  [[ $told == "$public" ]] || problem "client was told public address '$told', server logged $public"
  [[ $told_alt == "$alt_port" ]] || problem "client was told alternate port '$told_alt', server logged $alt_port"

  case $expected_mapping in
    endpoint-independent)
      # Port-preserving routers keep P and P+1 side by side.
      [[ $alt_plus_1 == yes ]] || problem "alt_is_main_plus_1=$alt_plus_1, expected yes"
      [[ $ping_source == "$public" ]] || problem "ping_source=$ping_source, expected $public"
      ;;
    endpoint-dependent)
      [[ ${ping_source%:*} == "$public_ip" && $ping_source != "$public" ]] ||
        problem "ping_source=$ping_source, expected $public_ip with a port other than ${public#*:}"
      ;;
    unknown)
      [[ $ping_source == none ]] || problem "ping_source=$ping_source, expected none"
      [[ $pings_sent == 0 ]] || problem "pings_sent=$pings_sent, expected 0"
      ;;
  esac
  if [[ $expected_mapping != unknown ]]; then
    if [[ -n $pings ]]; then
      [[ $pings_sent == "$pings" ]] || problem "pings_sent=$pings_sent, expected $pings"
    else
      if [[ ! $pings_sent =~ ^[0-9]+$ ]] || ((pings_sent < 3)); then
        problem "pings_sent=$pings_sent, expected at least 3"
      fi
    fi
  fi
}

# --- Driver -------------------------------------------------------------------------

selected=()
for row in "${scenarios[@]}"; do
  read -r id _ <<<"$row"
  if [[ -z $only || ",$only," == *",$id,"* ]]; then
    selected+=("$row")
  fi
done
((${#selected[@]} > 0)) || { echo "nat-lab: --only '$only' selects no scenario" >&2; exit 2; }

echo "nat-lab: run $run_id, client $client_binary, server $server_binary"
echo "nat-lab: running ${#selected[@]} scenarios:"
for row in "${selected[@]}"; do
  read -r id _ _ _ expected _ _ behaviour <<<"$row"
  printf '  %-3s %s -> %s\n' "$id" "$behaviour" "$expected"
done

lab_started=$EPOCHREALTIME
running=0
for row in "${selected[@]}"; do
  read -r id _ <<<"$row"
  if ((jobs > 0 && running >= jobs)); then
    wait -n 2>/dev/null
    ((running--))
  fi
  mkdir -p "$work_dir/$id"
  (run_scenario "$row") >"$work_dir/$id/worker.log" 2>&1 &
  worker_pids+=($!)
  ((running++))
done
for pid in "${worker_pids[@]}"; do
  wait "$pid"
done
lab_elapsed=$(awk -v a="$lab_started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')

failed=0
echo
echo "| Scenario | Router behaviour | Expected verdict | Observed verdict | Time to verdict |"
echo "|---|---|---|---|---|"
for row in "${selected[@]}"; do
  read -r id _ _ _ expected _ _ behaviour <<<"$row"
  observed=none elapsed=- ok=no
  if [[ -e $work_dir/$id/result ]]; then
    { read -r observed; read -r elapsed; read -r ok; } <"$work_dir/$id/result"
  fi
  mark=$observed
  [[ $ok == yes ]] || { mark="$observed (WRONG)"; failed=1; }
  echo "| $id | $behaviour | $expected | $mark | $elapsed |"
done
echo

if ((failed)); then
  for row in "${selected[@]}"; do
    read -r id _ <<<"$row"
    if ! grep -qx yes <(sed -n 3p "$work_dir/$id/result" 2>/dev/null); then
      echo "---- scenario $id"
      cat "$work_dir/$id/worker.log"
      for file in client.out client.err server.out server.err; do
        [[ -s $work_dir/$id/$file ]] && { echo "-- $file"; cat "$work_dir/$id/$file"; }
      done
    fi
  done
  echo "nat-lab: FAILED after $lab_elapsed s"
  exit 1
fi
echo "nat-lab: all ${#selected[@]} scenarios right in $lab_elapsed s"
exit 0
