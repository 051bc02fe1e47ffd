#!/usr/bin/python3
"""The NAT lab's table and reports, for nat-lab/run-lab.sh.

  report.py plan SCENARIOS_TSV WORK_DIR ONLY REPEAT LOSSY_RUNS CHECKS
      checks the table, writes WORK_DIR/runs.tsv (one line per run: its key,
      then its row's id, topology, rules, daemon, pings, verdict, mapping,
      nat, gateway and checks) and prints what will run. Exit status 2 for a
      bad table or --only.
  report.py results SCENARIOS_TSV WORK_DIR REPEAT ELAPSED
      prints the verdict table (and with REPEAT > 0 the verdict counts) from
      each run's WORK_DIR/KEY/result ("observed<TAB>elapsed<TAB>yes|no<TAB>
      nat<TAB>gateway", the last two as the client reported them) and the
      logs of the first wrong runs. Exit status 0 all right, 1 not.
"""

import csv
import json
import math
import os
import re
import sys

COLUMNS = ("id", "topology", "rules", "daemon", "pings", "verdict", "mapping", "nat", "gateway", "lossy",
           "checks", "behaviour")
RUN_COLUMNS = ("id", "topology", "rules", "daemon", "pings", "verdict", "mapping", "nat", "gateway", "checks")
ALLOWED = {
    "topology": ("routed", "home", "carrier", "cgnat"),
    "daemon": ("-", "stock", "public"),
    "verdict": ("SUCCESS", "FAILURE", "TIMEOUT", "ANY"),
    "mapping": ("none", "endpoint-independent", "endpoint-dependent", "unknown"),
    "nat": ("none", "present", "null"),
    "lossy": ("yes", "no"),
}
# The gateway column names every member of the client's "gateway" object, in
# this order, each with the values it may expect; "public" stands for the
# run's public address.
IPV4 = r"[0-9]{1,3}(\.[0-9]{1,3}){3}"
GATEWAY_MEMBERS = {
    "address": IPV4 + "|null",
    "upnp_igd": "true|false",
    "nat_pmp": "true|false",
    "pcp": "true|false",
    "external_ip": IPV4 + "|public|null",
    "second_nat": "true|false|null",
}
VERDICTS = ("SUCCESS", "FAILURE", "TIMEOUT", "none")
# Logs of this many wrong runs are shown: a long repeat can go wrong many
# times, and the first few tell why.
LOGS_SHOWN = 5


class TableError(Exception):
    pass


def read_table(path):
    """The rows, as dicts by column name, in the file's order."""
    with open(path, newline="", encoding="utf-8") as table:
        reader = csv.DictReader(table, delimiter="\t", quoting=csv.QUOTE_NONE)
        if tuple(reader.fieldnames or ()) != COLUMNS:
            raise TableError(f"the first line must name the columns {' '.join(COLUMNS)}, tab-separated")
        return [(reader.line_num, row) for row in reader if any(row.values())]


def rule_problem(entry, topology, rules_dir):
    """Why ROUTER:FILE[=N] cannot load in this topology, or None."""
    match = re.fullmatch(r"(home|carrier):([a-z][a-z_-]*)(=[0-9]+)?", entry)
    if not match:
        return f"'{entry}' is not ROUTER:FILE or ROUTER:FILE=N"
    router, name, number = match.groups()
    if router == "carrier" and topology not in ("carrier", "cgnat"):
        return f"'{entry}': topology {topology} has no carrier router"
    if number and "-" in name:
        return f"'{entry}': a file that takes a number needs a name nft takes as a variable"
    if not os.path.isfile(os.path.join(rules_dir, name + ".nft")):
        return f"'{entry}': no file rules/{name}.nft"
    return None


def gateway_problem(cell):
    """Why the gateway column is neither '-' nor NAME=VALUE for every member, or None."""
    if cell == "-":
        return None
    entries = [entry.partition("=") for entry in cell.split(",")]
    if [name for name, _, _ in entries] != list(GATEWAY_MEMBERS):
        return f"gateway '{cell}' must be '-' or name {', '.join(GATEWAY_MEMBERS)} in this order, as NAME=VALUE"
    for name, _, value in entries:
        if not re.fullmatch(GATEWAY_MEMBERS[name], value):
            return f"gateway member {name}={value}: the value must match {GATEWAY_MEMBERS[name]}"
    return None


