"""QuorList with the recording double: construction, usage counts, element
access, appending, the pickled and printed forms."""

import gc
import pickle
import sys
import threading
import weakref

import pytest

from quorlib.quorlist import ListChunkMeta, QuorList
from quorlib.quorproxy import QuorCacheDirMSI, QuorCacheLocalMSI
from basehelp import fields
from listhelp import (adopted, chunk_names, counts, last_used, record_fields, record_of,
                      recorded_length, resident, stored_chunks)

OUT_OF_RANGE = "list index out of range"


class Sub(QuorList):
    pass


# -- construction --------------------------------------------------------------

def test_new_list_is_cut_by_capacity(fake):
    lst = QuorList(num_chunks=4, value=list(range(2500)))
    assert [len(c) for c in stored_chunks(fake, lst)] == [1024, 1024, 452, 0]
    assert stored_chunks(fake, lst)[2][0] == 2048
    assert counts(fake, lst) == [1024, 1024, 452, 0]
    assert last_used(fake, lst) == 2
    assert len(lst) == 2500
    creates = [c for c in fake.calls if c[0].startswith("proxy") and c[1] == "create"]
    # A chunk's slot is made with (slot, contents, cache class, owner), a cell with (cell, value).
    assert [c[0] for c in creates if len(c[2]) == 4 and c[2][2] is QuorCacheDirMSI] == \
        chunk_names(lst)
    assert all(type(h.cache) is QuorCacheLocalMSI for h in fields(lst)["chunk_ref_list"])
    # The usage cells are made last.
    assert [c[2][1] for c in creates[-2:]] == [[1024, 1024, 452, 0], 2]
    empty = QuorList()
    assert counts(fake, empty) == [0] * 32 and last_used(fake, empty) == 0 and len(empty) == 0


def test_elements_beyond_capacity_count_until_refreshed(fake):
    lst = QuorList(2, list(range(3000)))
    assert len(lst) == 2048
    assert recorded_length(lst) == 3000
    lst._fetch_chunk_usage_and_length(0)
    assert recorded_length(lst) == 2048


def test_each_list_gets_its_own_record(fake):
    first, second = QuorList(2), QuorList(2, None, None, 0, None, None, -1, None)
    assert record_fields(record_of(first))["chunk_used"] is not record_fields(record_of(second))["chunk_used"]
    first.append("x")
    assert counts(fake, first) == [1, 0] and counts(fake, second) == [0, 0]
    # A record given for a new list keeps its capacity and gets new handles.
    third = QuorList(2, [1, 2, 3], meta=ListChunkMeta(None, 2, None))
    assert counts(fake, third) == [2, 1] and last_used(fake, third) == 1


class TaggedRecord(ListChunkMeta):
    pass


def test_a_record_given_to_a_second_new_list_stays_with_the_first(fake):
    shared = TaggedRecord(max_element_per_chunk=2)
    shared.tag = "mine"
    first = QuorList(2, [1, 2, 3], meta=shared)
    second = QuorList(2, meta=shared)
    assert record_of(first) is shared and record_of(second) is not shared
    own = record_of(second)
    assert type(own) is TaggedRecord and own.tag == "mine"
    assert record_fields(own)["max_element_per_chunk"] == 2
    assert counts(fake, first) == [2, 1] and counts(fake, second) == [0, 0]
    first.append(4)
    second.append("x")
    assert len(first) == 4 and len(second) == 1
    assert counts(fake, first) == [2, 2] and counts(fake, second) == [1, 0]
    with first, second:
        assert list(first) == [1, 2, 3, 4] and list(second) == ["x"]
    # Adopting through a bound record is how a pickled copy is built: shared on purpose.
    copy = pickle.loads(pickle.dumps(first))
    assert record_fields(record_of(copy))["chunk_used"] == record_fields(shared)["chunk_used"]


