"""The by-value pickled form of a bare QuorBase and of Python subclasses."""

import io
import pickle
import pickletools

import pytest

from basehelp import FIELDS, Plain, adopted_base
from quorlib.quorbase import QuorBase, QuorChunk, _unpickle_QuorBase
from quorlib.quordict import QuorDict
from quorlib.quorlist import QuorList

CHECKSUM_MESSAGE = (
    "Incompatible checksums (0x{:x} vs (0x5e1d0c3, 0x2b7a9f4, 0x9c04e61) = (_last_msg_time, "
    "_local_lock, _lock, _quor_free_to_use, _quor_inval_threads, _quor_meta, _quor_meta_ref, "
    "chunk_list, chunk_ref_list, length, num_chunks, per_chunk_lock))")


def test_allocated_base_pickles_in_the_direct_form():
    obj = QuorBase.__new__(QuorBase)
    fn, args = obj.__reduce__()
    assert fn is _unpickle_QuorBase and args[:2] == (QuorBase, 0x5e1d0c3)
    back = pickle.loads(pickle.dumps(obj))
    assert type(back) is QuorBase and back.__reduce__() == obj.__reduce__()


def test_state_round_trips_with_the_set_state_form():
    obj = QuorBase.__new__(QuorBase)
    state = (7, None, "lock", None, [None], None, "meta", [{"a": 1}], ["h"], 3, 1, 2)
    obj.__setstate__(state)
    fn, args, got = obj.__reduce__()
    assert args == (QuorBase, 0x5e1d0c3, None) and got == state
    back = pickle.loads(pickle.dumps(obj))
    assert back.__reduce__()[2] == state


def test_subclass_attributes_travel_as_a_thirteenth_element():
    obj = QuorBase.__new__(Plain)
    obj.note = "kept"
    back = pickle.loads(pickle.dumps(obj))
    assert type(back) is Plain and back.note == "kept"


def test_constructed_base_refuses_by_value_pickling(fake):
    obj, _, _ = adopted_base(fake, [{}])
    with pytest.raises(TypeError):
        pickle.dumps(obj)


@pytest.mark.parametrize("checksum", [0x5e1d0c3, 0x2b7a9f4, 0x9c04e61])
def test_accepted_checksums(checksum):
    assert type(_unpickle_QuorBase(QuorBase, checksum, None)) is QuorBase
    assert type(_unpickle_QuorBase(type=Plain, checksum=checksum, state=None)) is Plain


@pytest.mark.parametrize("checksum", [0, 0x5e1d0c4, 0xabc, -0x1f, True])
def test_unknown_checksum_is_refused(checksum):
    with pytest.raises(pickle.PickleError) as e:
        _unpickle_QuorBase(QuorBase, checksum, None)
    assert str(e.value) == CHECKSUM_MESSAGE.format(checksum)


@pytest.mark.parametrize("checksum,kind", [("5e1d0c4", "str"), (1.5, "float"), (None, "NoneType")])
def test_checksum_that_is_no_integer_is_a_type_error(checksum, kind):
    with pytest.raises(TypeError) as e:
        _unpickle_QuorBase(QuorBase, checksum, None)
    assert str(e.value) == f"%x format: an integer is required, not {kind}"


@pytest.mark.parametrize("state,error", [
    ([0] * 12, TypeError),                                              # not a tuple
    ((0,) + (None,) * 8 + (0, 0), IndexError),                          # too short
    ((0, None, None, None, (), None, None, None, None, 0, 0, 0), TypeError),  # threads not a list
    ((0, None, None, None, None, None, None, {}, None, 0, 0, 0), TypeError),  # chunk_list
    ((0, None, None, None, None, None, None, None, "x", 0, 0, 0), TypeError), # chunk_ref_list
    (("t",) + (None,) * 8 + (0, 0, 0), TypeError),                      # not an integer
    ((0,) + (None,) * 8 + (2**31, 0, 0), OverflowError),
])
def test_forged_states_are_refused(state, error):
    with pytest.raises(error):
        _unpickle_QuorBase(QuorBase, 0x5e1d0c3, state)


