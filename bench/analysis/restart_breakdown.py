#!/usr/bin/env python3
"""Splits each restart of `supervision_bench restart --csv KILLS.csv` into its
steps, from the probe lines that a probed build writes to $ZQ_PROBE_FILE
("<program> <pid> <tid> <tag> <CLOCK_MONOTONIC ns>"; the tags and where they
go are listed in bench/README.md, "Reproducing the step table").

    restart_breakdown.py KILLS.csv PROBES.txt
"""
import csv
import sys
from collections import defaultdict


def percentile(values, p):
    values = sorted(values)
    if not values:
        return float("nan")
    rank = max(1, -(-len(values) * p // 100))
    return values[int(rank) - 1]


def main(kills_path, probes_path):
    kills = list(csv.DictReader(open(kills_path)))
    probes = []
    for line in open(probes_path):
        parts = line.split()
        if len(parts) == 5:
            probes.append((int(parts[4]), parts[0], int(parts[1]), int(parts[2]), parts[3]))
    probes.sort()
    steps = defaultdict(list)
    order = []

    def add(name, value):
        if name not in steps:
            order.append(name)
        steps[name].append(value / 1e6)

    for index, kill in enumerate(kills):
        start = int(kill["kill_ns"])
        end = int(kills[index + 1]["kill_ns"]) if index + 1 < len(kills) else float("inf")
        new_pid = int(kill["new_pid"])
        stamp = int(kill["stamp_ns"])
        read = int(kill["running_read_ns"])
        window = [p for p in probes if start <= p[0] < end]
        woke = next((p for p in window if p[1] == "custodel" and p[4] == "W.woke"), None)
        if woke is None:
            continue
        watcher = [(t, tag) for t, prog, pid, tid, tag in window
                   if prog == "custodel" and tid == woke[3]]
        daemon = [(t, tag) for t, prog, pid, tid, tag in window if prog == "zqmd"]
        server = [(t, tag) for t, prog, pid, tid, tag in window if pid == new_pid]

        def first(seq, tag, after=0, nth=1):
            for t, name in seq:
                if name == tag and t >= after:
                    nth -= 1
                    if nth == 0:
                        return t
            return None

        w = {}
        w["woke"] = woke[0]
        w["connect"] = first(watcher, "W.connect.begin")
        w["locate1"] = first(watcher, "C.locate.send", w["connect"])
        w["locate1.reply"] = first(watcher, "C.locate.reply", w["locate1"])
        w["greet1"] = first(watcher, "C.greeting.done", w["locate1.reply"])
        w["reconnect"] = first(watcher, "W.reconnect.begin")
        w["reconnect.done"] = first(watcher, "W.reconnect.done")
        w["lookup"] = first(watcher, "W.lookup.begin")
        w["servers.reply"] = first(watcher, "C.exchange.reply", w["lookup"])
        w["pidfd"] = first(watcher, "W.pidfd.open")
        d = {}
        d["reaped"] = first(daemon, "D.ended")
        d["locate"] = first(daemon, "D.locate", w["locate1"] or 0)
        d["launch"] = first(daemon, "D.launch.begin")
        d["spawn"] = first(daemon, "D.spawn.call")
        d["spawned"] = first(daemon, "D.spawn.returned")
        d["launched"] = first(daemon, "D.launch.done")
        d["register"] = first(daemon, "D.register")
        d["replied"] = first(daemon, "D.register.replied")
        s = {}
        s["main"] = first(server, "S.main")
        s["init"] = first(server, "S.initialised")
        s["bind"] = first(server, "S.bind")
        s["listening"] = first(server, "S.listening")
        s["registered"] = first(server, "S.registered")
        if None in w.values() or None in d.values() or None in s.values():
            continue
        add("kill -> daemon reaps (pidfd wake-up, Ended)", d["reaped"] - start)
        add("kill -> watcher wakes (pidfd)", w["woke"] - start)
        add("watcher: 'has died' + 'Starting server' trace lines", w["connect"] - w["woke"])
        add("watcher: connect + greeting of the daemon", w["locate1"] - w["connect"])
        add("Locate request -> daemon handles it", d["locate"] - w["locate1"])
        add("daemon: cached launch configuration, trace line", d["launch"] - d["locate"])
        add("daemon: log folder + log open + environment", d["spawn"] - d["launch"])
        add("daemon: posix_spawn call (clone .. execve)", d["spawned"] - d["spawn"])
        add("daemon: pidfd_open, watch, 'Started' trace", d["launched"] - d["spawned"])
        add("posix_spawn call -> stamp (exec + ld.so + library init)", stamp - d["spawn"])
        add("server: stamp -> main (own static init)", s["main"] - stamp)
        add("server: main -> initialised (CLI parse, class registries)", s["init"] - s["main"])
        add("server: initialised -> listening (socket, bind, listen)", s["listening"] - s["init"])
        add("server: Register (connect, greeting, call)", s["registered"] - s["listening"])
        add("daemon: Register handled (pidfd_open, reply)", d["replied"] - d["register"])
        add("daemon: Register reply -> watcher has Locate reply", w["locate1.reply"] - d["replied"])
        add("watcher: connect + greeting of the new server", w["greet1"] - w["locate1.reply"])
        add("watcher: Reconnect (daemon, Locate, server again)", w["reconnect.done"] - w["reconnect"])
        add("watcher: 'Servers' lookup (new connection + call)", w["servers.reply"] - w["lookup"])
        add("watcher: pidfd_open", w["pidfd"] - w["servers.reply"])
        add("watcher: 'is running' trace -> read by the benchmark", read - w["pidfd"])
        # The daemon's state-file rewrites, where the build has them.
        saves, begun = [], None
        for t, name in daemon:
            if name == "D.save.begin":
                begun = t
            elif name == "D.save.done" and begun is not None:
                saves.append((begun, t))
                begun = None
        if saves:
            add("daemon: state-file rewrites per restart (count)", len(saves) * 1e6)
            add("daemon: state-file rewrite, each", sum(b - a for a, b in saves) / len(saves))
            add("daemon: rewrite time before it reads the Locate",
                sum(min(b, d["locate"]) - a for a, b in saves if a < d["locate"]))
        add("= kill -> stamp", stamp - start)
        add("= kill -> 'is running' read", read - start)
        add("  of which kill -> Locate at the daemon", d["locate"] - start)
        add("  of which stamp -> Locate reply at the watcher", w["locate1.reply"] - stamp)
        add("  of which Locate reply -> 'is running' read", read - w["locate1.reply"])

    width = max(len(name) for name in order)
    print("| %-*s | %5s | %7s | %7s | %7s |" % (width, "step (ms)", "n", "p50", "p90", "mean"))
    print("|%s|------:|--------:|--------:|--------:|" % ("-" * (width + 2)))
    for name in order:
        values = steps[name]
        print("| %-*s | %5d | %7.3f | %7.3f | %7.3f |" % (
            width, name, len(values), percentile(values, 50), percentile(values, 90),
            sum(values) / len(values)))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
