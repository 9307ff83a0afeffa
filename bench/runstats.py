#!/usr/bin/env python3
"""Runs a command and prints its wall time in seconds, its peak resident size
in KiB and the bytes it wrote (write calls of any kind, files and pipes), for
the benchmark scripts: runstats.py COMMAND [ARG...]."""
import os
import subprocess
import sys
import time

start = time.monotonic()
child = subprocess.Popen(sys.argv[1:])
# Wait without reaping, so that the child's I/O counters can still be read.
os.waitid(os.P_PID, child.pid, os.WEXITED | os.WNOWAIT)
wall = time.monotonic() - start
written = 0
with open(f"/proc/{child.pid}/io") as io:
    for line in io:
        key, value = line.split(":")
        if key == "wchar":
            written = int(value)
_, status, usage = os.wait4(child.pid, 0)
if os.waitstatus_to_exitcode(status) != 0:
    sys.exit(f"runstats.py: failed: {' '.join(sys.argv[1:])}")
print(f"{wall:.3f} {usage.ru_maxrss} {written}")
