"""Measures quorlib against the usual ways of sharing a dict or list between Ray
processes, all in one run on this machine, and prints a table of ratios.

    python benchmarks/run.py [--quick] [--skip-redis] [--skip-manager]
                             [--only W1,W3] [--chunks 4] [--redis-port 6379]

Peers: a plain Ray actor holding a dict, the same dict sharded over several
actors, multiprocessing.Manager().dict(), and Redis (pottery's RedisDict and
HINCRBY). Run benchmarks/setup.sh first to install and start the Redis peer;
a peer that cannot be started is skipped and the run says so.

Writes benchmarks/results/table.txt, benchmarks/results/benchmarks.png (every
workload), benchmarks/results/scaling.png (W7-W10 alone) and the plotted
values in benchmarks/results/series.txt (`python benchmarks/report.py DIR`
redraws the plots from them).
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS_DIR = os.path.join(HERE, "results")

WORKLOADS = ("W1", "W2", "W3", "W4", "W5", "W6", "W7", "W8", "W9", "W10", "W11", "W12", "W13",
             "W14")


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true",
                   help="small sizes (W9 stops at 10^4 items): a smoke run of every workload")
    p.add_argument("--skip-redis", action="store_true", help="leave out the Redis peer")
    p.add_argument("--skip-manager", action="store_true", help="leave out the Manager peer")
    p.add_argument("--only", default=",".join(WORKLOADS),
                   help="comma-separated workloads to run (default: all)")
    p.add_argument("--chunks", type=int, default=4,
                   help="chunks of the containers and shards of the sharded peer (4)")
    p.add_argument("--redis-port", type=int, default=6379)
    p.add_argument("--footprint-containers", type=int, default=20,
                   help="containers of 32 chunks alive at once in W12 (20)")
    p.add_argument("--out", default=RESULTS_DIR, help="folder for table.txt and benchmarks.png")
    args = p.parse_args(argv)
    args.only = [w.strip().upper() for w in args.only.split(",") if w.strip()]
    unknown = [w for w in args.only if w not in WORKLOADS]
    if unknown:
        p.error(f"unknown workloads: {', '.join(unknown)}")
    if args.chunks < 1:
        p.error("--chunks must be at least 1")
    return args


def ensure_import_paths() -> None:
    """Ray workers import quorlib and this folder's modules by name: both must
    be on the PYTHONPATH that the workers inherit."""
    import quorlib
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(quorlib.__file__)))
    paths = [HERE, package_root] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    os.environ["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))


def main(argv=None) -> int:
    args = parse_args(argv)
    load_before = os.getloadavg()[0]
    sys.path.insert(0, HERE)
    began = time.perf_counter()

    def log(message: str) -> None:
        print(f"[{time.perf_counter() - began:6.1f}s] {message}", flush=True)

    ensure_import_paths()
    import peers
    from report import Results, render_table, save_plot, save_scaling_plot, save_series

    manager = None
    if args.skip_manager:
        log("Manager peer skipped (--skip-manager)")
    else:
        try:
            manager = peers.start_manager()  # forked before Ray starts its threads
        except Exception as e:
            log(f"Manager peer skipped: {e}")
    redis_peer = None
    if args.skip_redis:
        log("Redis peer skipped (--skip-redis)")
    else:
        redis_peer = peers.start_redis(args.redis_port, log)

    import ray
    ray.init(num_cpus=2, include_dashboard=False, configure_logging=False, log_to_driver=False)
    import workloads
    from workloads import Ctx

    results = Results()
    if args.quick:
        results.notes.append("quick mode: sizes are cut, so fixed costs weigh more; "
                             "judge the targets on a full run")
    if manager is None:
        results.notes.append("Manager peer not run")
    if redis_peer is None:
        results.notes.append("Redis peer not run")
    ctx = Ctx(quick=args.quick, chunks=args.chunks, manager=manager, redis=redis_peer,
              log=log, results=results, footprint_containers=args.footprint_containers)
    steps = {"W1": workloads.w1_local, "W2": workloads.w2_batch, "W3": workloads.w3_contended,
             "W4": workloads.w4_list, "W5": workloads.w5_creation, "W6": workloads.w6_write_back,
             "W7": workloads.w7_read_mostly, "W8": workloads.w8_list_reads, "W9": workloads.w9_sizes,
             "W10": workloads.w10_holders, "W11": workloads.w11_small_blocks,
             "W12": workloads.w12_footprint, "W13": workloads.w13_disjoint_keys,
             "W14": workloads.w14_readers}
    failed = []
    try:
        for name in args.only:
            log(f"{name} ...")
            try:
                steps[name](ctx)
            except Exception as e:
                failed.append(name)
                traceback.print_exc()
                results.notes.append(f"{name} failed: {type(e).__name__}: {e}")
    finally:
        if manager is not None:
            manager.shutdown()
        if redis_peer is not None:
            redis_peer.shutdown()
        ray.shutdown()

    results.notes.append(
        f"mode={'quick' if args.quick else 'full'}, chunks={args.chunks}, Ray {ray.__version__}, "
        f"{os.cpu_count()} CPUs, load average {load_before:.1f} at start and "
        f"{os.getloadavg()[0]:.1f} at end (other processes add noise), "
        f"total {time.perf_counter() - began:.0f} s")
    table = render_table(results)
    print()
    print(table)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "table.txt"), "w") as f:
        f.write(table + "\n")
    save_series(results, os.path.join(args.out, "series.txt"))
    problem = (save_plot(results, os.path.join(args.out, "benchmarks.png"))
               or save_scaling_plot(results, os.path.join(args.out, "scaling.png")))
    print()
    print(problem or f"Wrote {os.path.join(args.out, 'table.txt')}, "
                     f"{os.path.join(args.out, 'benchmarks.png')} and "
                     f"{os.path.join(args.out, 'scaling.png')}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
