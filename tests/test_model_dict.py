"""QuorDict against a plain dict, under hypothesis stateful testing with the
recording double.

Several holders of one dictionary (the creator and copies made by pickling)
take turns in `with` blocks running random mapping operations, the failing
ones included (missing and unhashable keys). Besides the contents, the model
follows where each key lives: the chunk is learnt the first time the key is
seen in a chunk and must never change afterwards (for numbers, and tuples of
numbers, it is the interpreter's hash floored modulo the chunk count), and
the listings must group the keys by chunk with each chunk in its insertion
order. It also follows each holder's recorded `length`, which only
construction and `clear` set and which travels in the pickled form.

Some blocks take only the chunks of a few keys (`d.locking(*keys)`) or only
read (`d.reading(*keys)`, `d.reading()`): the model refuses, with the
container's messages, a key of a chunk the block did not take, an operation
over every chunk inside a block on some keys, and any change inside a
reading block.

Checked after every operation: its result or exception (type and message)
and the active holder's resident copies. After every block: the contents
stored in the chunk proxies, every holder's view inside its own block, the
recorded lengths, and that no proxy was written while the shared lock was
free.
"""

import pickle
import weakref

from hypothesis import event, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from basehelp import fields
from modelhelp import InstalledFake, LockDiscipline, model_settings, outcome
from quorlib.quordict import QuorDict

MAX_HOLDERS = 4

numbers = st.one_of(st.integers(-6, 40), st.sampled_from([1.0, 2.5, -0.0, True, False, 2 ** 70]))
keys = st.one_of(
    numbers,
    st.text("ab", max_size=2),
    st.none(),
    st.sampled_from([b"a", b""]),
    st.tuples(st.integers(0, 3), st.one_of(st.none(), st.text("a", max_size=1))),
    st.tuples(numbers, numbers),
)
unhashable = st.sampled_from([[], {}, (1, []), [1, 2]])
values = st.one_of(st.integers(0, 9), st.text("xy", max_size=2))

operations = st.one_of(
    st.tuples(st.just("set"), keys, values),
    st.tuples(st.just("set"), keys, values),
    st.tuples(st.just("get"), keys),
    st.tuples(st.just("del"), keys),
    st.tuples(st.just("contains"), keys),
    st.tuples(st.sampled_from(["set", "get", "del", "contains"]), unhashable, values),
    st.tuples(st.sampled_from(["len", "keys", "values", "items", "repr", "iter", "flush",
                               "clear"])),
)


def is_numeric(key):
    if isinstance(key, tuple):
        return all(is_numeric(k) for k in key)
    return isinstance(key, (int, float))


def on_dict(d, op):
    name, *args = op
    if name == "set":
        d[args[0]] = args[1]
        return None
    if name == "get":
        return d[args[0]]
    if name == "del":
        del d[args[0]]
        return None
    if name == "contains":
        return args[0] in d
    if name == "len":
        return len(d)
    if name == "repr":
        return repr(d)
    if name == "iter":
        return list(d)
    return getattr(d, name)()


WHOLE_OPERATIONS = {"len": "len()", "keys": "keys()", "values": "values()", "items": "items()",
                    "repr": "items()", "iter": "iteration", "clear": "clear()"}
CHANGES = {"set": "setting a key", "del": "deleting a key", "clear": "clear()",
           "flush": "flush()"}


class Holder:
    def __init__(self, container, length):
        self.container = container
        self.length = length  # the recorded length it should carry


class BlockEscape(Exception):
    """Raised at the end of a block to leave it by an exception."""


class DictMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.installed = InstalledFake()
        self.fake = self.installed.fake
        self.holders = []

    @initialize(num_chunks=st.integers(1, 6),
                initial=st.dictionaries(keys, values, max_size=12),
                copies=st.integers(0, MAX_HOLDERS - 1))
    def create(self, num_chunks, initial, copies):
        creator = QuorDict(initial, num_chunks)
        self.num_chunks = num_chunks
        self.model = dict(initial)
        self.place = {}  # key -> its chunk, learnt from the chunks it was seen in
        self.holders = [Holder(creator, len(initial))]
        for _ in range(copies):
            self.holders.append(Holder(pickle.loads(pickle.dumps(creator)), len(initial)))
        self.discipline = LockDiscipline(self.fake, fields(creator)["_lock"].name)
        self.check_stored()

    # -- the model's view of the chunks -----------------------------------------------

    def learn(self, chunks):
        """Records where the keys of these chunk copies live (None: not resident)."""
        for chunk, contents in enumerate(chunks):
            for key in contents or ():
                known = self.place.setdefault(key, chunk)
                assert known == chunk, f"{key!r} moved from chunk {known} to {chunk}"
                if is_numeric(key):
                    assert chunk == hash(key) % self.num_chunks, f"{key!r} in chunk {chunk}"

    def chunk_items(self, chunk):
        return [(k, v) for k, v in self.model.items() if self.place[k] == chunk]

    def ordered_items(self):
        return [item for chunk in range(self.num_chunks) for item in self.chunk_items(chunk)]

    def check_resident(self, container):
        """Every resident copy is the current chunk, in the chunk's insertion order."""
        copies = fields(container)["chunk_list"]
        self.learn(copies)
        for chunk, copy in enumerate(copies):
            if copy is not None:
                assert list(copy.items()) == self.chunk_items(chunk), f"chunk {chunk} differs"

    def check_stored(self):
        stored = [self.fake.value(handle.ref)
                  for handle in fields(self.holders[0].container)["chunk_ref_list"]]
        assert len(stored) == self.num_chunks
        self.learn(stored)
        assert sum(len(c) for c in stored) == len(self.model)
        for chunk, contents in enumerate(stored):
            assert list(contents.items()) == self.chunk_items(chunk)

    def expected(self, op):
        name, *args = op
        if name in ("set", "get", "del", "contains"):
            key = args[0]
            if name == "set":
                self.model[key] = args[1]
                return None
            if name == "get":
                return self.model[key]
            if name == "del":
                del self.model[key]
                return None
            return key in self.model
        if name == "len":
            return len(self.model)
        if name == "clear":
            self.model.clear()
            return None
        if name == "flush":
            return None
        ordered = self.ordered_items()
        if name in ("keys", "iter"):
            return [k for k, _ in ordered]
        if name == "values":
            return [v for _, v in ordered]
        if name == "items":
            return ordered
        assert name == "repr"
        return f"QuorDict({ordered})"

    # -- holders ---------------------------------------------------------------------

    @rule(source=st.integers(0, MAX_HOLDERS - 1))
    def add_holder(self, source):
        if len(self.holders) >= MAX_HOLDERS:
            return
        original = self.holders[source % len(self.holders)]
        copy = pickle.loads(pickle.dumps(original.container))
        assert type(copy) is QuorDict and fields(copy)["chunk_list"] == [None] * self.num_chunks
        self.holders.append(Holder(copy, original.length))

    @rule(which=st.integers(0, MAX_HOLDERS - 1))
    def drop_holder(self, which):
        if len(self.holders) == 1:
            return
        # Freed at once, so its finaliser runs now; between blocks it has no
        # change left to write back.
        dropped = weakref.ref(self.holders.pop(which % len(self.holders)).container)
        assert dropped() is None
        self.check_stored()

    # -- blocks ----------------------------------------------------------------------

    @rule(who=st.integers(0, MAX_HOLDERS - 1), ops=st.lists(operations, min_size=1, max_size=6),
          escape=st.booleans(), order=st.permutations(range(MAX_HOLDERS)))
    def block(self, who, ops, escape, order):
        holder = self.holders[who % len(self.holders)]
        d = holder.container
        committed = dict(self.model)
        try:
            with d:
                self.check_resident(d)
                for op in ops:
                    expected = outcome(self.expected, op)
                    actual = outcome(on_dict, d, op)
                    assert actual == expected, f"{op}: {actual} != {expected}"
                    event(f"{op[0]}: " + ("ok" if actual[0] == "ok" else actual[1].__name__))
                    if op[0] == "clear":
                        holder.length = 0
                    self.check_resident(d)
                if escape:
                    raise BlockEscape()
        except BlockEscape:
            assert escape
            # A block that raises commits nothing; the length it recorded stays.
            self.model = committed
        self.discipline.check()
        self.check_stored()
        self.compare_holders(order)
        event(f"{len(self.holders)} holders")

    @rule(who=st.integers(0, MAX_HOLDERS - 1), scope_keys=st.lists(keys, max_size=3),
          reads=st.booleans(), ops=st.lists(operations, min_size=1, max_size=6),
          escape=st.booleans(), order=st.permutations(range(MAX_HOLDERS)))
    def scoped_block(self, who, scope_keys, reads, ops, escape, order):
        holder = self.holders[who % len(self.holders)]
        d = holder.container
        block = d.reading(*scope_keys) if reads else d.locking(*scope_keys)
        taken = set(range(self.num_chunks) if block.scope.chunks is None else block.scope.chunks)
        committed = dict(self.model)
        try:
            with block:
                self.check_resident(d)
                for op in ops:
                    expected = outcome(self.expected_in_scope, d, op, taken, reads,
                                       block.scope.chunks is not None)
                    actual = outcome(on_dict, d, op)
                    assert actual == expected, f"{op}: {actual} != {expected}"
                    event(f"scoped {op[0]}: " + ("ok" if actual[0] == "ok" else actual[1].__name__))
                    self.check_resident(d)
                if escape:
                    raise BlockEscape()
        except BlockEscape:
            self.model = committed
        self.discipline.check()
        self.check_stored()
        self.compare_holders(order)

    def expected_in_scope(self, d, op, taken, reads, some_chunks):
        name, *args = op
        if reads and name in CHANGES:
            raise RuntimeError(f"{CHANGES[name]} would change this QuorDict, and a reading() "
                               "block only reads")
        if name in WHOLE_OPERATIONS and some_chunks:
            raise RuntimeError(f"{WHOLE_OPERATIONS[name]} needs every chunk of this QuorDict, "
                               "and this block takes only the chunks of its keys")
        if name in ("set", "get", "del", "contains"):
            try:
                (chunk,) = d.locking(args[0]).scope.chunks
            except TypeError:
                chunk = None   # unhashable: refused as the model refuses it
            if chunk is not None and chunk not in taken:
                raise RuntimeError(f"key {args[0]!r}: its chunk is not locked by this block")
        return self.expected(op)

    def compare_holders(self, order):
        for i in order:
            if i >= len(self.holders):
                continue
            d = self.holders[i].container
            with d:
                self.check_resident(d)
                assert len(d) == len(self.model)
                assert d.items() == self.ordered_items()
                assert all(d[k] == v for k, v in self.model.items())
        self.discipline.check()
        self.check_stored()

    @invariant()
    def recorded_lengths(self):
        for holder in self.holders:
            assert fields(holder.container)["length"] == holder.length

    def teardown(self):
        # Freed while the double is still bound: their finalisers use it.
        self.holders.clear()
        self.installed.restore()


DictMachine.TestCase.settings = model_settings(examples=200, steps=30)
TestDictModel = DictMachine.TestCase
