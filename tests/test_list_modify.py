"""insert, pop, remove, clear and the bulk operations (sort, reverse, +=, *=,
count, copies, comparison) with the recording double, on lists adopted around
given chunk contents."""

import collections.abc
import copy
import gc
import sys

import pytest

from quorlib.quorlist import ListChunkMeta, QuorList
from modelhelp import outcome
from basehelp import fields
from listhelp import (adopted, block_counts, chunk_names, counts, last_used, list_args, record_fields,
                      record_of, resident, stored_chunks)

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
    assert block_counts(five) == usage and counts(fake, five) == [3, 2]  # committed with the block
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
        assert block_counts(lst) == [4, 0]
        lst.append("y")
        assert resident(lst) == [list("xabc"), ["y"]] and block_counts(lst) == [4, 1]
    assert counts(fake, lst) == [4, 1] and last_used(fake, lst) == 1


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
    assert block_counts(five) == usage
    assert len(five) == 4


def test_pop_from_the_middle_passes_first_elements_back(fake):
    lst = adopted(fake, [list("ab"), list("cd"), ["e"]], capacity=2)
    with lst:
        assert lst.pop(1) == "b"
        assert resident(lst) == [list("ac"), list("de"), []]
        assert block_counts(lst) == [2, 2, 0]
        lst.append("f")       # the last chunk in use stepped back from the emptied chunk
        assert resident(lst)[2] == ["f"]
    assert stored_chunks(fake, lst) == [list("ac"), list("de"), ["f"]]
    assert counts(fake, lst) == [2, 2, 1] and last_used(fake, lst) == 2
    with lst:
        lst.pop()
    assert counts(fake, lst) == [2, 2, 0] and last_used(fake, lst) == 1


def test_emptying_chunk_zero_keeps_last_used_zero(fake):
    lst = adopted(fake, [["a"], []])
    with lst:
        assert lst.pop() == "a"
        assert block_counts(lst) == [0, 0]
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
        lst.append("w")
        assert resident(lst) == [list("yzw"), []]
    assert last_used(fake, lst) == 0


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
        assert elements(lst) == list("aaba") and block_counts(lst) == [3, 1]


def test_clear_empties_every_chunk(fake):
    lst = adopted(fake, [list("ab"), [], ["c"]])
    with lst:
        lst[0]
        lst.clear()
        assert resident(lst) == [[], [], []]
        assert block_counts(lst) == [0, 0, 0] and len(lst) == 0
    assert stored_chunks(fake, lst) == [[], [], []]
    assert counts(fake, lst) == [0, 0, 0] and last_used(fake, lst) == 0


# -- changed marks and references ---------------------------------------------------

