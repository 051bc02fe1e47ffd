"""Each text has one home. The man pages are the reference: every option a
program's --help names has its entry under OPTIONS, and the server's page
defines each key of the counters line exactly once, in the line's order,
while no other document defines one again. And no passage of some three lines
(SHARED_WORDS words) stands in two of the documents.

usage: check_docs.py CLIENT SERVER SOURCE_DIR
"""
import glob
import os
import re
import signal
import subprocess
import sys

client, server, source = sys.argv[1:4]
problems = []


def section(page, name):
    """The roff lines of one .SH section."""
    text = open(page, encoding="utf-8").read()
    match = re.search(r"^\.SH " + name + r"\n(.*?)(?=^\.SH |\Z)", text, re.S | re.M)
    return match.group(1).splitlines() if match else []


def terms(lines):
    """The term lines of the .TP entries: the line after each .TP."""
    return [lines[i + 1] for i, line in enumerate(lines[:-1]) if line == ".TP"]


def roff_words(line):
    """The words of a roff line, with its escapes undone."""
    return set(re.findall(r"-?-?[a-z][a-z0-9_-]*", line.replace("\\-", "-")))


def check_options(program, page):
    help_text = subprocess.run([program, "--help"], capture_output=True, text=True,
                               timeout=30, check=True).stdout
    options = set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", help_text))
    documented = set()
    for term in terms(section(page, "OPTIONS")):
        documented |= roff_words(term)
    for option in sorted(options - documented):
        problems.append(f"{os.path.basename(page)}: {option} from --help has no entry under OPTIONS")
    if not options:
        problems.append(f"{program} --help names no option")


def counters_line():
    """The keys of the counters line of a real server, stopped at once."""
    process = subprocess.Popen([server, "--bind", "127.0.0.1", "--port", "0", "--extra-port", "0"],
                               stdout=subprocess.PIPE, text=True)
    try:
        first = process.stdout.readline()
        if "listening on" not in first:
            problems.append(f"the server did not start: {first!r}")
            return []
        process.send_signal(signal.SIGTERM)
        out, _ = process.communicate(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(timeout=30)
    line = next((l for l in out.splitlines() if l.startswith("counters ")), "")
    return re.findall(r" ([a-z_]+)=", line)


def check_counters(page):
    keys = counters_line()
    if not keys:
        problems.append("no counters line")
        return
    # The keys' entries come after the sentence that says their order.
    output = section(page, "OUTPUT")
    start = next(i for i, line in enumerate(output) if "Its keys come in this order" in line)
    entries = []
    for term in terms(output[start:]):
        entries += [w for w in re.findall(r"[a-z_]+", term.replace("\\-", "-")) if "_" in w or w in keys]
    for key in keys:
        if entries.count(key) != 1:
            problems.append(f"punchprobe-server.8: counters key {key} has {entries.count(key)} entries, not 1")
    for entry in sorted(set(entries) - set(keys)):
        problems.append(f"punchprobe-server.8: {entry} has an entry but is no key of the counters line")
    if [k for k in entries if k in keys] != keys:
        problems.append("punchprobe-server.8: the counters keys are not in the line's order")
    documents = [os.path.join(source, "README.md"), os.path.join(source, "CONTRIBUTING.md")]
    documents += glob.glob(os.path.join(source, "docs", "*.md"))
    for document in documents:
        for number, line in enumerate(open(document, encoding="utf-8"), 1):
            defined = re.match(r"\|\s*`([a-z_]+)`", line)
            if defined and defined.group(1) in keys:
                problems.append(f"{document}:{number}: defines {defined.group(1)} again; "
                                "the man page is its one home")


SHARED_WORDS = 30


def words(path):
    """The running text of a Markdown or roff document, as lower-case words."""
    text = open(path, encoding="utf-8").read()
    if not path.endswith(".md"):
        text = re.sub(r"^\.[A-Za-z]+ ?", "", text, flags=re.M).replace("\\-", "-")
        text = re.sub(r"\\[a-z(]\S{0,2}", " ", text)
    text = re.sub(r"\]\([^)]*\)", "", text)
    return re.findall(r"[a-z0-9][a-z0-9_.,:;'-]*", text.lower())


def check_shared_text(documents):
    seen = {}
    for document in documents:
        text = words(document)
        for i in range(len(text) - SHARED_WORDS + 1):
            passage = " ".join(text[i:i + SHARED_WORDS])
            first = seen.setdefault(passage, document)
            if first != document:
                problems.append(f"{document} repeats a passage of {first}: \"{passage}\"")
                break


check_options(client, os.path.join(source, "man", "punchprobe.1"))
check_options(server, os.path.join(source, "man", "punchprobe-server.8"))
check_counters(os.path.join(source, "man", "punchprobe-server.8"))
check_shared_text([os.path.join(source, name) for name in ("README.md", "CONTRIBUTING.md")]
                  + sorted(glob.glob(os.path.join(source, "docs", "*.md")))
                  + sorted(glob.glob(os.path.join(source, "man", "*.[18]"))))
for problem in problems:
    print(problem, file=sys.stderr)
sys.exit(1 if problems else 0)
