"""Faults: a chunk, lock or version-record actor that dies while containers use
it, a holder that dies holding the lock, and chunk write-backs that fail
(an unpicklable value, a refusing actor).

What must hold: the operations that need the lost actor raise a clear error,
both locks are released, the other chunks stay usable, no caller hangs, and no
other holder's data is damaged. The recording double gives the exact call
sequences; a few cases run end to end under a real Ray.
"""

import gc
import os
import pickle
import sys
import threading
import time

import pytest
import ray

from basehelp import fields
from quorlib import admin
from fakeray import FakeActorDied
from quorlib.quorbase import WriteBackError
from quorlib.quordict import QuorDict
from quorlib.quorlist import ListChunkMeta, QuorList
from quorlib.quorproxy import QuorProxy
from listhelp import record_fields, record_of


def lock_of(container):
    return fields(container)["_lock"]


def record_ref_of(container):
    return fields(container)["_quor_meta_ref"]


def chunk_refs(container):
    return [handle.ref for handle in fields(container)["chunk_ref_list"]]


def local_lock_free(container):
    return not fields(container)["_local_lock"].locked()


# -- the recording double ----------------------------------------------------------


@pytest.fixture
def finaliser_reports(monkeypatch):
    """What finalisers report; at the end, only failed write-backs of copies
    whose chunk cannot be written may be among them."""
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    yield reported
    gc.collect()
    assert all(isinstance(u.exc_value, WriteBackError) for u in reported), reported


@pytest.fixture
def three(fake, finaliser_reports):
    """A dictionary whose keys 0, 1 and 2 live in chunks 0, 1 and 2, and a
    second holder of it (as a task would get it)."""
    d = QuorDict({0: "a", 1: "b", 2: "c"}, 3)
    pair = [d, pickle.loads(pickle.dumps(d))]
    del d
    fake.take_log()
    yield pair
    pair.clear()   # freed while the double is in place, not when pytest drops the fixture


def names(fake, container):
    chunks = [fake.actor(ref).name for ref in chunk_refs(container)]
    return chunks, fake.actor(record_ref_of(container)).name, fake.actor(lock_of(container)).name


def stored(fake, container):
    return [fake.value(ref) for ref in chunk_refs(container)]


