"""The services and the core under a real local Ray: values and locks shared
across processes, handles surviving the trip into tasks."""

import time

import pytest

import ray
from basehelp import Plain, set_fields
from quorlib.quorbase import QuorChunk, QuorMeta
from quorlib import quorlock
from quorlib.quorlock import QuorLock
from quorlib.quorproxy import QuorCacheLocalMSI, QuorProxy

pytestmark = pytest.mark.usefixtures("real_ray")


@ray.remote
def write_then_read(proxy, value):
    ray.get(proxy.set_nocache.remote(value))
    return ray.get(proxy.get_nocache.remote())


@ray.remote
def hold_lock(lock, log, name):
    grant = quorlock.acquire(lock, timeout=60)
    try:
        entries = ray.get(log.get_nocache.remote())
        ray.get(log.set_nocache.remote(entries + [f"enter {name}"]))
        time.sleep(0.05)
        entries = ray.get(log.get_nocache.remote())
        ray.get(log.set_nocache.remote(entries + [f"exit {name}"]))
    finally:
        quorlock.release(lock, grant)


@ray.remote
def read_chunk(chunk):
    return type(chunk).__name__, ray.get(chunk.ref.get.remote("task"))


@ray.remote
def adopt_and_write(chunks, meta_ref, lock):
    obj = Plain(len(chunks), None, lock, 0, chunks, meta_ref, 0)
    with obj:
        set_fields(obj, chunk_list=[{"from": "task"}] + [None] * (len(chunks) - 1))
    return True


def test_proxy_value_written_in_a_task_is_read_by_the_driver():
    proxy = QuorProxy.remote({"start": 0}, None)
    assert ray.get(write_then_read.remote(proxy, {"task": 1})) == {"task": 1}
    assert ray.get(proxy.get_nocache.remote()) == {"task": 1}


def test_lock_serialises_holders_in_several_processes():
    lock = QuorLock.remote()
    log = QuorProxy.remote([], None)
    ray.get([hold_lock.remote(lock, log, n) for n in range(4)])
    entries = ray.get(log.get_nocache.remote())
    assert len(entries) == 8
    for first, second in zip(entries[::2], entries[1::2]):
        assert first.startswith("enter") and second == "exit" + first[len("enter"):]


def test_chunk_handles_and_adopting_base_work_inside_a_task():
    proxy = QuorProxy.remote({"k": "v"}, None)
    chunk = QuorChunk(proxy, QuorCacheLocalMSI())
    assert ray.get(read_chunk.remote(chunk)) == ("QuorChunk", {"k": "v"})
    del chunk  # the task's copy must keep nothing alive that the driver needs

    chunks = [QuorChunk(QuorProxy.remote({}, None), QuorCacheLocalMSI())]
    meta_ref = QuorProxy.remote(QuorMeta(1), None)
    lock = QuorLock.remote()
    assert ray.get(adopt_and_write.remote(chunks, meta_ref, lock))
    assert ray.get(chunks[0].ref.get_nocache.remote()) == {"from": "task"}
    assert ray.get(lock.status.remote(), timeout=60)["held"] is False
