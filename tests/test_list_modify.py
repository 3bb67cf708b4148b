"""insert, pop, remove and clear with the recording double, on lists adopted
around given chunk contents."""

import gc
import sys

import pytest

from quorlib.quorlist import ListChunkMeta, QuorList
from basehelp import fields
from listhelp import adopted, chunk_names, counts, last_used, resident, stored_chunks

OUT_OF_RANGE = "list index out of range"


@pytest.fixture
def five(fake):
    """Chunks [a, b, c] [d, e]: counts [3, 2], last_used_chunk 1."""
    lst = adopted(fake, [list("abc"), list("de")])
    with lst:
        yield lst


def elements(lst):
    return [lst[i] for i in range(len(lst))]


# -- insert ---------------------------------------------------------------------

@pytest.mark.parametrize("index, fetched, usage, whole", [
    (1, [list("axbc"), None], [4, 2], "axbcde"),
    (3, [None, list("xde")], [3, 3], "abcxde"),    # front of the next chunk, not end of chunk 0
    (-1, [None, list("dxe")], [3, 3], "abcdxe"),
    (-5, [list("xabc"), None], [4, 2], "xabcde"),
])
def test_insert_places_item_inside_one_chunk(fake, five, index, fetched, usage, whole):
    five.insert(index, "x")
    assert resident(five) == fetched
    assert counts(fake, five) == usage and last_used(fake, five) == 1
    assert len(five) == 6 and "".join(elements(five)) == whole


@pytest.mark.parametrize("index", [5, -6, 2 ** 20])
def test_insert_out_of_range(fake, five, index):
    with pytest.raises(IndexError) as info:
        five.insert(index, "x")
    assert str(info.value) == OUT_OF_RANGE
    assert resident(five) == [None, None] and counts(fake, five) == [3, 2]


def test_insert_into_empty_list(fake):
    lst = adopted(fake, [[], []])
    with lst:
        with pytest.raises(IndexError, match=OUT_OF_RANGE):
            lst.insert(0, "x")


def test_insert_over_capacity_makes_append_skip_the_chunk(fake):
    lst = adopted(fake, [list("abc"), []], capacity=3)
    with lst:
        lst.insert(0, "x")
        assert counts(fake, lst) == [4, 0] and last_used(fake, lst) == 0
        lst.append("y")
        assert resident(lst) == [list("xabc"), ["y"]] and counts(fake, lst) == [4, 1]


# -- pop --------------------------------------------------------------------------

@pytest.mark.parametrize("index, found, chunks, usage", [
    ((), "e", [None, ["d"]], [3, 1]),
    ((0,), "a", [list("bcd"), ["e"]], [3, 1]),
    ((-5,), "a", [list("bcd"), ["e"]], [3, 1]),
    ((4,), "e", [None, ["d"]], [3, 1]),
])
def test_pop_keeps_chunks_packed(fake, five, index, found, chunks, usage):
    assert five.pop(*index) == found
    assert resident(five) == chunks
    assert counts(fake, five) == usage and last_used(fake, five) == 1
    assert len(five) == 4


def test_pop_from_the_middle_passes_first_elements_back(fake):
    lst = adopted(fake, [list("ab"), list("cd"), ["e"]], capacity=2)
    with lst:
        assert lst.pop(1) == "b"
        assert resident(lst) == [list("ac"), list("de"), []]
        assert counts(fake, lst) == [2, 2, 0]
        assert last_used(fake, lst) == 1                # stepped back from the emptied chunk
        lst.append("f")
        assert resident(lst)[2] == ["f"] and last_used(fake, lst) == 2
    assert stored_chunks(fake, lst) == [list("ac"), list("de"), ["f"]]


def test_emptying_chunk_zero_keeps_last_used_zero(fake):
    lst = adopted(fake, [["a"], []])
    with lst:
        assert lst.pop() == "a"
        assert counts(fake, lst) == [0, 0] and last_used(fake, lst) == 0
        with pytest.raises(IndexError) as info:
            lst.pop()
        assert str(info.value) == ("list index out of range :: -1 / last_used_chunk=0 / "
                                   "chunk_used=[0, 0]")
        lst.append("b")
        assert resident(lst) == [["b"], None]