class TestDeadChunkActor:
    def test_only_the_operations_that_need_it_fail(self, fake, three):
        d, other = three
        (c0, c1, _), meta, lock = names(fake, d)
        fake.kill(chunk_refs(d)[1])
        with pytest.raises(FakeActorDied):
            with d:
                d[0] = "A"
                d[1]
        assert fake.take_log() == [
            "local.acquire", f"{lock}.lock", f"{meta}.get_nocache", f"{c0}.get", f"{c1}.get",
            f"{c0}.set", f"{meta}.set_nocache", f"{lock}.unlock", "local.release"]
        with d:
            for needs_chunk_1 in (lambda: d[1], lambda: 1 in d, lambda: d.__setitem__(1, "B"),
                                  lambda: d.__delitem__(1), lambda: len(d), d.keys, d.items):
                with pytest.raises(FakeActorDied):
                    needs_chunk_1()
            d[2] = "C"
            assert d[0] == "A" and 3 not in d    # 3 lives in chunk 0
        with other:
            assert (other[0], other[2]) == ("A", "C")
        assert stored(fake, d)[::2] == [{0: "A"}, {2: "C"}]
        assert not fake.actor(lock).held and local_lock_free(d) and local_lock_free(other)

    def test_a_resident_change_to_it_ends_the_block_with_a_write_back_error(self, fake, three):
        d, other = three
        (c0, c1, c2), meta, lock = names(fake, d)
        with d:
            d[0], d[1], d[2]
        fake.kill(chunk_refs(d)[1])
        fake.take_log()
        with pytest.raises(WriteBackError) as e:
            with d:
                d[0], d[1], d[2] = "A", "B", "C"   # chunk 1 is resident: no remote call
        assert e.value.chunks == [1] and isinstance(e.value.__cause__, FakeActorDied)
        assert fake.take_log() == [
            "local.acquire", f"{lock}.lock", f"{meta}.get_nocache", f"{c0}.set", f"{c1}.set",
            f"{c2}.set", f"{meta}.set_nocache", f"{lock}.unlock", "local.release"]
        assert fields(d)["chunk_list"][1] == {1: "B"}   # kept: the only copy of the change
        with other:
            assert (other[0], other[2]) == ("A", "C")
            with pytest.raises(FakeActorDied):
                other[1]
        assert not fake.actor(lock).held

    def test_list_operations_on_other_chunks_go_on(self, fake):
        lst = QuorList(3, list(range(7)), meta=ListChunkMeta(None, 3, None))
        usage_ref = record_fields(record_of(lst))["chunk_used"]
        fake.kill(chunk_refs(lst)[2])
        with lst:
            assert (lst[0], lst[5]) == (0, 5)
            lst[1] = "one"
            for needs_chunk_2 in (lambda: lst[6], lst.pop, lambda: lst.append(7),
                                  lambda: lst.insert(6, "x"), lambda: lst.index("absent"),
                                  lambda: list(lst)):
                with pytest.raises(FakeActorDied):
                    needs_chunk_2()
            assert fake.value(usage_ref) == [3, 3, 1]   # the failures counted nothing
            assert lst.index(5) == 5 and lst[1] == "one"
        assert fake.value(usage_ref) == [3, 3, 1]
        assert stored(fake, lst)[:2] == [[0, "one", 2], [3, 4, 5]]

    def test_a_dead_first_chunk_does_not_stop_pops_at_the_end(self, fake):
        lst = QuorList(3, list(range(7)), meta=ListChunkMeta(None, 3, None))
        fake.kill(chunk_refs(lst)[0])
        with lst:
            assert lst[6] == 6
            with pytest.raises(FakeActorDied):
                lst[0]
            assert lst.pop() == 6 and len(lst) == 6
        assert stored(fake, lst)[1:] == [[3, 4, 5], []]

    def test_a_pop_that_fails_changes_nothing(self, fake):
        lst = QuorList(3, list(range(8)), meta=ListChunkMeta(None, 3, None))
        usage_ref = record_fields(record_of(lst))["chunk_used"]
        fake.kill(chunk_refs(lst)[2])
        with pytest.raises(FakeActorDied):
            with lst:
                lst.pop(0)      # takes 0 out of chunk 0, then needs chunks 1 and 2
        assert stored(fake, lst)[:2] == [[0, 1, 2], [3, 4, 5]]
        assert fake.value(usage_ref) == [3, 3, 2]
        with lst:  # the local copies were not touched either
            assert lst[0] == 0 and lst[5] == 5


class TestDeadLockActor:
    def test_every_block_fails_at_once_and_leaves_the_local_lock_free(self, fake, three):
        d, _ = three
        _, _, lock = names(fake, d)
        fake.kill(lock_of(d))
        for _ in range(3):
            with pytest.raises(FakeActorDied):
                with d:
                    pytest.fail("the block must not run")
            assert fake.take_log() == ["local.acquire", f"{lock}.lock", "local.release"]

    def test_death_inside_a_block_still_writes_the_chunks_back(self, fake, three):
        d, _ = three
        (c0, _, _), meta, lock = names(fake, d)
        d.__lock__()
        d[0] = "A"
        fake.kill(lock_of(d))
        fake.take_log()
        with pytest.raises(FakeActorDied):
            d.__unlock__()
        assert fake.take_log() == [f"{c0}.set", f"{meta}.set_nocache", f"{lock}.unlock",
                                   "local.release"]
        assert stored(fake, d)[0] == {0: "A"} and local_lock_free(d)


