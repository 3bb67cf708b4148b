"""Concurrency: several Ray tasks and an actor, each with its own copy of one
dictionary and one list, mixing counter increments, appends and pops inside
`with` blocks; and several threads of one process sharing one instance.

At the end nothing is lost or duplicated: every counter holds the exact
number of increments, every element ever appended is either still in the list
or was returned by exactly one pop, and the list's stored counts agree with
its stored contents.
"""

import asyncio
import collections
import pickle
import random
import sys
import threading

import pytest

ray = pytest.importorskip("ray")

from basehelp import fields  # noqa: E402
from quorlib.quorproxy import WriteConflictError  # noqa: E402
from quorlib.quorbase import WriteBackError  # noqa: E402
from quorlib.quordict import QuorDict  # noqa: E402
from quorlib.quorlist import ListChunkMeta, QuorList  # noqa: E402
from listhelp import record_of, record_state  # noqa: E402

COUNTERS = ["hits", b"raw", ("t", 1), 7]
CAPACITY = 6        # three chunks of six: appends cross chunk boundaries often
INITIAL = [f"initial-{i}" for i in range(8)]
ROUNDS = 12
THREAD_ROUNDS = 8
HANG = 300          # seconds after which a run that has not ended counts as hung


def run_rounds(d, lst, tag, rounds, seed, block=lambda container: container):
    """One holder's share of the work. Returns (appended, popped).

    Rounds alternate between separate blocks and one nested block (always the
    dictionary first, so that holders cannot deadlock); pops take the front,
    the back or the middle, so that elements move between chunks. `block`
    gives the context manager of a container's block.
    """
    rng = random.Random(seed)
    appended, popped = [], []

    def count():
        for key in COUNTERS:
            d[key] += 1
        d["log"] = d["log"] + [tag]
        d[tag] = d[tag] + 1 if tag in d else 1

    def churn(r):
        adds = [f"{tag}/{seed}-{r}-{n}" for n in range(2 if r % 2 else 1)]
        for item in adds:
            lst.append(item)
        appended.extend(adds)
        for _ in range(1 if r % 2 else 2):
            popped.append(lst.pop(rng.choice([0, -1, len(lst) // 2])))

    for r in range(rounds):
        if r % 3 == 0:
            with block(d), block(lst):
                count()
                churn(r)
        else:
            with block(d):
                count()
            len(lst)            # outside any block: one remote read, no lock
            with block(lst):
                churn(r)
    return appended, popped


@ray.remote(num_cpus=0)
class Barrier:
    def __init__(self, parties):
        self.waiting = parties
        self.everyone = asyncio.Event()

    async def arrive(self):
        self.waiting -= 1
        if self.waiting == 0:
            self.everyone.set()
        await self.everyone.wait()


@ray.remote(num_cpus=0.5)
def holder_task(d, lst, tag, barrier, seed):
    if barrier is not None:
        ray.get(barrier.arrive.remote())
    return run_rounds(d, lst, tag, ROUNDS, seed)


@ray.remote(num_cpus=0)   # with three tasks of half a CPU, all four run at once on two CPUs
class HolderActor:
    """Keeps its copies, and their resident chunks, from one call to the next."""

    def __init__(self, d, lst):
        self.d, self.lst = d, lst
        self.calls = 0

    def run(self, barrier, seed):
        if barrier is not None:
            ray.get(barrier.arrive.remote())
        self.calls += 1
        return run_rounds(self.d, self.lst, "actor", ROUNDS // 2, seed + self.calls)


def stored_state(lst):
    usage_ref, last_ref, _ = record_state(record_of(lst))
    chunks = [ray.get(h.ref.get_nocache.remote(), timeout=HANG) for h in fields(lst)["chunk_ref_list"]]
    return ray.get(usage_ref.get_nocache.remote()), ray.get(last_ref.get_nocache.remote()), chunks


def check_list_accounting(lst, appended, popped):
    """Every element appended is in the list or was popped, exactly once, and
    the stored record describes the stored chunks."""
    with lst:
        remaining = list(lst)
    assert len(set(appended)) == len(appended)
    assert collections.Counter(remaining + popped) == collections.Counter(appended)
    usage, last, chunks = stored_state(lst)
    assert usage == [len(chunk) for chunk in chunks]
    assert sum(chunks, []) == remaining
    # Packed: every chunk before the last used one is full, none after it is used.
    assert all(n == CAPACITY for n in usage[:last]) and not any(usage[last + 1:])
    return remaining


def test_tasks_and_an_actor_lose_and_duplicate_nothing(real_ray):
    d = QuorDict({key: 0 for key in COUNTERS} | {"log": []}, 2)
    lst = QuorList(3, list(INITIAL), meta=ListChunkMeta(None, CAPACITY, None))
    with d, lst:
        lst[0], d["hits"]        # the driver holds resident copies too, stale by the end
    actor = HolderActor.remote(d, lst)
    results = [ray.get(actor.run.remote(None, 100))]   # its copies go stale meanwhile
    barrier = Barrier.remote(4)
    tags = ["task0", "task1", "task2"]
    runs = [holder_task.remote(d, lst, tag, barrier, n) for n, tag in enumerate(tags)]
    runs.append(actor.run.remote(barrier, 200))
    results += ray.get(runs, timeout=HANG)
    results.append(ray.get(actor.run.remote(None, 300)))   # stale copies again
    per_holder = {"task0": ROUNDS, "task1": ROUNDS, "task2": ROUNDS, "actor": 3 * (ROUNDS // 2)}

    appended, popped = list(INITIAL), []
    for adds, pops in results:
        appended += adds
        popped += pops

    with d:
        blocks = sum(per_holder.values())
        assert {key: d[key] for key in COUNTERS} == {key: blocks for key in COUNTERS}
        assert collections.Counter(d["log"]) == per_holder
        assert {tag: d[tag] for tag in per_holder} == per_holder
    check_list_accounting(lst, appended, popped)


def test_threads_sharing_one_instance_are_serialised(real_ray):
    d = QuorDict({key: 0 for key in COUNTERS} | {"log": []}, 2)
    lst = QuorList(3, list(INITIAL), meta=ListChunkMeta(None, CAPACITY, None))
    inside = collections.Counter()
    overlaps = []
    guard = threading.Lock()

    class Watched:
        """The container's block, checking that no other thread of this
        process is inside a block of the same instance meanwhile."""

        def __init__(self, container):
            self.container = container

        def __enter__(self):
            self.container.__enter__()
            with guard:
                inside[id(self.container)] += 1
                if inside[id(self.container)] != 1:
                    overlaps.append(type(self.container).__name__)
            return self.container

        def __exit__(self, *exc):
            with guard:
                inside[id(self.container)] -= 1
            return self.container.__exit__(*exc)

    results, errors = {}, []

    def thread_body(n):
        try:
            results[n] = run_rounds(d, lst, f"thread{n}", THREAD_ROUNDS, n, block=Watched)
        except BaseException as exc:   # reported by the main thread
            errors.append(exc)

    # A holder in another process at the same time: the shared lock is contended
    # while the local lock queues this process's threads.
    other = holder_task.remote(d, lst, "task", None, 99)
    threads = [threading.Thread(target=thread_body, args=(n,), daemon=True) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(HANG)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    task_adds, task_pops = ray.get(other, timeout=HANG)
    assert errors == [] and overlaps == []
    assert not fields(d)["_local_lock"].locked() and not fields(lst)["_local_lock"].locked()

    per_holder = {f"thread{n}": THREAD_ROUNDS for n in range(4)} | {"task": ROUNDS}
    with d:
        blocks = sum(per_holder.values())
        assert {key: d[key] for key in COUNTERS} == {key: blocks for key in COUNTERS}
        assert collections.Counter(d["log"]) == per_holder
    appended = list(INITIAL) + task_adds + sum((results[n][0] for n in range(4)), [])
    popped = task_pops + sum((results[n][1] for n in range(4)), [])
    check_list_accounting(lst, appended, popped)


# -- the recording double: many more blocks, and misuse ---------------------------------


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def test_many_threads_many_blocks_exact_with_the_double(fake, fast_switching):
    d = QuorDict({key: 0 for key in COUNTERS} | {"log": []}, 3)
    lst = QuorList(3, list(INITIAL), meta=ListChunkMeta(None, CAPACITY, None))
    results, errors = {}, []

    def thread_body(n):
        try:
            results[n] = run_rounds(d, lst, f"thread{n}", 60, n)
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=thread_body, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    with d:
        assert {key: d[key] for key in COUNTERS} == {key: 8 * 60 for key in COUNTERS}
        assert collections.Counter(d["log"]) == {f"thread{n}": 60 for n in range(8)}
    with lst:
        remaining = list(lst)
    appended = list(INITIAL) + sum((results[n][0] for n in range(8)), [])
    popped = sum((results[n][1] for n in range(8)), [])
    assert collections.Counter(remaining + popped) == collections.Counter(appended)
    d = lst = None   # freed while the double is in place


# What unsynchronised use may meet: copies and counts changed under an operation.
# A flush outside a block that finds the chunk committed since is refused, and
# so are counts published outside a block that changed since they were read.
MISUSE_ERRORS = (AssertionError, IndexError, KeyError, ValueError, OverflowError, WriteBackError,
                 WriteConflictError)


def test_threads_misusing_one_instance_get_errors_not_a_crash(fake, fast_switching):
    # Operations outside a block are not serialised: the results are
    # meaningless, but each one either works or raises a Python exception.
    d = QuorDict({i: i for i in range(12)}, 3)
    lst = QuorList(3, list(range(10)), meta=ListChunkMeta(None, 8, None))
    fake.calls = collections.deque(maxlen=0)   # keep no record of a million calls
    unexpected = []

    def in_blocks(n):
        rng = random.Random(n)
        for _ in range(400):
            try:
                with d:
                    d[rng.randrange(20)] = n
                    len(d)
                with lst:
                    lst.append(n)
                    lst.insert(rng.randrange(len(lst)), n)
                    lst.pop(0)
                    lst.pop()
            except MISUSE_ERRORS:
                pass
            except BaseException as exc:
                unexpected.append(exc)

    def outside_blocks(n):
        rng = random.Random(100 + n)
        operations = [
            lambda: d[rng.randrange(20)], lambda: d.__setitem__(rng.randrange(20), "x"),
            lambda: d.__delitem__(rng.randrange(20)), lambda: len(d), d.items, d.keys,
            lambda: repr(d), d.flush, d.clear, lambda: list(lst),
            lambda: lst[rng.randrange(-5, 5)], lambda: lst.append("x"), lst.pop,
            lambda: lst.pop(0), lambda: lst.insert(1, "x"), lambda: "x" in lst,
            lambda: lst.remove("x"), lambda: repr(lst), lst.flush, lst.clear,
            lambda: lst.extend(range(3)), lambda: pickle.loads(pickle.dumps(d)),
        ]
        for _ in range(5000):
            try:
                rng.choice(operations)()
            except MISUSE_ERRORS:
                pass
            except BaseException as exc:
                unexpected.append(exc)

    threads = ([threading.Thread(target=in_blocks, args=(n,)) for n in range(3)]
               + [threading.Thread(target=outside_blocks, args=(n,)) for n in range(3)])
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert unexpected == []
    assert not fields(d)["_local_lock"].locked() and not fields(lst)["_local_lock"].locked()
    with d:
        d.clear()
    with lst:
        lst.clear()
        lst.extend([1, 2])
        assert list(lst) == [1, 2]
    d = lst = None   # freed while the double is in place
