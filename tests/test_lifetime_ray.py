"""How long a container and its processes live, under a real Ray.

A container lives while any process holds it, whoever made it, and costs one
process (its control actor) whatever its chunk count; dropped everywhere, it
leaves nothing behind. Processes are counted from /proc by their titles
(`ray::QuorControl`, ...), so a test counts only what it made, measured
against where it started; every wait has a timeout."""

import gc
import os
import signal
import time

import pytest
import ray

from quorlib import quorpool
from quorlib.quordict import QuorDict
from quorlib.quorlist import QuorList

WAIT_S = 60


def quorlib_processes():
    """pid -> title of every quorlib actor process on this machine."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                title = f.read().split(b"\0")[0].decode(errors="replace")
        except OSError:
            continue
        if title.startswith("ray::Quor"):
            found[int(entry)] = title
    return found


def resident_kib(pids):
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/status") as f:
                total += next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        except (OSError, StopIteration):
            pass
    return total


def controls():
    return sum(1 for title in quorlib_processes().values() if title.startswith("ray::QuorControl"))


def wait_until(condition, what, timeout=WAIT_S):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.2)


def held_slots():
    return sum(h["slots"] for h in quorpool.pool_status()["host_status"])


@pytest.fixture
def settled(real_ray):
    """The pool up and no container of an earlier test left: the baseline."""
    warm = QuorDict({"warm": 1}, 1)
    with warm:
        warm["warm"] = 2
    del warm
    gc.collect()
    wait_until(lambda: controls() == 0, "earlier containers to end")
    wait_until(lambda: held_slots() == 0, "earlier slots to be freed")
    return set(quorlib_processes())


@ray.remote(num_cpus=0.5)
def add_one(container, key):
    with container:
        if isinstance(container, QuorList):
            container.append(key)
        else:
            container[key] = container.get(key, 0) + 1
    return True


def test_dropped_containers_end_their_processes_and_free_their_slots(settled):
    made = [QuorDict({i: i}, 8) if i % 2 else QuorList(8, [i]) for i in range(8)]
    for container in made:
        with container:       # the driver registers with each control
            len(container)
    assert ray.get([add_one.remote(c, "task") for c in made], timeout=WAIT_S) == [True] * 8
    # One process per container, whatever its chunk count; the pool is shared.
    grown = set(quorlib_processes()) - settled
    assert len(grown) == 8 and controls() == 8
    assert held_slots() == 8 * 8
    del made, container
    gc.collect()
    wait_until(lambda: set(quorlib_processes()) == settled, "the control actors to end")
    wait_until(lambda: held_slots() == 0, "the hosts to free the slots")


@ray.remote(num_cpus=0.5, max_retries=0)
def build_in_a_task():
    d = QuorDict({"made": "in a task"}, 2)
    with d:
        d["count"] = 1
    return [d, os.getpid()]


@ray.remote(num_cpus=0)
class Builder:
    def build(self):
        lst = QuorList(2, ["made", "by an actor"])
        with lst:
            lst.append(1)
        return [lst]


def test_containers_outlive_the_processes_that_built_them(settled):
    d, pid = ray.get(build_in_a_task.remote(), timeout=WAIT_S)
    os.kill(pid, signal.SIGKILL)
    builder = Builder.remote()
    lst, = ray.get(builder.build.remote(), timeout=WAIT_S)
    ray.kill(builder)
    wait_until(lambda: not os.path.exists(f"/proc/{pid}"), "the task's worker to die")
    time.sleep(3)  # past Ray's detection of the deaths
    with d:
        assert dict(d.items()) == {"made": "in a task", "count": 1}
        d["count"] += 1
    with lst:
        assert list(lst) == ["made", "by an actor", 1]
        lst.append(2)
    assert ray.get([add_one.remote(d, "task"), add_one.remote(lst, "task")], timeout=WAIT_S)
    with d, lst:
        assert (d["count"], d["task"], list(lst)[-2:]) == (2, 1, [2, "task"])


def test_a_create_and_drop_loop_keeps_a_flat_footprint(settled):
    footprint = []
    for round_ in range(5):
        d = QuorDict({i: "x" * 100 for i in range(200)}, 8)
        with d:
            d[round_] = "changed"
        assert ray.get(add_one.remote(d, "task"), timeout=WAIT_S)
        del d
        gc.collect()
        wait_until(lambda: controls() == 0, "the round's control actor to end")
        footprint.append((len(quorlib_processes()), resident_kib(quorlib_processes())))
    counts, memory = zip(*footprint)
    assert set(counts) == {len(settled)}
    # Resident memory of the pool stays where the first rounds left it.
    assert max(memory[2:]) <= memory[1] * 1.1, footprint
    wait_until(lambda: held_slots() == 0, "the hosts to free the slots")