def test_constructor_argument_errors(fake):
    with pytest.raises(TypeError) as info:
        QuorList(2, (1, 2))
    assert str(info.value) == "Argument 'value' has incorrect type (expected list, got tuple)"
    with pytest.raises(TypeError) as info:
        QuorList(2, meta={})
    assert str(info.value) == ("Argument 'meta' has incorrect type "
                               "(expected quorlib.quorlist.ListChunkMeta, got dict)")
    assert fake.log == []


def test_fetch_usage_checks_only_non_negative_indices(fake):
    lst = QuorList(2, [1, 2, 3])
    assert lst._fetch_chunk_usage_and_length(-5) == [3, 0]
    with pytest.raises(IndexError) as info:
        lst._fetch_chunk_usage_and_length(index=3)
    assert str(info.value) == OUT_OF_RANGE
    fake.actor(record_fields(record_of(lst))["chunk_used"]).value = (3, 0)
    with pytest.raises(TypeError):
        len(lst)


# -- index resolution ----------------------------------------------------------

@pytest.fixture
def gapped(fake):
    """Counts [3, 0, 2]: an empty chunk in the middle."""
    return adopted(fake, [["a", "b", "c"], [], ["d", "e"]])


@pytest.mark.parametrize("index, expected", [
    (0, "a"), (2, "c"), (3, "d"), (4, "e"), (-1, "e"), (-5, "a"), (-3, "c")])
def test_index_resolution_skips_empty_chunks(fake, gapped, index, expected):
    with gapped:
        assert gapped[index] == expected


@pytest.mark.parametrize("index", [5, -6])
def test_out_of_range_index(fake, gapped, index):
    with gapped:
        with pytest.raises(IndexError) as info:
            gapped[index]
        assert str(info.value) == OUT_OF_RANGE
        assert resident(gapped) == [None, None, None]


def test_read_fetches_only_the_element_chunk(fake, gapped):
    with gapped:
        fake.take_log()
        assert gapped[3] == "d"
        assert [e for e in fake.log if e.endswith(".get")] == [chunk_names(gapped)[2] + ".get"]
        assert resident(gapped) == [None, None, ["d", "e"]]


def test_write_stays_local_until_written_back(fake, gapped):
    with gapped:
        gapped[-1] = "E"
        assert stored_chunks(fake, gapped)[2] == ["d", "e"]
        assert len(gapped) == 5
    assert stored_chunks(fake, gapped)[2] == ["d", "E"]


def test_subscript_refusals(fake, gapped):
    with gapped:
        with pytest.raises(NotImplementedError) as info:
            del gapped[0]
        assert str(info.value) == "Subscript deletion not supported by quorlib.quorlist.QuorList"
        with pytest.raises(TypeError, match="an integer is required"):
            gapped[1:2]
    assert stored_chunks(fake, gapped) == [["a", "b", "c"], [], ["d", "e"]]


# -- what reads and appends cost inside a block ------------------------------------

@pytest.fixture
def ten(fake):
    """Chunks [0..3] [4..7] [8, 9] [] with capacity 4, and a second holder."""
    lst = QuorList(4, list(range(10)), meta=ListChunkMeta(None, 4, None))
    pair = [lst, pickle.loads(pickle.dumps(lst))]
    del lst
    yield pair
    pair.clear()   # freed while the double is in place


def usage_proxies(lst):
    record = record_fields(record_of(lst))
    return record["chunk_used"].name, record["last_used_chunk"].name


@pytest.mark.parametrize("operation, result", [
    (lambda l: l[5], 5),
    (lambda l: l[-1], 9),
    (len, 10),
    (lambda l: 9 in l, True),
    (lambda l: "x" in l, False),
    (lambda l: l.index(8), 8),
    (lambda l: l.count(3), 1),
])
def test_resident_reads_in_a_block_make_no_remote_call(fake, ten, operation, result):
    lst, other = ten
    with lst:
        assert list(lst) == list(range(10))       # the counts read, every chunk resident
        fake.take_log()
        assert operation(lst) == result
        assert fake.take_log() == []
    # Outside a block the counts are read afresh each time.
    assert operation(lst) == result
    assert f"{usage_proxies(lst)[0]}.get_nocache" in fake.take_log()


