#!/usr/bin/python3
"""Scrapes a real punchprobe-server's --metrics page with a real HTTP client
after one real client run, parses it with Prometheus' own parser, and holds
it against the counters line the server prints when it ends.

    metrics_scrape.py SERVER_BINARY CLIENT_BINARY
"""
import os
import re
import select
import signal
import subprocess
import sys
import time
import urllib.error
import urllib.request

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    sys.exit("metrics_scrape.py: python3-prometheus-client is missing (scripts/install-deps.sh installs it)")

LISTENING = re.compile(r"^punchprobe-server listening on 127\.0\.0\.1:(\d+) \(main\) and 127\.0\.0\.1:(\d+) \(extra\)$")
METRICS = re.compile(r"^metrics on http://127\.0\.0\.1:(\d+)/metrics$")
EXPOSITION_TYPE = "text/plain; version=0.0.4; charset=utf-8"
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED: " + what, file=sys.stderr, flush=True)


def first_lines(stream, count, limit_s):
    # Read straight from the pipe: a buffered reader may hold lines that
    # select() no longer sees. The server flushes every line; lines that do
    # not come are a failure, not a hang.
    data = b""
    until = time.monotonic() + limit_s
    while data.count(b"\n") < count:
        left = until - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            sys.exit("metrics_scrape.py: no first lines from the server within %d s: %r" % (limit_s, data))
        chunk = os.read(stream.fileno(), 4096)
        if not chunk:
            sys.exit("metrics_scrape.py: the server ended: %r" % data)
        data += chunk
    return data.decode().split("\n")[:count]


def run_client(client, port):
    # The client binds its alternate port one above a system-chosen one,
    # which a parallel test may hold: its set-up then fails with "bind".
    for _ in range(5):
        run = subprocess.run([client, "127.0.0.1", str(port)], capture_output=True, text=True, timeout=60)
        if not run.stderr.startswith("bind"):
            break
    return run


def scrape(port):
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=10) as response:
        return response.status, response.headers, response.read().decode("utf-8")


def status_of(port, method, path):
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), method=method)
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status
    except urllib.error.HTTPError as error:
        return error.code


def samples_of(text):
    samples = {}
    types = {}
    for family in text_string_to_metric_families(text):
        types[family.name] = family.type
        for sample in family.samples:
            samples[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
    return samples, types


def main():
    server_binary, client = sys.argv[1], sys.argv[2]
    server = subprocess.Popen([server_binary, "--port", "0", "--extra-port", "0", "--bind", "127.0.0.1",
                               "--metrics", "127.0.0.1:0"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        lines = first_lines(server.stdout, 2, 10)
        listening, metrics = LISTENING.match(lines[0]), METRICS.match(lines[1])
        if not listening or not metrics:
            sys.exit("metrics_scrape.py: unexpected first lines: %r" % lines)
        main_port, metrics_port = int(listening.group(1)), int(metrics.group(1))

        run = run_client(client, main_port)
        check(run.returncode == 0 and "  SUCCESS  " in run.stdout, "client run: %s%s" % (run.stdout, run.stderr))
        # The session counts as completed once its PING train is out: the
        # client has three PINGs, the server sends five, 50 ms apart.
        for _ in range(50):
            status, headers, text = scrape(metrics_port)
            samples, types = samples_of(text)
            if samples.get(("punchprobe_completed_total", ())) == 1:
                break
            time.sleep(0.1)
        check(status == 200, "status %d" % status)
        check(headers.get("Content-Type") == EXPOSITION_TYPE, "Content-Type %r" % headers.get("Content-Type"))
        for name in ["punchprobe_sessions_total", "punchprobe_completed_total",
                     "punchprobe_endpoint_independent_total", "punchprobe_session_setup_seconds_count"]:
            check(samples.get((name, ())) == 1, "%s = %r" % (name, samples.get((name, ()))))
        check(samples.get(("punchprobe_session_setup_seconds_bucket", (("le", "+Inf"),))) == 1, "+Inf bucket")
        check(samples.get(("punchprobe_session_setup_seconds_sum", ()), 0) > 0, "setup time sum > 0")
        check(types.get("punchprobe_session_setup_seconds") == "histogram", "histogram type")
        for gauge in ["punchprobe_live_sessions", "punchprobe_live_ping_trains", "punchprobe_queued_sends"]:
            check(types.get(gauge) == "gauge" and (gauge, ()) in samples, "gauge " + gauge)

        # The endpoint's errors, counted in the counters line below.
        check(status_of(metrics_port, "POST", "/metrics") == 405, "POST is 405")
        check(status_of(metrics_port, "GET", "/other") == 404, "GET /other is 404")
        _, _, text = scrape(metrics_port)
        samples, _ = samples_of(text)
        check(samples.get(("punchprobe_metrics_bad_requests_total", ())) == 2, "bad requests counted")
    finally:
        server.send_signal(signal.SIGTERM)
        out, err = (text.decode() for text in server.communicate(timeout=15))

    # Every key of the counters line is on the page with the same value;
    # nothing has happened between the last scrape and the end.
    counters = [line for line in out.splitlines() if line.startswith("counters ")]
    check(len(counters) == 1 and err == "", "one counters line and no errors: %r %r" % (out, err))
    pairs = [pair.split("=") for pair in counters[-1].split()[1:]] if counters else []
    check(len(pairs) >= 30, "counters line keys: %d" % len(pairs))
    for key, value in pairs:
        if key.startswith("dropped_"):
            sample = ("punchprobe_dropped_total", (("reason", key[len("dropped_"):]),))
        else:
            sample = ("punchprobe_%s_total" % key, ())
        check(samples.get(sample) == float(value), "%s=%s on the page as %r" % (key, value, samples.get(sample)))

    if failures:
        sys.exit("metrics_scrape.py: %d checks failed" % len(failures))
    print("metrics_scrape.py: %d counters, the gauges and the histogram agree" % len(pairs))


if __name__ == "__main__":
    main()
