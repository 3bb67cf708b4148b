"""Reference counts and collection under the recording double.

After many operations, failing ones included (missing keys, bad positions,
keys and elements whose comparison or hash raises, failed fetches, failed
write-backs, failed locks), the counts of the values, keys and types involved
return to where they were once the container is gone; instances of Python
subclasses give their type reference back; cycles through a container, its
chunk copies or its handles are collected.
"""

import collections
import contextlib
import dataclasses
import datetime
import enum
import gc
import pickle
import sys
import threading
import weakref

import pytest

from basehelp import Plain, adopted_base, fields, set_fields
from listhelp import record_fields, record_of
from quorlib import quorlock
from quorlib.quorbase import QuorChunk, QuorMeta, WriteBackError
from quorlib.quordict import QuorDict
from quorlib.quorlist import ListChunkMeta, QuorList


class Key:
    """A key of a type of its own, so that the type's count can be watched."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return isinstance(other, Key) and other.name == self.name


class Value:
    pass


class Touchy:
    """Equal only to itself: any comparison with another object raises.
    Every instance hashes alike, so two of them meet in one dict chunk."""

    def __hash__(self):
        return 7

    def __eq__(self, other):
        raise RuntimeError("comparison refused")


class BadHash:
    def __hash__(self):
        raise ValueError("no hash")


class Boom(Exception):
    pass


WATCHED_TYPES = (Key, Value, Touchy, BadHash)


@contextlib.contextmanager
def written_before_the_release():
    """No chunk small enough to travel with the release: each is written to
    its slot first, where a refusal stops the commit."""
    saved = quorlock.CARRY_CHUNK_BYTES
    quorlock.CARRY_CHUNK_BYTES = 0
    try:
        yield
    finally:
        quorlock.CARRY_CHUNK_BYTES = saved


def settle(fake):
    """Collects garbage and drops the double's record of call arguments, which
    holds the chunk copies it was sent."""
    gc.collect()
    fake.calls.clear()
    fake.take_log()


def counts(objects):
    return [sys.getrefcount(o) for o in objects]


def chunk_of(container, index):
    return fields(container)["chunk_ref_list"][index].ref


def home_chunk(d, key):
    """The chunk that holds `key`: the one its lookup makes resident in a
    dictionary that has nothing resident yet."""
    key in d
    return [i for i, c in enumerate(fields(d)["chunk_list"]) if c is not None][0]


def test_dictionary_operations_failing_ones_included_leave_no_reference(fake):
    key, value, missing, touchy, probe, bad_hash = (Key("k"), Value(), Key("missing"), Touchy(),
                                                    Touchy(), BadHash())
    watched = [key, value, missing, touchy, probe, bad_hash, *WATCHED_TYPES]
    settle(fake)
    before = counts(watched)

    d = QuorDict({"seed": 0}, 2)
    touchy_chunk = chunk_of(d, home_chunk(d, touchy))
    for round_ in range(30):
        with d:
            d[key] = value
            d[touchy] = value
            assert d[key] is value and key in d and d[touchy] is value
            # Identity only: comparing `touchy` with anything raises.
            assert [v for v in d.values() if v is value] == [value, value]
            assert [k for k in d.keys() if k is key] == [key]
            assert [k for k, v in d.items() if v is value and k is touchy] == [touchy]
            assert len(d) == 3 and set(d) == {"seed", key, touchy}
            for failing, error in [
                (lambda: d[missing], KeyError),
                (lambda: d.__delitem__(missing), KeyError),
                (lambda: d[[key]], TypeError),           # unhashable
                (lambda: d[bad_hash], ValueError),
                (lambda: d.__setitem__(bad_hash, value), ValueError),
                (lambda: d[probe], RuntimeError),        # meets `touchy` in its chunk
                (lambda: probe in d, RuntimeError),
                (lambda: d.__setitem__(probe, value), RuntimeError),
                (lambda: d.__delitem__(probe), RuntimeError),
            ]:
                with pytest.raises(error):
                    failing()
            assert missing not in d
            if round_ % 3 == 1:
                continue   # written back with both keys in place, removed next round
            del d[key]
            del d[touchy]
        if round_ % 5 == 4:
            # A failed write-back commits nothing and drops the copies.
            fake.actor(touchy_chunk).fail("set", Boom("write refused"), times=1)
            with pytest.raises(WriteBackError), written_before_the_release():
                with d:
                    d[key] = value
                    d[touchy] = value
            with d:
                assert key not in d and touchy not in d
        if round_ % 7 == 6:
            fake.actor(touchy_chunk).fail("get", Boom("read refused"), times=1)
            d2 = pickle.loads(pickle.dumps(d))
            with pytest.raises(Boom):
                with d2:
                    d2[touchy] = value
            del d2
    d.clear()
    with d:
        pass
    d = None   # the lambdas above close over `d`
    settle(fake)
    assert counts(watched) == before


def test_chunks_carried_by_the_lock_leave_no_reference(fake):
    key, value = Key("k"), Value()
    watched = [key, value, *WATCHED_TYPES]
    settle(fake)
    before = counts(watched)

    d = QuorDict({"seed": 0}, 2)
    reader = pickle.loads(pickle.dumps(d))
    for round_ in range(20):
        with reader:
            assert len(reader) in (1, 2)  # every chunk resident: the next grant carries them in
            # The copies came pickled: equal keys, other objects.
            assert [k is key for k in reader if isinstance(k, Key)] in ([], [False])
        with d:
            if round_ % 2:
                del d[key]
            else:
                d[key] = value
        if round_ % 5 == 4:
            with reader:
                pass               # carried in, never unpickled, then replaced
    reader = None
    d.clear()
    with d:
        pass
    # A chunk actor keeps its last commit's predecessor until a read names that
    # commit; nothing read here since (the copies came with the grants).
    settler = pickle.loads(pickle.dumps(d))
    with settler:
        len(settler)
    d = settler = None
    settle(fake)
    assert counts(watched) == before


class Zone(datetime.tzinfo):
    def __init__(self, hours=0, fail=False):
        self.offset, self.fail = datetime.timedelta(hours=hours), fail

    def utcoffset(self, dt):
        if self.fail:
            raise Boom("no offset")
        return self.offset

    def dst(self, dt):
        return None


@dataclasses.dataclass(frozen=True)
class Frozen:
    a: object
    b: object = 0


class Colour(enum.Enum):
    RED = 1


def test_key_hashes_of_every_kind_failing_ones_included_leave_no_reference(fake):
    part, stray, zone, failing_zone = Key("part"), Value(), Zone(1), Zone(fail=True)
    keys = [frozenset({part, "x"}), Frozen(part, ("t", part)), Colour.RED, (part, frozenset({Frozen(part)})),
            datetime.datetime(2026, 1, 1, tzinfo=zone), datetime.datetime(2026, 11, 1, 1, fold=1, tzinfo=zone),
            datetime.time(9, tzinfo=zone), memoryview(b"r_a_w")[::2]]
    failing = [(frozenset({"x", stray}), TypeError), (Frozen(part, stray), TypeError),   # identity hashes
               (Frozen(part, [1]), TypeError), (Frozen(part, BadHash()), ValueError),
               (datetime.datetime(2026, 1, 1, tzinfo=failing_zone), Boom),
               (datetime.time(9, tzinfo=failing_zone), Boom)]
    value = Value()
    watched = [part, stray, zone, failing_zone, value, *keys, *(k for k, _ in failing), *WATCHED_TYPES, Zone,
               Frozen, Colour]
    d = QuorDict({"seed": 0}, 3)

    def rounds(n):
        for _ in range(n):
            with d:
                for key in keys:
                    assert key not in d
                    d[key] = value
                    assert d[key] is value
                    del d[key]
                for key, error in failing:
                    for use in (lambda: key in d, lambda: d.__setitem__(key, value), lambda: d[key]):
                        with pytest.raises(error):
                            use()

    rounds(1)  # what the first key of a kind sets up for the whole process
    settle(fake)
    before = counts(watched)
    rounds(20)
    settle(fake)
    assert counts(watched) == before
    d = None


def test_list_operations_failing_ones_included_leave_no_reference(fake):
    item, other, missing, touchy = Key("item"), Value(), Key("missing"), Touchy()
    watched = [item, other, missing, touchy, *WATCHED_TYPES]
    settle(fake)
    before = counts(watched)

    lst = QuorList(3, [0, 1, 2], meta=ListChunkMeta(None, 3, None))
    second_chunk = chunk_of(lst, 1)
    for round_ in range(20):
        with lst:
            lst.append(item)                     # [0 1 2] [item]
            lst.insert(0, other)                 # chunk 0 now over capacity
            lst.extend([item, other])
            lst[1] = item                        # [other item 1 2] [item item other]
            assert lst[0] is other and lst[1] is item and lst[-1] is other
            assert lst.index(item) == 1 and item in lst and missing not in lst
            assert [e for e in lst if e is item] == [item] * 3
            for failing, error in [
                (lambda: lst[99], IndexError),
                (lambda: lst.__setitem__(-99, item), IndexError),
                (lambda: lst["x"], TypeError),
                (lambda: lst.pop(99), IndexError),
                (lambda: lst.pop(-99), IndexError),
                (lambda: lst.insert(99, item), IndexError),
                (lambda: lst.index(missing), ValueError),
                (lambda: lst.remove(missing), ValueError),
                (lambda: lst.__delitem__(0), NotImplementedError),
                (lambda: lst.extend([item] * 4), OverflowError),   # room for 3 more
            ]:
                with pytest.raises(error):
                    failing()
            while len(lst) > 7:
                assert lst.pop() is item
            lst.append(touchy)
            for failing in (lambda: lst.index(missing), lambda: missing in lst,
                            lambda: lst.remove(missing)):
                with pytest.raises(RuntimeError):   # the search reaches `touchy`
                    failing()
            assert lst.pop() is touchy
            assert lst.pop(0) is other           # [item 1 2 item] [item other]
            lst[0] = 0
            lst.remove(item)
            assert lst.pop() is other and lst.pop() is item
        if round_ % 4 == 3:
            fake.actor(second_chunk).fail("set", Boom("write refused"), times=1)
            with pytest.raises(WriteBackError), written_before_the_release():
                with lst:
                    lst.extend([item, other])
            with lst:   # the unwritable chunk was re-read: its appends are gone
                assert list(lst) == [0, 1, 2]
    with lst:
        assert list(lst) == [0, 1, 2]
    lst = None   # the lambdas above close over `lst`
    settle(fake)
    assert counts(watched) == before


def test_mapping_and_sequence_methods_failing_ones_included_leave_no_reference(fake):
    import copy
    key, value, missing, touchy, probe, bad_hash = (Key("k"), Value(), Key("missing"), Touchy(),
                                                    Touchy(), BadHash())
    # The objects themselves, not their types: the actors of the copies made
    # below keep unpickled instances of their own for as long as the double lives.
    watched = [key, value, missing, touchy, probe, bad_hash]
    settle(fake)
    before = counts(watched)

    d = QuorDict({"seed": 0}, 2)
    lst = QuorList(3, [0, 1, 2], meta=ListChunkMeta(None, 6, None))
    used = record_fields(record_of(lst))["chunk_used"]
    for _ in range(10):
        with d:
            assert d.get(key) is None and d.get(missing, value) is value
            assert d.setdefault(key, value) is value and d.setdefault(key) is value
            d.update({touchy: value}, extra=value)
            d.update([(missing, value)])
            assert d.pop(missing) is value and d.pop(missing, key) is key
            assert d.copy()[key] is value and (d | {missing: value})[missing] is value
            d |= [(missing, value)]
            del d[missing]
            assert any(k is key for k in reversed(d)) and d != {}
            made = QuorDict.fromkeys([missing], value)
            assert made[missing] is value
            for copier in (copy.copy, copy.deepcopy):
                assert copier(d).keys() is not None
            for failing, error in [
                (lambda: d.get(bad_hash), ValueError), (lambda: d.pop(probe), RuntimeError),
                (lambda: d.setdefault(probe, value), RuntimeError), (lambda: d.update(42), TypeError),
                (lambda: d.update([(key, value, value)]), ValueError),
                (lambda: d.update({probe: value}), RuntimeError),
                (lambda: d.pop(missing), KeyError),
            ]:
                with pytest.raises(error):
                    failing()
            while d:
                d.popitem()
            d["seed"] = 0
        with lst:
            lst += [key, value]
            lst.extend(iter([value]))
            assert lst.count(value) == 2 and lst.copy()[3] is key and list(reversed(lst))[0] is value
            assert (lst + [key])[-1] is key and (2 * lst)[-1] is value and lst != [key]
            lst.sort(key=lambda e: e is key)
            lst.reverse()
            lst *= 2
            lst *= 1
            for copier in (copy.copy, copy.deepcopy):
                assert len(copier(lst)) == 12
            lst.append(touchy)
            for failing, error in [
                (lambda: lst.count(missing), RuntimeError),   # reaches `touchy`
                (lambda: lst.sort(key=lambda e: 1 / 0), ZeroDivisionError),
                (lambda: lst.sort(), TypeError),
                (lambda: lst.__imul__(3), OverflowError),
            ]:
                with pytest.raises(error):
                    failing()
            lst *= 0
            lst.extend([0, 1, 2])
        # Outside a block the counts are published at once, and can be refused.
        fake.actor(used).fail("swap", Boom("refused"), times=1)
        with pytest.raises(Boom):
            lst += [key, value]
    made = None
    d = lst = None   # the lambdas above close over both
    settle(fake)
    assert counts(watched) == before


def test_failed_constructions_locks_and_transfers_leave_no_reference(fake, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    key, value, element = Key("k"), Value(), Value()
    mapping, sequence = {key: value}, [element]
    d = QuorDict({key: value}, 2)
    lst = QuorList(2, [element])
    handles = [fields(d)["_lock"], fields(d)["_quor_meta_ref"], *fields(d)["chunk_ref_list"]]
    watched = [key, value, element, mapping, sequence, *handles, *WATCHED_TYPES, QuorDict,
               QuorList]
    # A chunk actor keeps the last commit as its undo copy until the next block
    # names the new one: one block first, so that it holds one before and after.
    warm = pickle.loads(pickle.dumps(d))
    with warm:
        warm[key]
    del warm
    settle(fake)
    before = counts(watched)
    for _ in range(20):
        for refused, error in [
            (lambda: QuorDict(sequence), TypeError),
            (lambda: QuorDict(mapping, 0), ValueError),
            (lambda: QuorDict(mapping, "4"), TypeError),
            (lambda: QuorDict(mapping, 2 ** 31), OverflowError),
            (lambda: QuorList(2, (element,)), TypeError),
            (lambda: QuorList(0, sequence), ValueError),
            (lambda: QuorList(2, sequence, meta=mapping), TypeError),
            (lambda: QuorDict.rebuild(*d.__reduce__()[1][:5]), TypeError),
            (lambda: QuorDict(None, 2, handles[0], 0, fields(d)["chunk_ref_list"], handles[1]),
             AssertionError),   # adopting without a length
        ]:
            with pytest.raises(error):
                refused()
        copy = pickle.loads(pickle.dumps(d))
        with copy:
            assert type(copy[key]) is Value   # a copy, fetched from the chunk actor
        list_copy = pickle.loads(pickle.dumps(lst))
        with list_copy:
            assert len(list_copy) == 1
        fake.actor(handles[0]).fail("acquire", Boom("lock refused"), times=1)
        with pytest.raises(Boom):
            d.__lock__()
        # A holder that died left chunk 0 to repair, and its repair fails.
        fake.actor(handles[0]).state.suspect[handles[1].key] = {0}
        fake.actor(handles[2].ref).fail("rollback", Boom("repair refused"), times=1)
        with pytest.raises(Boom):
            with copy:
                pass
        del copy, list_copy
    settle(fake)
    assert counts(watched) == before   # d and lst, which hold the handles, still alive
    d = lst = None


def test_chunk_handles_and_records_leave_no_reference(fake):
    ref, cache = Value(), Value()
    watched = [ref, cache, Value, QuorChunk, QuorMeta]
    settle(fake)
    before = counts(watched)
    for _ in range(50):
        chunk = QuorChunk(ref, cache)
        chunk.ref, chunk.cache = chunk.cache, chunk.ref
        with pytest.raises(NotImplementedError):
            del chunk.ref
        with pytest.raises(TypeError):
            QuorChunk(ref)
        with pytest.raises(TypeError):
            QuorChunk(ref, cache, ref)
        rebuilt = QuorChunk.rebuild(*chunk.__reduce__()[1])
        assert rebuilt.ref is cache
        record = QuorMeta(3)
        record.chunk_versions[1] = ref
        with pytest.raises(TypeError):
            QuorMeta(ref)
        del chunk, rebuilt, record
    settle(fake)
    assert counts(watched) == before


class DictSub(QuorDict):
    pass


class ListSub(QuorList):
    pass


class PlainSub(Plain):
    pass


def _make(fake, cls):
    if cls is PlainSub:
        return adopted_base(fake, [{"a": 1}, {}], cls=PlainSub)[0]
    if cls is DictSub:
        return DictSub({"a": 1}, 2)
    return ListSub(2, [1, 2, 3])


@pytest.mark.parametrize("cls", [DictSub, ListSub, PlainSub])
def test_subclass_instances_give_their_type_reference_back(fake, monkeypatch, cls):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    settle(fake)
    before = sys.getrefcount(cls)
    for _ in range(20):
        obj = _make(fake, cls)
        obj.attribute = [obj.__class__]
        with obj:
            if cls is not PlainSub:
                len(obj)
        if cls is PlainSub:
            with pytest.raises(TypeError):
                pickle.dumps(obj)   # a constructed base refuses pickling by value
        else:
            copy = pickle.loads(pickle.dumps(obj))
            assert type(copy) is not cls
            del copy
        del obj
        with pytest.raises(ValueError):
            cls(num_chunks=0)   # refused before anything is made; its finaliser's report dropped
        bare = cls.__new__(cls)
        del bare
    settle(fake)
    assert sys.getrefcount(cls) == before


def _cycle_through_own_chunk(fake):
    d = DictSub({"x": 1}, 2)
    with d:
        d["me"] = d            # written back: the double stores a rebuilt copy
        d["again"] = [d, {"d": d}]
    return d


def _list_holding_itself(fake):
    lst = ListSub(2, [1])
    lst.append(lst)            # changed, never written back: the finaliser writes it
    return lst


def _subclass_pointing_at_itself(fake):
    obj = DictSub({"x": 1}, 2)
    obj.me = obj
    obj.chunks = fields(obj)["chunk_ref_list"]
    return obj


def _cycle_through_a_chunk_handle(fake):
    obj, _, _ = adopted_base(fake, [{}, {}], cls=PlainSub)
    fields(obj)["chunk_ref_list"][1].cache = obj
    return obj


def _cycle_through_the_version_record(fake):
    obj, _, _ = adopted_base(fake, [{}, {}], cls=PlainSub)
    with obj:
        pass
    fields(obj)["_quor_meta"].owner = obj
    return obj


def _cycle_through_a_copy_that_fails_to_write(fake):
    obj = DictSub({"x": 1}, 2)
    obj["me"] = obj
    chunks = [fake.actor(handle.ref) for handle in fields(obj)["chunk_ref_list"]]
    for chunk in chunks:
        chunk.fail("set", Boom("write refused"))
    with pytest.raises(WriteBackError):
        obj.flush()
    for chunk in chunks:
        # A fresh error: one raised again keeps the frames it passed through.
        chunk.fail("set", Boom("write refused"))
    obj["me"] = obj   # the failed copy was dropped: fetched again and changed
    return obj   # changed: the finaliser tries, fails and reports it


def _cycle_through_the_invalidation_threads(fake):
    obj, _, _ = adopted_base(fake, [{}, {}], cls=PlainSub)
    thread = threading.Thread(target=lambda: None)
    thread.start()
    thread.join()
    thread.owner = obj
    set_fields(obj, _quor_inval_threads=[thread, None])
    return obj


@pytest.mark.parametrize("build", [
    _cycle_through_own_chunk, _list_holding_itself, _subclass_pointing_at_itself,
    _cycle_through_a_chunk_handle, _cycle_through_the_version_record,
    _cycle_through_a_copy_that_fails_to_write, _cycle_through_the_invalidation_threads,
])
def test_cycles_through_a_container_are_collected(fake, monkeypatch, build):
    # The double's record of call arguments would hold the chunk copies sent to
    # it, and through them the container: record nothing.
    fake.calls = collections.deque(maxlen=0)
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    obj = build(fake)
    cls = type(obj)
    gc.collect()
    type_refs = sys.getrefcount(cls)
    alive = weakref.ref(obj)
    del obj
    gc.collect()
    assert alive() is None
    assert gc.garbage == []
    assert sys.getrefcount(cls) == type_refs - 1
    # A finaliser's failed write is reported by its line, never as unraisable.
    assert reported == []
