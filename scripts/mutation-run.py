#!/usr/bin/env python3
"""Mutation run over the durability road: capture, journal, save, convert,
link, session, diagnostics and the command-line converter.

Each mutant is one small change to one source file. The tool writes it in
place, rebuilds the host test targets of that component, runs their cases
(each gtest program once for all its cases, a failure confirmed by ctest in a
process of its own; the script-driven cases through ctest) and records whether
some test failed (killed), none did (survived) or the change did not compile
(build failed). The original file is always put
back, also on Ctrl-C.

    python3 scripts/mutation-run.py                      # every default file
    python3 scripts/mutation-run.py app/capture/src/capture.cpp --cap 0
    python3 scripts/mutation-run.py --list               # mutants only, no build

The host build (build/host) must be configured and built first. The report
(markdown) and the raw results (JSON) go to build/host/mutation/. Survivors that
cannot change what the program does are listed, with a reason, in
scripts/mutation-equivalents.json; the rate "without the equivalent ones" is
computed from that list.
"""

import argparse
import bisect
import json
import os
import random
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field, asdict

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "host")
EQUIVALENTS = os.path.join(ROOT, "scripts", "mutation-equivalents.json")

DEFAULT_DIRS = [
    "app/capture/src",
    "app/journal/src",
    "app/save/src",
    "app/convert/src",
    "app/link/src",
    "app/session/src",
    "app/diagnostics/src",
    "tools/convert/src",
]

# What to rebuild and which tests to run for a file under each folder: the
# component's own tests and those of the parts built on it that exercise it
# directly.
# A test is chosen by its executable (gtest cases) or by a name prefix (the
# script-driven ctest cases).
COMPONENTS = {
    "app/capture/": {
        "targets": ["seamlog_capture_tests", "seamlog_link_tests", "seamlog_save_flow_test"],
        "prefixes": [],
    },
    "app/journal/": {
        "targets": ["seamlog_journal_test", "seamlog-convert"],
        "prefixes": ["seamlog-convert."],
    },
    "app/save/": {
        "targets": ["seamlog_table_file_test", "seamlog_save_flow_test", "seamlog_convert_cli_test",
                    "seamlog-convert"],
        "prefixes": ["seamlog-convert."],
    },
    "app/convert/": {
        "targets": ["seamlog_convert_test", "seamlog_capture_tests", "seamlog_save_flow_test",
                    "seamlog_convert_cli_test", "seamlog-convert"],
        "prefixes": ["seamlog-convert."],
    },
    "app/link/": {
        "targets": ["seamlog_link_tests"],
        "prefixes": [],
    },
    "app/session/": {
        "targets": ["seamlog_session_test"],
        "prefixes": [],
    },
    "app/diagnostics/": {
        "targets": ["seamlog_diagnostics_test"],
        "prefixes": [],
    },
    "tools/convert/": {
        "targets": ["seamlog_convert_cli_test", "seamlog-convert"],
        "prefixes": ["seamlog-convert."],
    },
}
# --with-session adds the session tests (the whole road, slow) to every component.
SESSION_TARGET = "seamlog_session_test"

# Calls whose loss a user would only notice after a crash or a full disk.
CALL_NAMES = (r"Flush|flush|fsync|fdatasync|Sync|sync|Truncate|truncate|Release|Close|close|Unlock|unlock|"
              r"Rollback|Restore|Discard|Remove|remove|unlink|Unlink|Clear|Reset|reset|Commit|StillNamed")


@dataclass
class Mutant:
    file: str
    line: int
    operator: str
    start: int
    end: int
    replacement: str
    before: str = ""
    after: str = ""
    result: str = ""
    seconds: float = 0.0
    equivalent: str = ""

    def key(self):
        return (self.file, self.operator, self.before.strip(), self.after.strip())


# ---------------------------------------------------------------- source masks

