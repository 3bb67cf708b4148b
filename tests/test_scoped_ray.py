"""Blocks side by side under a real Ray: key-scoped blocks keep exact totals
on one shared key and on keys of their own, readers never see half of a
block, a key-scoped holder that dies is rolled back on its own chunks while
the other blocks go on, and what lies outside a block is refused. Every wait
has a timeout."""

import os
import time

import pytest

ray = pytest.importorskip("ray")

from quorlib import admin  # noqa: E402
from quorlib.quordict import QuorDict  # noqa: E402
from quorlib.quorproxy import QuorProxy  # noqa: E402

WAIT_S = 60


def keys_in_own_chunks(d, count):
    keys, taken, i = [], set(), 0
    while len(keys) < count:
        key = f"k{i}"
        (chunk,) = d.locking(key).scope.chunks
        if chunk not in taken:
            keys.append(key)
            taken.add(chunk)
        i += 1
    return keys


@ray.remote(num_cpus=0.25)
def increment(d, key, blocks):
    for _ in range(blocks):
        with d.locking(key):
            d[key] += 1


@pytest.mark.parametrize("shared", [True, False], ids=["one shared key", "keys of their own"])
def test_key_scoped_blocks_keep_exact_totals(real_ray, shared):
    d = QuorDict({}, 8)
    keys = ["k0"] * 4 if shared else keys_in_own_chunks(d, 4)
    with d:
        d.update({k: 0 for k in keys})
    ray.get([increment.remote(d, k, 25) for k in keys], timeout=WAIT_S)
    with d:
        assert dict(d.items()) == {k: 100 if shared else 25 for k in set(keys)}


@ray.remote(num_cpus=0.25)
def move(d, a, b, moves):
    for i in range(moves):
        with d.locking(a, b):
            amount = 1 + i % 7
            d[a] -= amount
            d[b] += amount


@ray.remote(num_cpus=0.25)
def check_invariant(d, a, b, keys_given, blocks):
    broken = 0
    for _ in range(blocks):
        with (d.reading(a, b) if keys_given else d.reading()):
            broken += d[a] + d[b] != 100
    return broken


def test_readers_never_see_half_of_a_block(real_ray):
    d = QuorDict({}, 8)
    a, b = keys_in_own_chunks(d, 2)
    with d:
        d[a], d[b] = 60, 40
    readers = [check_invariant.remote(d, a, b, keys_given, 40) for keys_given in (True, False)]
    ray.get([move.remote(d, a, b, 40), *readers], timeout=WAIT_S)
    assert ray.get(readers, timeout=WAIT_S) == [0, 0]
    with d:
        assert d[a] + d[b] == 100 and d[a] != 60


def raise_flag(flag):
    ray.get(flag.set_nocache.remote(True), timeout=30)


def wait_for_flag(flag, what):
    deadline = time.monotonic() + WAIT_S
    while not ray.get(flag.get_nocache.remote(), timeout=30):
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.05)


@ray.remote(num_cpus=0.25, max_retries=0)
def die_inside(d, key, inside, die):
    with d.locking(key):
        d[key] = "uncommitted"
        d.flush()                       # in its slot, not committed
        raise_flag(inside)
        wait_for_flag(die, "the order to die")
        os._exit(1)


@ray.remote(num_cpus=0.25)
def one_block(d, key):
    with d.locking(key):
        d[key] += 1


def test_a_dead_key_scoped_holder_is_rolled_back_and_the_others_go_on(real_ray):
    d = QuorDict({}, 8)
    doomed, other = keys_in_own_chunks(d, 2)
    with d:
        d[doomed], d[other] = "committed", 0
    inside, die = QuorProxy.remote(False, None), QuorProxy.remote(False, None)
    dying = die_inside.remote(d, doomed, inside, die)
    wait_for_flag(inside, "the holder to get inside its block")
    # A block on another chunk runs while that holder is inside its own.
    ray.get(one_block.remote(d, other), timeout=WAIT_S)
    assert len(admin.lock_status(d)["holders"]) == 1
    raise_flag(die)
    with pytest.raises(ray.exceptions.RayError):
        ray.get(dying, timeout=WAIT_S)
    with d.locking(doomed, other):
        assert (d[doomed], d[other]) == ("committed", 1)
        d[doomed] = "after"
    with d:
        assert dict(d.items()) == {doomed: "after", other: 1}
    assert admin.lock_status(d)["holders"] == []


@ray.remote(num_cpus=0.25)
def refusals(d, inside, outside):
    said = []
    with d.locking(inside):
        for op in (lambda: d[outside], lambda: len(d)):
            try:
                op()
            except RuntimeError as error:
                said.append(str(error))
    with d.reading():
        try:
            d[inside] = 1
        except RuntimeError as error:
            said.append(str(error))
    return said


def test_what_lies_outside_a_block_is_refused_in_another_process(real_ray):
    d = QuorDict({}, 8)
    inside, outside = keys_in_own_chunks(d, 2)
    with d:
        d[inside], d[outside] = 0, 0
    assert ray.get(refusals.remote(d, inside, outside), timeout=WAIT_S) == [
        f"key {outside!r}: its chunk is not locked by this block",
        "len() needs every chunk of this QuorDict, and this block takes only the chunks of its keys",
        "setting a key would change this QuorDict, and a reading() block only reads",
    ]
    with d:
        assert dict(d.items()) == {inside: 0, outside: 0}
