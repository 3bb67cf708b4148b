"""QuorChunk and QuorMeta: construction, properties, pickling, integer conversion."""

import pickle

import pytest

from quorlib.quorbase import QuorChunk, QuorMeta


class Count:
    def __init__(self, n):
        self.n = n

    def __int__(self):
        return self.n


def test_chunk_holds_and_replaces_its_two_references():
    c = QuorChunk(None, None)
    assert (c.ref, c.cache) == (None, None)
    c = QuorChunk(cache="c", ref="r")
    assert (c.ref, c.cache) == ("r", "c")
    c.ref, c.cache = 1, 2
    assert (c.ref, c.cache) == (1, 2)


@pytest.mark.parametrize("attr", ["ref", "cache"])
def test_chunk_refuses_deletion_and_stays_unchanged(attr):
    c = QuorChunk("r", "c")
    with pytest.raises(NotImplementedError) as e:
        delattr(c, attr)
    assert str(e.value) == "__del__"
    assert (c.ref, c.cache) == ("r", "c")


@pytest.mark.parametrize("args,kwargs", [((), {}), ((1,), {}), ((1, 2, 3), {}), ((1, 2), {"x": 3}),
                                         ((1,), {"ref": 2})])
def test_chunk_and_rebuild_refuse_bad_calls(args, kwargs):
    with pytest.raises(TypeError):
        QuorChunk(*args, **kwargs)
    with pytest.raises(TypeError):
        QuorChunk.rebuild(*args, **kwargs)


def test_chunk_pickles_as_rebuild_of_its_references():
    c = QuorChunk(["r"], {"c": 1})
    fn, args = c.__reduce__()
    assert fn is QuorChunk.rebuild and args == (["r"], {"c": 1})
    assert QuorChunk.rebuild.__qualname__ == "QuorChunk.rebuild"
    back = pickle.loads(pickle.dumps(c))
    assert type(back) is QuorChunk and back.ref == ["r"] and back.cache == {"c": 1}
    assert type(QuorChunk.rebuild(ref=1, cache=2)) is QuorChunk


def test_meta_versions_start_at_zero():
    assert QuorMeta(0).chunk_versions == []
    assert QuorMeta(-3).chunk_versions == []
    assert QuorMeta(3).chunk_versions == [0, 0, 0]
    fresh = QuorMeta(2)
    assert (fresh.committed_epochs, fresh.epoch) == ([0, 0], 0)
    assert fresh.committed_epochs is not fresh.chunk_versions
    back = pickle.loads(pickle.dumps(fresh))
    assert (back.chunk_versions, back.committed_epochs, back.epoch) == ([0, 0], [0, 0], 0)
    assert QuorMeta(num_chunks=2.9).chunk_versions == [0, 0]
    assert QuorMeta(Count(1)).chunk_versions == [0]
    assert QuorMeta.__module__ == "quorlib.quorbase" and QuorMeta.__qualname__ == "QuorMeta"
    assert QuorMeta.__bases__ == (object,)
    assert pickle.loads(pickle.dumps(QuorMeta(2))).chunk_versions == [0, 0]


@pytest.mark.parametrize("value,error,message", [
    ("4", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    ([1], TypeError, "an integer is required"),
    (2**31, OverflowError, "value too large to convert to int"),
    (-2**31 - 1, OverflowError, "value too large to convert to int"),
    (1e300, OverflowError, "value too large to convert to int"),
])
def test_meta_integer_conversion_is_exact(value, error, message):
    with pytest.raises(error) as e:
        QuorMeta(value)
    assert str(e.value) == message


def test_meta_refuses_bad_calls_and_propagates_int_errors():
    with pytest.raises(TypeError):
        QuorMeta()
    with pytest.raises(TypeError):
        QuorMeta(1, 2)

    class Bad:
        def __int__(self):
            raise ZeroDivisionError("no")

    with pytest.raises(ZeroDivisionError):
        QuorMeta(Bad())
