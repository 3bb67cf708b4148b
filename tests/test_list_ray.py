"""QuorList on a real Ray: holders in several processes share one list."""

import pytest

ray = pytest.importorskip("ray")

from quorlib.quorlist import ListChunkMeta, QuorList  # noqa: E402
from basehelp import fields  # noqa: E402
from listhelp import record_fields, record_of  # noqa: E402


@ray.remote
def append_each(lst, items):
    for item in items:
        with lst:
            lst.append(item)


@ray.remote
def length_of(lst):
    return len(lst)


@ray.remote
def pop_front_and_append(lst, tag, rounds):
    popped = []
    for i in range(rounds):
        with lst:
            popped.append(lst.pop(0))
            lst.append(f"{tag}-{i}")
    return popped


def stored(lst):
    """(stored counts, stored chunk contents), read from the actors."""
    usage = ray.get(record_fields(record_of(lst))["chunk_used"].get_nocache.remote())
    chunks = [ray.get(h.ref.get_nocache.remote()) for h in fields(lst)["chunk_ref_list"]]
    return usage, chunks


def test_len_in_another_process_sees_an_append_at_once(real_ray):
    lst = QuorList(1)
    lst.append("x")     # counted at once, although only this process holds the element
    assert ray.get(length_of.remote(lst)) == 1


def test_concurrent_appends_keep_every_element_once(real_ray):
    lst = QuorList(2, meta=ListChunkMeta(None, 8, None))
    batches = [[f"{t}-{i}" for i in range(5)] for t in range(3)]
    ray.get([append_each.remote(lst, batch) for batch in batches])
    with lst:
        assert sorted(lst) == sorted(sum(batches, []))
    usage, chunks = stored(lst)
    assert usage == [8, 7] and [len(c) for c in chunks] == usage


def test_concurrent_pops_and_appends_account_for_every_element(real_ray):
    original = [str(n) for n in range(10)]
    lst = QuorList(3, original, meta=ListChunkMeta(None, 4, None))
    results = ray.get([pop_front_and_append.remote(lst, t, 3) for t in range(3)])
    popped = sum(results, [])
    appended = [f"{t}-{i}" for t in range(3) for i in range(3)]
    with lst:
        remaining = list(lst)
    assert sorted(popped + remaining) == sorted(original + appended)
    assert len(set(popped + remaining)) == len(original) + len(appended)
    assert sorted(popped) == original[:9]     # pop(0) always takes the current front
    usage, chunks = stored(lst)
    assert [len(c) for c in chunks] == usage and sum(usage) == 10
