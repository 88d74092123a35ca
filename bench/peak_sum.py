#!/usr/bin/env python3
"""peak_sum.py COMMAND...: runs the command and prints "seconds kilobytes":
its wall time and the peak resident memory summed over every process of its
tree (the converter and the helper process it starts count together). Each
process's high-water mark (VmHWM) is sampled every few milliseconds until it
ends; the mark only grows, so the last sample is its peak but for the last
few milliseconds. A failing command exits 1."""
import os
import subprocess
import sys
import time


def children_of(pid):
    found = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children") as f:
                found += [int(p) for p in f.read().split()]
    except OSError:
        pass
    return found


def high_water_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def main():
    start = time.monotonic()
    process = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
    peaks = {}
    while process.poll() is None:
        tree = [process.pid]
        for pid in tree:
            tree += children_of(pid)
        for pid in tree:
            mark = high_water_kb(pid)
            if mark is not None:
                peaks[pid] = max(peaks.get(pid, 0), mark)
        time.sleep(0.005)
    seconds = time.monotonic() - start
    if process.returncode != 0:
        sys.exit(1)
    print(f"{seconds:.3f} {sum(peaks.values())}")


main()