def mask_source(text):
    """The text with comments, string and character literals replaced by spaces
    (line ends kept), so that operators are only looked for in code."""
    out = list(text)
    i, n = 0, len(text)

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                i += 1
                continue
            close = ")" + m.group(1) + '"'
            j = text.find(close, i + m.end())
            j = n if j < 0 else j + len(close)
            blank(i + 1, j)
            i = j
        elif c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum() and i + 1 < n and text[i + 1].isalnum():
                i += 1  # a digit separator: 64'000
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            blank(i + 1, j - 1)
            i = j
        else:
            i += 1
    return "".join(out)


def skipped_lines(masked):
    """Line numbers (1-based) never mutated: preprocessor lines and asserts."""
    skip = set()
    for number, line in enumerate(masked.split("\n"), 1):
        s = line.strip()
        if s.startswith("#") or re.search(r"\b(static_assert|assert)\s*\(", s):
            skip.add(number)
    return skip


def matching_paren(masked, open_at):
    depth = 0
    for k in range(open_at, len(masked)):
        if masked[k] == "(":
            depth += 1
        elif masked[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def top_level_comma(masked, a, b):
    depth = 0
    for k in range(a, b):
        ch = masked[k]
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        elif ch == "," and depth == 0:
            return k
    return -1


# ---------------------------------------------------------------- operators

REL_SWAP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}


