#!/usr/bin/env bash
# Two local attacks on a running server, measured:
#  - a storm of SIGUSR1 for 5 s while nobody reads the server's standard
#    output: the growth of its memory, and how long SIGTERM then takes once
#    the output is read again;
#  - four connections to the metrics port that trickle their request a byte
#    at a time and come back when closed, while a scraper asks 64 times:
#    the scrapes answered.
#   bench/local-faults.sh [SERVER_BINARY]
set -euo pipefail
cd "$(dirname "$0")/.."
server=${1:-build-bench/punchprobe-server}
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

# The storm. The FIFO is opened for reading once, by a reader that then
# stops, so the server's writes block once the pipe is full.
mkfifo "$work/out"
exec 3<>"$work/out"
"$server" --bind 127.0.0.1 --port 0 --extra-port 0 >"$work/out" 2>/dev/null &
server_pid=$!
pids+=("$server_pid")
for _ in $(seq 1 100); do grep -q listening <(timeout 0.1 cat <&3 || true) && break; done
before=$(rss_kb "$server_pid")
signals=0
end=$((SECONDS + 5))
while ((SECONDS < end)); do
    for _ in $(seq 1 200); do kill -USR1 "$server_pid"; done
    signals=$((signals + 200))
done
after=$(rss_kb "$server_pid")
started=$(date +%s.%N)
kill -TERM "$server_pid"
# Read again, and wait for the server to end.
cat <&3 >/dev/null &
reader=$!
pids+=("$reader")
wait "$server_pid" || true
ended=$(date +%s.%N)
kill "$reader" 2>/dev/null || true
exec 3<&-
printf 'sigusr1-storm signals=%d vmrss_before_kb=%d vmrss_after_kb=%d growth_kb=%d sigterm_s=%.2f\n' \
    "$signals" "$before" "$after" $((after - before)) "$(awk -v a="$started" -v b="$ended" 'BEGIN { print b - a }')"

# The trickle.
"$server" --bind 127.0.0.1 --port 0 --extra-port 0 --metrics 127.0.0.1:0 --quiet >"$work/metrics.out" 2>&1 &
server_pid=$!
pids+=("$server_pid")
for _ in $(seq 1 100); do grep -q '^metrics on' "$work/metrics.out" && break; sleep 0.05; done
port=$(sed -n 's|^metrics on http://127.0.0.1:\([0-9]*\)/metrics|\1|p' "$work/metrics.out")
python3 - "$port" <<'PY'
import socket, sys, threading, time
port = int(sys.argv[1])
stop = time.monotonic() + 60
done = threading.Event()

def trickler():
    # Sends a byte every 0.2 s; when closed, comes back at once.
    while not done.is_set() and time.monotonic() < stop:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                for byte in b"GET /metrics HTTP/1.1\r\nHost: x\r\n":
                    if done.is_set():
                        return
                    s.sendall(bytes([byte]))
                    time.sleep(0.2)
        except OSError:
            time.sleep(0.01)

threads = [threading.Thread(target=trickler) for _ in range(4)]
for t in threads:
    t.start()
time.sleep(1)
answered = 0
for _ in range(64):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
            s.settimeout(2)
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            reply = b""
            while chunk := s.recv(65536):
                reply += chunk
            answered += reply.startswith(b"HTTP/1.1 200")
    except OSError:
        pass
done.set()
for t in threads:
    t.join()
print(f"metrics-trickle tricklers=4 scrapes=64 answered={answered}")
PY
kill -TERM "$server_pid"
wait "$server_pid" || true