def test_emptied_last_chunk_lets_append_use_room_before_it(fake):
    lst = adopted(fake, [list("xy"), ["z"]], capacity=3)
    with lst:
        assert lst.pop(0) == "x"
        assert last_used(fake, lst) == 0
        lst.append("w")
        assert resident(lst) == [list("yzw"), []]


def test_pop_index_errors(fake, five):
    with pytest.raises(IndexError) as info:
        five.pop(-6)
    assert str(info.value) == ("list index out of range :: -1 / last_used_chunk=1 / "
                               "chunk_used=[3, 2]")
    with pytest.raises(IndexError) as info:
        five.pop(5)
    assert str(info.value) == OUT_OF_RANGE
    assert resident(five) == [None, None] and counts(fake, five) == [3, 2]


@pytest.mark.parametrize("chunks, usage, last, index, message", [
    ([["a"], [], ["c"]], [1, 1, 1], 2, 0, "Chunk 1 is empty, but in the middle (chunk_last_used=2)"),
    ([["a"], ["b"]], [1, 2], 1, 0, "chunk_used[1] != the chunk length[0]"),
    ([["a"], ["b"]], [1, 1], 5, 0, "chunk_last_used [5] is out of range"),
])
def test_pop_consistency_checks(fake, chunks, usage, last, index, message):
    lst = adopted(fake, chunks, usage=usage, last=last)
    with lst:
        fake.take_log()
        with pytest.raises(AssertionError) as info:
            lst.pop(index)
        assert str(info.value) == message
        assert not [e for e in fake.log if e.endswith("set_nocache")]
        assert counts(fake, lst) == usage
        # Checked before anything moved: the copies written back are unchanged.
        assert all(c is None or c == chunks[i] for i, c in enumerate(resident(lst)))
    assert [fake.value(h.ref) for h in fields(lst)["chunk_ref_list"]] == chunks


# -- remove and clear ---------------------------------------------------------------

def test_remove_deletes_first_equal_element_only(fake):
    lst = adopted(fake, [list("aba"), list("ba")])
    with lst:
        lst.remove("b")
        assert elements(lst) == list("aaba")
        with pytest.raises(ValueError) as info:
            lst.remove("z")
        assert str(info.value) == "z is not in list"
        assert elements(lst) == list("aaba") and counts(fake, lst) == [3, 1]


def test_clear_empties_every_chunk(fake):
    lst = adopted(fake, [list("ab"), [], ["c"]])
    with lst:
        lst[0]
        lst.clear()
        assert resident(lst) == [[], [], []]
        assert counts(fake, lst) == [0, 0, 0] and last_used(fake, lst) == 0
        assert len(lst) == 0
    assert stored_chunks(fake, lst) == [[], [], []]


# -- changed marks and references ---------------------------------------------------

@pytest.mark.parametrize("operation, written", [
    (lambda lst: lst.__setitem__(2, "x"), [1]),
    (lambda lst: lst.append(6), [2]),
    (lambda lst: lst.pop(), [2]),
    (lambda lst: lst.pop(0), [0, 1, 2]),
    (lambda lst: lst.insert(2, "x"), [1]),
    (lambda lst: lst.remove(3), [1, 2]),
    (lambda lst: lst.clear(), [0, 1, 2]),
])
def test_finaliser_writes_back_the_chunks_an_operation_changed(fake, operation, written):
    lst = QuorList(3, [1, 2, 3, 4, 5], meta=ListChunkMeta(None, 2, None))
    names = chunk_names(lst)
    lst[0], lst[4]               # resident, unchanged
    operation(lst)
    fake.take_log()
    del lst
    gc.collect()
    assert sorted(e for e in fake.log if e.endswith(".set")) == [names[i] + ".set" for i in written]


def test_no_references_leak(fake):
    item = object()
    lst = QuorList(2, meta=ListChunkMeta(None, 3, None))
    before = sys.getrefcount(item)
    for _ in range(20):
        lst.append(item)
        lst.insert(0, item)
        assert lst.pop(0) is item
        assert lst.pop() is item
        for failing in (lst.pop, lambda: lst.insert(0, item), lambda: lst.remove(item)):
            with pytest.raises((IndexError, ValueError)):
                failing()
    lst.extend([item, 1, item])
    lst.remove(item)
    lst.clear()
    assert sys.getrefcount(item) == before
