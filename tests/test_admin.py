"""Operators' tools: lock status, forced release, and list count repair."""

import os
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from quorlib import admin, quorlock
from quorlib.quorlock import StaleTicketError
from quorlib.quordict import QuorDict
from quorlib.quorlist import ListChunkMeta, QuorList
from listhelp import record_of, record_state


FREE = {"held": False, "ticket": None, "holder": None, "since": None, "held_seconds": None,
        "waiters": 0, "holders": []}


def test_status_names_the_holder_and_forcing_one_spares_its_successor(fake):
    d = QuorDict({1: "a"}, 2)
    lock = d.__reduce__()[1][4]
    assert admin.lock_status(d) == {**FREE, "epoch": 0}
    first = quorlock.acquire(lock)
    with ThreadPoolExecutor(1) as pool:
        second = pool.submit(quorlock.acquire, lock)
        status = admin.lock_status(d)
        while status["waiters"] == 0 and not second.done():
            status = admin.lock_status(d)
        assert status["ticket"] == first.ticket and status["epoch"] == 1
        assert status["holder"] == {"worker_id": "worker-driver", "actor_id": None,
                                    "node_id": "node-0", "pid": os.getpid(), "task_id": None}
        assert status["held_seconds"] >= 0 and abs(status["since"] - time.time()) < 60
        assert admin.force_unlock(d, holder=first.ticket) is True
        second = second.result(timeout=10)
    assert (second.epoch, second.abnormal) == (2, True)
    # The first holder's ticket is gone: forcing it again or releasing it late
    # leaves the successor holding the lock.
    assert admin.force_unlock(d, holder=first.ticket) is False
    with pytest.raises(StaleTicketError):
        quorlock.release(lock, first)
    assert admin.lock_status(d)["ticket"] == second.ticket
    quorlock.release(lock, second)
    assert admin.lock_status(d) == {**FREE, "epoch": 2}
    # The process registered once, whatever it acquires later.
    assert fake.registrations(fake.actor(lock).name) == 1

    # A container's holder is ended by a forced release too, and named in the status.
    d.__lock__()
    assert admin.lock_status(d)["held"] and admin.lock_status(d)["holder"]["pid"] == os.getpid()
    assert admin.force_unlock(d) is True
    assert admin.force_unlock(d) is False
    repairing = quorlock.acquire(lock, record_ref=d.__reduce__()[1][2])
    assert (repairing.abnormal, repairing.repair) == (True, (0, 1))
    with pytest.raises(TypeError):
        admin.lock_status({"not": "a container"})


def test_repair_rewrites_counts_from_the_stored_chunks(fake):
    lst = QuorList(3, [1, 2, 3, 4, 5], meta=ListChunkMeta(None, 2, None))
    used, last, _ = record_state(record_of(lst))
    # A holder appended 6 (count published) and died before writing chunk 2.
    fake.actor(used).value = [2, 2, 2]
    assert admin.repair_list_counts(lst) == ([2, 2, 2], [2, 2, 1])
    assert fake.value(used) == [2, 2, 1] and fake.value(last) == 2
    with lst:
        assert list(lst) == [1, 2, 3, 4, 5]


def test_repair_refuses_chunks_that_are_not_packed(fake):
    lst = QuorList(3, [1, 2, 3, 4, 5], meta=ListChunkMeta(None, 2, None))
    fake.actor(lst.__reduce__()[1][0][1].ref).value = []
    with pytest.raises(ValueError, match="not packed"):
        admin.repair_list_counts(lst)
    with pytest.raises(TypeError):
        admin.repair_list_counts(QuorDict())
