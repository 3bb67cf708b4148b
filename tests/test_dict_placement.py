"""The chunk a key lands in: the same in every process whatever its hash
seed, and the same for keys that compare equal."""

import collections
import dataclasses
import datetime
import enum
import gc
import json
import os
import subprocess
import sys
import uuid
import weakref
from datetime import date, time, timedelta, timezone
from decimal import Decimal
from fractions import Fraction

import pytest

import quorlib._keyrules
from quorlib.quorbase import QuorBase
from quorlib.quordict import QuorDict

# -- key types (module level, so that the subprocess below imports the same) -------------


class Colour(enum.StrEnum):
    RED = "red"


class Suit(enum.Enum):  # hashed by the member's name, through the salted str hash
    HEARTS = 1
    SPADES = 2


class Level(enum.IntEnum):
    LOW = 1


class Perm(enum.Flag):
    R = 4
    W = 2


class Data(bytes):
    pass


class Names(frozenset):
    pass


class Day(date):
    pass


class Stamp(datetime.datetime):
    pass


class OwnHash(str):
    def __hash__(self):
        return 12


@dataclasses.dataclass(frozen=True)
class Account:
    region: object
    name: object


class Savings(Account):  # keeps the generated hash of its base
    pass


@dataclasses.dataclass(frozen=True)
class Premium(Account):
    tier: int = 0


@dataclasses.dataclass(unsafe_hash=True)
class Tagged:
    tag: str
    note: str = dataclasses.field(default="", compare=False)  # in neither __eq__ nor __hash__
    rank: int = dataclasses.field(default=0, hash=False)      # compared, but not hashed


@dataclasses.dataclass(frozen=True)
class OwnHashed:
    code: str

    def __hash__(self):
        return 12


class Plain:
    pass


@dataclasses.dataclass(eq=False)
class Handle:  # identity equality and hash, as a plain class
    name: str


class Shifting(datetime.tzinfo):
    """UTC-4, but UTC-5 for the second reading (fold=1) of a wall time."""

    def utcoffset(self, dt):
        return timedelta(hours=-5 if dt is not None and dt.fold else -4)

    def dst(self, dt):
        return None

    def tzname(self, dt):
        return "SHIFT"

    def __reduce__(self):  # one tzinfo object in each process, as zones from a database are
        return "SHIFTING"


UTC, CET, NYC, SHIFTING = timezone.utc, timezone(timedelta(hours=1)), timezone(timedelta(hours=-5)), Shifting()

# Keys of every kind that must land in the same chunk whatever the hash seed.
KEYS = [
    "alpha", "", "caf\u00e9", "\u20acuro", "\U0001d11e", "long " * 40, b"raw", b"x" * 13, None,
    ("a", b"b", None), (("nested", ("deep", None)), "x"), (), (1, "one"), 1, -7, 2 ** 70, 1.5,
    frozenset(), frozenset({"a", "b"}), frozenset({("t", b"u"), None}), frozenset({frozenset({"x"}), 2.5}),
    Suit.HEARTS, Suit.SPADES, Perm.R | Perm.W, Colour.RED, Level.LOW,
    date(2026, 12, 7), Day(1999, 1, 1), datetime.datetime(2026, 12, 7, 15, 30),
    datetime.datetime(2026, 12, 7, 15, 30, tzinfo=CET), Stamp(2000, 2, 29, 23, 59, 59, 999999, tzinfo=NYC),
    time(15, 30), time(15, 30, 1, 7, tzinfo=CET), timedelta(days=1, seconds=5),
    Account("eu", "ann"), Account("us", "bob"), Savings("eu", "cy"), Premium("eu", "ann", 2),
    Tagged("x", "note"), (Suit.HEARTS, date(2020, 1, 1)), frozenset({Account("eu", "dee")}),
    Decimal("1.1"), uuid.UUID(int=12345),
]

