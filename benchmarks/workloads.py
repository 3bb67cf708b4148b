"""The six workloads. Each measures quorlib and its peers side by side in the
same run and adds rows (and plot series) to a Results."""

from __future__ import annotations

import collections
import gc
import json
import multiprocessing
import pickle
import random
import statistics
import subprocess
import sys
import time
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Callable

import ray

import quorlib.quorbase
import quorlib.quordict
import quorlib.quorlist
import quorlib.quorproxy
from quorlib.demo import RemoteCallCounter
from quorlib.quordict import QuorDict
from quorlib.quorlist import ListChunkMeta, QuorList

import footprint
import peers
from report import Results, Row


@dataclass
class Ctx:
    quick: bool
    chunks: int
    manager: peers.ManagerPeer | None
    redis: peers.RedisPeer | None
    log: Callable[[str], None]
    results: Results
    footprint_containers: int = 20


# --------------------------------------------------------------------------- helpers

def timed(fn: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def interleaved(variants: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    """Median time of each variant, the variants taking turns so that a burst
    of background load hits them all alike."""
    samples: dict[str, list[float]] = {k: [] for k in variants}
    order = list(variants)
    rng = random.Random(0)
    for _ in range(rounds):
        rng.shuffle(order)
        for name in order:
            samples[name].append(timed(variants[name]))
    return {k: statistics.median(v) for k, v in samples.items()}


@contextmanager
def counting_remote_calls():
    """Counts the actor calls this process sends inside the `with`."""
    counter = RemoteCallCounter().install()
    try:
        yield counter
    finally:
        counter.uninstall()


def increment_sequence(seed: int, n: int, n_keys: int) -> list[int]:
    rng = random.Random(seed)
    return [rng.randrange(n_keys) for _ in range(n)]


def fresh_copy(container):
    """A copy sharing the container's actors with nothing resident: what a
    task that received the container starts from."""
    return pickle.loads(pickle.dumps(container))


# --------------------------------------------------------------------------- W1

def rw_loop(mapping, seq) -> None:
    for k in seq:
        mapping[k] = mapping[k] + 1


W1_KEYS = (("int keys", int), ("str keys", lambda i: f"user:{i:06d}"))


def w1_measure(chunks: int, ops: int, rounds: int, make_key, n_keys: int = 1000):
    """Times the read+write loop over resident keys against a plain dict, side
    by side: (times, whether the contents agree, the container)."""
    keys = [make_key(i) for i in range(n_keys)]
    seq = [keys[i % n_keys] for i in range(ops)]
    plain = {k: 0 for k in keys}
    d = QuorDict(dict(plain), chunks)
    with d:
        len(d)  # every chunk resident before timing
        t = interleaved({"quorlib": lambda: rw_loop(d, seq),
                         "dict": lambda: rw_loop(plain, seq)}, rounds)
        same = dict(d.items()) == plain
    return t, same, d


def w1_local(ctx: Ctx) -> None:
    ops = 20_000 if ctx.quick else 200_000
    rounds = 3 if ctx.quick else 7
    series = ctx.results.series.setdefault("W1", {})
    for kind, make_key in W1_KEYS:
        t, same, d = w1_measure(ctx.chunks, ops, rounds, make_key)
        peers.drop_quor(d)
        per_q = t["quorlib"] / (2 * ops) * 1e9
        per_p = t["dict"] / (2 * ops) * 1e9
        ratio = t["quorlib"] / t["dict"]
        ctx.results.add(Row("W1 local", f"dict ({kind})", "read+write", per_p, "ns/op"))
        ctx.results.add(Row("W1 local", f"quorlib ({kind})", "read+write", per_q, "ns/op",
                            ratio, "x dict", "<= 1.5x dict", ratio <= 1.5,
                            "" if same else "CONTENTS DIFFER FROM THE PLAIN DICT"))
        series[f"dict ({kind})"] = per_p
        series[f"quorlib ({kind})"] = per_q


# --------------------------------------------------------------------------- W2

def w2_batch(ctx: Ctx) -> None:
    n_keys = 100 if ctx.quick else 1000
    n_ops = 1000 if ctx.quick else 10_000
    seq = increment_sequence(2, n_ops, n_keys)
    expected = collections.Counter(seq)
    initial = {k: 0 for k in range(n_keys)}
    times: dict[str, float] = {}
    exact: dict[str, bool] = {}

    def check(name: str, got: dict, rounds: int) -> None:
        exact[name] = all(got.get(k, 0) == expected[k] * rounds for k in range(n_keys))

    # quorlib: each round is one `with` block on a fresh copy, so it pays for
    # the lock, the version record and fetching and writing back every chunk.
    d = QuorDict(dict(initial), ctx.chunks)
    with d:
        pass
    rounds = 5
    samples: list[float] = []

    def quor_round() -> None:
        c = fresh_copy(d)
        t0 = time.perf_counter()
        with c:
            for k in seq:
                c[k] += 1
        samples.append(time.perf_counter() - t0)

    for _ in range(rounds):
        quor_round()
    times["quorlib"] = statistics.median(samples)
    with counting_remote_calls() as calls:
        c = fresh_copy(d)
        with c:
            for k in seq:
                c[k] += 1
        del c
    with d:
        check("quorlib", dict(d.items()), rounds + 1)
    peers.drop_quor(d)

    a = peers.DictActor.remote(initial)
    ray.get(a.ping.remote())
    times["single actor"] = timed(lambda: [ray.get(a.incr.remote(k)) for k in seq])
    check("single actor", dict(ray.get(a.items.remote())), 1)
    peers.kill_actors([a])

    s = peers.make_sharded(ctx.chunks, initial)
    times[f"{ctx.chunks} sharded actors"] = timed(lambda: [s.incr(k) for k in seq])
    check(f"{ctx.chunks} sharded actors", dict(s.items()), 1)
    peers.kill_actors(s.actors)

    if ctx.manager:
        md = ctx.manager.new_dict(initial)

        def manager_run() -> None:
            for k in seq:
                md[k] += 1

        times["Manager dict"] = timed(manager_run)
        check("Manager dict", md.copy(), 1)

    if ctx.redis:
        r = ctx.redis.client
        r.delete("quorbench:w2:hash")
        r.hset("quorbench:w2:hash", mapping=initial)
        times["Redis HINCRBY"] = timed(lambda: [r.hincrby("quorbench:w2:hash", k, 1) for k in seq])
        check("Redis HINCRBY", {int(k): int(v) for k, v in r.hgetall("quorbench:w2:hash").items()}, 1)
        rd = ctx.redis.redis_dict("quorbench:w2:dict", initial)

        def redis_dict_run() -> None:
            for k in seq:
                rd[k] += 1

        times["Redis RedisDict"] = timed(redis_dict_run)
        check("Redis RedisDict", ctx.redis.redis_dict_contents(rd), 1)
        r.delete("quorbench:w2:hash", "quorbench:w2:dict")

    q = times["quorlib"]
    ctx.results.add(Row("W2 batch", "quorlib", f"{n_ops:,} incr, 1 block", q, "s",
                        note=f"{calls.calls} remote calls for the block; exact={exact['quorlib']}"))
    targets = {"single actor": 100, "Manager dict": 10, "Redis HINCRBY": 10, "Redis RedisDict": 10}
    for name, t in times.items():
        if name == "quorlib":
            continue
        need = targets.get(name)
        ratio = t / q
        ctx.results.add(Row("W2 batch", name, f"{n_ops:,} incr", t, "s", ratio,
                            "x slower than quorlib",
                            f">= {need}x" if need else "", None if need is None else ratio >= need,
                            "" if exact[name] else "TOTALS NOT EXACT"))
    if not exact["quorlib"]:
        ctx.results.notes.append("W2: quorlib totals NOT exact")
    ctx.results.series["W2"] = dict(times)


# --------------------------------------------------------------------------- W3

W3_TASKS = 4


@ray.remote(num_cpus=0.5)
def w3_task(system: str, handle, task_id: int, blocks: int, per_block: int, n_keys: int,
            barrier) -> tuple[float, float]:
    seq = increment_sequence(1000 + task_id, blocks * per_block, n_keys)
    work = [seq[b * per_block:(b + 1) * per_block] for b in range(blocks)]
    if system == "quorlib":
        d = handle

        def run() -> None:
            for block in work:
                with d:
                    for k in block:
                        d[k] += 1
    elif system == "quorlib, key-scoped":
        d = handle

        def run() -> None:
            for block in work:
                with d.locking(*block):
                    for k in block:
                        d[k] += 1
    elif system in ("single actor", "sharded actors"):
        incr = ((lambda k: ray.get(handle.incr.remote(k))) if system == "single actor"
                else handle.incr)

        def run() -> None:
            for block in work:
                for k in block:
                    incr(k)
    elif system == "Manager dict + Lock":
        authkey, dict_blob, lock_blob = handle
        md = peers.import_proxy(authkey, dict_blob)
        lock = peers.import_proxy(authkey, lock_blob)

        def run() -> None:
            for block in work:
                with lock:
                    for k in block:
                        md[k] = md[k] + 1
    elif system == "Redis HINCRBY":
        import redis
        port, hash_key = handle
        client = redis.Redis(host=peers.REDIS_HOST, port=port)
        client.ping()

        def run() -> None:
            for block in work:
                for k in block:
                    client.hincrby(hash_key, k, 1)
    else:
        raise ValueError(system)
    ray.get(barrier.arrive.remote())
    t0 = time.time()
    run()
    return t0, time.time()


def w3_contended(ctx: Ctx) -> None:
    blocks = 10 if ctx.quick else 50
    per_block = 100
    n_keys = 1000
    total = W3_TASKS * blocks * per_block
    expected: collections.Counter[int] = collections.Counter()
    for t in range(W3_TASKS):
        expected.update(increment_sequence(1000 + t, blocks * per_block, n_keys))
    initial = {k: 0 for k in range(n_keys)}

    # Task workers are started once, before anything is timed.
    ray.get([w3_warm.remote() for _ in range(W3_TASKS)])

    def run(system: str, handle) -> float:
        barrier = peers.Barrier.remote(W3_TASKS)
        spans = ray.get([w3_task.remote(system, handle, t, blocks, per_block, n_keys, barrier)
                         for t in range(W3_TASKS)])
        peers.kill_actors([barrier])
        return total / (max(e for _, e in spans) - min(s for s, _ in spans))

    def exact(got: dict) -> bool:
        return all(got.get(k, 0) == expected[k] for k in range(n_keys))

    tput: dict[str, float] = {}
    ok: dict[str, bool] = {}

    # Every block re-fetches the chunks the other holders wrote and writes back
    # every chunk it holds, so the chunk count sets the cost of a block.
    quor_names = []
    for n in dict.fromkeys((ctx.chunks, 1)):
        name = f"quorlib, {n} chunk{'s' if n > 1 else ''}"
        quor_names.append(name)
        d = QuorDict(dict(initial), n)
        with d:
            pass
        tput[name] = run("quorlib", d)
        with d:
            ok[name] = exact(dict(d.items()))
        peers.drop_quor(d)

    a = peers.DictActor.remote(initial)
    ray.get(a.ping.remote())
    tput["single actor"] = run("single actor", a)
    ok["single actor"] = exact(dict(ray.get(a.items.remote())))
    peers.kill_actors([a])

    s = peers.make_sharded(ctx.chunks, initial)
    tput[f"{ctx.chunks} sharded actors"] = run("sharded actors", s)
    ok[f"{ctx.chunks} sharded actors"] = exact(dict(s.items()))
    peers.kill_actors(s.actors)

    if ctx.manager:
        md = ctx.manager.new_dict(initial)
        lock = ctx.manager.new_lock()
        handle = (ctx.manager.authkey, ctx.manager.export(md), ctx.manager.export(lock))
        tput["Manager dict + Lock"] = run("Manager dict + Lock", handle)
        ok["Manager dict + Lock"] = exact(md.copy())

    if ctx.redis:
        r = ctx.redis.client
        r.delete("quorbench:w3")
        r.hset("quorbench:w3", mapping=initial)
        tput["Redis HINCRBY"] = run("Redis HINCRBY", (ctx.redis.port, "quorbench:w3"))
        ok["Redis HINCRBY"] = exact({int(k): int(v) for k, v in r.hgetall("quorbench:w3").items()})
        r.delete("quorbench:w3")

    single = tput["single actor"]
    for name, value in tput.items():
        ratio = value / single
        target = ">= 10x single actor, exact" if name in quor_names else "exact"
        met = ok[name] and (ratio >= 10 if name in quor_names else True)
        ctx.results.add(Row("W3 contended", name, f"{W3_TASKS}x{blocks}x{per_block} incr",
                            value, "ops/s", ratio, "x single actor", target, met,
                            f"totals exact={ok[name]}"))
    ctx.results.series["W3"] = dict(tput)


@ray.remote(num_cpus=0.5)
def w3_warm() -> None:
    import quorlib.quordict  # noqa: F401  (imported once per worker, untimed)
    time.sleep(0.5)


# --------------------------------------------------------------------------- W4

def w4_list(ctx: Ctx) -> None:
    # Short batches, many rounds: a burst of load from other processes then
    # hits every variant alike instead of one whole batch.
    batch = 20
    rounds = 15 if ctx.quick else 90
    chunks = 2
    lst: QuorList[int] = QuorList(num_chunks=chunks, meta=ListChunkMeta(max_element_per_chunk=1_000_000))
    raw = quorlib.quorproxy.QuorProxy.remote([0] * chunks, None)
    ray.get(raw.get_nocache.remote())
    with lst:
        for i in range(batch):
            lst.append(i)  # chunk 0 resident and holding elements to read
        with counting_remote_calls() as c:
            lst.append(-1)
            calls_append = c.calls
            c.calls = 0
            lst[0]
            calls_get = c.calls
            c.calls = 0
            len(lst)
            calls_len = c.calls

        def appends() -> None:
            for i in range(batch):
                lst.append(i)

        def reads() -> None:
            for i in range(batch):
                lst[i]

        def lens() -> None:
            for _ in range(batch):
                len(lst)

        def round_trips() -> None:
            for _ in range(batch):
                ray.get(raw.get_nocache.remote())

        usage = [0] * chunks

        def set_round_trips() -> None:
            for _ in range(batch):
                ray.get(raw.set_nocache.remote(usage))

        t = interleaved({"raw": round_trips, "raw set": set_round_trips, "append": appends,
                         "lst[i]": reads, "len()": lens}, rounds)
    peers.drop_quor(lst)
    peers.kill_actors([raw])
    rtt = t["raw"] / batch
    rtt_set = t["raw set"] / batch
    ctx.results.add(Row("W4 list", "raw actor round trip", "per call (get)", rtt, "s"))
    ctx.results.add(Row("W4 list", "raw actor round trip", "per call (set, small list)",
                        rtt_set, "s", rtt_set / rtt, "x get"))
    series = {"raw actor round trip": rtt}
    # Inside a block the list works from its own copy of the counts, which
    # commits with the block: an append to a resident chunk and every read
    # make no remote call.
    for op, floor, measured in (("append", rtt_set, calls_append), ("lst[i]", rtt, calls_get),
                                ("len()", rtt, calls_len)):
        per_op = t[op] / batch
        ratio = per_op / floor
        ctx.results.add(Row("W4 list", f"quorlib {op}", "per op, in a block", per_op, "s", ratio,
                            "x one round trip", "no remote call", measured == 0,
                            f"{measured} remote calls measured"))
        series[f"quorlib {op}"] = per_op
    # Whole blocks, from the lock to the commit.
    for what, run in (("10,000 appends", w4_appends), ("1,000 pop(0) + 1,000 appends", w4_pops)):
        seconds = min(run() for _ in range(3 if ctx.quick else 5))
        ctx.results.add(Row("W4 list", f"quorlib, {what}", "one block", seconds, "s",
                            target="<= 50 ms", met=seconds <= 0.05))
        series[f"quorlib, {what} (block)"] = seconds
    ctx.results.series["W4"] = series


def w4_appends() -> float:
    lst: QuorList[int] = QuorList()  # 32 chunks of 1,024
    with lst:
        pass
    t0 = time.perf_counter()
    with lst:
        for i in range(10_000):
            lst.append(i)
    seconds = time.perf_counter() - t0
    peers.drop_quor(lst)
    return seconds


def w4_pops() -> float:
    lst: QuorList[int] = QuorList(value=list(range(2_000)))
    with lst:
        pass
    t0 = time.perf_counter()
    with lst:
        for i in range(1_000):
            lst.pop(0)
        for i in range(1_000):
            lst.append(i)
    seconds = time.perf_counter() - t0
    peers.drop_quor(lst)
    return seconds


# --------------------------------------------------------------------------- W5

def w5_creation(ctx: Ctx) -> None:
    counts = (4,) if ctx.quick else (4, 32)
    series: dict[str, dict[int, float]] = collections.defaultdict(dict)
    for n in counts:
        t0 = time.perf_counter()
        d: QuorDict[int, int] = QuorDict(num_chunks=n)
        with d:
            pass
        first = time.perf_counter() - t0
        with d:
            len(d)
        every = time.perf_counter() - t0
        peers.drop_quor(d)
        ctx.results.add(Row("W5 creation", f"quorlib QuorDict, {n} chunks", "to first block",
                            first, "s", note=f"{every:.2f} s until every chunk was fetched"))
        series["quorlib QuorDict"][n] = first

        t0 = time.perf_counter()
        lst: QuorList[int] = QuorList(num_chunks=n)
        with lst:
            lst.append(0)
        first_list = time.perf_counter() - t0
        peers.drop_quor(lst)
        ctx.results.add(Row("W5 creation", f"quorlib QuorList, {n} chunks",
                            "to first block (1 append)", first_list, "s"))
        series["quorlib QuorList"][n] = first_list

        t0 = time.perf_counter()
        s = peers.make_sharded(n)
        sharded = time.perf_counter() - t0
        peers.kill_actors(s.actors)
        ratio = first / sharded
        ctx.results.add(Row("W5 creation", f"{n} sharded actors", "to every actor answering",
                            sharded, "s", ratio, "(QuorDict / this)"))
        series["sharded actors"][n] = sharded
        time.sleep(1)  # let the killed actors' processes exit before the next round

    first_of_job = w5_first_of_a_job()
    if first_of_job:
        for which in ("first", "second"):
            ctx.results.add(Row("W5 creation", f"quorlib QuorDict, 32 chunks, {which} of a job",
                                "to first block", first_of_job[which], "s",
                                note="a new job on the same cluster"))
        series["quorlib QuorDict, new job"][32] = first_of_job["first"]

    t0 = time.perf_counter()
    a = peers.DictActor.remote()
    ray.get(a.set.remote(0, 0))
    single = time.perf_counter() - t0
    peers.kill_actors([a])
    ctx.results.add(Row("W5 creation", "single actor", "to first call", single, "s"))
    series["single actor"][1] = single

    if ctx.manager:
        t0 = time.perf_counter()
        m = multiprocessing.Manager()
        md = m.dict()
        md[0] = 0
        manager_first = time.perf_counter() - t0
        m.shutdown()
        ctx.results.add(Row("W5 creation", "Manager dict", "Manager() to first op",
                            manager_first, "s"))
        series["Manager dict"][1] = manager_first
    if ctx.redis:
        import redis
        t0 = time.perf_counter()
        client = redis.Redis(host=peers.REDIS_HOST, port=ctx.redis.port)
        client.hset("quorbench:w5", 0, 0)
        redis_first = time.perf_counter() - t0
        client.delete("quorbench:w5")
        client.close()
        ctx.results.add(Row("W5 creation", "Redis", "connect to first op", redis_first, "s",
                            note="server already running; its start-up is not counted"))
        series["Redis"][1] = redis_first
    ctx.results.series["W5"] = dict(series)


def w5_first_of_a_job() -> dict[str, float] | None:
    """W5 in a child process that joins this cluster as a new job, whose first
    container starts what every job's first container starts."""
    address = ray.get_runtime_context().gcs_address
    child = subprocess.run([sys.executable, footprint.__file__, "first-of-job", address],
                           capture_output=True, text=True, timeout=600)
    lines = [line for line in child.stdout.splitlines() if line.startswith("{")]
    return json.loads(lines[-1]) if child.returncode == 0 and lines else None


# --------------------------------------------------------------------------- W6

def empty_block_time(container, reps: int) -> float:
    """Median time of a `with` block that does nothing."""
    samples = []
    for _ in range(reps):
        t0 = time.perf_counter()
        with container:
            pass
        samples.append(time.perf_counter() - t0)
    return statistics.median(samples)


def w6_write_back(ctx: Ctx) -> None:
    chunks = 4 if ctx.quick else 8
    sizes = (100, 10_000) if ctx.quick else (100, 10_000, 100_000)
    residents = [k for k in (0, 1, 2, 4, 8) if k <= chunks]
    reps = 3 if ctx.quick else 7
    d: QuorDict[int, int] = QuorDict(num_chunks=chunks)
    curve: dict[int, dict[int, float]] = {}
    calls: dict[int, int] = {}
    filled = 0
    for size in sizes:
        with d:  # int keys c + chunks*j land in chunk c
            for key in range(filled * chunks, size * chunks):
                d[key] = key
        filled = size
        points: dict[int, float] = {}
        for k in residents:
            c = fresh_copy(d)
            with c:
                for chunk in range(k):
                    c[chunk]  # key `chunk` lives in chunk `chunk`
            points[k] = empty_block_time(c, reps)
            if size == sizes[0]:
                with counting_remote_calls() as counter:
                    with c:
                        pass
                calls[k] = counter.calls
            del c
            gc.collect()
        curve[size] = points
    peers.drop_quor(d)

    # Chunks holding a mutable value (here one list per chunk) may have been
    # changed in place, so every block writes them back: the price of that rule.
    kmax = residents[-1]
    mutable: dict[int, float] = {}
    for size in sizes[:2]:
        m: QuorDict[int, object] = QuorDict(num_chunks=chunks)
        with m:
            for key in range(size * chunks):
                m[key] = key
            for chunk in range(chunks):
                m[chunk] = [chunk]
        mutable[size] = empty_block_time(m, reps)
        peers.drop_quor(m)
        del m
        gc.collect()

    for size, points in curve.items():
        base = points[0]
        per_chunk = (points[kmax] - base) / kmax
        ctx.results.add(Row("W6 write-back", f"quorlib, {size:,} items/chunk",
                            "empty block, 0 resident", base, "s",
                            note=f"{calls.get(0, '?')} remote calls" if size == sizes[0] else ""))
        ctx.results.add(Row("W6 write-back", f"quorlib, {size:,} items/chunk",
                            f"empty block, {kmax} resident", points[kmax], "s",
                            points[kmax] / base, "x empty block with none resident",
                            note=(f"{calls.get(kmax, '?')} remote calls; " if size == sizes[0] else "")
                            + f"+{per_chunk * 1e3:.2f} ms per resident chunk"))
        if size in mutable:
            ctx.results.add(Row("W6 write-back", f"quorlib, {size:,} items/chunk",
                                f"empty block, {kmax} resident holding a list each",
                                mutable[size], "s", mutable[size] / base,
                                "x empty block with none resident",
                                note="every such chunk is written back by every block"))
    ctx.results.series["W6"] = curve
    ctx.results.series["W6_calls"] = calls


# --------------------------------------------------------------------------- shared by W7-W10

def run_holders(task, holders: int, args_of: Callable[[int, object], tuple],
                timeout: float) -> list:
    """Runs `holders` copies of a Ray task that all start their timed part at
    once (a barrier), splitting the two CPUs between them so that every copy
    runs at the same time; returns their results. A holder that never arrives
    fails the workload after `timeout` instead of hanging the run."""
    barrier = peers.Barrier.remote(holders)
    refs = [task.options(num_cpus=2 / holders).remote(*args_of(h, barrier))
            for h in range(holders)]
    try:
        return ray.get(refs, timeout=timeout)
    except Exception:
        for r in refs:
            ray.cancel(r, force=True)
        raise
    finally:
        peers.kill_actors([barrier])


def span_rate(count: int, spans) -> float:
    """Operations per second over the interval from the first holder's start
    to the last holder's end."""
    return count / (max(s[1] for s in spans) - min(s[0] for s in spans))


# --------------------------------------------------------------------------- W7

W7_HOLDERS = 8
W7_CHUNKS = 32
W7_KEYS = 10_000
W7_READS = 10


def w7_work(holder: int, blocks: int) -> list[list[int]]:
    rng = random.Random(7000 + holder)
    return [[rng.randrange(W7_KEYS) for _ in range(W7_READS)] for _ in range(blocks)]


@ray.remote(num_cpus=0.25)
def w7_holder(system: str, handle, holder: int, blocks: int, barrier,
              count_calls: bool) -> tuple[float, float, int]:
    """One holder's blocks: read W7_READS random keys, then write the last of
    them back increased by one (a write that needs no further read). The peers
    do the same reads, one call each, and an atomic increment for the write.
    A quorlib holder first runs one untimed read-only block that makes every
    chunk resident, so that the rate is the steady state of a long-running
    holder rather than its first fetch of each chunk."""
    work = w7_work(holder, blocks)
    if system.startswith("quorlib"):
        d = handle
        with d:
            len(d)

        def block(keys):
            return d.locking(*keys) if system == "quorlib, key-scoped" else d

        def run() -> None:
            for keys in work:
                with block(keys):
                    values = [d[k] for k in keys]
                    d[keys[-1]] = values[-1] + 1
    else:
        if system == "single actor":
            def get(k):
                return ray.get(handle.get.remote(k))

            def incr(k):
                return ray.get(handle.incr.remote(k))
        else:
            get, incr = handle.get, handle.incr

        def run() -> None:
            for keys in work:
                [get(k) for k in keys]
                incr(keys[-1])
    ray.get(barrier.arrive.remote())
    if count_calls:
        with counting_remote_calls() as counter:
            t0 = time.time()
            run()
            t1 = time.time()
        return t0, t1, counter.calls
    t0 = time.time()
    run()
    return t0, time.time(), 0


def w7_read_mostly(ctx: Ctx) -> None:
    blocks = 5 if ctx.quick else 40
    total = W7_HOLDERS * blocks
    initial = {k: 0 for k in range(W7_KEYS)}
    writes: collections.Counter[int] = collections.Counter(
        keys[-1] for h in range(W7_HOLDERS) for keys in w7_work(h, blocks))
    ray.get([w3_warm.remote() for _ in range(W7_HOLDERS)], timeout=300)

    def run(system: str, handle, count_calls: bool) -> tuple[float, int]:
        spans = run_holders(w7_holder, W7_HOLDERS,
                            lambda h, barrier: (system, handle, h, blocks, barrier, count_calls),
                            timeout=600)
        return span_rate(total, spans), sum(s[2] for s in spans)

    def exact(got: dict, passes: int) -> bool:
        return all(got.get(k, 0) == writes[k] * passes for k in range(W7_KEYS))

    rate: dict[str, float] = {}
    per_block: dict[str, float] = {}
    ok: dict[str, bool] = {}

    # The calls are counted inside the holders, in a pass of its own that runs
    # the same blocks concurrently: what a block costs depends on what the
    # other holders changed meanwhile.
    for system in ("quorlib", "quorlib, key-scoped"):
        d = QuorDict(dict(initial), W7_CHUNKS)
        with d:
            pass
        _, calls = run(system, d, True)
        rate[system], _ = run(system, d, False)
        per_block[system] = calls / total
        with d:
            ok[system] = exact(dict(d.items()), 2)
        peers.drop_quor(d)

    a = peers.DictActor.remote(initial)
    ray.get(a.ping.remote(), timeout=60)
    rate["single actor"], _ = run("single actor", a, False)
    ok["single actor"] = exact(dict(ray.get(a.items.remote(), timeout=60)), 1)
    peers.kill_actors([a])

    sharded = f"{ctx.chunks} sharded actors"
    s = peers.make_sharded(ctx.chunks, initial)
    rate[sharded], _ = run("sharded actors", s, False)
    ok[sharded] = exact(dict(s.items()), 1)
    peers.kill_actors(s.actors)

    single = rate["single actor"]
    what = f"{W7_HOLDERS} holders x {blocks} blocks"

    def label(name: str) -> str:
        return name.replace("quorlib", f"quorlib, {W7_CHUNKS} chunks", 1)

    for name, value in rate.items():
        calls_note = (f"{per_block[name]:.1f} remote calls per block (counted in a separate pass)"
                      if name in per_block else f"{W7_READS + 1} actor calls per block")
        ctx.results.add(Row("W7 read-mostly", label(name), what, value, "blocks/s",
                            value / single, "x single actor", "exact", ok[name],
                            f"{calls_note}; totals exact={ok[name]}"))
    ctx.results.series["W7"] = {label(k): v for k, v in rate.items()}
    ctx.results.series["W7_calls"] = {label(k): per_block.get(k, W7_READS + 1) for k in rate}


# --------------------------------------------------------------------------- W8

class ListActor:
    """A plain actor holding a list: one call per element read, or one call
    for the whole list."""

    def __init__(self, items: list) -> None:
        self.items = list(items)

    def get(self, i: int):
        return self.items[i]

    def all(self) -> list:
        return self.items


def w8_list_reads(ctx: Ctx) -> None:
    n = 1000
    chunks = ctx.chunks
    per_chunk = -(-n // chunks)
    rounds = 3 if ctx.quick else 7
    plain = list(range(n))
    rng = random.Random(8)
    picks = [rng.randrange(n) for _ in range(50)]
    actor = ray.remote(num_cpus=0)(ListActor).remote(plain)
    ray.get(actor.get.remote(0), timeout=60)
    lst: QuorList[int] = QuorList(num_chunks=chunks, value=list(plain),
                                  meta=ListChunkMeta(max_element_per_chunk=per_chunk))
    with lst:
        same = list(lst) == plain  # every chunk resident before timing
        with counting_remote_calls() as c:
            for i in picks:
                lst[i]
            calls_get = c.calls / len(picks)
            c.calls = 0
            for _ in lst:
                pass
            calls_iter = c.calls

        def index_loop(seq, times: int) -> Callable[[], object]:
            def run() -> None:
                for _ in range(times):
                    for i in picks:
                        seq[i]
            return run

        def iterate(seq) -> Callable[[], object]:
            def run() -> None:
                for _ in seq:
                    pass
            return run

        def actor_gets() -> None:
            for i in picks:
                ray.get(actor.get.remote(i), timeout=60)

        def actor_iterate() -> None:
            for _ in ray.get(actor.all.remote(), timeout=60):
                pass

        plain_reps = 200  # enough work for the clock to resolve
        t = interleaved({"quorlib lst[i]": index_loop(lst, 1),
                         "list lst[i]": index_loop(plain, plain_reps),
                         "actor lst[i]": actor_gets,
                         "quorlib iteration": iterate(lst),
                         "list iteration": lambda: [iterate(plain)() for _ in range(plain_reps)],
                         "actor iteration": actor_iterate}, rounds)
    peers.drop_quor(lst)
    peers.kill_actors([actor])

    get = {"quorlib": t["quorlib lst[i]"] / len(picks),
           "list": t["list lst[i]"] / (plain_reps * len(picks)),
           "actor": t["actor lst[i]"] / len(picks)}
    walk = {"quorlib": t["quorlib iteration"],
            "list": t["list iteration"] / plain_reps,
            "actor": t["actor iteration"]}
    for op, times, calls, unit_note in (
            ("lst[i]", get, f"{calls_get:.2f} remote calls per lst[i]", "per read"),
            ("iteration", walk, f"{calls_iter} remote calls per pass over {chunks} chunks",
             f"one pass over {n:,}")):
        ctx.results.add(Row("W8 list reads", "plain list", f"{op}, {unit_note}", times["list"], "s"))
        ctx.results.add(Row("W8 list reads", "single actor", f"{op}, {unit_note}", times["actor"],
                            "s", times["actor"] / times["list"], "x plain list",
                            note="one call per read" if op == "lst[i]" else
                            "one call returning the whole list"))
        ctx.results.add(Row("W8 list reads", "quorlib, in a block", f"{op}, {unit_note}",
                            times["quorlib"], "s", times["quorlib"] / times["list"], "x plain list",
                            note=f"{calls}; {times['quorlib'] / times['actor']:.2f}x the single "
                                 f"actor; contents same={same}"))
    ctx.results.series["W8"] = {"lst[i]": get, "iteration": walk}


# --------------------------------------------------------------------------- W9

def w9_sizes(ctx: Ctx) -> None:
    sizes = (10**3, 10**4) if ctx.quick else (10**3, 10**4, 10**5, 10**6)
    chunks = ctx.chunks
    curves: dict[str, dict[int, float]] = collections.defaultdict(dict)
    ray.get(ray.put(list(range(1000))), timeout=60)  # the object store's first use, untimed

    # Starting the actors is a fixed cost that moving the values has no part
    # of: construction is compared with an empty container's construction
    # plus the floor, measured in this run.
    t0 = time.perf_counter()
    empty: QuorDict[int, int] = QuorDict({}, chunks)
    with empty:
        pass
    fixed = time.perf_counter() - t0
    peers.drop_quor(empty)
    ctx.results.add(Row("W9 scaling", f"quorlib, {chunks} chunks", "construct empty + empty block",
                        fixed, "s", note="the fixed part of every construction (actors started)"))

    for n in sizes:
        reps = 1 if n >= 10**6 else 3
        items = {k: k for k in range(n)}
        # Int keys k land in chunk k % chunks: these are the chunk values the
        # container stores, each moved once each way through the object store.
        parts = [{k: k for k in range(c, n, chunks)} for c in range(chunks)]
        # cheap enough to repeat more: at small sizes one burst of load decides it
        floor = statistics.median(
            timed(lambda: ray.get([ray.put(p) for p in parts], timeout=600))
            for _ in range(3 * reps))
        del parts

        t0 = time.perf_counter()
        d = QuorDict(items, chunks)
        with d:
            pass
        build = time.perf_counter() - t0

        reads: list[float] = []
        writes: list[float] = []
        read_ok = written_ok = True
        for rep in range(reps):
            c = fresh_copy(d)
            t0 = time.perf_counter()
            with c:
                got = c.items()
            reads.append(time.perf_counter() - t0)
            read_ok = read_ok and len(got) == n and all(v == k + rep for k, v in got)
            del got
            c.__enter__()
            for k in range(n):  # every chunk changed; the loop stays out of the timing
                c[k] = k + rep + 1
            t0 = time.perf_counter()
            c.__exit__(None, None, None)
            writes.append(time.perf_counter() - t0)
            del c
        check = fresh_copy(d)
        with check:
            written_ok = all(v == k + reps for k, v in check.items())
        del check
        peers.drop_quor(d)
        gc.collect()
        first_read, write_back = statistics.median(reads), statistics.median(writes)

        for name, value, reference, ok in (
                ("construction", build, fixed + floor, True),
                ("first full read", first_read, floor, read_ok),
                ("full write-back", write_back, floor, written_ok)):
            ratio = value / reference
            ctx.results.add(Row("W9 scaling", f"quorlib, {n:,} items", name, value, "s", ratio,
                                "x (empty construction + floor)" if name == "construction"
                                else "x floor", "<= 1.5x (empty + floor)" if name == "construction"
                                else "<= 1.5x floor", ratio <= 1.5 and ok,
                                "" if ok else "CONTENTS WRONG"))
            curves[name][n] = value
        ctx.results.add(Row("W9 scaling", f"floor, {n:,} items",
                            f"ray.put + ray.get of {chunks} chunk values", floor, "s"))
        curves["floor (ray.put + ray.get)"][n] = floor
        ctx.log(f"W9 {n:,} items: construction {build:.3f} s, first read {first_read:.3f} s, "
                f"write-back {write_back:.3f} s, floor {floor:.3f} s")
    curves["empty construction + floor"] = {
        n: fixed + f for n, f in curves["floor (ray.put + ray.get)"].items()}
    ctx.results.series["W9"] = dict(curves)


# --------------------------------------------------------------------------- W10

def w10_holders(ctx: Ctx) -> None:
    """W3's workload (blocks of 100 increments on 1,000 shared keys) by 1 to
    8 holders, each holder doing the same number of blocks."""
    counts = (1, 2, 4, 8)
    blocks = 5 if ctx.quick else 20
    per_block = 100
    n_keys = 1000
    initial = {k: 0 for k in range(n_keys)}
    ray.get([w3_warm.remote() for _ in range(max(counts))], timeout=300)
    curves: dict[str, dict[int, float]] = collections.defaultdict(dict)
    for h in counts:
        expected: collections.Counter[int] = collections.Counter()
        for t in range(h):
            expected.update(increment_sequence(1000 + t, blocks * per_block, n_keys))
        total = h * blocks * per_block

        def exact(got: dict) -> bool:
            return all(got.get(k, 0) == expected[k] for k in range(n_keys))

        def run(system: str, handle) -> float:
            return span_rate(total, run_holders(
                w3_task, h,
                lambda t, barrier: (system, handle, t, blocks, per_block, n_keys, barrier),
                timeout=600))

        d = QuorDict(dict(initial), ctx.chunks)
        with d:
            pass
        quor = run("quorlib", d)
        with d:
            quor_ok = exact(dict(d.items()))
        peers.drop_quor(d)

        a = peers.DictActor.remote(initial)
        ray.get(a.ping.remote(), timeout=60)
        single = run("single actor", a)
        single_ok = exact(dict(ray.get(a.items.remote(), timeout=60)))
        peers.kill_actors([a])

        what = f"{h}x{blocks}x{per_block} incr"
        ctx.results.add(Row("W10 holders", f"quorlib, {ctx.chunks} chunks, {h} holder{'s' if h > 1 else ''}", what,
                            quor, "ops/s", quor / single, "x single actor", "exact", quor_ok,
                            f"totals exact={quor_ok}"))
        ctx.results.add(Row("W10 holders", f"single actor, {h} holder{'s' if h > 1 else ''}", what, single, "ops/s",
                            target="exact", met=single_ok, note=f"totals exact={single_ok}"))
        curves[f"quorlib, {ctx.chunks} chunks"][h] = quor
        curves["single actor"][h] = single
    ctx.results.series["W10"] = dict(curves)


# --------------------------------------------------------------------------- W11

W11_HOLDERS = 4
W11_CHUNKS = 32
W11_KEYS = 200


def w11_small_blocks(ctx: Ctx) -> None:
    """Blocks that each change one key: 4 holders, each block incrementing one
    key of a 32-chunk dict; against a single actor taking the same increments
    as calls. Here every block's commit and the lock's hand-off are the cost."""
    blocks = 20 if ctx.quick else 100
    initial = {k: 0 for k in range(W11_KEYS)}
    total = W11_HOLDERS * blocks
    expected: collections.Counter[int] = collections.Counter()
    for t in range(W11_HOLDERS):
        expected.update(increment_sequence(1000 + t, blocks, W11_KEYS))

    def exact(got: dict) -> bool:
        return all(got.get(k, 0) == expected[k] for k in range(W11_KEYS))

    def run(system: str, handle) -> float:
        return span_rate(total, run_holders(
            w3_task, W11_HOLDERS,
            lambda t, barrier: (system, handle, t, blocks, 1, W11_KEYS, barrier), timeout=600))

    ray.get([w3_warm.remote() for _ in range(W11_HOLDERS)], timeout=300)
    d = QuorDict(dict(initial), W11_CHUNKS)
    with d:
        len(d)
    with counting_remote_calls() as counter:
        with d:
            d[0] += 1
    calls = counter.calls
    with d:
        d[0] -= 1
    quor = run("quorlib", d)
    with d:
        quor_ok = exact(dict(d.items()))
    peers.drop_quor(d)
    d = QuorDict(dict(initial), W11_CHUNKS)
    with d:
        len(d)
    scoped = run("quorlib, key-scoped", d)
    with d:
        scoped_ok = exact(dict(d.items()))
    peers.drop_quor(d)
    a = peers.DictActor.remote(initial)
    ray.get(a.ping.remote(), timeout=60)
    single = run("single actor", a)
    single_ok = exact(dict(ray.get(a.items.remote(), timeout=60)))
    peers.kill_actors([a])
    what = f"{W11_HOLDERS}x{blocks} blocks of 1 incr"
    ctx.results.add(Row("W11 small blocks", f"quorlib, {W11_CHUNKS} chunks", what, quor,
                        "blocks/s", quor / single, "x the single actor's calls/s",
                        ">= 0.5x single actor", quor_ok and quor >= 0.5 * single,
                        f"{calls} remote calls per block (one holder); totals exact={quor_ok}"))
    ctx.results.add(Row("W11 small blocks", f"quorlib, {W11_CHUNKS} chunks, key-scoped blocks",
                        what, scoped, "blocks/s", scoped / single,
                        "x the single actor's calls/s", "exact", scoped_ok,
                        f"d.locking(key) instead of `with d:`; totals exact={scoped_ok}"))
    ctx.results.add(Row("W11 small blocks", "single actor", f"{W11_HOLDERS}x{blocks} incr calls",
                        single, "ops/s", target="exact", met=single_ok,
                        note=f"totals exact={single_ok}"))
    ctx.results.series["W11"] = {"quorlib": quor, "quorlib, key-scoped": scoped,
                                 "single actor": single}


# --------------------------------------------------------------------------- W13, W14

W13_CHUNKS = 32
W13_BLOCKS = 40


def keys_in_own_chunks(d, count: int) -> list[str]:
    """`count` keys of `d`, each in a chunk of its own."""
    keys, taken, i = [], set(), 0
    while len(keys) < count:
        key = f"k{i}"
        chunk = d.locking(key).scope.chunks[0]
        if chunk not in taken:
            keys.append(key)
            taken.add(chunk)
        i += 1
    return keys


@ray.remote(num_cpus=0.25)
def w13_holder(d, key: str, scoped: bool, blocks: int, barrier) -> tuple[float, float]:
    block = d.locking(key) if scoped else d
    ray.get(barrier.arrive.remote())
    t0 = time.time()
    for _ in range(blocks):
        with block:
            d[key] += 1
    return t0, time.time()


def w13_disjoint_keys(ctx: Ctx) -> None:
    """Holders whose blocks each change one key of their own, every key in a
    chunk of its own: whole-container blocks run one at a time, blocks on the
    keys' chunks side by side."""
    blocks = 10 if ctx.quick else W13_BLOCKS
    ray.get([w3_warm.remote() for _ in range(8)], timeout=300)
    for holders in (4, 8):
        rates: dict[str, float] = {}
        ok: dict[str, bool] = {}
        for scoped in (False, True):
            d = QuorDict({}, W13_CHUNKS)
            keys = keys_in_own_chunks(d, holders)
            with d:
                d.update({k: 0 for k in keys})
            spans = run_holders(w13_holder, holders,
                                lambda h, barrier: (d, keys[h], scoped, blocks, barrier),
                                timeout=600)
            name = "key-scoped blocks" if scoped else "whole-container blocks"
            rates[name] = span_rate(holders * blocks, spans)
            with d:
                ok[name] = dict(d.items()) == {k: blocks for k in keys}
            peers.drop_quor(d)
        whole = rates["whole-container blocks"]
        scoped_rate = rates["key-scoped blocks"]
        what = f"{holders} holders x {blocks} blocks, 1 key each"
        ctx.results.add(Row("W13 disjoint keys", f"quorlib, {W13_CHUNKS} chunks, key-scoped",
                            what, scoped_rate, "blocks/s", scoped_rate / whole,
                            "x whole-container blocks", ">= 1.5x" if holders == 4 else "reported",
                            all(ok.values()) and (holders != 4 or scoped_rate >= 1.5 * whole),
                            f"totals exact={all(ok.values())}"))
        whole_ok = ok["whole-container blocks"]
        ctx.results.add(Row("W13 disjoint keys", f"quorlib, {W13_CHUNKS} chunks, `with d:`",
                            what, whole, "blocks/s", target="exact", met=whole_ok,
                            note=f"totals exact={whole_ok}"))
        ctx.results.series.setdefault("W13", {})[holders] = dict(rates)


W14_READERS = 4
W14_HOLD_S = 0.005


@ray.remote(num_cpus=0.25)
def w14_reader(d, shared: bool, blocks: int, barrier) -> tuple[float, float, bool]:
    block = d.reading() if shared else d
    with d:
        len(d)
    consistent = True
    ray.get(barrier.arrive.remote())
    t0 = time.time()
    for _ in range(blocks):
        with block:
            consistent &= d["a"] + d["b"] == 100
            time.sleep(W14_HOLD_S)
    return t0, time.time(), consistent


def w14_readers(ctx: Ctx) -> None:
    """Read-only blocks that each hold the container about 5 ms: as
    whole-container blocks they run one at a time, as reading() blocks side
    by side."""
    blocks = 10 if ctx.quick else 30
    ray.get([w3_warm.remote() for _ in range(W14_READERS)], timeout=300)
    rates: dict[str, float] = {}
    ok = True
    for shared in (False, True):
        d = QuorDict({"a": 40, "b": 60}, ctx.chunks)
        spans = run_holders(w14_reader, W14_READERS,
                            lambda h, barrier: (d, shared, blocks, barrier), timeout=600)
        rates["reading()" if shared else "with d:"] = span_rate(W14_READERS * blocks, spans)
        ok &= all(s[2] for s in spans)
        peers.drop_quor(d)
    what = f"{W14_READERS} readers x {blocks} blocks of {W14_HOLD_S * 1e3:.0f} ms"
    ctx.results.add(Row("W14 readers", f"quorlib, {ctx.chunks} chunks, reading()", what,
                        rates["reading()"], "blocks/s", rates["reading()"] / rates["with d:"],
                        "x whole-container blocks", ">= 2x",
                        ok and rates["reading()"] >= 2 * rates["with d:"],
                        f"every block saw a consistent pair: {ok}"))
    ctx.results.add(Row("W14 readers", f"quorlib, {ctx.chunks} chunks, `with d:`", what,
                        rates["with d:"], "blocks/s"))
    ctx.results.series["W14"] = rates


# --------------------------------------------------------------------------- W12

def w12_footprint(ctx: Ctx) -> None:
    """20 containers of 32 chunks with small contents, alive at once: the Ray
    processes and memory they add, their CPU while idle, and how soon
    dropping them gives it all back."""
    n = 4 if ctx.quick else ctx.footprint_containers
    warm = QuorDict({0: 0}, 1)   # the pool up: the baseline is Ray and the pool
    with warm:
        warm[0] = 1
    del warm
    gc.collect()
    time.sleep(10)               # the warm-up's control actor ends
    before = footprint.ray_processes()
    base_rss, base_pss = footprint.memory_kib(before)
    t0 = time.perf_counter()
    made = [QuorDict({i: i for i in range(50)}, 32) for _ in range(n)]
    for d in made:
        with d:
            d[0] = -1
    built = time.perf_counter() - t0
    time.sleep(2)
    during = footprint.ray_processes()
    added = set(during) - set(before)
    rss, pss = footprint.memory_kib(during)
    idle_cpu0 = footprint.cpu_seconds(added)
    time.sleep(10)
    idle_cpu = (footprint.cpu_seconds(added) - idle_cpu0) / 10
    label = f"{n} QuorDicts of 32 chunks"
    ctx.results.add(Row("W12 footprint", label, "Ray processes added", len(added), "",
                        len(added) / n, "per container", target="<= 1 per container",
                        met=len(added) <= n, note=f"built and used in {built:.1f} s"))
    ctx.results.add(Row("W12 footprint", label, "resident memory added", (rss - base_rss) / 2**20,
                        "GiB", (pss - base_pss) / 2**20, "GiB proportional",
                        target="<= 2 GiB", met=(rss - base_rss) <= 2 * 2**20))
    ctx.results.add(Row("W12 footprint", label, "CPU while idle", idle_cpu * 100, "% of a core",
                        idle_cpu * 100 / n, "% per container"))
    del made, d
    gc.collect()
    t0 = time.perf_counter()
    while True:
        now_rss, _ = footprint.memory_kib(footprint.ray_processes())
        back = now_rss <= base_rss * 1.1
        if back or time.perf_counter() - t0 > 120:
            break
        time.sleep(1)
    ctx.results.add(Row("W12 footprint", label, "dropped: back within 10 % of the baseline",
                        time.perf_counter() - t0, "s", target="<= 60 s",
                        met=back and time.perf_counter() - t0 <= 60))
