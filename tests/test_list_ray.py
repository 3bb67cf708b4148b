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


@ray.remote
def read_in_blocks(lst, rounds):
    """Per block: whether the length and the elements agree and are a prefix of 0, 1, 2, ..."""
    agreed = []
    for _ in range(rounds):
        with lst:
            n = len(lst)
            items = list(lst)
            agreed.append(len(items) == n and items == list(range(n)) and lst[n - 1] == n - 1 if n else True)
    return agreed


WAIT = 120  # seconds; a regression fails here instead of hanging


def stored(lst):
    """(stored counts, stored chunk contents), read from the actors."""
    usage = ray.get(record_fields(record_of(lst))["chunk_used"].get_nocache.remote(), timeout=WAIT)
    chunks = [ray.get(h.ref.get_nocache.remote(), timeout=WAIT) for h in fields(lst)["chunk_ref_list"]]
    return usage, chunks


def test_another_process_counts_only_committed_appends(real_ray):
    lst = QuorList(1)
    lst.append("x")     # outside a block: published at once
    assert ray.get(length_of.remote(lst), timeout=WAIT) == 1
    with lst:
        lst.append("y")
        lst.append("z")
        assert len(lst) == 3                                       # the block's own count
        assert ray.get(length_of.remote(lst), timeout=WAIT) == 1   # what was committed
    assert ray.get(length_of.remote(lst), timeout=WAIT) == 3


def test_concurrent_appends_keep_every_element_once(real_ray):
    lst = QuorList(2, meta=ListChunkMeta(None, 12, None))
    batches = [[f"{t}-{i}" for i in range(5)] for t in range(4)]
    ray.get([append_each.remote(lst, batch) for batch in batches], timeout=WAIT)
    with lst:
        assert sorted(lst) == sorted(sum(batches, []))
    usage, chunks = stored(lst)
    assert usage == [12, 8] and [len(c) for c in chunks] == usage


def test_concurrent_pops_and_appends_account_for_every_element(real_ray):
    original = [str(n) for n in range(10)]
    lst = QuorList(3, original, meta=ListChunkMeta(None, 4, None))
    results = ray.get([pop_front_and_append.remote(lst, t, 3) for t in range(3)], timeout=WAIT)
    popped = sum(results, [])
    appended = [f"{t}-{i}" for t in range(3) for i in range(3)]
    with lst:
        remaining = list(lst)
    assert sorted(popped + remaining) == sorted(original + appended)
    assert len(set(popped + remaining)) == len(original) + len(appended)
    assert sorted(popped) == original[:9]     # pop(0) always takes the current front
    usage, chunks = stored(lst)
    assert [len(c) for c in chunks] == usage and sum(usage) == 10


def test_a_reader_and_a_writer_in_blocks_end_with_exact_values(real_ray):
    lst = QuorList(3, meta=ListChunkMeta(None, 4, None))
    writer = append_each.remote(lst, list(range(12)))
    reader = read_in_blocks.remote(lst, 8)
    assert all(ray.get(reader, timeout=WAIT))
    ray.get(writer, timeout=WAIT)
    with lst:
        assert len(lst) == 12 and list(lst) == list(range(12)) and 11 in lst
    usage, chunks = stored(lst)
    assert usage == [4, 4, 4] and chunks == [[0, 1, 2, 3], [4, 5, 6, 7], [8, 9, 10, 11]]
