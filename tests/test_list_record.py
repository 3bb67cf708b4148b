"""ListChunkMeta: construction, pickled forms and checksums."""

import gc
import pickle
import weakref

import pytest

from quorlib.quorlist import ListChunkMeta, _unpickle_ListChunkMeta
from listhelp import record_state

MESSAGE = ("Incompatible checksums (0x{:x} vs (0xc538c24, 0x4c749e9, 0x4276bf5) = "
           "(chunk_used, last_used_chunk, max_element_per_chunk))")


class Tagged(ListChunkMeta):
    pass


def test_default_record_pickles_in_direct_form():
    reduced = ListChunkMeta().__reduce__()
    assert reduced == (_unpickle_ListChunkMeta, (ListChunkMeta, 0xc538c24, (None, None, 1024)))
    assert record_state(pickle.loads(pickle.dumps(ListChunkMeta()))) == (None, None, 1024)


def test_record_with_handles_pickles_in_set_state_form(fake):
    counts, last = fake.QuorProxy.remote([0, 0], None), fake.QuorProxy.remote(0, None)
    meta = ListChunkMeta(last, 7, counts)
    assert meta.__reduce__() == (_unpickle_ListChunkMeta, (ListChunkMeta, 0xc538c24, None),
                                 (counts, last, 7))
    copy = pickle.loads(pickle.dumps(meta))
    copy_counts, copy_last, capacity = record_state(copy)
    assert capacity == 7
    copy_counts.set_nocache.remote([5, 1])  # written through the copy ...
    assert fake.value(counts) == [5, 1]     # ... read through the original's proxy
    assert copy_last.name == last.name


def test_state_order_and_conversion():
    meta = _unpickle_ListChunkMeta(ListChunkMeta, 0xc538c24, ("a", "b", 7.9))
    assert record_state(meta) == ("a", "b", 7)
    meta.__setstate__(("c", "d", 3))
    assert record_state(meta) == ("c", "d", 3)


@pytest.mark.parametrize("checksum", [0xc538c24, 0x4c749e9, 0x4276bf5])
def test_accepted_checksums(checksum):
    assert record_state(_unpickle_ListChunkMeta(ListChunkMeta, checksum, None)) == (None, None, 0)


def test_unknown_checksum_raises_pickle_error():
    with pytest.raises(pickle.PickleError) as info:
        _unpickle_ListChunkMeta(ListChunkMeta, 0xabc, None)
    assert str(info.value) == MESSAGE.format(0xabc)


@pytest.mark.parametrize("checksum,kind", [("c538c25", "str"), (1.5, "float"), (None, "NoneType")])
def test_checksum_that_is_no_integer_is_a_type_error(checksum, kind):
    with pytest.raises(TypeError) as e:
        _unpickle_ListChunkMeta(ListChunkMeta, checksum, None)
    assert str(e.value) == f"%x format: an integer is required, not {kind}"


def test_argument_errors():
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        ListChunkMeta(None, 2 ** 31)
    with pytest.raises(TypeError, match="__init__"):
        ListChunkMeta(None, 1, None, 4)
    with pytest.raises(TypeError):
        _unpickle_ListChunkMeta(int, 0xc538c24, None)   # not a record type


def test_subclass_carries_its_dict_through_pickling():
    meta = Tagged(None, 5, None)
    meta.note = "kept"
    copy = pickle.loads(pickle.dumps(meta))
    assert type(copy) is Tagged and copy.note == "kept"
    assert record_state(copy)[:3] == (None, None, 5)


def test_cycle_through_record_is_collected():
    meta = Tagged()
    meta.self_ref = meta
    meta.__setstate__(([meta], meta, 1))
    alive = weakref.ref(meta)
    del meta
    gc.collect()
    assert alive() is None
