"""QuorDict construction: partitioning by key hash, one proxy per chunk,
argument checks, and what the module binds."""

import pytest

import quorlib.quordict as qd
from quorlib.quorbase import QuorBase, QuorChunk
from quorlib.quordict import QuorDict

FIELDS = ("_last_msg_time", "_local_lock", "_lock", "_quor_free_to_use", "_quor_inval_threads",
          "_quor_meta", "_quor_meta_ref", "chunk_list", "chunk_ref_list", "length", "num_chunks",
          "per_chunk_lock")


def fields(d):
    return dict(zip(FIELDS, QuorBase.__reduce__(d)[2]))


def chunk_contents(fake, d):
    return [fake.value(chunk.ref) for chunk in fields(d)["chunk_ref_list"]]


class HashMinusSeven:
    def __hash__(self):
        return -7

    def __eq__(self, other):
        return isinstance(other, HashMinusSeven)


class Sleeper:
    def __init__(self):
        self.slept = []

    def sleep(self, seconds):
        self.slept.append(seconds)


class TestPartitioning:
    def test_default_is_32_empty_chunks_none_resident(self, fake):
        d = QuorDict()
        f = fields(d)
        assert chunk_contents(fake, d) == [{}] * 32
        assert f["length"] == 0 and f["num_chunks"] == 32
        assert f["chunk_list"] == [None] * 32
        assert QuorDict({}) is not None and chunk_contents(fake, QuorDict({})) == [{}] * 32

    def test_each_chunk_gets_its_proxy_with_directory_class_and_local_cache(self, fake):
        d = QuorDict({1: "a"}, 2)
        creates = [c for c in fake.calls if c[1] == "create" and c[0].startswith("proxy")]
        meta, chunk0, chunk1 = creates
        assert meta[2][1] is None  # the version record's proxy is uncached
        assert chunk0[2] == ({}, qd.QuorCacheDirMSI) and chunk1[2] == ({1: "a"}, qd.QuorCacheDirMSI)
        handles = fields(d)["chunk_ref_list"]
        assert [type(h) for h in handles] == [QuorChunk, QuorChunk]
        assert [h.ref.name for h in handles] == [chunk0[0], chunk1[0]]
        assert all(isinstance(h.cache, qd.QuorCacheLocalMSI) for h in handles)

    def test_small_ints_go_to_hash_floored_modulo_chunks_in_mapping_order(self, fake):
        d = QuorDict({1: "a", 5: "b", 2: "c"}, 4)
        contents = chunk_contents(fake, d)
        assert contents == [{}, {1: "a", 5: "b"}, {2: "c"}, {}]
        assert list(contents[1]) == [1, 5]
        assert fields(d)["length"] == 3

    def test_hash_minus_seven_goes_to_chunk_one_of_four(self, fake):
        key = HashMinusSeven()
        d = QuorDict({-7: "int", key: "obj"}, 4)
        contents = chunk_contents(fake, d)
        assert [len(c) for c in contents] == [0, 2, 0, 0]
        assert contents[1][-7] == "int"

    def test_one_chunk_takes_every_key(self, fake):
        d = QuorDict({1: 1, "s": 2, None: 3, (1, "t"): 4}, 1)
        assert chunk_contents(fake, d) == [{1: 1, "s": 2, None: 3, (1, "t"): 4}]

    def test_failed_actor_creation_leaves_no_handles(self, fake, monkeypatch):
        made = []

        class FailingThird:
            @staticmethod
            def remote(value, cache_class):
                if len(made) == 2:
                    raise RuntimeError("no more actors")
                made.append(value)
                return fake.QuorProxy.remote(value, cache_class)

        d = QuorDict.__new__(QuorDict)
        monkeypatch.setattr(qd, "QuorProxy", FailingThird)
        with pytest.raises(RuntimeError, match="no more actors"):
            d.__init__({}, 4)
        assert fields(d)["chunk_ref_list"] is None
        assert len(made) == 2


