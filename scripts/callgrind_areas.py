#!/usr/bin/env python3
"""Instructions of a callgrind profile by area of the source tree.

usage: callgrind_areas.py SOURCE_ROOT callgrind.out [--top N]

Prints one line per area "AREA INSTRUCTIONS" (areas: driver, models, platform, harness,
other, total). A function counts where its own file lies; code outside the tree (the C
and C++ runtime, templates of the standard library) counts for the functions that call
it, shared in proportion to what each call cost.
"""
import collections
import os
import re
import sys

AREAS = (("driver/", "driver"), ("sim/", "models"), ("platform/", "platform"),
         ("tools/", "harness"), ("bench/", "harness"))


def area_of(root, path, cache={}):
    if path in cache:
        return cache[path]
    p = os.path.normpath(path)
    a = None
    if p.startswith(root + os.sep):
        rel = p[len(root) + 1:]
        a = "other"
        for prefix, name in AREAS:
            if rel.startswith(prefix):
                a = name
                break
        # generated sources in a build folder belong to the harness (default_config.cpp)
        if rel.startswith("build") and "/tools/" in rel:
            a = "harness"
    cache[path] = a
    return a


def parse(path):
    names = {"fl": {}, "fn": {}}
    own = collections.Counter()          # fn -> self instructions
    calls = collections.defaultdict(collections.Counter)  # callee -> caller -> inclusive
    file_of = {}
    cur_fl = cur_fn = None
    cfn = None
    pending_call = False
    comp = re.compile(r"^\((\d+)\)(?: (.*))?$")

    def name(kind, text):
        m = comp.match(text)
        if not m:
            return text
        key, val = m.group(1), m.group(2)
        table = names[kind]
        if val is not None:
            table[key] = val
        return table.get(key, key)

    with open(path, errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            c = line[0]
            if c.isdigit() or c in "+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending_call:
                    calls[cfn][cur_fn] += cost
                    pending_call = False
                else:
                    own[cur_fn] += cost
                continue
            key, _, val = line.partition("=")
            if key == "fl":
                cur_fl = name("fl", val)
            elif key in ("fi", "fe"):
                name("fl", val)
            elif key == "fn":
                cur_fn = name("fn", val)
                file_of.setdefault(cur_fn, cur_fl)
            elif key in ("cfi", "cfl"):
                name("fl", val)
            elif key == "cfn":
                cfn = name("fn", val)
            elif key == "calls":
                pending_call = True
    return own, calls, file_of


def main():
    root = os.path.normpath(os.path.abspath(sys.argv[1]))
    own, calls, file_of = parse(sys.argv[2])
    top = int(sys.argv[4]) if len(sys.argv) > 4 and sys.argv[3] == "--top" else 0
    totals = collections.Counter()
    area = {fn: area_of(root, file_of.get(fn) or "?") for fn in own}
    pending = collections.Counter()
    for fn, n in own.items():
        if area[fn]:
            totals[area[fn]] += n
        else:
            pending[fn] += n
    # outside code: its cost to its callers, by what each call cost, until it reaches the tree
    for _ in range(60):
        if not pending:
            break
        nxt = collections.Counter()
        for fn, n in pending.items():
            callers = {c: w for c, w in calls.get(fn, {}).items() if c != fn and w > 0}
            weight = sum(callers.values())
            if not weight:
                totals["other"] += n
                continue
            for c, w in callers.items():
                share = n * w / weight
                a = area.get(c) if c in area else area_of(root, file_of.get(c) or "?")
                if a:
                    totals[a] += share
                else:
                    nxt[c] += share
        pending = nxt
    totals["other"] += sum(pending.values())
    totals["total"] = sum(own.values())
    for a in ("driver", "models", "platform", "harness", "other", "total"):
        print("%s %d" % (a, round(totals[a])))
    if top:
        for fn, n in own.most_common(top):
            print("top %d %s %s" % (n, area[fn] or "outside", fn[:110]))


main()