class TestDeadRecordActor:
    def test_a_block_fails_after_releasing_the_shared_lock(self, fake, three):
        d, _ = three
        _, meta, lock = names(fake, d)
        fake.kill(record_ref_of(d))
        with pytest.raises(FakeActorDied):
            with d:
                pytest.fail("the block must not run")
        assert fake.take_log() == ["local.acquire", f"{lock}.lock", f"{meta}.get_nocache",
                                   f"{lock}.unlock", "local.release"]
        assert not fake.actor(lock).held and local_lock_free(d)

    def test_death_inside_a_block_still_writes_back_and_unlocks(self, fake, three):
        d, _ = three
        (c0, _, _), meta, lock = names(fake, d)
        with pytest.raises(FakeActorDied):
            with d:
                d[0] = "A"
                fake.kill(record_ref_of(d))
                fake.take_log()
        assert fake.take_log() == [f"{c0}.set", f"{meta}.set_nocache", f"{lock}.unlock",
                                   "local.release"]
        assert stored(fake, d)[0] == {0: "A"} and not fake.actor(lock).held


class TestFailedWriteBack:
    def test_an_unpicklable_value_fails_its_chunk_only(self, fake, three):
        d, other = three
        with other:
            other[0], other[1] = "mine", "also mine"
        with pytest.raises(WriteBackError) as e:
            with d:
                d[0] = threading.Lock()
                d[2] = "C"
        assert e.value.chunks == [0] and isinstance(e.value.__cause__, TypeError)
        assert stored(fake, d) == [{0: "mine"}, {1: "also mine"}, {2: "C"}]
        # The copy holding the value stays resident: each block retries it...
        with pytest.raises(WriteBackError):
            with d:
                pass
        # ...until the holder replaces the value.
        with d:
            d[0] = "fixed"
        with other:
            assert [other[k] for k in range(3)] == ["fixed", "also mine", "C"]

    def test_another_holder_in_between_keeps_its_data(self, fake, three):
        d, other = three
        with d:
            d[1] = "first"
        fake.actor(chunk_refs(d)[1]).fail("set", RuntimeError("refused"), times=1)
        with pytest.raises(WriteBackError):
            with d:
                d[1] = "lost"
        with other:   # the failed holder published a raised version: the stored value is read
            assert other[1] == "first"
            other[1] = "other's"
        with d:       # its unwritten copy is now stale and dropped, not written back
            assert d[1] == "other's"
        assert stored(fake, d)[1] == {1: "other's"}

    def test_a_holder_alone_writes_its_change_at_the_next_block(self, fake, three):
        d, _ = three
        fake.actor(chunk_refs(d)[1]).fail("set", RuntimeError("refused"), times=1)
        with pytest.raises(WriteBackError):
            with d:
                d[1] = "kept"
        assert stored(fake, d)[1] == {1: "b"}
        with d:
            pass
        assert stored(fake, d)[1] == {1: "kept"}

    def test_an_unpicklable_list_element_leaves_counts_and_contents_agreeing(
            self, fake, finaliser_reports):
        lst = QuorList(2, [1, 2], meta=ListChunkMeta(None, 4, None))
        other = pickle.loads(pickle.dumps(lst))
        with pytest.raises(WriteBackError) as e:
            with lst:
                lst.append(threading.Lock())
        assert e.value.chunks == [0]
        usage = fake.value(record_fields(record_of(lst))["chunk_used"])
        contents = stored(fake, lst)
        with other:
            try:
                seen = list(other)
            except IndexError as exc:
                seen = exc
        assert usage == [len(chunk) for chunk in contents] == [2, 0]
        assert seen == [1, 2]
        with lst:  # the holder that failed sees the same list again
            assert list(lst) == [1, 2]
            lst.append(3)
        assert stored(fake, lst)[0] == [1, 2, 3]


def append_twice(lst):
    lst.append(4)     # stays in chunk 1: no write of the last chunk in use
    lst.append(5)     # moves to chunk 2: counts written, then the last chunk in use