def generate(path, text):
    masked = mask_source(text)
    skip = skipped_lines(masked)
    line_starts = [0] + [m.end() for m in re.finditer("\n", text)]

    def line_of(offset):
        return bisect.bisect_right(line_starts, offset)

    mutants = []

    def add(op, start, end, replacement):
        if line_of(start) in skip:
            return
        mutants.append(Mutant(path, line_of(start), op, start, end, replacement))

    # Relational boundary, == / !=, && / ||: binary operators stand between spaces.
    for m in re.finditer(r"(?<=\s)(<=|>=|<|>|==|!=|&&|\|\|)(?=\s)", masked):
        op = m.group(1)
        before = masked[m.start() - 2:m.start()]
        if before.endswith("operator"):
            continue
        if op in REL_SWAP:
            add("boundary", m.start(), m.end(), REL_SWAP[op])
        elif op in ("==", "!="):
            add("equality", m.start(), m.end(), "!=" if op == "==" else "==")
        else:
            add("logical", m.start(), m.end(), "||" if op == "&&" else "&&")

    # Integer constants beside a comparison: one more and one less.
    for m in re.finditer(r"(?<=\s)(<=|>=|<|>|==|!=)\s+(\d+)([uUlL]*)\b", masked):
        value = int(m.group(2))
        a, b = m.start(2), m.end(2)
        add("constant", a, b, str(value + 1))
        if value > 0:
            add("constant", a, b, str(value - 1))
    for m in re.finditer(r"\b(\d+)([uUlL]*)\s+(<=|>=|<|>|==|!=)(?=\s)", masked):
        value = int(m.group(1))
        if masked[m.start() - 1:m.start()].isalnum() or masked[m.start() - 1:m.start()] in "._":
            continue
        add("constant", m.start(1), m.end(1), str(value + 1))
        if value > 0:
            add("constant", m.start(1), m.end(1), str(value - 1))

    # return true <-> return false.
    for m in re.finditer(r"\breturn\s+(true|false)\s*;", masked):
        add("return", m.start(1), m.end(1), "false" if m.group(1) == "true" else "true")

    # min(a, b) / max(a, b) -> b.
    for m in re.finditer(r"\b(?:std::)?(min|max)\s*\(", masked):
        open_at = m.end() - 1
        close = matching_paren(masked, open_at)
        if close < 0:
            continue
        comma = top_level_comma(masked, open_at + 1, close)
        if comma < 0:
            continue
        second = text[comma + 1:close].strip()
        add(m.group(1), m.start(), close + 1, second)

    # A call that matters, deleted; or its result checked, ignored.
    call = re.compile(r"(?:\(void\)\s*)?(?:[\w\]\)]+(?:\.|->|::))*(?:\w*(?:" + CALL_NAMES + r")\w*)\s*\(")
    for m in re.finditer(r"(?m)^[ \t]*", masked):
        start = m.end()
        c = call.match(masked, start)
        if c:
            close = matching_paren(masked, c.end() - 1)
            if close < 0:
                continue
            rest = re.match(r"\s*;", masked[close + 1:])
            if rest:
                add("delete-call", start, close + 1 + rest.end(), "")
            continue
        cond = re.match(r"if\s*\(\s*!\s*", masked[start:])
        if cond:
            inner = start + cond.end()
            c = call.match(masked, inner)
            if not c:
                continue
            close = matching_paren(masked, c.end() - 1)
            outer = matching_paren(masked, start + masked[start:].index("("))
            if close < 0 or outer != close + 1:
                continue
            # if (!Call(...)) <statement>;  ->  (void)Call(...);  (only a one-statement body)
            body = masked[outer + 1:]
            sm = re.match(r"\s*([^;{}]*);", body)
            if not sm or "{" in body[:sm.end()]:
                continue
            add("ignore-result", start, outer + 1 + sm.end(), "(void)" + text[inner:close + 1] + ";")
    # The same call as one operand of && or ||, dropped: a || !Flush(e) -> a.
    operand = re.compile(r"!?\s*(?:[\w\]\)]+(?:\.|->|::))*\w*(?:" + CALL_NAMES + r")\w*\s*\(")
    for m in re.finditer(r"(&&|\|\|)\s*", masked):
        o = operand.match(masked, m.end())
        if not o:
            continue
        close = matching_paren(masked, o.end() - 1)
        if close >= 0 and re.match(r"\s*(\)|;|,|&&|\|\||\?)", masked[close + 1:]):
            add("drop-call", m.start() - (1 if masked[m.start() - 1] == " " else 0), close + 1, "")
    for m in re.finditer(r"(?<=[(=\s])(?=!?\s*\w)", masked):
        o = operand.match(masked, m.start())
        if not o:
            continue
        close = matching_paren(masked, o.end() - 1)
        after = re.match(r"\s*(&&|\|\|)\s*", masked[close + 1:]) if close >= 0 else None
        if after and masked[m.start() - 1] in "(= \t" and not re.search(r"(&&|\|\|)\s*$", masked[:m.start()]):
            add("drop-call", m.start(), close + 1 + after.end(), "")

    # A system call in a lambda that pretends to succeed: { return x.Fsync(fd); } -> { return 0; }.
    for m in re.finditer(r"\{\s*return\s+((?:[\w]+(?:\.|->|::))*\w*(?:" + CALL_NAMES + r")\w*\s*\()", masked):
        close = matching_paren(masked, m.end() - 1)
        if close >= 0 and re.match(r"\s*;\s*\}", masked[close + 1:]):
            add("skip-call", m.start(1), close + 1, "0")

    # An open flag dropped: O_CREAT | O_TRUNC -> O_CREAT.
    for m in re.finditer(r"\s*\|\s*(O_(?!CLOEXEC)[A-Z]+)\b", masked):
        add("flag", m.start(), m.end(), "")

    # Keep each mutant's text for the report and for matching equivalents.
    out = []
    seen = set()
    for mu in sorted(mutants, key=lambda x: (x.start, x.operator, x.replacement)):
        ls = line_starts[mu.line - 1]
        le = text.find("\n", mu.end)
        le = len(text) if le < 0 else le
        mu.before = " ".join(text[ls:le].split())
        mu.after = " ".join((text[ls:mu.start] + mu.replacement + text[mu.end:le]).split())
        if mu.before == mu.after or mu.key() in seen:
            continue
        seen.add(mu.key())
        out.append(mu)
    return out


# ---------------------------------------------------------------- build and test

def component_of(path):
    for prefix, comp in COMPONENTS.items():
        if path.startswith(prefix):
            return comp
    raise SystemExit(f"{path}: no component knows how to test it")