def test_iterating_reads_the_counts_once_and_each_chunk_once(fake, ten):
    _, other = ten
    used, last = usage_proxies(other)
    with other:
        fake.take_log()
        assert list(other) == list(range(10))
        assert fake.take_log() == [f"{used}.get_nocache", f"{last}.get_nocache"] + [
            f"{c}.get" for c in chunk_names(other)[:3]]


def test_appends_in_a_block_make_no_call_and_commit_with_it(fake, ten):
    lst, other = ten
    with lst:
        list(lst)
        fake.take_log()
        lst.append(10)
        lst.append(11)
        assert fake.take_log() == []
        lst.append(12)                              # the first element of chunk 3
        lst.append(13)
        assert fake.take_log() == [f"{chunk_names(lst)[3]}.get"]
        # Not committed yet: a holder outside any block counts only what was.
        assert len(other) == 10 and counts(fake, other) == [4, 4, 2, 0]
        assert lst[-1] == 13 and len(lst) == 14
    (commit,) = [c.commit for c in fake.take_commits()]
    assert sorted(commit.cells.values(), key=str) == [3, [4, 4, 4, 2]]
    assert len(other) == 14 and counts(fake, other) == [4, 4, 4, 2] and last_used(fake, other) == 3
    with other:
        assert list(other) == list(range(14))


def test_each_block_starts_from_the_shared_counts(fake, ten):
    lst, other = ten
    with lst:
        assert len(lst) == 10
    with other:
        other.append(10)
        other.pop(0)
        other.append(11)
    with lst:
        assert len(lst) == 11 and lst[-1] == 11 and lst[0] == 1
        lst.append(12)
    with other:
        assert list(other) == list(range(1, 13))


def test_another_thread_outside_the_block_reads_the_shared_counts(fake, ten):
    lst, other = ten
    used, _ = usage_proxies(lst)
    seen = []
    with other:
        pass
    with lst:
        len(lst)
        other.append(10)                            # a holder that ignores blocks
        fake.take_log()
        reader = threading.Thread(target=lambda: seen.append(len(lst)))
        reader.start()
        reader.join(timeout=30)
        assert seen == [11] and f"{used}.get_nocache" in fake.take_log()
        assert len(lst) == 10 and fake.take_log() == []     # the block's own copy


def test_an_overridden_count_read_is_still_called_in_a_block(fake):
    calls = []

    class Counting(QuorList):
        def _fetch_chunk_usage_and_length(self, index):
            calls.append(index)
            return super()._fetch_chunk_usage_and_length(index)

    lst = adopted(fake, [[1, 2], [3]], capacity=2, cls=Counting)
    with lst:
        assert [lst[0], lst[2], lst[-1]] == [1, 3, 3]
        assert calls == [0, 2, -1]


# -- append and extend ---------------------------------------------------------

def test_append_fills_chunks_then_refuses_without_change(fake):
    lst = QuorList(3, meta=ListChunkMeta(None, 2, None))
    for i in range(6):
        lst.append(i)
    assert counts(fake, lst) == [2, 2, 2] and last_used(fake, lst) == 2
    fake.take_log()
    with pytest.raises(OverflowError) as info:
        lst.append(6)
    assert str(info.value) == "Exceeded maximum number of chunks"
    assert not [e for e in fake.log if e.endswith("set_nocache") or e.endswith(".get")]
    assert counts(fake, lst) == [2, 2, 2] and resident(lst) == [[0, 1], [2, 3], [4, 5]]
    assert recorded_length(lst) == 6


