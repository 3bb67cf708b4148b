"""What containers cost in processes, memory and idle CPU, read from /proc.

Shared by the footprint workload (W12) and by W5's first container of a job,
which runs in a child process of its own (`python footprint.py first-of-job
ADDRESS`): a new job on the benchmark's cluster, whose first container starts
what a job's first container starts."""

from __future__ import annotations

import json
import os
import sys
import time


def ray_processes() -> dict[int, str]:
    """pid -> title of every Ray worker process on this machine (actors show
    as `ray::Class`, idle workers as `ray::IDLE`)."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                title = f.read().split(b"\0")[0].decode(errors="replace")
        except OSError:
            continue
        if title.startswith("ray::") or "default_worker.py" in title:
            found[int(entry)] = title
    return found


def quorlib_processes() -> dict[int, str]:
    return {pid: t for pid, t in ray_processes().items() if t.startswith("ray::Quor")}


def memory_kib(pids) -> tuple[int, int]:
    """(resident, proportional) memory of `pids`, in KiB."""
    rss = pss = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Rss:"):
                        rss += int(line.split()[1])
                    elif line.startswith("Pss:"):
                        pss += int(line.split()[1])
        except OSError:
            pass
    return rss, pss


def cpu_seconds(pids) -> float:
    ticks = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return ticks / os.sysconf("SC_CLK_TCK")


def first_of_job(address: str) -> dict[str, float]:
    """A new job on the cluster at `address`: seconds from the constructor to
    the end of the first block of its first and second 32-chunk QuorDict."""
    import ray

    from quorlib.quordict import QuorDict

    ray.init(address=address, log_to_driver=False, configure_logging=False)
    times = {}
    for which in ("first", "second"):
        t0 = time.perf_counter()
        d = QuorDict(num_chunks=32)
        with d:
            d[0] = 0
        times[which] = time.perf_counter() - t0
    ray.shutdown()
    return times


if __name__ == "__main__" and sys.argv[1:2] == ["first-of-job"]:
    print(json.dumps(first_of_job(sys.argv[2])), flush=True)