def default_files():
    files = []
    for d in DEFAULT_DIRS:
        for base, dirs, names in os.walk(os.path.join(ROOT, d)):
            dirs[:] = sorted(x for x in dirs if x != "win32")
            for name in sorted(names):
                if name.endswith((".cpp", ".h")):
                    files.append(os.path.relpath(os.path.join(base, name), ROOT))
    return files


def ctest_cases(build):
    """ctest's cases: name, the command it runs and its working folder."""
    out = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"], capture_output=True,
                         text=True, check=True).stdout
    cases = []
    for t in json.loads(out)["tests"]:
        command = t.get("command") or [""]
        cwd = next((p["value"] for p in t.get("properties", []) if p["name"] == "WORKING_DIRECTORY"), build)
        cases.append((t["name"], command[0], cwd))
    return cases


def selection(comp, cases):
    """The component's gtest programs, each run once for all its cases (the
    same cases ctest runs one process at a time, in far less time), and a
    ctest name pattern for its script-driven cases."""
    programs = []
    for target in comp["targets"]:
        for name, command, cwd in cases:
            if os.path.basename(command) == target and [command, cwd, None] not in programs:
                programs.append([command, cwd, None])
    for p in programs:
        # The program's own ctest cases, for a program whose cases only pass one process each.
        p[2] = "^(" + "|".join(re.escape(n) for n, c, w in cases if (c, w) == (p[0], p[1])) + ")$"
    names = [name for name, _, _ in cases if any(name.startswith(p) for p in comp["prefixes"])]
    regex = "^(" + "|".join(re.escape(n) for n in names) + ")$" if names else None
    if not programs and not names:
        raise SystemExit(f"no ctest case for {comp['targets']}: is {BUILD} built?")
    count = sum(1 for _, c, w in cases if [c, w] in [p[:2] for p in programs]) + len(names)
    return {"programs": programs, "regex": regex, "count": count, "per_case": set()}


def build(comp, jobs, log):
    r = subprocess.run(["cmake", "--build", BUILD, "-j", str(jobs), "--target", *comp["targets"]],
                       stdout=log, stderr=subprocess.STDOUT)
    return r.returncode == 0


def run_ctest(regex, jobs, timeout, log):
    try:
        r = subprocess.run(["ctest", "--test-dir", BUILD, "-j", str(jobs), "--timeout", str(timeout),
                            "--stop-on-failure", "-R", regex], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, errors="replace", timeout=timeout * 10)
    except subprocess.TimeoutExpired:
        return "killed (time-out)"
    log.write(r.stdout[-4000:])
    if r.returncode != 0:
        return "killed (time-out)" if "***Timeout" in r.stdout else "killed"
    return "survived"


def run_tests(tests, jobs, timeout, log, baseline=False):
    """killed, killed (time-out) or survived: the first failing program ends the run.
    On the unchanged code a program that fails in one process but passes case by
    case (its cases share some state) is run case by case from then on."""
    for command, cwd, own in tests["programs"]:
        if command in tests["per_case"]:
            result = run_ctest(own, jobs, timeout, log)
        else:
            try:
                r = subprocess.run([command, "--gtest_fail_fast", "--gtest_brief=1"], cwd=cwd,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                                   timeout=timeout)
                result = "survived" if r.returncode == 0 else "killed"
                log.write(r.stdout[-4000:])
                failed = re.search(r"^\[  FAILED  \] (\S+)", r.stdout, re.M)
                if result == "killed" and not baseline:
                    # Confirmed in a process of its own, as ctest runs it; else every case that way.
                    alone = "^" + re.escape(failed.group(1)) + "$" if failed else own
                    result = run_ctest(alone, jobs, timeout, log)
                    if result == "survived" and failed:
                        result = run_ctest(own, jobs, timeout, log)
            except subprocess.TimeoutExpired:
                log.write(f"{command}: time-out\n")
                result = "killed (time-out)"
            if result != "survived" and baseline:
                result = run_ctest(own, jobs, timeout, log)
                if result == "survived":
                    print(f"  {os.path.basename(command)}: its cases are run one process each", flush=True)
                    tests["per_case"].add(command)
        if result != "survived":
            return result
    if tests["regex"]:
        return run_ctest(tests["regex"], jobs, timeout, log)
    return "survived"


