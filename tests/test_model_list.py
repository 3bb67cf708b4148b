"""QuorList against a model of its chunk layout, under hypothesis stateful
testing with the recording double.

Several holders of one list (the creator and copies made by pickling) take
turns in `with` blocks running random operations, the failing ones included.
The model is the list's chunks, not just its sequence: where an element goes
(append fills the last chunk in use, insert stays inside one chunk and may
overfill it, pop keeps the chunks packed), which positions insert refuses,
and what index's chunk-based `start` and between-chunk `end` return all
follow from the layout. Small chunk counts and capacities make full chunks,
overfilled chunks, empty chunks and overflow common.

Checked after every operation: its result or exception (type and message),
the shared usage counts and last chunk in use, and the active holder's
resident copies. After every block: the contents stored in the chunk proxies,
the layout invariants, every holder's view inside its own block, and that no
proxy was written while the shared lock was free.
"""

import copy
import pickle
import weakref

from hypothesis import event, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from modelhelp import (INT_REQUIRED, OUT_OF_RANGE, InstalledFake, LockDiscipline, as_int32,
                       model_settings, outcome)
from quorlib.quorlist import ListChunkMeta, QuorList
from basehelp import fields
from listhelp import (block_counts, counts, last_used, record_fields, record_of, resident,
                      stored_chunks)

MAX_HOLDERS = 4
DELETION_REFUSED = "Subscript deletion not supported by quorlib.quorlist.QuorList"


class ChunkedListModel:
    """The chunks of a QuorList as plain lists, changed the way the operations
    promise to change them."""

    def __init__(self, num_chunks, capacity, initial):
        self.capacity = capacity
        self.chunks = [list(initial[i * capacity:(i + 1) * capacity]) for i in range(num_chunks)]
        self.last = max([i for i, c in enumerate(self.chunks) if c], default=0)

    def __len__(self):
        return sum(len(c) for c in self.chunks)

    def flat(self):
        return [x for c in self.chunks for x in c]

    def counts(self):
        return [len(c) for c in self.chunks]

    def check_invariants(self):
        assert 0 <= self.last < len(self.chunks)
        assert all(self.chunks[: self.last]), "a chunk before the last one in use is empty"
        assert not any(self.chunks[self.last + 1:]), "a chunk after the last one in use is used"

    def _resolve(self, index):
        """Chunk and offset of a position, for reading and writing."""
        index = as_int32(index)
        length = len(self)
        if index >= length:
            raise IndexError(OUT_OF_RANGE)
        if index < 0:
            index += length
        if index < 0:
            raise IndexError(OUT_OF_RANGE)
        for chunk, contents in enumerate(self.chunks):
            if index < len(contents):
                return chunk, index
            index -= len(contents)
        raise AssertionError("model counts disagree with its length")

    def getitem(self, index):
        chunk, offset = self._resolve(index)
        return self.chunks[chunk][offset]

    def setitem(self, index, item):
        chunk, offset = self._resolve(index)
        self.chunks[chunk][offset] = item

    def delitem(self, index):
        raise NotImplementedError(DELETION_REFUSED)

    def fetch_usage(self, index):
        if as_int32(index) >= len(self):
            raise IndexError(OUT_OF_RANGE)
        return self.counts()

    def append(self, item):
        chunk = self.last
        while chunk < len(self.chunks) and len(self.chunks[chunk]) >= self.capacity:
            chunk += 1
        if chunk >= len(self.chunks):
            raise OverflowError("Exceeded maximum number of chunks")
        self.chunks[chunk].append(item)
        self.last = chunk

    def extend(self, items):
        for item in items:
            self.append(item)

    def insert(self, index, item):
        index = as_int32(index)
        length = len(self)
        if index >= length:
            raise IndexError(OUT_OF_RANGE)
        if index < 0:
            index += length
        if index < 0:
            raise IndexError(OUT_OF_RANGE)
        before = 0
        for chunk in range(self.last + 1):
            if index < before + len(self.chunks[chunk]):
                self.chunks[chunk].insert(index - before, item)
                return
            before += len(self.chunks[chunk])
        raise IndexError(OUT_OF_RANGE)

    def pop(self, index=-1):
        index = as_int32(index)
        length = len(self)
        if index >= length:
            raise IndexError(OUT_OF_RANGE)
        if index < 0:
            index += length
        first = length
        for chunk in range(self.last, -1, -1):
            first -= len(self.chunks[chunk])
            if index >= first:
                break
        else:
            raise IndexError(f"{OUT_OF_RANGE} :: {index} / last_used_chunk={self.last}"
                             f" / chunk_used={self.counts()}")
        found = self.chunks[chunk].pop(index - first)
        for later in range(chunk + 1, self.last + 1):
            self.chunks[later - 1].append(self.chunks[later].pop(0))
        if not self.chunks[self.last] and self.last > 0:
            self.last -= 1
        return found

    def index(self, item, start=0, end=-1):
        start, end = as_int32(start), as_int32(end)
        if start < 0:
            start = max(start + len(self.chunks), 0)
        passed = 0
        for chunk in range(start, self.last + 1):
            if item in self.chunks[chunk]:
                return passed + self.chunks[chunk].index(item)
            passed += len(self.chunks[chunk])
            if end != -1 and passed >= end:
                break
        raise ValueError(f"{item} is not in list")

    def contains(self, item):
        try:
            self.index(item)
        except ValueError:
            return False
        return True

    def remove(self, item):
        self.pop(self.index(item))

    def clear(self):
        for contents in self.chunks:
            contents.clear()
        self.last = 0