def test_partial_state_keeps_fields_assigned_before_the_failure():
    obj = QuorBase.__new__(QuorBase)
    with pytest.raises(TypeError):
        obj.__setstate__((5, "local", "lock", None, None, None, None, "bad", None, 0, 0, 0))
    state = obj.__reduce__()[2]
    assert dict(zip(FIELDS, state))["_lock"] == "lock" and state[0] == 5


def test_unpickling_refuses_a_type_that_is_not_a_container():
    with pytest.raises(TypeError):
        _unpickle_QuorBase(dict, 0x5e1d0c3, None)
    with pytest.raises(TypeError):
        _unpickle_QuorBase(QuorBase, 0x5e1d0c3)


def test_subclass_attributes_that_are_a_tuple_are_not_spread():
    obj = QuorBase.__new__(Plain)
    obj.__setstate__((0,) + (None,) * 8 + (0, 0, 0, (("a", 1), ("b", 2))))
    assert (obj.a, obj.b) == (1, 2)


class AllowListed(pickle.Unpickler):
    """An unpickler that loads only the globals it was given, as services that
    accept pickles from elsewhere do."""

    def __init__(self, stream, allowed):
        super().__init__(io.BytesIO(stream))
        self.allowed = allowed
        self.found = []

    def find_class(self, module, name):
        self.found.append((module, name))
        if (module, name) not in self.allowed:
            raise pickle.UnpicklingError(f"{module}.{name} is not allowed")
        return super().find_class(module, name)


def _stream_strings(stream):
    return {arg for op, arg, _ in pickletools.genops(stream) if isinstance(arg, str)}


CHUNK = ("quorlib.quorbase", "QuorChunk.rebuild")
HANDLES = {CHUNK, ("fakeray", "_lookup_handle"), ("quorlib.quorproxy", "QuorCacheLocalMSI"),
           ("quorlib.quorproxy", "Slot"), ("quorlib.quorproxy", "Cell")}


def _chunk(fake):
    return QuorChunk(["r"], {"c": 1}), {CHUNK}, CHUNK


def _dict(fake):
    return QuorDict({"a": 1, "b": 2}, 2), HANDLES | {("quorlib.quordict", "QuorDict.rebuild")}, \
        ("quorlib.quordict", "QuorDict.rebuild")


def _list(fake):
    meta = {("quorlib.quorlist", "_unpickle_ListChunkMeta"), ("quorlib.quorlist", "ListChunkMeta")}
    return QuorList(2, [1, 2, 3]), HANDLES | meta | {("quorlib.quorlist", "QuorList.rebuild")}, \
        ("quorlib.quorlist", "QuorList.rebuild")


def _contents(obj):
    if isinstance(obj, QuorChunk):
        return obj.ref, obj.cache
    with obj:
        return dict(obj.items()) if isinstance(obj, QuorDict) else list(obj)


@pytest.mark.parametrize("make", [_chunk, _dict, _list], ids=["chunk", "dict", "list"])
@pytest.mark.parametrize("protocol", range(4, pickle.HIGHEST_PROTOCOL + 1))
def test_streams_name_rebuild_by_its_qualified_name(fake, make, protocol):
    obj, allowed, rebuild = make(fake)
    stream = pickle.dumps(obj, protocol)
    strings = _stream_strings(stream)
    assert rebuild[1] in strings and "getattr" not in strings and "builtins" not in strings
    loader = AllowListed(stream, allowed)
    back = loader.load()
    assert loader.found[0] == rebuild
    assert type(back) is type(obj) and _contents(back) == _contents(obj)


def test_streams_before_protocol_4_still_round_trip(fake):
    obj = QuorDict({"a": 1}, 2)
    for protocol in range(0, 4):
        assert _contents(pickle.loads(pickle.dumps(obj, protocol))) == {"a": 1}
