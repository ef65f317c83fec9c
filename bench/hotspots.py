"""Condenses a profiler's report into a short table of hot functions.

    callgrind_annotate --auto=no --threshold=100 OUT | python hotspots.py callgrind [BASELINE_IR]
    callgrind_annotate --auto=no --threshold=100 --inclusive=yes OUT | python hotspots.py callgrind-inclusive [BASELINE_IR]
    perf report --stdio --no-children --sort symbol | python hotspots.py perf

Function names are shortened (return types, parameter lists and deep template
arguments dropped, `quarvex::` removed) and rows that then coincide are summed, so a
function whose cost callgrind splits over inlined source files shows up once
(inclusive costs take the largest row instead of the sum, and only the module's own
functions are listed, since the rest is the interpreter calling it).
With BASELINE_IR (the instruction count of the interpreter importing the module and
doing nothing else), shares are given of the call alone as well as of the program.
"""

from __future__ import annotations

import re
import sys
from collections import defaultdict

MAX_NAME = 150
TOP = 25


def split_file_prefix(entry: str) -> str:
    """'path/file.cpp:ns::fn(args) [obj]' -> 'ns::fn(args)'."""
    entry = re.sub(r"\s\[[^\]]*\]$", "", entry.strip())
    for i, ch in enumerate(entry):
        if ch == ":" and entry[i + 1 : i + 2] != ":" and entry[i - 1 : i] != ":":
            return entry[i + 1 :]
    return entry


def shorten(name: str) -> str:
    name = re.sub(r"'\d+$", "", name)  # callgrind's recursion depth marker
    name = re.sub(r" \[clone [^\]]*\]", "", name)
    name = name.replace("(anonymous namespace)", "anon")
    name = re.sub(r"\{lambda\(.*?\)#(\d+)\}", r"{lambda#\1}", name)
    name = name.replace("quarvex::", "")
    name = re.sub(r"\bstd::__cxx11::", "std::", name)
    # Drop the return type: the last space at nesting depth 0 before the parameter list.
    depth = 0
    cut = 0
    for i, ch in enumerate(name):
        if ch in "<(":
            depth += 1
        elif ch in ">)":
            depth -= 1
        elif ch == " " and depth == 0:
            cut = i + 1
        if ch == "(" and depth == 1 and not name.startswith("operator", max(0, i - 8)):
            break
    name = name[cut:]
    # Keep template arguments two levels deep, parameter lists not at all.
    out = []
    angle = paren = 0
    for ch in name:
        if ch == "(":
            paren += 1
            continue
        if ch == ")":
            paren -= 1
            continue
        if paren:
            continue
        if ch == "<":
            angle += 1
            if angle == 3:
                out.append("<…>")
            if angle >= 3:
                continue
        elif ch == ">":
            angle -= 1
            if angle >= 2:
                continue
        elif angle >= 3:
            continue
        out.append(ch)
    short = "".join(out)
    if len(short) > MAX_NAME:
        short = short[: MAX_NAME - 1] + "…"
    return short


def parse_callgrind(lines, inclusive=False):
    total = None
    rows = defaultdict(int)
    pat = re.compile(r"^\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*)$")
    for line in lines:
        m = pat.match(line)
        if not m:
            continue
        count = int(m.group(1).replace(",", ""))
        what = m.group(2)
        if what.startswith("PROGRAM TOTALS"):
            total = count
            continue
        if inclusive:
            if "quarvex" not in what:
                continue
            key = shorten(split_file_prefix(what))
            rows[key] = max(rows[key], count)
        else:
            rows[shorten(split_file_prefix(what))] += count
    return total, rows


def parse_perf(lines):
    rows = defaultdict(float)
    pat = re.compile(r"^\s*([\d.]+)%\s+(?:\S+\s+)*?\[[.k]\]\s+(.*)$")
    for line in lines:
        m = pat.match(line)
        if m:
            # The symbol column is padded with spaces, and some perf versions print more
            # columns after it ("-"); demangled names hold single spaces only.
            rows[shorten(re.split(r"\s{2,}", m.group(2).strip())[0])] += float(m.group(1))
    return 100.0, rows


def main(argv: list[str]) -> int:
    kind = argv[1]
    lines = sys.stdin.read().splitlines()
    if kind.startswith("callgrind"):
        total, rows = parse_callgrind(lines, inclusive=kind.endswith("inclusive"))
        baseline = int(argv[2]) if len(argv) > 2 else None
        if not total:
            print("no callgrind totals found")
            return 1
        call = total - baseline if baseline and baseline < total else None
        head = f"{'instructions':>15} {'program':>8}" + (f" {'call':>6}" if call else "")
        print(head + "  function")
        for name, count in sorted(rows.items(), key=lambda kv: -kv[1])[:TOP]:
            line = f"{count:>15,d} {100 * count / total:7.2f}%"
            if call:
                line += f" {100 * count / call:5.1f}%"
            print(f"{line}  {name}")
        note = f"program total {total:,d} instructions"
        if call:
            note += f"; the call alone (total minus import-only run) {call:,d}"
        print(note)
    else:
        _, rows = parse_perf(lines)
        print(f"{'samples':>8}  function")
        for name, share in sorted(rows.items(), key=lambda kv: -kv[1])[:TOP]:
            print(f"{share:7.2f}%  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