@pytest.mark.parametrize("operation, written", [
    (lambda lst: lst.__setitem__(2, "x"), [1]),
    (lambda lst: lst.append(6), [2]),
    (lambda lst: lst.pop(), [2]),
    (lambda lst: lst.pop(0), [0, 1, 2]),
    (lambda lst: lst.insert(2, "x"), [1]),
    (lambda lst: lst.remove(3), [1, 2]),
    (lambda lst: lst.clear(), [0, 1, 2]),
    (lambda lst: (lst.sort(), lst.count(1), lst.copy(), list(reversed(lst)), lst == [], lst + [], lst * 2,
                  lst.__imul__(1), lst.__iadd__([])), []),
    (lambda lst: lst.sort(key=lambda x: x % 2), [0, 1]),    # [2, 4] [1, 3] [5]
    (lambda lst: lst.sort(reverse=True), [0, 1, 2]),
    (lambda lst: lst.reverse(), [0, 1, 2]),
    (lambda lst: lst.__iadd__([6]), [2]),
    (lambda lst: lst.extend([6]), [2]),
    (lambda lst: lst.__imul__(0), [0, 1, 2]),
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


def _read_list(lst):
    return [lst[i] for i in range(len(lst))], list(lst), 3 in lst, lst.count(1)


# (contents of chunks of two elements, a block's work, chunks it writes back =
# chunks another holder then fetches again, chunks every later block writes)
LIST_WRITE_BACK = {
    "read only": ([1, 2, 3, 4, 5], _read_list, [], []),
    "one element set": ([1, 2, 3, 4, 5], lambda lst: lst.__setitem__(2, "x"), [1], []),
    "an element changed in place": ([{"a": 1}, 2, 3, 4, 5],
                                    lambda lst: lst[0].__setitem__("a", 2), [0], [0]),
    "a list element only read": ([1, 2, [3], 4, 5], _read_list, [1], [1]),
    "nested immutable elements only read": ([(1, ("a", b"b")), None, 2.5, frozenset({1}), 1j],
                                            _read_list, [], []),
}


@pytest.mark.parametrize("case", list(LIST_WRITE_BACK))
def test_a_block_writes_back_only_what_may_differ(fake, carry, case):
    import pickle
    initial, work, written, always = LIST_WRITE_BACK[case]
    lst = QuorList(3, initial, meta=ListChunkMeta(None, 2, None))
    other = pickle.loads(pickle.dumps(lst))
    names = chunk_names(lst)
    meta = list_args(lst)["meta_ref"].name

    def touched(log, *methods):
        return [i for i, n in enumerate(names) if any(f"{n}{m}" in log for m in methods)]

    for holder in (other, lst):
        with holder:
            _read_list(holder)
    fake.take_log()
    fake.take_commits()
    with lst:
        work(lst)
    log = fake.take_log()
    # Written to its slot before the release, or by the control actor after it.
    assert touched(log, ".set", ".install") == written and touched(log, ".get") == []
    assert len(fake.take_commits()) == (1 if written else 0)
    with other:
        seen = list(other)
    assert touched(fake.take_log(), ".get") == ([] if carry else written)
    with lst:
        assert seen == list(lst)
    fake.take_log()
    with lst:
        pass
    assert touched(fake.log, ".set", ".install") == always


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


# -- bulk operations ------------------------------------------------------------------

@pytest.fixture
def spread(fake):
    """Chunks [e, b, a] [d, c] [] [] with capacity 3: counts [3, 2, 0, 0], last_used_chunk 1."""
    lst = adopted(fake, [list("eba"), list("dc"), [], []], capacity=3)
    with lst:
        yield lst


def usage_names(lst):
    record = record_fields(record_of(lst))
    return record["chunk_used"].name, record["last_used_chunk"].name


@pytest.mark.parametrize("operation", [
    lambda l: l.count("b"), lambda l: l.count("z"),
    lambda l: l.copy(),
    lambda l: l.sort(), lambda l: l.sort(reverse=True), lambda l: l.sort(key=str.upper, reverse=True),
    lambda l: l.sort(1), lambda l: l.sort(cmp=None), lambda l: l.sort(key=lambda x: 1 / 0),
    lambda l: l.reverse(),
    lambda l: list(reversed(l)),
    lambda l: l.__iadd__(["x", "y", "z"]) is l, lambda l: l.__iadd__("xy") is l, lambda l: l.__iadd__(5),
    lambda l: l.__iadd__(iter("xyz")) is l, lambda l: l.extend(("x", "y")),
    lambda l: l + ["x"], lambda l: ["x"] + l, lambda l: l + l, lambda l: l * 2, lambda l: 2 * l,
    lambda l: l * 0, lambda l: l * -1,
    lambda l: l.__imul__(2) is l, lambda l: l.__imul__(0) is l, lambda l: l.__imul__(1) is l,
    lambda l: l.__imul__(-3) is l,
    lambda l: l == list("ebadc"), lambda l: l == list("ebad"), lambda l: l != [], lambda l: l < list("f"),
    lambda l: l >= list("ebadc"), lambda l: l == "ebadc", lambda l: l == 5,
])
def test_bulk_operations_match_a_plain_list(fake, spread, operation):
    model = list("ebadc")
    assert outcome(operation, spread) == outcome(operation, model)
    assert elements(spread) == model
    assert sum(block_counts(spread)) == len(model)
    assert all(c is None or len(c) == n for c, n in zip(resident(spread), block_counts(spread)))


def test_equality_takes_any_sequence_but_text(fake, spread):
    assert spread == tuple("ebadc") and spread == collections.UserList("ebadc")
    assert spread != "ebadc" and spread != b"ebadc"
    other = adopted(fake, [list("eb"), list("adc")])
    with other:
        assert spread == other == spread.copy() and not spread != other
    assert isinstance(spread, collections.abc.Sequence)
    assert not isinstance(spread, collections.abc.MutableSequence)
    with pytest.raises(TypeError, match="unhashable"):
        hash(spread)


def test_sort_reads_the_counts_once_and_publishes_nothing(fake, spread):
    used, last = usage_names(spread)
    names = chunk_names(spread)
    fake.take_log()
    spread.sort()
    # Every chunk keeps its count, so there is nothing to publish.
    assert fake.take_log() == [f"{used}.get_nocache", f"{last}.get_nocache", f"{names[0]}.get", f"{names[1]}.get"]
    assert resident(spread) == [list("abc"), list("de"), None, None]
    spread.reverse()    # the block already read the counts
    assert fake.take_log() == []
    assert resident(spread) == [list("edc"), list("ba"), None, None]
    assert counts(fake, spread) == [3, 2, 0, 0]


def test_sort_that_the_list_changes_under_fails_and_keeps_counts_true(fake, spread):
    def key(x):
        if x == "a":
            spread.append("z")
        return x
    with pytest.raises(ValueError) as info:
        spread.sort(key=key)
    assert str(info.value) == "list modified during sort"
    assert elements(spread) == list("ebadcz") and block_counts(spread) == [3, 3, 0, 0]


def test_extend_fills_the_last_chunk_and_publishes_nothing_before_the_commit(fake, spread):
    used, last = usage_names(spread)
    names = chunk_names(spread)
    fake.take_log()
    spread += "xyzw"
    # The counts are read once; the chunks it fills are fetched in one wave.
    assert fake.events[-4:] == [f"{names[1]}.get", f"{names[2]}.get", "wait", "wait"]
    assert fake.take_log() == [f"{last}.get_nocache", f"{used}.get_nocache", f"{names[1]}.get",
                               f"{names[2]}.get"]
    assert resident(spread) == [None, list("dcx"), list("yzw"), None]
    assert block_counts(spread) == [3, 3, 3, 0] and counts(fake, spread) == [3, 2, 0, 0]
    spread.extend(["v"])        # the block's counts: nothing read again
    assert fake.take_log() == [f"{names[3]}.get"]
    spread.extend([])
    assert fake.take_log() == []


def test_extend_keeps_what_fits_and_what_the_iterable_gave(fake):
    lst = adopted(fake, [list("ab"), []], capacity=2)
    with lst:
        with pytest.raises(OverflowError) as info:
            lst.extend("cde")
        assert str(info.value) == "Exceeded maximum number of chunks"
        assert elements(lst) == list("abcd") and block_counts(lst) == [2, 2]

    def failing():
        yield "x"
        raise KeyError("from the iterable")
    lst = adopted(fake, [["a"], []], capacity=2)
    with lst:
        with pytest.raises(KeyError):
            lst.extend(failing())
        assert elements(lst) == ["a", "x"]


def test_imul_places_all_or_nothing(fake, spread):
    used, last = usage_names(spread)
    with pytest.raises(OverflowError):
        spread *= 3             # 15 elements; the chunks hold 12
    assert elements(spread) == list("ebadc") and block_counts(spread) == [3, 2, 0, 0]
    fake.take_log()
    spread *= 2
    log = fake.take_log()
    assert not [e for e in log if e.startswith((used, last))]  # the block's own counts
    assert elements(spread) == list("ebadcebadc") and block_counts(spread) == [3, 3, 3, 1]


@pytest.mark.parametrize("method, seen_items, publications", [
    ("append", list("abcd"), 4),   # extend falls back to one append per element
    ("extend", ["abc", "d"], 2),   # += calls the replacement; the original still places in bulk
])
@pytest.mark.parametrize("cls", ["subclass", "patched"])
def test_a_replaced_append_or_extend_is_called_by_name(fake, monkeypatch, cls, method, seen_items,
                                                       publications):
    # Outside a block, where each placement publishes the counts at once.
    seen = []
    original = getattr(QuorList, method)

    def replacement(self, item):
        seen.append(item)
        original(self, item)

    if cls == "subclass":
        kind = type("Replacing", (QuorList,), {method: replacement})
    else:
        kind = QuorList
        monkeypatch.setattr(QuorList, method, replacement)
    lst = kind(2, meta=ListChunkMeta(None, 2, None))
    used, _ = usage_names(lst)
    fake.take_log()
    lst.extend("abc")
    lst += "d"
    assert seen == seen_items and fake.log.count(f"{used}.swap") == publications
    assert elements(lst) == list("abcd")


@pytest.mark.parametrize("operation", [
    lambda l: l.__iadd__("xyzw"), lambda l: l.extend("x"), lambda l: l.__imul__(2), lambda l: l.__imul__(0),
])
@pytest.mark.parametrize("refusing", [0, 1])
def test_refused_publication_outside_a_block_puts_the_copies_back(fake, operation, refusing):
    # Outside a block the counts are published at once, which can be refused.
    lst = QuorList(4, list("ebadc"), meta=ListChunkMeta(None, 3, None))
    refuser = fake.actor(usage_names(lst)[refusing])
    refuser.fail("swap", RuntimeError("refused"), times=1)
    try:
        operation(lst)
    except RuntimeError as error:
        assert str(error) == "refused"
    else:   # extend("x") stays in chunk 1 and writes no last chunk
        assert refusing == 1 and elements(lst) == list("ebadcx")
        return
    assert counts(fake, lst) == [3, 2, 0, 0] and last_used(fake, lst) == 1
    before = [list("eba"), list("dc"), [], []]
    assert all(c is None or c == before[i] for i, c in enumerate(resident(lst)))
    assert elements(lst) == list("ebadc")
    lst.flush()
    assert stored_chunks(fake, lst) == [list("eba"), list("dc"), [], []]


@pytest.mark.parametrize("copier, deep", [(copy.copy, False), (copy.deepcopy, True)])
def test_copies_never_alias(fake, copier, deep):
    class Tagged(QuorList):
        pass
    original = Tagged(3, [["mutable"], "b", "c"], None, 4, meta=ListChunkMeta(None, 2, None))
    original.tag = ["attribute"]
    made = copier(original)
    assert type(made) is Tagged and made == original and (made.tag is original.tag) is not deep
    assert record_fields(record_of(made))["max_element_per_chunk"] == 2 and counts(fake, made) == [2, 1, 0]
    assert list_args(made)["per_chunk_lock"] == 4
    assert not set(chunk_names(made)) & set(chunk_names(original))
    assert not set(usage_names(made)) & set(usage_names(original))
    assert stored_chunks(fake, made) == stored_chunks(fake, original)
    made.append("new")
    made[0].append("changed")
    assert len(original) == 3 and original[0] == ["mutable"]


def test_copy_of_a_list_grown_past_its_capacity_is_refused(fake):
    lst = adopted(fake, [list("abc"), []], capacity=1)
    with lst:
        with pytest.raises(OverflowError):
            copy.copy(lst)
        assert not [e for e in fake.log if e.endswith(".create")]