# Keys that compare equal, in different forms: each row must share one chunk.
EQUAL_FORMS = [
    [1, 1.0, True, Level.LOW, Decimal(1), Fraction(1)],
    ["red", Colour.RED, type("Text", (str,), {})("red")],
    [b"raw", Data(b"raw"), memoryview(b"-raw-")[1:4], memoryview(b"r_a_w")[::2]],
    [("a", "b"), collections.namedtuple("Pair", "a b")("a", "b")],
    [("x", (None, b"y")), ("x", (None, Data(b"y")))],
    [frozenset(["a", "b", "c", "d"]), frozenset(["d", "c", "b", "a", "d"]), Names(["b", "d", "a", "c"])],
    [frozenset([1, "one"]), frozenset([True, "one"]), frozenset([1.0, "one"])],
    [datetime.datetime(2026, 12, 7, 12, tzinfo=UTC), datetime.datetime(2026, 12, 7, 13, tzinfo=CET),
     datetime.datetime(2026, 12, 7, 7, tzinfo=NYC), Stamp(2026, 12, 7, 12, tzinfo=timezone(timedelta(0)))],
    [datetime.datetime(2026, 11, 1, 1, 30, tzinfo=SHIFTING),
     datetime.datetime(2026, 11, 1, 1, 30, fold=1, tzinfo=SHIFTING)],
    [datetime.datetime(2026, 12, 7, 12), Stamp(2026, 12, 7, 12), datetime.datetime(2026, 12, 7, 12, fold=1)],
    [date(2026, 12, 7), Day(2026, 12, 7)],
    [time(12, 0, tzinfo=UTC), time(13, 0, tzinfo=CET), time(7, 0, tzinfo=NYC), time(8, 0, fold=1, tzinfo=SHIFTING)],
    # The interpreter compares aware times without the offset's microseconds
    # (and then hashes these two apart itself: a plain dict does not find one
    # by the other).
    [time(0, 0, 0, 5, tzinfo=timezone(timedelta(microseconds=5))), time(0, 0, 0, 5, tzinfo=UTC)],
    [time(9, 30), time(9, 30, fold=1)],
    [timedelta(hours=36), timedelta(days=1, hours=12)],
    [Account(1, ("a", "b")), Account(True, ("a", "b")), Account(1.0, collections.namedtuple("P", "x y")("a", "b"))],
    [Tagged("x", "one", 1), Tagged("x", "two", 1)],
    [(Suit.HEARTS, date(2020, 1, 1)), (Suit.HEARTS, Day(2020, 1, 1))],
]


def chunk_of(key, num_chunks=61):
    """The chunk that a lookup of `key` fetches (the recording double in place of Ray)."""
    d = QuorDict(None, num_chunks)
    key in d
    resident = [i for i, c in enumerate(QuorBase.__reduce__(d)[2][7]) if c is not None]
    d.flush()
    return resident


# In a fresh interpreter: the chunk of each key and of each equal form, and
# the interpreter's own hash of a string, to show that the seed took effect.
PLACEMENT = r"""
import json
from fakeray import FakeRay, install
install(FakeRay())
from test_dict_placement import KEYS, EQUAL_FORMS, chunk_of
print(json.dumps([[chunk_of(k) for k in KEYS],
                  [[chunk_of(f) for f in forms] for forms in EQUAL_FORMS], hash("alpha")]))
"""


def test_same_chunks_in_processes_with_different_hash_seeds():
    tests_dir = os.path.dirname(os.path.abspath(__file__))
    path = os.pathsep.join([tests_dir, os.environ.get("PYTHONPATH", "")])
    runs = [json.loads(subprocess.run([sys.executable, "-c", PLACEMENT], check=True, capture_output=True,
                                      text=True, timeout=120,
                                      env=dict(os.environ, PYTHONHASHSEED=seed, PYTHONPATH=path))
                       .stdout.splitlines()[-1]) for seed in ("0", "1", "2024")]
    assert len({str_hash for _, _, str_hash in runs}) == 3
    (keys, forms, _), *others = runs
    assert all(other[:2] == [keys, forms] for other in others)
    assert all(len(chunks) == 1 for chunks in keys)
    assert len({chunks[0] for chunks in keys}) > 20
    assert [len({str(chunks) for chunks in row}) for row in forms] == [1] * len(EQUAL_FORMS)


