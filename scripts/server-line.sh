# shellcheck shell=bash disable=SC2034  # its results are for the scripts that source it
# Sourced by the scripts that start punchprobe-server (run.sh,
# packaging/check-deb.sh, nat-lab/run-lab.sh): how to tell that it is up and
# on which ports, and how to stop it. Its first line is
#   punchprobe-server listening on ADDRESS:PORT (main) and ADDRESS:PORT (extra)
# and this is the only shell code that reads it. Every wait here is bounded.

server_listening_regex='^punchprobe-server listening on ([^ ]+):([0-9]+) \(main\) and ([^ ]+):([0-9]+) \(extra\)$'

# wait_for_line FILE REGEX SECONDS [PID]: true as soon as FILE has a line
# matching the extended REGEX; false after SECONDS, or once PID (if given) has
# ended without writing one.
wait_for_line() {
  local file=$1 regex=$2 seconds=$3 pid=${4:-} tries
  for ((tries = seconds * 10; tries > 0; tries--)); do
    grep -qE -- "$regex" "$file" 2>/dev/null && return 0
    if [[ -n $pid ]] && ! kill -0 "$pid" 2>/dev/null; then
      # It may have written the line just before it ended.
      grep -qE -- "$regex" "$file" 2>/dev/null
      return
    fi
    sleep 0.1
  done
  return 1
}

# wait_for_server LOG PID [SECONDS]: waits (10 s unless told) for the server
# PID, whose standard output goes to LOG, to say where it listens, and sets
# server_main_address, server_main_port, server_extra_address and
# server_extra_port. Status 1 if it said nothing of the kind in time (or
# ended), 2 if it did but not as its first line.
wait_for_server() {
  local log=$1 pid=$2 seconds=${3:-10} first
  server_main_address='' server_main_port='' server_extra_address='' server_extra_port=''
  wait_for_line "$log" '^punchprobe-server listening on ' "$seconds" "$pid" || return 1
  first=$(head -n 1 "$log") || true
  [[ $first =~ $server_listening_regex ]] || return 2
  server_main_address=${BASH_REMATCH[1]}
  server_main_port=${BASH_REMATCH[2]}
  server_extra_address=${BASH_REMATCH[3]}
  server_extra_port=${BASH_REMATCH[4]}
}

# stop_server PID [SECONDS]: SIGTERM, on which the server prints its counters
# line and exits 0, then waits (10 s unless told) for it; a server still
# running then is killed. Leaves its exit status in server_status ("timeout"
# if it had to be killed); false unless it exited 0. PID must be a child of
# this shell. Safe under set -e.
stop_server() {
  local pid=$1 seconds=${2:-10} tries
  kill -TERM "$pid" 2>/dev/null || true
  for ((tries = seconds * 10; tries > 0; tries--)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    server_status=timeout
    return 1
  fi
  server_status=0
  wait "$pid" 2>/dev/null || server_status=$?
  [[ $server_status == 0 ]]
}
