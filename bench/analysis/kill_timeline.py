#!/usr/bin/env python3
"""When each traced event first follows a kill, kill after kill, from a
system-wide perf recording taken during `supervision_bench peers --runs 0`
(see bench/README.md, "Probing the daemon without a scratch copy").

    perf script -F comm,tid,time,event,trace -i perf.data | kill_timeline.py

A restart begins at the SIGKILL of a process named stamp_service (Custodel's;
the peers run the same program as ./run) and ends at the next exec of
stamp_service. Each event's time is taken from
its first occurrence in between; probes that a peer's processes hit too
(sendto, for instance) count only in the processes named with --only.

    kill_timeline.py [--only EVENT=COMM ...] < script.txt
"""
import re
import sys
from collections import defaultdict

from restart_breakdown import percentile

LINE = re.compile(r"\s*(.+?)\s+(\d+)\s+([\d.]+):\s+(\S+):\s*(.*)")


def parse(lines):
    events = []
    for line in lines:
        match = LINE.match(line)
        if match:
            comm, _, at, event, detail = match.groups()
            events.append((float(at), comm, event.split(":")[-1], detail))
    events.sort()
    return events


def restarts(events, only):
    """For each kill, {event: µs after the kill} up to the new exec."""
    for i, (at, _, event, detail) in enumerate(events):
        if event != "signal_generate" or "sig=9" not in detail:
            continue
        if "comm=stamp_service" not in detail:
            continue
        first = {}
        for later, comm, name, text in events[i + 1:]:
            if name == "signal_generate":
                continue
            if name not in only or only[name] == comm:
                first.setdefault(name, (later - at) * 1e6)
            if name == "sched_process_exec" and "stamp_service" in text:
                yield first
                break


def main():
    only = {}
    args = sys.argv[1:]
    while args[:1] == ["--only"]:
        event, comm = args[1].split("=", 1)
        only[event] = comm
        args = args[2:]
    samples = defaultdict(list)
    count = 0
    for first in restarts(parse(sys.stdin), only):
        count += 1
        for name, us in first.items():
            samples[name].append(us)
    print(f"{count} restarts; µs after the kill")
    print(f"| {'event':<28} | {'n':>5} | {'p50':>7} | {'p90':>7} |")
    print(f"|{'-' * 30}|{'-' * 6}:|{'-' * 8}:|{'-' * 8}:|")
    by_median = sorted(samples.items(), key=lambda kv: percentile(kv[1], 50))
    for name, values in by_median:
        print(f"| {name:<28} | {len(values):>5} | {percentile(values, 50):>7.0f} |"
              f" {percentile(values, 90):>7.0f} |")


if __name__ == "__main__":
    main()