# -- operations --------------------------------------------------------------------

# Few values, so that index, in and remove often match; tuples among them,
# because a tuple passed on as a single argument is easily spread into several.
items = st.one_of(st.integers(0, 5), st.tuples(st.integers(0, 2)),
                  st.tuples(st.integers(0, 1), st.integers(0, 1)))
positions = st.one_of(
    st.integers(-10, 10),
    st.sampled_from([2 ** 31 - 1, -2 ** 31, 2 ** 31, -2 ** 31 - 1, 2 ** 64, 1.9, -1.5, True,
                     "1", None, float("nan"), float("inf")]),
)
chunk_starts = st.one_of(st.integers(-6, 6), st.sampled_from([2 ** 31, "0"]))
element_bounds = st.one_of(st.just(-1), st.integers(-3, 12))
OMITTED = object()

operations = st.one_of(
    st.tuples(st.just("append"), items),
    st.tuples(st.just("append"), items),
    st.tuples(st.just("extend"), st.lists(items, max_size=5)),
    st.tuples(st.just("extend"), st.just(7)),  # not iterable
    st.tuples(st.just("insert"), positions, items),
    st.tuples(st.just("insert"), st.integers(-6, 6), items),
    st.tuples(st.just("pop"), st.one_of(st.just(OMITTED), positions)),
    st.tuples(st.just("pop"), st.integers(-6, 6)),
    st.tuples(st.just("remove"), items),
    st.tuples(st.just("index"), items, st.one_of(st.just(OMITTED), chunk_starts),
              st.one_of(st.just(OMITTED), element_bounds)),
    # `end` near the element counts, where the between-chunk bound decides.
    st.tuples(st.just("index"), items, st.just(0), st.integers(0, 8)),
    st.tuples(st.just("contains"), items),
    st.tuples(st.just("getitem"), positions),
    st.tuples(st.just("setitem"), positions, items),
    st.tuples(st.just("delitem"), positions),
    st.tuples(st.just("fetch_usage"), positions),
    st.tuples(st.sampled_from(["len", "iter", "clear", "flush", "repr", "slice"])),
)


def on_list(lst, op):
    """Runs one operation on the container, returning what it returned."""
    name, *args = op
    args = [a for a in args if a is not OMITTED]
    if name == "getitem":
        return lst[args[0]]
    if name == "setitem":
        lst[args[0]] = args[1]
        return None
    if name == "delitem":
        del lst[args[0]]
        return None
    if name == "contains":
        return args[0] in lst
    if name == "len":
        return len(lst)
    if name == "iter":
        return list(lst)
    if name == "slice":
        return lst[1:3]
    if name == "fetch_usage":
        return lst._fetch_chunk_usage_and_length(*args)
    if name == "repr":
        return repr(lst)
    return getattr(lst, name)(*args)


def on_model(model, op, lst):
    """The same operation on the model; `lst` only tells which chunks the
    printed form shows (it shows the resident copies, not the model)."""
    name, *args = op
    args = [a for a in args if a is not OMITTED]
    if name == "len":
        return len(model)
    if name == "iter":
        return model.flat()
    if name == "slice":
        raise TypeError(INT_REQUIRED)
    if name == "flush":
        return None
    if name == "repr":
        shown = [model.chunks[i] if copy is not None else None
                 for i, copy in enumerate(resident(lst))]
        return f"QuorList({shown})"
    if name == "clear":
        model.clear()
        return None
    result = getattr(model, name)(*args)
    return None if name in ("append", "extend", "insert", "setitem", "remove") else result


class BlockEscape(Exception):
    """Raised at the end of a block to leave it by an exception."""


class ListMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.installed = InstalledFake()
        self.fake = self.installed.fake
        self.holders = []

    @initialize(num_chunks=st.integers(1, 5), capacity=st.integers(1, 4),
                initial=st.lists(items, max_size=24), copies=st.integers(0, MAX_HOLDERS - 1))
    def create(self, num_chunks, capacity, initial, copies):
        creator = QuorList(num_chunks, initial, meta=ListChunkMeta(max_element_per_chunk=capacity))
        self.holders = [creator] + [pickle.loads(pickle.dumps(creator)) for _ in range(copies)]
        self.model = ChunkedListModel(num_chunks, capacity, initial)
        self.discipline = LockDiscipline(self.fake, fields(creator)["_lock"].name)
        self.check_stored()

    # -- holders ---------------------------------------------------------------------

    # No preconditions: a disabled rule makes hypothesis retry its draw and
    # give up on whole examples, so a rule that cannot apply does nothing.
    @rule(source=st.integers(0, MAX_HOLDERS - 1))
    def add_holder(self, source):
        if len(self.holders) >= MAX_HOLDERS:
            return
        original = self.holders[source % len(self.holders)]
        copy = pickle.loads(pickle.dumps(original))
        assert isinstance(copy, QuorList) and copy is not original
        assert resident(copy) == [None] * len(self.model.chunks)
        self.holders.append(copy)

    @rule(which=st.integers(0, MAX_HOLDERS - 1))
    def drop_holder(self, which):
        if len(self.holders) == 1:
            return
        # Freed at once (nothing else refers to it), so its finaliser runs now;
        # it may write back only what it changed since the last write-back,
        # which is nothing between blocks.
        dropped = weakref.ref(self.holders.pop(which % len(self.holders)))
        assert dropped() is None
        self.check_stored()

    # -- blocks ----------------------------------------------------------------------

    @rule(who=st.integers(0, MAX_HOLDERS - 1), ops=st.lists(operations, min_size=1, max_size=6),
          escape=st.booleans(), order=st.permutations(range(MAX_HOLDERS)))
    def block(self, who, ops, escape, order):
        holder = self.holders[who % len(self.holders)]
        committed = copy.deepcopy(self.model)
        try:
            with holder:
                self.check_resident(holder)
                for op in ops:
                    expected = outcome(on_model, self.model, op, holder)
                    actual = outcome(on_list, holder, op)
                    assert actual == expected, f"{op}: {actual} != {expected}"
                    event(f"{op[0]}: " + ("ok" if actual[0] == "ok" else actual[1].__name__))
                    self.model.check_invariants()
                    assert block_counts(holder) == self.model.counts()
                    # Everyone else reads only what was committed.
                    assert counts(self.fake, holder) == committed.counts()
                    assert last_used(self.fake, holder) == committed.last
                    self.check_resident(holder)
                if escape:
                    raise BlockEscape()
        except BlockEscape:
            assert escape
            self.model = committed   # a block that raises commits nothing
        self.discipline.check()
        self.check_stored()
        self.compare_holders(order)
        if any(len(c) > self.model.capacity for c in self.model.chunks):
            event("a chunk holds more than the capacity")
        event(f"{len(self.holders)} holders")

    def check_resident(self, holder):
        """Inside a block every resident copy is the current chunk."""
        for chunk, copy in enumerate(resident(holder)):
            if copy is not None:
                assert copy == self.model.chunks[chunk], f"stale copy of chunk {chunk}"

    def check_stored(self):
        holder = self.holders[0]
        assert stored_chunks(self.fake, holder) == self.model.chunks
        assert counts(self.fake, holder) == self.model.counts()
        assert last_used(self.fake, holder) == self.model.last

    def compare_holders(self, order):
        for i in order:
            if i >= len(self.holders):
                continue
            holder = self.holders[i]
            with holder:
                self.check_resident(holder)
                assert len(holder) == len(self.model)
                assert list(holder) == self.model.flat()
        self.discipline.check()
        self.check_stored()

    @invariant()
    def layout(self):
        if self.holders:
            self.model.check_invariants()
            stored = stored_chunks(self.fake, self.holders[0])
            usage = counts(self.fake, self.holders[0])
            last = last_used(self.fake, self.holders[0])
            assert usage == [len(c) for c in stored]
            assert all(stored[:last]) and not any(stored[last + 1:])
            assert record_fields(record_of(self.holders[0]))["max_element_per_chunk"] == self.model.capacity

    def teardown(self):
        # Freed while the double is still bound: their finalisers use it.
        self.holders.clear()
        self.installed.restore()


ListMachine.TestCase.settings = model_settings(examples=250, steps=30)
TestListModel = ListMachine.TestCase