def check_row(row, ids, checks, rules_dir):
    """Why the row is malformed, or None."""
    if None in row or any(not value for value in row.values()):
        return "every column needs a value ('-' for none), and no more columns than the header"
    # Run keys such as 9a_300 go into interface names of at most 15 bytes.
    if not re.fullmatch(r"[0-9a-z]{1,2}", row["id"]):
        return f"id '{row['id']}' must be one or two lower-case letters or digits"
    if row["id"] in ids:
        return f"id {row['id']} comes twice"
    for column, allowed in ALLOWED.items():
        if row[column] not in allowed:
            return f"{column} '{row[column]}' is none of {', '.join(allowed)}"
    if not re.fullmatch(r"-|[1-9][0-9]*", row["pings"]):
        return f"pings '{row['pings']}' is neither '-' nor a number"
    if row["rules"] != "-":
        for entry in row["rules"].split(","):
            problem = rule_problem(entry, row["topology"], rules_dir)
            if problem:
                return problem
    problem = gateway_problem(row["gateway"])
    if problem:
        return problem
    if row["checks"] != "-":
        for check in row["checks"].split(","):
            if check not in checks:
                return f"no check named '{check}' (there are {', '.join(sorted(checks))})"
    return None


def plan(scenarios, work_dir, only, repeat, lossy_runs, check_names):
    rules_dir = os.path.join(os.path.dirname(os.path.abspath(scenarios)), "rules")
    checks = set(check_names.split())
    rows = []
    for line, row in read_table(scenarios):
        problem = check_row(row, {r["id"] for r in rows}, checks, rules_dir)
        if problem:
            raise TableError(f"line {line}: {problem}")
        rows.append(row)
    wanted = [i for i in only.split(",") if i]
    unknown = [i for i in wanted if i not in {row["id"] for row in rows}]
    if unknown:
        raise TableError(f"--only names no row {', '.join(unknown)}")
    selected = [row for row in rows if not wanted or row["id"] in wanted]
    if not selected:
        raise TableError("no rows")
    runs = []
    for row in selected:
        count = repeat if repeat > 0 else lossy_runs if row["lossy"] == "yes" else 1
        keys = [row["id"]] if count == 1 else [f"{row['id']}_{n}" for n in range(1, count + 1)]
        row["runs"] = len(keys)
        runs += [[key] + [row[c] for c in RUN_COLUMNS] for key in keys]
    with open(os.path.join(work_dir, "runs.tsv"), "w", encoding="utf-8") as out:
        out.writelines("\t".join(run) + "\n" for run in runs)
    print(f"nat-lab: running {len(selected)} scenarios in {len(runs)} runs:")
    for row in selected:
        more = "" if row["runs"] == 1 else f" ({row['runs']} runs)"
        print(f"  {row['id']:<3} {row['behaviour']} -> {row['verdict']}{more}")


def wilson(k, n):
    """'K = SHARE % [LOW, HIGH]': the share of K in N runs with its 95 % Wilson
    score interval, which stays inside 0..100 % and holds up for shares near
    0 or 1, where the normal approximation does not."""
    z = 1.959964
    p = k / n
    d = 1 + z * z / n
    centre = (p + z * z / (2 * n)) / d
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / d
    low, high = max(centre - half, 0), min(centre + half, 1)
    return "%d = %.1f %% [%.1f, %.1f]" % (k, 100 * p, 100 * low, 100 * high)


def time_span(times):
    """The times to verdict of a row's runs: one figure, or the range."""
    seconds = [float(t) for t in times if t != "-"]
    if not seconds:
        return "-"
    low, high = "%.1f" % min(seconds), "%.1f" % max(seconds)
    return f"{low} s" if low == high else f"{low} to {high} s"


def gateway_text(member):
    """The client's "gateway" member (JSON text) as the table shows it."""
    try:
        gateway = json.loads(member)
    except ValueError:
        return "-"
    if not isinstance(gateway, dict):
        return "not probed" if gateway is None else "-"
    names = {"upnp_igd": "UPnP-IGD", "nat_pmp": "NAT-PMP", "pcp": "PCP"}
    answered = ", ".join(name for key, name in names.items() if gateway.get(key) is True) or "no answer"
    second = {True: "yes", False: "no", None: "unknown"}.get(gateway.get("second_nat"), "?")
    return (f"{gateway.get('address') or 'no address'}: {answered}; external address "
            f"{gateway.get('external_ip') or 'none'}; second NAT {second}")


