"""QuorDict against the recording double: partitioning, item access on the
local chunk copies, changed marks, pickling by reference, the printed form."""

import gc
import pickle
import sys

import pytest

import quorlib.quordict as qd
from basehelp import fields
from quorlib.quorbase import QuorBase
from quorlib.quordict import QuorDict


def contents(fake, d):
    return [fake.value(c.ref) for c in fields(d)["chunk_ref_list"]]


def proxy(d, chunk):
    return fields(d)["chunk_ref_list"][chunk].ref.name


def resident(d):
    return [i for i, c in enumerate(fields(d)["chunk_list"]) if c is not None]


def raises(exc, message, op, *args):
    with pytest.raises(exc) as e:
        op(*args)
    assert str(e.value) == message


class HashMinusSeven:
    def __hash__(self):
        return -7


@pytest.fixture
def d(fake):
    """Chunk 1 holds 1 and 5, chunk 2 holds 2; no chunk resident."""
    made = QuorDict({1: "a", 5: "b", 2: "c"}, 4)
    fake.take_log()
    yield made
    made.flush()  # while the double is in place: pytest frees `made` later


class TestConstruction:
    def test_partitioning(self, fake, d):
        assert contents(fake, d) == [{}, {1: "a", 5: "b"}, {2: "c"}, {}]
        assert list(contents(fake, d)[1]) == [1, 5] and fields(d)["length"] == 3
        assert [len(c) for c in contents(fake, QuorDict({-7: 0, HashMinusSeven(): 1}, 4))] == [0, 2, 0, 0]
        assert contents(fake, QuorDict({1: 1, "s": 2, None: 3}, 1)) == [{1: 1, "s": 2, None: 3}]
        empty = QuorDict()
        assert contents(fake, empty) == [{}] * 32 and fields(empty)["chunk_list"] == [None] * 32
        chunk_creates = [c[2] for c in fake.calls if c[1] == "create"][-33:-1]  # after the record's
        assert chunk_creates == [({}, qd.QuorCacheDirMSI)] * 32
        assert all(isinstance(c.cache, qd.QuorCacheLocalMSI) for c in fields(empty)["chunk_ref_list"])

    def test_refusals_create_nothing(self, fake):
        for n in (0, -2):
            raises(ValueError, "Number of buckets must be greater than 0", QuorDict, {1: 2}, n)
        raises(TypeError, "Argument 'value' has incorrect type (expected dict, got list)", QuorDict, [], 4, None,
               0, ())
        raises(TypeError, "Argument 'value' has incorrect type (expected dict, got Sub)", QuorDict,
               type("Sub", (dict,), {})())
        raises(TypeError, "Argument 'chunk_ref_list' has incorrect type (expected list, got tuple)", QuorDict,
               None, 4, None, 0, ())
        raises(TypeError, "an integer is required", QuorDict, [], "4")  # integers are converted first
        raises(OverflowError, "value too large to convert to int", QuorDict, None, 4, None, 2 ** 31)
        with pytest.raises(TypeError):
            QuorDict(None, 4, None, 0, None, None, -1, "eighth")
        assert fake.log == []
        assert fields(QuorDict(None, 4.7))["num_chunks"] == 4

    def test_adoption_ignores_value_and_needs_length(self, fake, d):
        f = fields(d)
        adopted = QuorDict({9: 9}, 4, f["_lock"], 0, f["chunk_ref_list"], f["_quor_meta_ref"], 7)
        assert fake.log == [] and fields(adopted)["length"] == 7
        assert fields(adopted)["chunk_ref_list"] is f["chunk_ref_list"]
        with pytest.raises(AssertionError):
            QuorDict(None, 4, f["_lock"], 0, f["chunk_ref_list"], f["_quor_meta_ref"])

    def test_non_dict_value_reaching_the_initialiser(self, fake, monkeypatch, capsys):
        slept = []
        monkeypatch.setattr(qd, "time", type("T", (), {"sleep": staticmethod(slept.append)}))
        d = QuorDict.__new__(QuorDict)
        raises(ValueError, "Value must be a dict", QuorBase.__init__, d, 4, [1])  # the base checks no type
        assert capsys.readouterr().out == "Value is not None\n" and slept == [3]
        assert fields(d)["chunk_ref_list"] is None

    def test_services_are_looked_up_at_each_use(self, fake, monkeypatch):
        monkeypatch.setattr(qd, "QuorCacheLocalMSI", dict)
        assert all(type(c.cache) is dict for c in fields(QuorDict(None, 2))["chunk_ref_list"])


