"""QuorDict on a real local Ray: copies pickled into concurrent tasks, whose
workers hash strings with seeds of their own."""

import asyncio
import gc
import pickle
from datetime import date, datetime, time

import ray

from quorlib.demo import RemoteCallCounter
from quorlib.quordict import QuorDict
from quorlib.quorlist import ListChunkMeta, QuorList
from test_dict_placement import CET, NYC, UTC, Account, Suit

COUNTERS = ["hits", b"bytes", None, ("tuple", "key"), 3]
TASKS = 3
ROUNDS = 5


@ray.remote(num_cpus=0)
class Barrier:
    """Lets every party through once all have arrived."""

    def __init__(self, parties):
        self.waiting = parties
        self.everyone = asyncio.Event()

    async def arrive(self):
        self.waiting -= 1
        if self.waiting == 0:
            self.everyone.set()
        await self.everyone.wait()


@ray.remote(num_cpus=0)
def bump_counters(holder, barrier):
    d = holder.pop()  # the only reference, so that dropping it frees the copy here
    for _ in range(ROUNDS):
        with d:
            for key in COUNTERS:
                d[key] += 1
    # Keep the copy, unchanged, until every task has finished its blocks:
    # dropping it then must not put its stale counts back.
    ray.get(barrier.arrive.remote())
    del d
    gc.collect()


@ray.remote(num_cpus=0)
def exchange_keys(d, keys):
    with d:
        seen = [d[k] for k in keys]
        d["written by a task"] = "task value"
        d[("task", b"bytes")] = None
        d[Account("task", frozenset({Suit.SPADES}))] = "dataclass"
        listed = list(d)
    return seen, listed


def test_concurrent_tasks_end_with_exact_totals(real_ray):
    d = QuorDict({k: 0 for k in COUNTERS}, 3)
    with d:
        len(d)  # a resident copy in the driver too, stale once the tasks ran
    barrier = Barrier.remote(TASKS)
    ray.get([bump_counters.remote([d], barrier) for _ in range(TASKS)])
    reader = pickle.loads(pickle.dumps(d))
    del d
    gc.collect()
    with reader:
        assert {k: reader[k] for k in COUNTERS} == {k: TASKS * ROUNDS for k in COUNTERS}


def test_keys_cross_between_driver_and_tasks(real_ray):
    initial = {"alpha": 1, "beta": 2, "\u20acuro": 3, b"raw": 4, None: 5, ("t", "u"): 6, Suit.HEARTS: 7,
               frozenset({"a", "b", "c"}): 8, Account("eu", "ann"): 9, date(2026, 12, 7): 10,
               datetime(2026, 12, 7, 13, tzinfo=CET): 11, time(9, tzinfo=CET): 12}
    # Equal keys of other forms, looked up by the task.
    others = [(frozenset({"c", "b", "a"}), 8), (datetime(2026, 12, 7, 12, tzinfo=UTC), 11),
              (datetime(2026, 12, 7, 7, tzinfo=NYC), 11), (time(8, tzinfo=UTC), 12)]
    d = QuorDict(initial, 4)
    seen, listed = ray.get(exchange_keys.remote(d, list(initial) + [k for k, _ in others]), timeout=120)
    assert seen == list(initial.values()) + [v for _, v in others]
    with d:
        assert d["written by a task"] == "task value"
        assert d[("task", b"bytes")] is None
        assert d[Account("task", frozenset({Suit.SPADES}))] == "dataclass"
        assert list(d) == listed
        assert len(d) == len(initial) + 3


@ray.remote(num_cpus=0)
def update_pop_and_sort(d, lst):
    with d:
        seen = d.copy()
        popped = d.pop("driver")
        d.update({"task": 1}, other=2)
    with lst:
        before = list(lst)
        lst.sort()
        lst += ["t"]
    return seen, popped, before


def test_update_pop_and_sort_cross_between_driver_and_task(real_ray):
    d = QuorDict({"driver": 0}, 2)
    lst = QuorList(2, [3, 1, 2], meta=ListChunkMeta(None, 2, None))
    with d:
        d.update({"driver": 5, "x": 1})
        assert d.pop("x") == 1
    with lst:
        lst.sort(reverse=True)
    seen, popped, before = ray.get(update_pop_and_sort.remote(d, lst), timeout=120)
    assert seen == {"driver": 5} and popped == 5 and before == [3, 2, 1]
    with d:
        assert d == {"task": 1, "other": 2}
    with lst:
        assert lst == [1, 2, 3, "t"] and len(lst) == 4


WRITES = 20


@ray.remote(num_cpus=0)
def write_pairs(d):
    for i in range(WRITES):
        with d:
            d[0] += 1
            d[1] += 1
            d[3].append(i)  # changed in place: the container never sees it


@ray.remote(num_cpus=0)
def read_pairs(d):
    import time as clock
    seen = []
    for _ in range(3000):
        with d:  # one instance: its copies stay resident from block to block
            seen.append((d[0], d[1], len(d[3]), d[2]))
        if seen[-1][0] == WRITES:
            break
        clock.sleep(0.005)
    return seen


def test_a_reader_keeps_unchanged_copies_and_sees_every_commit_whole(real_ray):
    d = QuorDict({0: 0, 1: 0, 2: "untouched", 3: []}, 4)  # key k lives in chunk k
    reading = read_pairs.remote(d)
    ray.get(write_pairs.remote(d), timeout=180)
    seen = ray.get(reading, timeout=180)
    assert seen[-1] == (WRITES, WRITES, WRITES, "untouched")
    assert all(a == b == n and rest == "untouched" for a, b, n, rest in seen)
    assert [a for a, _, _, _ in seen] == sorted(a for a, _, _, _ in seen)
    with d:
        assert d == {0: WRITES, 1: WRITES, 2: "untouched", 3: list(range(WRITES))}


def test_a_holder_pays_for_what_others_changed_not_for_what_it_holds(real_ray):
    d = QuorDict({k: 0 for k in range(8)}, 4)
    other = pickle.loads(pickle.dumps(d))  # a second holder of the same actors
    with other:
        assert len(other) == 8             # every chunk resident
    with d:
        d[1] = 10                           # one chunk committed
    counter = RemoteCallCounter().install()
    try:
        with other:                         # the commit comes pickled with the grant
            assert other[1] == 10 and sum(other.values()) == 10
        read_only = counter.calls
        with other:
            other[2] = 5
        one_chunk = counter.calls - read_only
    finally:
        counter.uninstall()
    # Acquire and release, each time: the small chunk the second block changed
    # travels with its release, which commits it.
    assert (read_only, one_chunk) == (2, 2)
    with d:
        assert d == {0: 0, 1: 10, 2: 5, 3: 0, 4: 0, 5: 0, 6: 0, 7: 0}