def read_result(work_dir, key):
    """observed, elapsed, ok, and the client's nat and gateway as the table shows them."""
    try:
        with open(os.path.join(work_dir, key, "result"), encoding="utf-8") as result:
            observed, elapsed, ok, nat, gateway = result.readline().rstrip("\n").split("\t")
    except (OSError, ValueError):
        observed, elapsed, ok, nat, gateway = "none", "-", "no", "-", "-"
    return (observed if observed in VERDICTS else "none"), elapsed, ok == "yes", nat, gateway_text(gateway)


def show_logs(work_dir, key):
    print(f"---- run {key}")
    for name in ("worker.log", "client.out", "client.err", "server.out", "server.err"):
        try:
            with open(os.path.join(work_dir, key, name), encoding="utf-8", errors="replace") as log:
                text = log.read()
        except OSError:
            continue
        if text and name != "worker.log":
            print(f"-- {name}")
        sys.stdout.write(text)


def results(scenarios, work_dir, repeat, elapsed):
    behaviour = {row["id"]: row for _, row in read_table(scenarios)}
    keys_of = {}
    with open(os.path.join(work_dir, "runs.tsv"), encoding="utf-8") as runs:
        for line in runs:
            key, row_id = line.split("\t")[:2]
            keys_of.setdefault(row_id, []).append(key)
    wrong_keys, stats = [], []
    print()
    print("| Scenario | Router behaviour | Expected verdict | Observed verdict | NAT | Gateway (--port-mapping) "
          "| Time to verdict |")
    print("|---|---|---|---|---|---|---|")
    for row_id, keys in keys_of.items():
        row = behaviour[row_id]
        count = dict.fromkeys(VERDICTS, 0)
        times, wrong, nats, gateways = [], 0, [], []
        for key in keys:
            observed, seconds, ok, nat, gateway = read_result(work_dir, key)
            count[observed] += 1
            times.append(seconds)
            nats += [nat] if nat not in nats else []
            gateways += [gateway] if gateway not in gateways else []
            if not ok:
                wrong += 1
                wrong_keys.append(key)
        if len(keys) == 1:
            mark = observed + ("" if ok else " (WRONG)")
            time = "-" if seconds == "-" else f"{seconds} s"
        else:
            mark = ", ".join(f"{v} {count[v]}" for v in VERDICTS if count[v])
            mark += f" ({wrong} WRONG)" if wrong else ""
            time = time_span(times)
        print(f"| {row_id} | {row['behaviour']} | {row['verdict']} | {mark} | {', '.join(nats)} | "
              f"{', '.join(gateways)} | {time} |")
        runs = len(keys)
        stats.append(f"| {row_id} | {row['behaviour']} | {runs} | {wilson(count['SUCCESS'], runs)} | "
                     f"{wilson(count['FAILURE'], runs)} | {wilson(count['TIMEOUT'], runs)} | {wrong} |")
    print()
    if repeat > 0:
        print(f"Verdicts of {repeat} runs per scenario: count = share [95 % Wilson interval]; \"Wrong\" counts runs")
        print("whose verdict the server's record did not bear out.")
        print()
        print("| Scenario | Router behaviour | Runs | SUCCESS | FAILURE | Timed out | Wrong |")
        print("|---|---|---:|---|---|---|---:|")
        print("\n".join(stats))
        print()
    total = sum(len(keys) for keys in keys_of.values())
    if wrong_keys:
        for key in wrong_keys[:LOGS_SHOWN]:
            show_logs(work_dir, key)
        print(f"nat-lab: {len(wrong_keys)} of {total} runs wrong: {' '.join(wrong_keys)}")
        print(f"nat-lab: FAILED after {elapsed} s")
        return 1
    print(f"nat-lab: all {len(keys_of)} scenarios right in {total} runs, {elapsed} s")
    return 0


def main(argv):
    try:
        if len(argv) == 8 and argv[1] == "plan":
            plan(argv[2], argv[3], argv[4], int(argv[5]), int(argv[6]), argv[7])
            return 0
        if len(argv) == 6 and argv[1] == "results":
            return results(argv[2], argv[3], int(argv[4]), argv[5])
    except TableError as error:
        print(f"nat-lab: {argv[2]}: {error}", file=sys.stderr)
        return 2
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