@pytest.mark.parametrize("usage, last, target, after", [
    ([2, 1, 0], 1, 1, [2, 2, 0]),   # the last chunk in use still has room
    ([1, 2, 0], 1, 2, [1, 2, 1]),   # room before the last chunk is never reused
    ([3, 0, 0], 0, 1, [3, 1, 0]),   # a chunk over the capacity counts as full
])
def test_append_starts_from_last_used_chunk(fake, usage, last, target, after):
    lst = adopted(fake, [["x"] * n for n in usage], last=last, capacity=2)
    with lst:
        lst.append("new")
        assert resident(lst)[target][-1] == "new"
        assert counts(fake, lst) == usage  # what others read: the last commit
    assert counts(fake, lst) == after and last_used(fake, lst) == target


def test_extend_stops_at_first_refusal(fake):
    lst = QuorList(3, [0, 1, 2], meta=ListChunkMeta(None, 2, None))
    fake.take_log()
    lst.extend([])
    assert fake.log == []
    with pytest.raises(OverflowError):
        lst.extend(iter("abcde"))
    assert stored_chunks(fake, lst)[0] == [0, 1]
    assert resident(lst)[1:] == [[2, "a"], ["b", "c"]]
    with pytest.raises(TypeError):
        lst.extend(5)


# -- transfer and printing ---------------------------------------

def test_pickled_list_shares_usage_at_once(fake):
    lst = Sub(4, [1, 2, 3])
    copy = pickle.loads(pickle.dumps(lst))
    assert type(copy) is QuorList
    assert repr(copy) == "QuorList([None, None, None, None])"
    assert chunk_names(copy) == chunk_names(lst)
    rebuild, args = lst.__reduce__()
    assert rebuild is QuorList.rebuild and copy.__reduce__()[1][1:6] == args[1:6]
    assert (args[1], args[3], args[5], type(args[6])) == (4, 3, 0, ListChunkMeta)
    lst.append(4)
    assert len(copy) == 4
    with copy:
        assert copy[0] == 1
        with pytest.raises(IndexError):
            copy[3]     # counted, but still only in the other holder's local copy


def test_printed_form_shows_only_local_copies(fake):
    lst = QuorList(4, [1, 2, 3])
    assert repr(lst) == "QuorList([None, None, None, None])"
    lst[0]
    fake.take_log()
    assert repr(lst) == "QuorList([[1, 2, 3], None, None, None])" == lst.__repr__()
    assert fake.log == []


# -- references -----------------------------------------------------------------

def test_no_references_leak(fake):
    item = object()
    lst = QuorList(2, meta=ListChunkMeta(None, 2, None))
    before = sys.getrefcount(item)
    for _ in range(3):
        lst.append(item)
    for _ in range(20):
        assert lst[1] is item
        lst[0] = item
        with pytest.raises(OverflowError):
            lst.extend([item, item])
        with pytest.raises(IndexError):
            lst[7]
    lst[0] = None
    assert sys.getrefcount(item) == before + 3
    del lst
    gc.collect()
    fake.calls.clear()  # the double's record of the write-back holds the chunks
    assert sys.getrefcount(item) == before


def test_cycles_through_list_and_record_are_collected(fake):
    class Owner(ListChunkMeta):
        pass
    meta = Owner()
    lst = Sub(2, meta=meta)
    meta.owner, lst.me = lst, lst
    alive = weakref.ref(lst)
    type_refs = sys.getrefcount(Sub)
    del lst, meta
    gc.collect()
    assert alive() is None
    assert sys.getrefcount(Sub) == type_refs - 1


def test_allocated_but_unconstructed_list_fails_politely(fake, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append(u.exc_type))
    lst = QuorList.__new__(QuorList)
    assert repr(lst) == "QuorList(None)"
    operations = [len, list, lambda l: l[0], lambda l: l.append(1), lambda l: l.pop(),
                  lambda l: l.insert(0, 1), lambda l: l.index(1), lambda l: 1 in l,
                  lambda l: l.clear(), lambda l: l._fetch_chunk_usage_and_length(0)]
    for operation in operations:
        with pytest.raises((AttributeError, TypeError)):
            operation(lst)
    with pytest.raises(NotImplementedError):
        del lst[0]
    del lst
    gc.collect()
    assert reported == []   # nothing was ever resident: freeing it is silent