@pytest.mark.parametrize("forms", EQUAL_FORMS, ids=lambda forms: type(forms[0]).__name__)
def test_equal_keys_share_a_chunk(fake, forms):
    assert all(form == forms[0] for form in forms)  # the interpreter's equality, which the row relies on
    assert len({str(chunk_of(form)) for form in forms}) == 1
    # Found through every form that the interpreter's own dict would find it by.
    d = QuorDict({forms[0]: "v", "other": 0, b"other": 0, 12: 0}, 7)
    try:
        for form in forms:
            if hash(form) == hash(forms[0]):
                assert d[form] == "v"
        assert QuorBase.__reduce__(d)[2][7].count(None) == 6  # one chunk resident
    finally:
        d.flush()


@pytest.mark.parametrize("key", [
    -7, 2 ** 70, 1.5, (1, 2), OwnHash("z"), frozenset(), frozenset({1, 2.5, (3, -4)}), Level.LOW,
    timedelta(days=2, microseconds=3), Decimal("2.5"), OwnHashed("z"),
])
def test_numbers_and_own_hashes_keep_the_interpreters_hash(fake, key):
    d = QuorDict({key: "v"}, 7)
    chunks = [fake.value(c.ref) for c in QuorBase.__reduce__(d)[2][8]]
    assert [i for i, c in enumerate(chunks) if c] == [hash(key) % 7]


def refusal(type_name):
    return (f"QuorDict key of type '{type_name}' hashes by object identity, which differs between processes; "
            "keys must hash by their contents")


REFUSED = [
    (object(), "object"), (Plain(), "Plain"), (Handle("h"), "Handle"), (Plain, "type"),
    (lambda: None, "function"), (("ok", (1, Plain())), "Plain"), (frozenset({"ok", Plain()}), "Plain"),
    (Account("eu", Plain()), "Plain"), (Savings(object(), "x"), "object"), (float("nan"), "float"),
    (complex(1, float("nan")), "complex"), ((1, float("-nan")), "float"),
]


@pytest.mark.parametrize("key, type_name", REFUSED)
def test_keys_hashed_by_identity_are_refused_before_any_remote_call(fake, key, type_name):
    d = QuorDict({"kept": 1}, 4)
    fake.take_log()
    uses = {"store": lambda: d.__setitem__(key, 1), "look up": lambda: d[key],
            "test membership": lambda: key in d, "delete": lambda: d.__delitem__(key)}
    try:
        for use in uses.values():
            with pytest.raises(TypeError) as caught:
                use()
            assert str(caught.value) == refusal(type_name)
        assert fake.take_log() == []  # no chunk fetched for it
        with pytest.raises(TypeError) as caught:
            QuorDict({"kept": 1, key: 2}, 4)
        assert str(caught.value) == refusal(type_name)
        # Only the control actor and the record's cell were made.
        assert [name for name in fake.take_log() if name.endswith(".create")] == [
            "lock1.create", "proxy5.create"]
    finally:
        d.flush()


def test_a_key_class_is_asked_for_its_rule_once_and_not_kept_alive(fake, monkeypatch):
    asked = []
    real = quorlib._keyrules.hashed_attributes
    monkeypatch.setattr(quorlib._keyrules, "hashed_attributes", lambda key: asked.append(type(key)) or real(key))

    @dataclasses.dataclass(frozen=True)
    class Point:
        x: object
        y: object

    d = QuorDict(None, 4)
    try:
        with pytest.raises(TypeError, match="unhashable type: 'list'"):
            Point(1, [2]) in d  # no rule is kept from a key that could not be hashed
        with d:
            assert not any(Point(i, "y") in d for i in range(50))
    finally:
        d.flush()
    assert asked == [Point, Point]
    watch = weakref.ref(Point)
    del Point, asked
    gc.collect()
    assert watch() is None


@pytest.mark.parametrize("wrap", [lambda k: (k,), lambda k: frozenset([k]), lambda k: ("x", Account(k, 1))])
def test_deeply_nested_key_raises_instead_of_crashing(fake, wrap):
    key = ()
    for _ in range(200_000):
        key = wrap(key)
    with pytest.raises(RecursionError):
        key in QuorDict(None, 2)