# ---------------------------------------------------------------- report

def load_equivalents():
    if not os.path.exists(EQUIVALENTS):
        return {}
    with open(EQUIVALENTS) as f:
        entries = json.load(f)
    return {(e["file"], e["operator"], e["before"], e["after"]): e["reason"] for e in entries}


def report(mutants, path):
    per_file = {}
    for m in mutants:
        per_file.setdefault(m.file, []).append(m)
    total = {"mutants": 0, "killed": 0, "survived": 0, "equivalent": 0, "build failed": 0}
    lines = ["# Mutation run", "", "| file | mutants | killed | survived | equivalent | build failed |",
             "|---|---|---|---|---|---|"]
    for f, ms in per_file.items():
        k = sum(m.result.startswith("killed") for m in ms)
        e = sum(m.result == "survived" and bool(m.equivalent) for m in ms)
        s = sum(m.result == "survived" and not m.equivalent for m in ms)
        b = sum(m.result == "build failed" for m in ms)
        for name, v in (("mutants", len(ms)), ("killed", k), ("survived", s), ("equivalent", e),
                        ("build failed", b)):
            total[name] += v
        lines.append(f"| {f} | {len(ms)} | {k} | {s} | {e} | {b} |")
    t = total
    lines.append(f"| **all** | {t['mutants']} | {t['killed']} | {t['survived']} | {t['equivalent']} | "
                 f"{t['build failed']} |")
    viable = t["killed"] + t["survived"] + t["equivalent"]
    rate = 100.0 * t["killed"] / viable if viable else 0.0
    rate_ne = 100.0 * t["killed"] / (viable - t["equivalent"]) if viable - t["equivalent"] else 0.0
    lines += ["", f"Killed {t['killed']} of {viable} mutants that built: {rate:.1f} %; "
              f"{rate_ne:.1f} % without the {t['equivalent']} equivalent ones.", ""]
    for title, want in (("Survivors", False), ("Equivalent survivors", True)):
        rows = [m for m in mutants if m.result == "survived" and bool(m.equivalent) == want]
        if not rows:
            continue
        lines += [f"## {title}", ""]
        for m in rows:
            why = f" ({m.equivalent})" if want else ""
            lines.append(f"- {m.file}:{m.line} {m.operator}: `{m.before}` → `{m.after}`{why}")
        lines.append("")
    with open(path, "w") as f:
        f.write("\n".join(lines))
    return lines


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("files", nargs="*", help="sources to mutate, relative to the top of the repository")
    ap.add_argument("--cap", type=int, default=25, help="most mutants a file yields (0: all)")
    ap.add_argument("--seed", type=int, default=14, help="seed of the sample taken when a file yields more")
    ap.add_argument("--jobs", type=int, default=1, help="build and ctest jobs")
    ap.add_argument("--timeout", type=int, default=120, help="seconds one test program or ctest case may run")
    ap.add_argument("--line", type=int, action="append", help="only mutants on these lines")
    ap.add_argument("--list", action="store_true", help="print the mutants and stop")
    ap.add_argument("--with-session", action="store_true", help="run the session tests for every component too")
    ap.add_argument("--out", default=os.path.join(BUILD, "mutation"), help="folder for the report")
    ap.add_argument("--rescore", metavar="RESULTS", help="only rewrite the report of an earlier run's "
                    "results.json against the equivalents list as it is now")
    args = ap.parse_args()

    if args.rescore:
        equivalents = load_equivalents()
        with open(args.rescore) as fh:
            done = [Mutant(**m) for m in json.load(fh)]
        for m in done:
            m.equivalent = equivalents.get(m.key(), "") if m.result == "survived" else ""
        print("\n".join(report(done, os.path.join(os.path.dirname(os.path.abspath(args.rescore)), "report.md"))))
        return 0

    files = args.files or default_files()
    equivalents = load_equivalents()
    plan = []
    for f in files:
        f = os.path.relpath(os.path.abspath(f), ROOT) if os.path.isabs(f) or os.path.exists(f) else f
        with open(os.path.join(ROOT, f), encoding="utf-8") as fh:
            text = fh.read()
        ms = generate(f, text)
        if args.line:
            ms = [m for m in ms if m.line in args.line]
        if args.cap and len(ms) > args.cap:
            ms = sorted(random.Random(f"{args.seed}:{f}").sample(ms, args.cap), key=lambda m: m.start)
        plan.append((f, text, ms))

    if args.list:
        for f, _, ms in plan:
            for m in ms:
                print(f"{m.file}:{m.line} {m.operator}: {m.before}  =>  {m.after}")
        print(sum(len(ms) for _, _, ms in plan), "mutants", file=sys.stderr)
        return 0

    if args.with_session:
        for comp in COMPONENTS.values():
            if SESSION_TARGET not in comp["targets"]:
                comp["targets"].append(SESSION_TARGET)
    os.nice(10)
    os.makedirs(args.out, exist_ok=True)
    log = open(os.path.join(args.out, "log.txt"), "w")
    cases = ctest_cases(BUILD)
    # A run stopped while a mutant compiled can leave its object newer than the
    # file put back: every file is compiled afresh once (the compiler cache makes it quick).
    for f, _, _ in plan:
        os.utime(os.path.join(ROOT, f))

    # SIGTERM as Ctrl-C, so that the original is put back either way.
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))

    done = []
    interrupted = False
    try:
        for f, text, ms in plan:
            if not ms:
                continue
            comp = component_of(f)
            tests = selection(comp, cases)
            full = os.path.join(ROOT, f)
            print(f"{f}: {len(ms)} mutants, {tests['count']} ctest cases", flush=True)
            # The unchanged file must build and pass, or every mutant would look killed.
            if not build(comp, args.jobs, log) or run_tests(tests, args.jobs, args.timeout, log, baseline=True) != "survived":
                raise SystemExit(f"{f}: the tests fail without a mutant; see {log.name}")
            for m in ms:
                t0 = time.monotonic()
                log.write(f"\n==== {m.file}:{m.line} {m.operator}: {m.before} => {m.after}\n")
                log.flush()
                try:
                    with open(full, "w", encoding="utf-8") as fh:
                        fh.write(text[:m.start] + m.replacement + text[m.end:])
                    if build(comp, args.jobs, log):
                        m.result = run_tests(tests, args.jobs, args.timeout, log)
                    else:
                        m.result = "build failed"
                finally:
                    with open(full, "w", encoding="utf-8") as fh:
                        fh.write(text)
                m.seconds = round(time.monotonic() - t0, 1)
                if m.result == "survived":
                    m.equivalent = equivalents.get(m.key(), "")
                done.append(m)
                print(f"  {m.result:18} {m.file}:{m.line} {m.operator}: {m.after}", flush=True)
            build(comp, args.jobs, log)
    except KeyboardInterrupt:
        interrupted = True
        print("interrupted: every file is as it was; the report covers the mutants run so far", file=sys.stderr)
    finally:
        for f, text, _ in plan:
            full = os.path.join(ROOT, f)
            with open(full, encoding="utf-8") as fh:
                if fh.read() != text:
                    with open(full, "w", encoding="utf-8") as out:
                        out.write(text)

    with open(os.path.join(args.out, "results.json"), "w") as fh:
        json.dump([asdict(m) for m in done], fh, indent=1)
    lines = report(done, os.path.join(args.out, "report.md"))
    print("\n".join(lines))
    return 130 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
