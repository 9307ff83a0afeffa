#!/usr/bin/env python3
"""Runs a command and prints, for the benchmark scripts: its wall time in
seconds, its peak resident size in KiB, the bytes it wrote (write calls of
any kind, files and pipes), its minor page faults (fresh pages included) and
its CPU time (user and system) in seconds.

    runstats.py [-o FILE] COMMAND [ARG...]

-o sends the command's standard output to FILE.

The command runs under /usr/bin/time, which reports its peak: a process
started straight from this one would count this one's peak as its own,
since the kernel keeps the largest resident size a process had before exec."""
import os
import subprocess
import sys
import tempfile
import time

args = sys.argv[1:]
stdout = None
if args[:1] == ["-o"]:
    stdout = open(args[1], "wb")
    args = args[2:]
peak_file = tempfile.NamedTemporaryFile(mode="r")
args = ["/usr/bin/time", "-q", "-f", "%M", "-o", peak_file.name] + args
start = time.monotonic()
child = subprocess.Popen(args, stdout=stdout)
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
    sys.exit(f"runstats.py: failed: {' '.join(args)}")
cpu = usage.ru_utime + usage.ru_stime
peak = int(peak_file.read().split()[-1])
print(f"{wall:.3f} {peak} {written} {usage.ru_minflt} {cpu:.3f}")
