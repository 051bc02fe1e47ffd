#!/usr/bin/python3
"""metrics_scrape.py SERVER_BINARY CLIENT_BINARY

Scrapes a real punchprobe-server's --metrics page with urllib after one real
client run, parses it with Prometheus' own parser, and holds it against the
counters line the server prints at SIGTERM."""
import re
import signal
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    sys.exit("metrics_scrape.py: python3-prometheus-client is missing (scripts/install-deps.sh installs it)")

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED: " + what, file=sys.stderr, flush=True)


def get(port, path="/metrics", method="GET"):
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), method=method)
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status, response.headers.get("Content-Type"), response.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, None, ""


def scrape(port):
    status, content_type, text = get(port)
    check(status == 200 and content_type == "text/plain; version=0.0.4; charset=utf-8",
          "GET /metrics: %s %s" % (status, content_type))
    samples, types = {}, {}
    for family in text_string_to_metric_families(text):
        types[family.name] = family.type
        for sample in family.samples:
            samples[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
    return samples, types


def main():
    server_binary, client = sys.argv[1:3]
    server = subprocess.Popen([server_binary, "--port", "0", "--extra-port", "0", "--bind", "127.0.0.1",
                               "--metrics", "127.0.0.1:0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # A server that never prints its lines is killed, so no read hangs.
    watchdog = threading.Timer(60, server.kill)
    watchdog.start()
    try:
        lines = [server.stdout.readline().decode().rstrip("\n") for _ in range(2)]
        main_port = re.fullmatch(r"punchprobe-server listening on 127\.0\.0\.1:(\d+) \(main\) and .*", lines[0])
        metrics_port = re.fullmatch(r"metrics on http://127\.0\.0\.1:(\d+)/metrics", lines[1])
        if not main_port or not metrics_port:
            sys.exit("metrics_scrape.py: unexpected first lines: %r" % lines)
        main_port, metrics_port = int(main_port.group(1)), int(metrics_port.group(1))

        # The client binds its alternate port one above a system-chosen one,
        # which a parallel test may hold: its set-up then fails with "bind".
        for _ in range(5):
            run = subprocess.run([client, "127.0.0.1", str(main_port)], capture_output=True, text=True,
                                 timeout=60)
            if not run.stderr.startswith("bind"):
                break
        check(run.returncode == 0 and "  SUCCESS  " in run.stdout, "client run: %s%s" % (run.stdout, run.stderr))
        # The session completes once its PING train is out: the client needs
        # three PINGs, the server sends five, 50 ms apart.
        for _ in range(50):
            samples, types = scrape(metrics_port)
            if samples.get(("punchprobe_completed_total", ())) == 1:
                break
            time.sleep(0.1)
        for name in ["punchprobe_sessions_total", "punchprobe_completed_total",
                     "punchprobe_endpoint_independent_total", "punchprobe_session_setup_seconds_count"]:
            check(samples.get((name, ())) == 1, "%s is %r" % (name, samples.get((name, ()))))
        check(samples.get(("punchprobe_session_setup_seconds_bucket", (("le", "+Inf"),))) == 1, "+Inf bucket")
        check(samples.get(("punchprobe_session_setup_seconds_sum", ()), 0) > 0, "setup time sum > 0")
        check(types.get("punchprobe_session_setup_seconds") == "histogram", "histogram")
        for gauge in ["punchprobe_live_sessions", "punchprobe_live_ping_trains", "punchprobe_queued_sends"]:
            check(types.get(gauge) == "gauge" and (gauge, ()) in samples, "gauge " + gauge)

        check(get(metrics_port, method="POST")[0] == 405, "POST is 405")
        check(get(metrics_port, "/other")[0] == 404, "GET /other is 404")
        samples, _ = scrape(metrics_port)
    finally:
        server.send_signal(signal.SIGTERM)
        out, err = (text.decode() for text in server.communicate(timeout=15))
        watchdog.cancel()

    # Nothing happened between the last scrape and the end.
    counters = [line.split()[1:] for line in out.splitlines() if line.startswith("counters ")]
    check(len(counters) == 1 and err == "", "one counters line, no errors: %r %r" % (out, err))
    pairs = [pair.split("=") for pair in counters[-1]] if counters else []
    check(len(pairs) >= 30 and ["metrics_bad_requests", "2"] in pairs, "counters line: %r" % pairs)
    for key, value in pairs:
        sample = (("punchprobe_dropped_total", (("reason", key[len("dropped_"):]),)) if key.startswith("dropped_")
                  else ("punchprobe_%s_total" % key, ()))
        check(samples.get(sample) == float(value), "%s=%s on the page as %r" % (key, value, samples.get(sample)))
    if failures:
        sys.exit("metrics_scrape.py: %d checks failed" % len(failures))
    print("metrics_scrape.py: all %d counters, the gauges and the histogram agree" % len(pairs))


if __name__ == "__main__":
    main()