# Chunks [1, 2] [3] [] (capacity 2): what each operation publishes, which of
# the two count proxies refuses once, and the list that must remain.
@pytest.mark.parametrize("operation, refusing, remains", [
    (lambda l: l.append(4), "chunk_used", [1, 2, 3]),
    (append_twice, "chunk_used", [1, 2, 3]),
    (append_twice, "last_used_chunk", [1, 2, 3, 4]),
    (lambda l: l.insert(0, 9), "chunk_used", [1, 2, 3]),
    (lambda l: l.insert(2, 9), "chunk_used", [1, 2, 3]),
    (lambda l: l.pop(0), "chunk_used", [1, 2, 3]),
    (lambda l: l.pop(0), "last_used_chunk", [1, 2, 3]),   # empties chunk 1
    (lambda l: l.remove(2), "last_used_chunk", [1, 2, 3]),
    (lambda l: l.clear(), "chunk_used", [1, 2, 3]),
    (lambda l: l.clear(), "last_used_chunk", [1, 2, 3]),
    (lambda l: l.extend([7, 8, 9]), "chunk_used", [1, 2, 3]),
    (lambda l: l.extend([7, 8, 9]), "last_used_chunk", [1, 2, 3]),
])
@pytest.mark.parametrize("counts_read_first", [False, True])
def test_a_refused_count_write_leaves_the_operation_without_effect(
        fake, finaliser_reports, operation, refusing, remains, counts_read_first):
    lst = QuorList(3, [1, 2, 3], meta=ListChunkMeta(None, 2, None))
    other = pickle.loads(pickle.dumps(lst))
    record = record_fields(record_of(lst))
    fake.actor(record[refusing]).fail("set_nocache", RuntimeError("refused"), times=1)
    with pytest.raises(RuntimeError, match="^refused$"):
        with lst:
            if counts_read_first:   # the block works from its own copy of the counts
                assert list(lst) == [1, 2, 3]
            operation(lst)
            pytest.fail("the refusal was not raised")
    usage, contents = fake.value(record["chunk_used"]), stored(fake, lst)
    assert usage == [len(chunk) for chunk in contents]
    assert [x for chunk in contents for x in chunk] == remains
    assert fake.value(record["last_used_chunk"]) == max(i for i, n in enumerate(usage) if n)
    with other:   # another holder works with what is stored
        assert list(other) == remains
        other.pop(0)
        other.append("x")
    with lst:
        assert list(lst) == remains[1:] + ["x"]
    assert finaliser_reports == []


# -- a real Ray ---------------------------------------------------------------------


@ray.remote(num_cpus=0.5)
def probe(d, keys):
    """Reads each key in one block: its value, or "lost" when its actor is gone."""
    seen = {}
    with d:
        for key in keys:
            try:
                seen[key] = d[key]
            except ray.exceptions.RayActorError:
                seen[key] = "lost"
    return seen


@ray.remote(num_cpus=0.5)
def bump(d):
    with d:
        d["x"] += 1
        return d["x"]


@ray.remote(num_cpus=0.5)
def wait_for_lock(d):
    try:
        with d:
            return "granted"
    except ray.exceptions.RayActorError:
        return "lost"


@ray.remote(num_cpus=0.5, max_retries=0)   # a retry would wait for the lock it left held
def die_holding_the_locks(d, lst, inside):
    with d:
        d["x"] = 99
        with lst:
            lst.append("never written")
            ray.get(inside.set_nocache.remote(True))
            os._exit(1)


def wait_until(condition, what):
    deadline = time.monotonic() + 60
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.05)


def status(container):
    s = admin.lock_status(container)
    return s["held"], s["held_seconds"], s["waiters"]


