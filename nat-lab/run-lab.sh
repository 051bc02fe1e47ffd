#!/usr/bin/env bash
# shellcheck disable=SC2317  # functions called from traps look unreachable
# The NAT lab: runs the real punchprobe client against the real
# punchprobe-server across routers built from network namespaces, veth links
# and nftables, one fresh set of namespaces per scenario, and checks that every
# kind of router gets the verdict it deserves and the server's session line
# that matches it.
#
#   sudo nat-lab/run-lab.sh [--client PATH] [--server PATH] [--only ID,ID...]
#                           [--repeat N] [--jobs N] [--keep-logs]
#   nat-lab/run-lab.sh --check    only tells whether the lab can run here
#
# --repeat N (at most 999) runs every selected scenario N times, each in
# fresh namespaces, 16 at a time unless --jobs says otherwise, and then also
# prints how often each verdict came, with 95 % intervals:
#   sudo nat-lab/run-lab.sh --only 9a,9b,9c --repeat 100 --jobs 16
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
repeat=0
jobs=0
keep_logs=no
check_only=no

usage() {
  echo "usage: $0 [--client PATH] [--server PATH] [--only ID,ID...] [--repeat N] [--jobs N] [--keep-logs] | --check" >&2
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
    --repeat)
      # Three digits keep the interface names within 15 bytes.
      if (($# < 2)) || [[ ! $2 =~ ^[1-9][0-9]{0,2}$ ]]; then usage; fi
      repeat=$2
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
#             routers (home, carrier), in order; "-" for none. ROUTER:FILE=N
#             also gives that router's rules the nft variable $FILE = N
#   pings     the server's --pings ("-" for its default)
#   verdict   the client's: SUCCESS, FAILURE, or TIMEOUT (the timed-out notice);
#             ANY where random loss decides, for any of the three as long as
#             the server's record agrees with it (see check_any_server_log).
#             An ANY row runs any_runs times, in fresh namespaces each time
#   mapping   the server's: its session line's mapping=, which also fixes the
#             counters line; "none" for no session at all; for ANY, the one a
#             completed session must show
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
  "8d home    home:masquerade,home:lose-first-start - SUCCESS endpoint-independent first_start_lost endpoint-independent NAT that loses the client's first START: the server sends its INIT2 reply again"
  "9a home    home:masquerade,home:loss=1           - ANY     endpoint-independent loss_seen       endpoint-independent NAT, 1 % of UDP lost at random between client and router"
  "9b home    home:masquerade,home:loss=5           - ANY     endpoint-independent loss_seen       endpoint-independent NAT, 5 % of UDP lost at random between client and router"
  "9c home    home:masquerade,home:loss=10          - ANY     endpoint-independent loss_seen       endpoint-independent NAT, 10 % of UDP lost at random between client and router"
)

# Runs of each ANY row in a plain lab run: enough that CI often crosses a
# lossy path, few enough that their namespaces add only seconds to the lab.
# They check the server's record against each verdict, never how often each
# verdict came.
readonly any_runs=3

# What the server's counters line must show after a run with each mapping (a
# glob).
declare -rA counters_after=(
  [none]='counters sessions=0 *'
  [endpoint-independent]='counters sessions=1 completed=1 endpoint_independent=1 endpoint_dependent=0 expired=0 *'
  [endpoint-dependent]='counters sessions=1 completed=1 endpoint_independent=0 endpoint_dependent=1 expired=0 *'
  [unknown]='counters sessions=1 completed=0 endpoint_independent=0 endpoint_dependent=0 expired=1 *'
)

# Checks that only some scenarios need, named by their rows.

# The lost datagram is the first PING, and only that one.
check_first_ping_lost() {
  grep -q '^Received server PING(1) ' "$scenario_dir/client.out" &&
    problem "client received PING(1), which the router drops"
  check_lost_exactly_one
}

# The home router's deterministic loss rule (table lab_loss) dropped one
# datagram and no more.
check_lost_exactly_one() {
  local lost
  lost=$(in_ns "${router_ns[home]}" nft list table ip lab_loss | grep -oE 'counter packets [0-9]+' | awk '{print $3}')
  [[ $lost == 1 ]] || problem "loss rule dropped '${lost}' datagrams, expected exactly 1"
}

# The client's first START is lost, and only that one: the INIT2 reply that
# the server sent again brought a second START, so the client printed its
# INIT2 lines and sent START twice.
check_first_start_lost() {
  local out=$scenario_dir/client.out resent
  (($(grep -c '^Received server INIT2 \[' "$out") == 2)) || problem "client did not receive the INIT2 reply twice"
  (($(grep -c '^Sending cient START \[' "$out") == 2)) || problem "client did not send START twice"
  check_lost_exactly_one
  resent=$(grep -m 1 '^counters ' "$scenario_dir/server.out" | grep -oE 'replies_resent=[0-9]+')
  [[ $resent == replies_resent=1 ]] || problem "server counted '${resent}', expected replies_resent=1"
}

# Behind masquerade nothing but the random loss can keep a run from SUCCESS.
check_loss_seen() {
  local listing dropped
  listing=$(in_ns "${router_ns[home]}" nft list table ip lab_random_loss) || {
    problem "the home router has no table lab_random_loss"
    return
  }
  dropped=$(grep -oE 'counter packets [0-9]+' <<<"$listing" | awk '{ sum += $3 } END { print sum + 0 }')
  echo "loss rule dropped $dropped datagrams"
  [[ $observed == SUCCESS || $dropped -gt 0 ]] || problem "verdict $observed, but the loss rule dropped nothing"
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

# load_rules ROUTER:FILE[=N],...: rules/FILE.nft into that router, each
# router's files in one nft transaction, with the router's interfaces, the
# lab's addresses and ports and each FILE=N as nft variables. The files each
# router got stay beside the scenario's logs.
load_rules() {
  local entry router file setting
  local -A settings=()
  [[ $1 == - ]] && return 0
  for entry in ${1//,/ }; do
    router=${entry%%:*}
    file=${entry#*:}
    [[ -n ${router_ns[$router]:-} ]] || { echo "nat-lab: this topology has no router '$router'"; return 1; }
    if [[ $file == *=* ]]; then
      [[ $file =~ ^[a-z_]+=[0-9]+$ ]] || { echo "nat-lab: '$entry' sets no number"; return 1; }
      settings[$router]+=" $file"
      file=${file%%=*}
    fi
    cat "$lab_dir/rules/$file.nft" >>"$scenario_dir/$router.nft"
  done
  for router in "${!router_ns[@]}"; do
    [[ -e $scenario_dir/$router.nft ]] || continue
    local defines=()
    for setting in ${settings[$router]:-}; do
      defines+=(-D "$setting")
    done
    in_ns "${router_ns[$router]}" nft -f "$scenario_dir/$router.nft" \
      -D "wan=${router_wan[$router]}" -D "lan=${router_lan[$router]}" \
      -D "client_ip=$client_ip" -D "server_ip=$server_ip" \
      -D "main_port=$main_port" -D "extra_port=$extra_port" "${defines[@]}"
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

# run_scenario ROW KEY: builds the row's network, runs server and client across
# it and checks what both say against the row. KEY names this run's
# namespaces, links and logs: the row's id, or ID_N for its Nth run.
run_scenario() {
  local id topology rules pings expected mapping check behaviour key=$2
  read -r id topology rules pings expected mapping check behaviour <<<"$1"
  [[ $pings == - ]] && pings=""
  scenario_id=$key
  scenario_dir=$work_dir/$key
  result_file=$scenario_dir/result
  observed=none
  elapsed=-
  mkdir -p "$scenario_dir"
  local client_ns="${prefix}-${key}-client" internet_ns="${prefix}-${key}-internet"
  trap teardown EXIT
  trap 'exit 143' TERM

  set -e
  build_network "$key" "$topology"
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
  if [[ $expected == ANY ]]; then
    check_any_server_log "$mapping" "$pings" "$server_pid"
  else
    [[ $observed == "$expected" ]] || problem "verdict $observed, expected $expected"
    check_server_log "$mapping" "$pings" "$server_pid"
  fi
  [[ $check == - ]] || "check_$check"
  write_result
  ((${#problems[@]} == 0))
}

# check_server_log MAPPING PINGS SERVER_PID: the server's record of the run,
# once it has been stopped: one session line with MAPPING (or none at all) and
# counters to match.
check_server_log() {
  local mapping=$1 pings=$2 server_pid=$3
  [[ $mapping == none ]] || wait_for_session_line
  stop_lab_server "$server_pid"
  check_server_record "$mapping" "$pings"
}

# check_any_server_log MAPPING PINGS SERVER_PID: a verdict that random loss
# chose must still be the one the server's record allows.
#   SUCCESS  three PINGs came: one completed session with MAPPING.
#   TIMEOUT  a datagram before the START reply was lost for good (the INIT
#            phase, or every repeat of a reply), so the client never sent its
#            PING: no completed session; an expired one if its INIT2 arrived.
#   FAILURE  the client sent its PING after the START reply, so the session
#            exists: completed with MAPPING (the server's PINGs were lost) or
#            expired (the client's PING was, and the client saw no PING).
check_any_server_log() {
  local mapping=$1 pings=$2 server_pid=$3
  local client_log=$scenario_dir/client.out server_log=$scenario_dir/server.out
  local sent_ping=no
  grep -q '^Sending client PING ' "$client_log" && sent_ping=yes
  case $observed in
    SUCCESS) check_server_log "$mapping" "$pings" "$server_pid" ;;
    TIMEOUT)
      [[ $sent_ping == no ]] || problem "client timed out after sending its PING"
      # The client waited 10 s for its reply, twice the session's TTL: a
      # session its INIT2 made has expired and been logged by now.
      stop_lab_server "$server_pid"
      if grep -q '^session ' "$server_log"; then
        check_server_record unknown "$pings"
      else
        check_server_record none "$pings"
      fi
      ;;
    FAILURE)
      if [[ $sent_ping == no ]] || ! grep -q '^Received server START ' "$client_log"; then
        problem "FAILURE, but the client sent no PING after a START reply"
      fi
      wait_for_session_line
      stop_lab_server "$server_pid"
      local line
      line=$(grep -m 1 '^session ' "$server_log")
      if [[ $(field "$line" mapping) == unknown ]]; then
        grep -q '^Received server PING' "$client_log" &&
          problem "client received a PING, but the server logged its session as never pinged"
        check_server_record unknown "$pings"
      else
        check_server_record "$mapping" "$pings"
      fi
      ;;
    *)
      problem "verdict $observed, expected SUCCESS, FAILURE or TIMEOUT"
      stop_lab_server "$server_pid"
      ;;
  esac
}

wait_for_session_line() {
  wait_for_line "$scenario_dir/server.out" '^session ' $((session_ttl + 10)) || problem "server logged no session line"
}

stop_lab_server() {
  stop_server "$1" && return
  if [[ $server_status == timeout ]]; then
    problem "server did not stop on SIGTERM"
  else
    problem "server exited with status $server_status on SIGTERM"
  fi
}

# check_server_record MAPPING PINGS: the stopped server's log holds one
# session line with MAPPING (or none at all) and counters to match.
check_server_record() {
  local mapping=$1 pings=$2 server_log=$scenario_dir/server.out
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
  # A re-sent INIT2 reply tells it twice, the same both times.
  told_alt=$(sed -nE 's/^Our alternate public address is .*:([0-9]+)$/\1/p' "$scenario_dir/client.out" | sort -u)
  [[ $told == "$public" ]] || problem "client was told public address '$told', server logged $public"
  # Only a lost INIT2 reply leaves a session the client heard nothing of.
  if [[ -n $told_alt || $observed != TIMEOUT ]]; then
    [[ $told_alt == "$alt_port" ]] || problem "client was told alternate port '$told_alt', server logged $alt_port"
  fi

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
# Hundreds of runs at once would only fight over the CPU.
((repeat > 0 && jobs == 0)) && jobs=16

# run_keys ROW: one key a line for each run of the row, the id itself when
# it runs once.
run_keys() {
  local id expected runs=1 n
  read -r id _ _ _ expected _ <<<"$1"
  if ((repeat > 0)); then
    runs=$repeat
  elif [[ $expected == ANY ]]; then
    runs=$any_runs
  fi
  if ((runs == 1)); then
    echo "$id"
    return
  fi
  for ((n = 1; n <= runs; n++)); do
    echo "${id}_$n"
  done
}

total_runs=0
for row in "${selected[@]}"; do
  total_runs=$((total_runs + $(run_keys "$row" | wc -l)))
done

echo "nat-lab: run $run_id, client $client_binary, server $server_binary"
echo "nat-lab: running ${#selected[@]} scenarios in $total_runs runs:"
for row in "${selected[@]}"; do
  read -r id _ _ _ expected _ _ behaviour <<<"$row"
  runs=$(run_keys "$row" | wc -l)
  printf '  %-3s %s -> %s%s\n' "$id" "$behaviour" "$expected" "$( ((runs == 1)) || echo " ($runs runs)")"
done

lab_started=$EPOCHREALTIME
running=0
for row in "${selected[@]}"; do
  for key in $(run_keys "$row"); do
    if ((jobs > 0 && running >= jobs)); then
      wait -n 2>/dev/null
      ((running--))
    fi
    mkdir -p "$work_dir/$key"
    (run_scenario "$row" "$key") >"$work_dir/$key/worker.log" 2>&1 &
    worker_pids+=($!)
    ((running++))
  done
done
for pid in "${worker_pids[@]}"; do
  wait "$pid"
done
lab_elapsed=$(awk -v a="$lab_started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')

# read_result KEY: sets observed, elapsed and ok from that run's result file.
read_result() {
  observed=none elapsed=- ok=no
  if [[ -e $work_dir/$1/result ]]; then
    { read -r observed; read -r elapsed; read -r ok; } <"$work_dir/$1/result"
  fi
}

# wilson K N: "K = SHARE % [LOW, HIGH]", the share of K in N runs with its
# 95 % Wilson score interval, which stays inside 0..100 % and holds up for
# shares near 0 or 1, where the normal approximation does not.
wilson() {
  awk -v k="$1" -v n="$2" 'BEGIN {
    z = 1.959964; p = k / n; d = 1 + z * z / n
    centre = (p + z * z / (2 * n)) / d
    half = z * sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / d
    low = centre - half; high = centre + half
    if (low < 0) low = 0
    if (high > 1) high = 1
    printf "%d = %.1f %% [%.1f, %.1f]", k, 100 * p, 100 * low, 100 * high
  }'
}

wrong_keys=()
stats_rows=()
echo
echo "| Scenario | Router behaviour | Expected verdict | Observed verdict | Time to verdict |"
echo "|---|---|---|---|---|"
for row in "${selected[@]}"; do
  read -r id _ _ _ expected _ _ behaviour <<<"$row"
  mapfile -t keys < <(run_keys "$row")
  declare -A count=([SUCCESS]=0 [FAILURE]=0 [TIMEOUT]=0 [none]=0)
  wrong=0 times=""
  for key in "${keys[@]}"; do
    read_result "$key"
    [[ -n ${count[$observed]:-} ]] || observed=none
    count[$observed]=$((count[$observed] + 1))
    [[ $ok == yes ]] || { wrong=$((wrong + 1)); wrong_keys+=("$key"); }
    times+=" ${elapsed% s}"
  done
  if ((${#keys[@]} == 1)); then
    mark=$observed time=$elapsed
    ((wrong == 0)) || mark="$observed (WRONG)"
  else
    mark=""
    for verdict in SUCCESS FAILURE TIMEOUT none; do
      ((count[$verdict] == 0)) || mark+="${mark:+, }$verdict ${count[$verdict]}"
    done
    ((wrong == 0)) || mark+=" ($wrong WRONG)"
    time=$(awk -v list="$times" 'BEGIN {
      n = split(list, t, " ")
      for (i = 1; i <= n; i++) if (t[i] != "-") {
        if (!seen || t[i] + 0 < low) low = t[i] + 0
        if (!seen || t[i] + 0 > high) high = t[i] + 0
        seen = 1
      }
      if (!seen) printf "-"
      else if (sprintf("%.1f", low) == sprintf("%.1f", high)) printf "%.1f s", low
      else printf "%.1f to %.1f s", low, high
    }')
  fi
  echo "| $id | $behaviour | $expected | $mark | $time |"
  runs=${#keys[@]}
  stats_rows+=("| $id | $behaviour | $runs | $(wilson "${count[SUCCESS]}" "$runs") | $(wilson "${count[FAILURE]}" "$runs") | $(wilson "${count[TIMEOUT]}" "$runs") | $wrong |")
done
echo

if ((repeat > 0)); then
  echo "Verdicts of $repeat runs per scenario: count = share [95 % Wilson interval]; \"Wrong\" counts runs"
  echo "whose verdict the server's record did not bear out."
  echo
  echo "| Scenario | Router behaviour | Runs | SUCCESS | FAILURE | Timed out | Wrong |"
  echo "|---|---|---:|---|---|---|---:|"
  printf '%s\n' "${stats_rows[@]}"
  echo
fi

if ((${#wrong_keys[@]} > 0)); then
  # A long repeat can go wrong many times; the first few logs tell why.
  shown=0
  for key in "${wrong_keys[@]}"; do
    ((shown < 5)) || break
    shown=$((shown + 1))
    echo "---- run $key"
    cat "$work_dir/$key/worker.log"
    for file in client.out client.err server.out server.err; do
      [[ -s $work_dir/$key/$file ]] && { echo "-- $file"; cat "$work_dir/$key/$file"; }
    done
  done
  echo "nat-lab: ${#wrong_keys[@]} of $total_runs runs wrong: ${wrong_keys[*]}"
  echo "nat-lab: FAILED after $lab_elapsed s"
  exit 1
fi
echo "nat-lab: all ${#selected[@]} scenarios right in $total_runs runs, $lab_elapsed s"
exit 0
