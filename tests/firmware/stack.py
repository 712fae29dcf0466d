#!/usr/bin/env python3
"""Worst-case stack of the firmware: the deepest call path from main, each
function's frame from -fstack-usage plus two bytes of return address per
call, and the largest interrupt frame on top. Calls through a vtable (icall)
may reach any override of the firmware's probe and link.
usage: stack.py FIRMWARE.elf SU_FILE...  (prints the bytes and the path)"""
import re
import subprocess
import sys


def key(name):
    """A function's name without return type, parameters or namespaces' spelling."""
    name = name.replace("{anonymous}", "(anonymous namespace)")
    name = re.sub(r"\(anonymous namespace\)::", "", name)
    name = name.split("(")[0].strip()
    return name.split(" ")[-1]


frames = {}
for path in sys.argv[2:]:
    for line in open(path):
        parts = line.rstrip("\n").split("\t")
        if len(parts) < 2:
            continue
        name = parts[0].split(":", 3)[-1]
        frames[key(name)] = max(frames.get(key(name), 0), int(parts[1]))

calls, indirect, current = {}, set(), None
dump = subprocess.run(["avr-objdump", "-d", "-C", sys.argv[1]], capture_output=True, text=True).stdout
for line in dump.splitlines():
    m = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
    if m:
        current = key(m.group(1))
        calls.setdefault(current, set())
        continue
    if current is None:
        continue
    m = re.search(r"\b(r?call|r?jmp)\b.*<([^>+]*)(\+0x[0-9a-f]+)?>", line)
    if m and not m.group(3) and key(m.group(2)) != current:
        calls[current].add((key(m.group(2)), m.group(1).endswith("call")))
    if re.search(r"\beicall\b|\bicall\b", line):
        indirect.add(current)

virtuals = [f for f in calls if re.search(r"(PinProbe|UartLink|Probe)::", f)]
for f in indirect:
    calls[f].update((v, True) for v in virtuals)

memo = {}


def depth(f, stack=()):
    if f in stack:
        return 0, [f + " (recursion)"]
    if f in memo:
        return memo[f]
    best, path = 0, []
    for g, is_call in calls.get(f, ()):
        d, p = depth(g, stack + (f,))
        d += 2 if is_call else 0
        if d > best:
            best, path = d, p
    memo[f] = (frames.get(f, 0) + best, [f] + path)
    return memo[f]


main, path = depth("main")
isr = max((depth(f) for f in calls if f.startswith("__vector_")), key=lambda x: x[0])
# An interrupt pushes its return address; its own frame is in its depth.
total = main + 2 + isr[0] + 2  # main's own return address from the start-up code
print(total)
print("main:", " > ".join(path))
print("interrupt:", " > ".join(isr[1]))