def test_real_chunk_actor_killed_and_an_unpicklable_value(real_ray, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    d = QuorDict({0: "a", 1: "b", 2: "c"}, 3)
    with d:
        d[0], d[1], d[2]
    ray.kill(chunk_refs(d)[1])
    with pytest.raises(WriteBackError) as e:
        with d:
            d[0], d[1], d[2] = "A", "B", "C"
    assert e.value.chunks == [1]
    assert isinstance(e.value.__cause__, ray.exceptions.RayActorError)
    assert status(d) == (False, None, 0) and local_lock_free(d)
    assert ray.get(probe.remote(d, [0, 1, 2])) == {0: "A", 1: "lost", 2: "C"}

    with pytest.raises(WriteBackError) as e:
        with d:
            d[2] = threading.Lock()
            d[0] = "A2"
    assert e.value.chunks == [1, 2] and isinstance(e.value.__cause__, ray.exceptions.RayActorError)
    assert status(d) == (False, None, 0)
    assert ray.get(probe.remote(d, [0, 2])) == {0: "A2", 2: "C"}

    # The copies that could not be written are still changed: freeing the
    # holder tries once more and reports the failure instead of raising it.
    del d
    gc.collect()
    assert [type(u.exc_value) for u in reported] == [WriteBackError]
    assert reported[0].exc_value.chunks == [1, 2]


def test_real_lock_and_record_actors_killed(real_ray):
    d = QuorDict({0: "a"}, 1)
    d.__lock__()
    waiter = wait_for_lock.remote(d)
    wait_until(lambda: status(d)[2] == 1, "the waiter to queue")
    d[0] = "A"
    ray.kill(lock_of(d))
    assert ray.get(waiter) == "lost"   # a waiter is failed, not left waiting
    with pytest.raises(ray.exceptions.RayActorError):
        d.__unlock__()
    assert local_lock_free(d)
    assert ray.get(chunk_refs(d)[0].get_nocache.remote()) == {0: "A"}   # written before
    with pytest.raises(ray.exceptions.RayActorError):
        with d:
            pass

    e = QuorDict({0: "a"}, 1)
    with e:
        e[0] = "A"
    ray.kill(record_ref_of(e))
    with pytest.raises(ray.exceptions.RayActorError):
        with e:
            pass
    assert status(e) == (False, None, 0) and local_lock_free(e)


def test_real_holder_dying_inside_its_block_until_force_unlock(real_ray):
    d = QuorDict({"x": 0}, 1)
    lst = QuorList(2, [1, 2, 3], meta=ListChunkMeta(None, 2, None))
    inside = QuorProxy.remote(False, None)
    with pytest.raises(ray.exceptions.RayError):   # the worker's crash
        ray.get(die_holding_the_locks.remote(d, lst, inside))
    assert ray.get(inside.get_nocache.remote())

    # Nothing tells the lock actor that its holder is gone: the lock stays held
    # and a new holder queues behind it for good.
    waiter = bump.remote(d)
    wait_until(lambda: status(d)[2] == 1, "the waiter to queue")
    held, held_for, waiters = status(d)
    assert held and held_for > 0 and waiters == 1
    assert ray.wait([waiter], timeout=0)[0] == []

    assert admin.force_unlock(d) is True
    assert ray.get(waiter) == 1          # the dead holder's 99 was never written back
    assert status(d) == (False, None, 0)
    assert admin.force_unlock(d) is False

    assert status(lst)[0] and admin.force_unlock(lst)
    usage_ref = record_fields(record_of(lst))["chunk_used"]
    # The count of the append was published at once; its element died with the
    # holder.
    assert ray.get(usage_ref.get_nocache.remote()) == [2, 2]
    assert [ray.get(ref.get_nocache.remote()) for ref in chunk_refs(lst)] == [[1, 2], [3]]
    assert len(lst) == 4

    assert admin.repair_list_counts(lst) == ([2, 2], [2, 1])
    assert ray.get(usage_ref.get_nocache.remote()) == [2, 1]
    with lst:
        assert list(lst) == [1, 2, 3]
        assert lst.pop() == 3 and lst.pop() == 2
        lst.append("after")
    assert [ray.get(ref.get_nocache.remote()) for ref in chunk_refs(lst)] == [[1, "after"], []]
