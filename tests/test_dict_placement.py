"""The chunk a key lands in: the same in every process whatever its hash
seed, and the same for keys that compare equal."""

import collections
import enum
import json
import os
import subprocess
import sys

import pytest

from quorlib.quorbase import QuorBase
from quorlib.quordict import QuorDict

# In a fresh interpreter: the values (key positions) each chunk receives, and
# the interpreter's own hash of a string, to show that the seed took effect.
PLACEMENT = r"""
import json
from fakeray import FakeRay
import quorlib.quorbase as qb, quorlib.quordict as qd
fake = FakeRay()
for m in (qb, qd):
    m.ray, m.QuorProxy, m.QuorLock = fake, fake.QuorProxy, fake.QuorLock
keys = ["alpha", "", "caf\u00e9", "\u20acuro", "\U0001d11e", "long " * 40, b"raw", b"x" * 13, None,
        ("a", b"b", None), (("nested", ("deep", None)), "x"), (), (1, "one"), 1, -7, 2 ** 70, 1.5]
d = qd.QuorDict({k: i for i, k in enumerate(keys)}, 7)
print(json.dumps([[sorted(fake.value(c.ref).values()) for c in qb.QuorBase.__reduce__(d)[2][8]],
                  hash("alpha")]))
"""


def test_same_chunks_in_processes_with_different_hash_seeds():
    tests_dir = os.path.dirname(os.path.abspath(__file__))
    path = os.pathsep.join([tests_dir, os.environ.get("PYTHONPATH", "")])
    runs = [json.loads(subprocess.run([sys.executable, "-c", PLACEMENT], check=True, capture_output=True,
                                      text=True, env=dict(os.environ, PYTHONHASHSEED=seed, PYTHONPATH=path))
                       .stdout.splitlines()[-1]) for seed in ("0", "1", "2024")]
    assert len({str_hash for _, str_hash in runs}) == 3
    assert runs[0][0] == runs[1][0] == runs[2][0]
    assert sum(1 for chunk in runs[0][0] if chunk) > 2


class Colour(enum.StrEnum):
    RED = "red"


class Data(bytes):
    pass


class OwnHash(str):
    def __hash__(self):
        return 12


@pytest.fixture
def d(fake):
    made = QuorDict({"red": 1, b"raw": 2, ("a", "b"): 3, 1: 4, ("x", (None, b"y")): 5}, 7)
    yield made
    made.flush()


@pytest.mark.parametrize("key, plain", [
    (type("Text", (str,), {})("red"), "red"), (Colour.RED, "red"), (Data(b"raw"), b"raw"),
    (memoryview(b"-raw-")[1:4], b"raw"), (memoryview(b"r_a_w")[::2], b"raw"),
    (collections.namedtuple("Pair", "a b")("a", "b"), ("a", "b")),
    (("x", (None, Data(b"y"))), ("x", (None, b"y"))), (1.0, 1), (True, 1),
])
def test_equal_keys_share_a_chunk(d, key, plain):
    assert d[key] == d[plain]
    assert QuorBase.__reduce__(d)[2][7].count(None) == 6  # one chunk resident


@pytest.mark.parametrize("key", [-7, 2 ** 70, 1.5, (1, 2), OwnHash("z")])
def test_numbers_and_own_hashes_keep_the_interpreters_hash(fake, key):
    d = QuorDict({key: "v"}, 7)
    chunks = [fake.value(c.ref) for c in QuorBase.__reduce__(d)[2][8]]
    assert [i for i, c in enumerate(chunks) if c] == [hash(key) % 7]


def test_deeply_nested_tuple_raises_instead_of_crashing(fake):
    key = ()
    for _ in range(200_000):
        key = (key,)
    with pytest.raises(RecursionError):
        key in QuorDict(None, 2)