class TestArguments:
    @pytest.mark.parametrize("n", [0, -2])
    @pytest.mark.parametrize("value", [None, {1: 2}])
    def test_chunk_count_below_one_creates_nothing(self, fake, n, value):
        with pytest.raises(ValueError) as e:
            QuorDict(value, n)
        assert str(e.value) == "Number of buckets must be greater than 0"
        assert fake.log == []

    @pytest.mark.parametrize("value", [[(1, 2)], type("Sub", (dict,), {})()])
    def test_value_must_be_exactly_a_dict(self, fake, value):
        with pytest.raises(TypeError) as e:
            QuorDict(value, 4)
        assert str(e.value) == (f"Argument 'value' has incorrect type "
                                f"(expected dict, got {type(value).__name__})")
        assert fake.log == []

    def test_chunk_ref_list_must_be_exactly_a_list_and_value_is_checked_first(self, fake):
        with pytest.raises(TypeError) as e:
            QuorDict(None, 4, chunk_ref_list=(), length=0)
        assert str(e.value) == "Argument 'chunk_ref_list' has incorrect type (expected list, got tuple)"
        with pytest.raises(TypeError, match="'value'"):
            QuorDict([], 4, chunk_ref_list=())

    def test_integer_conversion(self, fake):
        assert fields(QuorDict(None, 4.7))["num_chunks"] == 4
        for bad in ("4", None, [4]):
            with pytest.raises(TypeError) as e:
                QuorDict(None, bad)
            assert str(e.value) == "an integer is required"
        for kw in ("num_chunks", "per_chunk_lock", "length"):
            with pytest.raises(OverflowError) as e:
                QuorDict(**{kw: 2 ** 31})
            assert str(e.value) == "value too large to convert to int"
        # Integers are converted before the types are checked.
        with pytest.raises(TypeError, match="an integer is required"):
            QuorDict([], "4")
        assert fake.log == []

    def test_bad_calls(self, fake):
        with pytest.raises(TypeError):
            QuorDict(None, 4, None, 0, None, None, -1, "eighth")
        with pytest.raises(TypeError):
            QuorDict(chunks=4)
        with pytest.raises(TypeError):
            QuorDict({}, 4, num_chunks=4)
        assert fake.log == []

    def test_keywords_reach_the_base(self, fake):
        d = QuorDict(num_chunks=3, per_chunk_lock=7, value={"k": 1})
        f = fields(d)
        assert (f["num_chunks"], f["per_chunk_lock"], f["length"]) == (3, 7, 1)
        assert sum(len(c) for c in chunk_contents(fake, d)) == 1


class TestAdoption:
    def test_handles_are_adopted_and_value_ignored(self, fake):
        src = fields(QuorDict({1: "a"}, 4))
        fake.take_log()
        d = QuorDict({9: "ignored"}, 4, src["_lock"], 0, src["chunk_ref_list"], src["_quor_meta_ref"], 3)
        f = fields(d)
        assert fake.log == []
        assert f["chunk_ref_list"] is src["chunk_ref_list"]
        assert f["_lock"] is src["_lock"] and f["_quor_meta_ref"] is src["_quor_meta_ref"]
        assert f["length"] == 3 and f["chunk_list"] == [None] * 4

    def test_adopting_without_length_fails(self, fake):
        src = fields(QuorDict(None, 2))
        with pytest.raises(AssertionError):
            QuorDict(None, 2, src["_lock"], 0, src["chunk_ref_list"], src["_quor_meta_ref"])


class TestInitialiser:
    """The table entry itself, reached through QuorBase.__init__, which does
    not check the value's type."""

    def test_non_dict_value_prints_waits_and_refuses(self, fake, monkeypatch, capsys):
        sleeper = Sleeper()
        monkeypatch.setattr(qd, "time", sleeper)
        d = QuorDict.__new__(QuorDict)
        with pytest.raises(ValueError) as e:
            QuorBase.__init__(d, 4, [1, 2])
        assert str(e.value) == "Value must be a dict"
        assert capsys.readouterr().out == "Value is not None\n"
        assert sleeper.slept == [3]
        assert fields(d)["chunk_ref_list"] is None
        assert [e for e in fake.log if e.endswith(".create")] == ["proxy0.create"]

    def test_dict_subclass_is_partitioned_through_its_items(self, fake):
        class Pairs(dict):
            def items(self):
                return [(1, "from items"), (2, "b")]

        d = QuorDict.__new__(QuorDict)
        QuorBase.__init__(d, 2, Pairs({7: "stored"}))
        assert chunk_contents(fake, d) == [{2: "b"}, {1: "from items"}]
        assert fields(d)["length"] == 1  # len() of the mapping itself

    def test_interpreter_subclass_uses_the_dictionary_initialiser(self, fake):
        class Mine(QuorDict):
            pass

        d = Mine({1: "a"}, 2)
        assert chunk_contents(fake, d) == [{}, {1: "a"}]
        assert d[1] == "a"


class TestModule:
    def test_namespace(self):
        import ray
        import time
        import quorlib.quorlock as lock_module
        import quorlib.quorproxy as proxy_module

        assert qd.ray is ray and qd.time is time
        assert qd.QuorLock is lock_module.QuorLock
        for name in ("QuorProxy", "gen_quor_id", "QuorCacheLocalMSI", "QuorCacheDirMSI"):
            assert getattr(qd, name) is getattr(proxy_module, name)
        assert issubclass(QuorDict, QuorBase)
        assert QuorDict.__module__ == "quorlib.quordict"

    def test_services_are_looked_up_at_each_use(self, fake, monkeypatch):
        class MarkedCache:
            pass

        monkeypatch.setattr(qd, "QuorCacheLocalMSI", MarkedCache)
        d = QuorDict(None, 2)
        assert all(isinstance(h.cache, MarkedCache) for h in fields(d)["chunk_ref_list"])
