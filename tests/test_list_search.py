"""index, `in` and iteration with the recording double; operations that the
list looks up by name honour a subclass's replacement."""

import pytest

from quorlib.quorlist import QuorList
from basehelp import fields
from listhelp import adopted, resident


@pytest.fixture
def abc_db(fake):
    """Chunks [a, b, c] [d, b] and an empty third chunk; last_used_chunk 1."""
    lst = adopted(fake, [list("abc"), list("db"), []])
    with lst:
        yield lst


@pytest.mark.parametrize("args, position", [
    (("b",), 1), (("d",), 3),
    (("d", 1), 0), (("b", 1), 1),          # start is a chunk, positions count from it
    (("c", 0, 1), 2),                      # end is checked only between chunks
    (("d", -2), 0), (("b", -2), 1),        # negative start counts chunks from the end
    (("a", -9), 0),                        # ... and stops at chunk 0
    (("a", 0.5, 7.5), 0),
])
def test_index(abc_db, args, position):
    assert abc_db.index(*args) == position


@pytest.mark.parametrize("args", [("d", 0, 3), ("a", -1), ("a", -2), ("z",), ("a", 3)])
def test_index_not_found(abc_db, args):
    with pytest.raises(ValueError) as info:
        abc_db.index(*args)
    assert str(info.value) == f"{args[0]} is not in list"


def test_index_fetches_only_the_chunks_it_searches(abc_db):
    abc_db.index("b", 1)
    assert resident(abc_db) == [None, list("db"), None]


def test_membership(abc_db):
    assert "b" in abc_db and "d" in abc_db
    assert "z" not in abc_db


def test_membership_propagates_other_errors(fake, abc_db):
    fake.actor(fields(abc_db)["chunk_ref_list"][0].ref).fail("get", RuntimeError("down"))
    with pytest.raises(RuntimeError, match="down"):
        "a" in abc_db


def test_iteration_yields_the_concatenated_chunks(abc_db):
    assert list(abc_db) == list("abcdb")
    assert list(iter(abc_db)) == list("abcdb")


def test_empty_list(fake):
    lst = adopted(fake, [[], []])
    with lst:
        with pytest.raises(ValueError):
            lst.index("x")
        assert "x" not in lst
        assert list(lst) == []


def test_iteration_counts_at_first_next(fake, abc_db):
    fake.take_log()
    it = iter(abc_db)
    assert fake.log == []                  # nothing is read before the first next
    abc_db.append("e")
    assert next(it) == "a"
    abc_db.append("f")                     # after the count was taken: not yielded
    assert list(it) == list("bcdbe")


def test_iteration_ends_with_index_error_when_elements_vanish(abc_db):
    it = iter(abc_db)
    assert next(it) == "a"
    abc_db.pop()
    abc_db.pop()
    assert [next(it) for _ in range(2)] == list("bc")
    with pytest.raises(IndexError):
        next(it)
    with pytest.raises(StopIteration):
        next(it)


def _recording_replacements(calls):
    """Replacements that record their call and then do what QuorList's own do."""
    own = {name: getattr(QuorList, name)
           for name in ("index", "pop", "_fetch_chunk_usage_and_length", "__len__", "append")}

    def index(self, item, start=0, end=-1):
        calls.append(("index", item))
        return own["index"](self, item, start, end)

    def pop(self, index=-1):
        calls.append(("pop", index))
        return own["pop"](self, index)

    def _fetch_chunk_usage_and_length(self, index):
        calls.append(("usage", index))
        return own["_fetch_chunk_usage_and_length"](self, index)

    def __len__(self):
        calls.append(("len",))
        return own["__len__"](self)

    def append(self, item):
        calls.append(("append", item))
        own["append"](self, item)

    return {"index": index, "pop": pop, "_fetch_chunk_usage_and_length": _fetch_chunk_usage_and_length,
            "__len__": __len__, "append": append}


@pytest.mark.parametrize("replaced_in", ["subclass", "patched class"])
def test_operations_use_a_replacement_of_what_they_look_up_by_name(fake, monkeypatch, replaced_in):
    calls = []
    replacements = _recording_replacements(calls)
    if replaced_in == "subclass":
        cls = type("Recording", (QuorList,), replacements)
    else:
        cls = QuorList
        for name, fn in replacements.items():
            monkeypatch.setattr(QuorList, name, fn)

    lst = adopted(fake, [list("ab"), ["c"]], cls=cls)
    with lst:
        assert "c" in lst
        lst.remove("a")
        assert lst[-1] == "c"
        assert list(iter(lst)) == ["b", "c"]
        lst.extend("d")
    assert calls == [("index", "c"), ("index", "a"), ("pop", 0), ("usage", 0), ("usage", -1),
                     ("len",), ("usage", 0), ("usage", 1), ("append", "d")]


def test_the_own_methods_come_back_when_a_patch_is_undone(fake):
    calls = []
    replacements = _recording_replacements(calls)
    with pytest.MonkeyPatch.context() as patch:
        for name, fn in replacements.items():
            patch.setattr(QuorList, name, fn)
    lst = adopted(fake, [list("ab"), ["c"]])
    with lst:
        assert "c" in lst and list(iter(lst)) == ["a", "b", "c"]
        lst.extend("d")
    assert calls == []
