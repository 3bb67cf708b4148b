"""Operators' tools: lock status, forced release, and list count repair."""

import pytest

from quorlib import admin
from quorlib.quordict import QuorDict
from quorlib.quorlist import ListChunkMeta, QuorList
from test_list_support import record_of, record_state


def test_status_and_forced_release_of_a_held_lock(fake):
    d = QuorDict({1: "a"}, 2)
    assert admin.lock_status(d) == (False, None, 0)
    d.__lock__()
    assert admin.lock_status(d) == (True, 0.0, 0)
    assert admin.force_unlock(d) is True
    assert admin.force_unlock(d) is False
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