class TestOperations:
    def test_key_operations_fetch_only_their_chunk_once(self, fake, d):
        assert d[5] == "b" and d[1] == "a" and 5 in d
        assert fake.take_log() == [f"{proxy(d, 1)}.get"]
        assert 6 not in d and resident(d) == [1, 2]
        with pytest.raises(KeyError):
            d[3]
        assert resident(d) == [1, 2, 3]
        with pytest.raises(KeyError) as e:
            d[(3, 4)]
        assert e.value.args == ((3, 4),)
        with pytest.raises(KeyError):
            del d[9]
        d[1], d[9] = "one", "new"
        del d[5]
        assert fields(d)["chunk_list"][1] == {1: "one", 9: "new"}
        assert fake.value(proxy(d, 1)) == {1: "a", 5: "b"}  # changed locally only
        with pytest.raises(TypeError, match="unhashable"):
            d[(1, [])]

    def test_listings_count_and_clear_grouped_by_chunk_then_no_remote_calls(self, fake, d):
        d[2]
        fake.take_log()
        assert d.keys() == [1, 5, 2] and d.values() == ["a", "b", "c"]
        assert fake.take_log() == [f"{proxy(d, i)}.get" for i in (0, 1, 3)]
        d[0] = "zero"  # chunk 0: listed first, though inserted last
        assert d.keys() == [0, 1, 5, 2] == list(d)
        assert d.items() == [(0, "zero"), (1, "a"), (5, "b"), (2, "c")]
        assert len(d) == 4 and fields(d)["length"] == 3  # counted vs recorded
        d.clear(), repr(d)
        assert fake.log == []
        assert len(d) == 0 and d.keys() == [] and fields(d)["length"] == 0

    def test_mismatched_handles(self, fake, d):
        f = fields(d)
        short = QuorDict(None, 4, f["_lock"], 0, f["chunk_ref_list"][:2], f["_quor_meta_ref"], 3)
        long = QuorDict(None, 2, f["_lock"], 0, f["chunk_ref_list"], f["_quor_meta_ref"], 3)
        with short:
            raises(IndexError, "list index out of range", short.__getitem__, 2)
        with long:
            raises(AssertionError, "Chunk must not be None, as it must be fetched first", long.keys)

    def test_unconstructed_and_bad_calls(self, fake, d):
        bare = QuorDict.__new__(QuorDict)
        raises(ZeroDivisionError, "integer division or modulo by zero", bare.__contains__, 1)
        for op in (len, QuorDict.items, QuorDict.clear, list, repr):
            raises(TypeError, "'NoneType' object is not iterable", op, bare)
        for name in ("keys", "values", "items", "clear"):
            raises(TypeError, f"QuorDict.{name}() takes no arguments (1 given)", getattr(d, name), 1)
        assert fake.log == []

    def test_no_references_leak(self, fake, d):
        key, value, missing = "refcount-key", object(), ("missing", 1)
        gc.collect()  # earlier tests' garbage, whose finalisers would run below
        before = [sys.getrefcount(o) for o in (key, value, missing)]
        for _ in range(100):
            d[key] = value
            assert d[key] is value and key in d and missing not in d
            try:
                d[missing]
            except KeyError:
                pass
            del d[key]
        assert [sys.getrefcount(o) for o in (key, value, missing)] == before


def _reads(d):
    d[1], 2 in d, len(d), d.items(), list(d), repr(d)
    with pytest.raises(KeyError):
        del d[9]


def _writes(d):
    d[2] = "changed"
    del d[5]
    assert 0 not in d


def _in_block(d):
    with d:
        d[2] = "in block"


@pytest.mark.parametrize("action, written", [(_reads, []), (_writes, [1, 2]), (QuorDict.clear, [1, 2]),
                                             (_in_block, [])])
def test_finaliser_writes_back_changed_chunks_only(fake, action, written):
    d = QuorDict({1: "a", 5: "b", 2: "c"}, 4)
    names = {proxy(d, i): i for i in range(4)}
    action(d)
    expected = [fields(d)["chunk_list"][i] for i in written]
    fake.take_log()
    del d
    gc.collect()
    assert sorted(names[e.split(".")[0]] for e in fake.log if e.endswith(".set")) == written
    assert [fake.value(n) for n, i in sorted(names.items(), key=lambda p: p[1]) if i in written] == expected


class TestTransfer:
    def test_pickled_form_carries_references_only(self, fake, d):
        f = fields(d)
        d[7] = "unwritten"
        assert d.__reduce__() == (QuorDict.rebuild, (f["chunk_ref_list"], 4, f["_quor_meta_ref"], 3, f["_lock"], 0))
        data = pickle.dumps(type("Mine", (QuorDict,), {})({1: 2}, 4))
        assert type(pickle.loads(data)) is QuorDict and b"quorlib.quordict" in data
        data = pickle.dumps(d)
        copy = fields(pickle.loads(data))
        assert b"unwritten" not in data and (copy["num_chunks"], copy["length"]) == (4, 3)
        assert [c.ref.name for c in copy["chunk_ref_list"]] == [proxy(d, i) for i in range(4)]
        assert copy["_lock"].name == f["_lock"].name and copy["_quor_meta_ref"].name == f["_quor_meta_ref"].name
        assert copy["chunk_list"] == [None] * 4

    def test_recreated_dictionary_reads_only_after_its_first_lock(self, fake, d):
        copy = pickle.loads(pickle.dumps(d))
        raises(AssertionError, "Metadata must be initialized/fetched", copy.__getitem__, 1)
        raises(AssertionError, "Metadata must be initialized/fetched", repr, copy)
        with copy:
            assert copy[1] == "a"
            copy["k"] = "v"
        with d:
            assert d["k"] == "v"

    def test_rebuild_refusals(self, fake, d):
        f = fields(d)
        args = [f["chunk_ref_list"], 4, f["_quor_meta_ref"], 3, f["_lock"], 0]
        with pytest.raises(TypeError, match="rebuild"):
            QuorDict.rebuild(*args[:5])
        raises(TypeError, "Argument 'chunk_ref_list' has incorrect type (expected list, got tuple)",
               QuorDict.rebuild, (), *args[1:])
        with pytest.raises(AssertionError):
            QuorDict.rebuild(*args[:3], -1, *args[4:])
        assert fake.log == []

    def test_printed_form(self, fake):
        d = QuorDict({1: "a", 5: "b"}, 4)
        assert repr(d) == d.__repr__() == "QuorDict([(1, 'a'), (5, 'b')])" and resident(d) == [0, 1, 2, 3]
        assert repr(QuorDict(None, 2)) == "QuorDict([])"
        assert QuorDict.__repr__.__doc__ == (
            "\n        This function only prints the currently fetched chunks. It does not fetch all chunks.\n"
            "        To see the full list, use `items()` and print them individually\n        ")
