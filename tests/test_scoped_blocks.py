"""Blocks that take part of a container (`d.locking(*keys)`, `reading()`)
against the recording double: what a grant covers, which blocks hold the lock
at once, the repair of a dead holder's chunks only, and the refusals of
whatever lies outside a block."""

import threading

import pytest

from basehelp import fields
from quorlib.messages import Scope
from quorlib.quorbase import WriteBackError
from quorlib.quordict import QuorDict
from quorlib.quorlist import QuorList

WAIT_S = 10


@pytest.fixture
def d(fake):
    """Chunk 1 holds 1 and 5, chunk 2 holds 2; every chunk resident, the
    record known to the lock."""
    made = QuorDict({1: "a", 5: "b", 2: "c"}, 4)
    with made:
        len(made)
    fake.take_log()
    fake.take_commits()
    yield made
    made.flush()


def chunk(d, i):
    return fields(d)["chunk_ref_list"][i].ref


def lock_of(fake, container):
    return fake.actor(fields(container)["_lock"])


def other_holder(d):
    """The same dictionary as another holder sees it: no copy yet."""
    return QuorDict.rebuild(*d.__reduce__()[1])


def test_a_block_on_some_keys_takes_their_chunk_and_commits_it_in_its_release(fake, d):
    lock = lock_of(fake, d).name
    with d.locking(1, 5) as same:
        assert same is d
        d[1] = d[5] + "!"
    # The control actor writes the committed chunk to its slot after the release.
    assert fake.take_log() == ["local.acquire", f"{lock}.acquire", f"{lock}.release",
                               f"{chunk(d, 1).name}.install", "local.release"]
    request = [args[0] for name, method, args, _ in fake.calls
               if (name, method) == (lock, "acquire")][-1]
    assert request.scope == Scope((1,), False, 4)
    (commit,) = fake.take_commits()
    assert set(commit.chunks) == {1} and set(commit.commit.writes) == {1}
    assert fake.value(chunk(d, 1)) == {1: "b!", 5: "b"}
    assert fake.actor(lock).state.cells[commit.commit.record_cell].value.chunk_versions[1:3] \
        == [1, 0]


def test_blocks_on_other_chunks_and_readers_of_other_chunks_hold_the_lock_at_once(fake, d):
    other = other_holder(d)
    inside, leave = threading.Event(), threading.Event()
    seen = []

    def reader():
        with d.reading(1):
            inside.set()
            leave.wait(WAIT_S)
            seen.append(d[1])

    thread = threading.Thread(target=reader)
    thread.start()
    assert inside.wait(WAIT_S)
    with other.locking(2):           # granted at once: the double fails a wait of 30 s
        other[2] = "w"
        held = lock_of(fake, d).state.status()["holders"]
        assert [(h["reads"], h["chunks"]) for h in held] == [(True, [1]), (False, [2])]
    leave.set()
    thread.join(WAIT_S)
    assert seen == ["a"] and fake.value(chunk(d, 2)) == {2: "w"}


def test_a_writer_waits_for_the_readers_of_its_chunk_and_later_readers_for_it(fake, d):
    other, third = other_holder(d), other_holder(d)
    lock = lock_of(fake, d)
    inside, leave, order = threading.Event(), threading.Event(), []

    def reader():
        with d.reading():
            inside.set()
            leave.wait(WAIT_S)
            order.append("first reader")

    def writer():
        with other.locking(1):
            other[1] = "w"
            order.append("writer")

    def later_reader():
        with third.reading():
            order.append(f"later reader saw {third[1]}")

    threads = [threading.Thread(target=reader)]
    threads[0].start()
    assert inside.wait(WAIT_S)
    for target, waiting in ((writer, 1), (later_reader, 2)):
        threads.append(threading.Thread(target=target))
        threads[-1].start()
        while lock.state.status()["waiters"] < waiting:
            threading.Event().wait(0.01)
    leave.set()
    for thread in threads:
        thread.join(WAIT_S)
    assert order == ["first reader", "writer", "later reader saw w"]


def test_a_dead_holder_is_repaired_on_its_own_chunks_only(fake, d):
    block = d.locking(1)
    block.__enter__()
    d[1] = "uncommitted"
    d.flush()                         # reaches the slot, not committed
    lock = lock_of(fake, d)
    (ticket,) = lock.state.holders
    lock.lose(ticket)                 # as if its process had died
    other = other_holder(d)
    fake.take_log()
    with other.locking(2):
        assert other[2] == "c"
    assert not [entry for entry in fake.take_log() if entry.endswith(".rollback")]
    with other.locking(1, 2):
        assert other[1] == "a"
    assert [entry for entry in fake.take_log() if entry.endswith(".rollback")] \
        == [f"{chunk(d, 1).name}.rollback"]
    with pytest.raises(WriteBackError, match="not committed"):
        block.__exit__(None, None, None)


# -- refusals -----------------------------------------------------------------------

NOT_LOCKED = "key 2: its chunk is not locked by this block"


def every_chunk(what):
    return f"{what} needs every chunk of this QuorDict, and this block takes only the chunks of its keys"


def read_only(what, container="QuorDict"):
    return f"{what} would change this {container}, and a reading() block only reads"


OUTSIDE_A_KEY_BLOCK = {
    "d[k]": (lambda d: d[2], NOT_LOCKED),
    "d[k] = v": (lambda d: d.__setitem__(2, "x"), NOT_LOCKED),
    "del d[k]": (lambda d: d.__delitem__(2), NOT_LOCKED),
    "k in d": (lambda d: 2 in d, NOT_LOCKED),
    "get": (lambda d: d.get(2), NOT_LOCKED),
    "pop": (lambda d: d.pop(2, None), NOT_LOCKED),
    "setdefault": (lambda d: d.setdefault(6, "x"), "key 6: its chunk is not locked by this block"),
    "update": (lambda d: d.update({5: "z", 2: "y"}), NOT_LOCKED),
    "len": (len, every_chunk("len()")),
    "iteration": (list, every_chunk("iteration")),
    "keys": (lambda d: d.keys(), every_chunk("keys()")),
    "items": (lambda d: d.items(), every_chunk("items()")),
    "values": (lambda d: d.values(), every_chunk("values()")),
    "clear": (lambda d: d.clear(), every_chunk("clear()")),
    "popitem": (lambda d: d.popitem(), every_chunk("popitem()")),
    "==": (lambda d: d == {}, every_chunk("comparison")),
    "copy": (lambda d: d.copy(), every_chunk("copy()")),
}


@pytest.mark.parametrize("op, message", OUTSIDE_A_KEY_BLOCK.values(), ids=OUTSIDE_A_KEY_BLOCK)
def test_a_block_on_some_keys_refuses_every_other_chunk(fake, d, op, message):
    with d.locking(1, 5):
        with pytest.raises(RuntimeError) as refused:
            op(d)
        assert str(refused.value) == message
        assert d[5] in ("b", "z")     # the block goes on
    assert fake.value(chunk(d, 2)) == {2: "c"}
    assert not [e for e in fake.take_log() if e.startswith(f"{chunk(d, 2).name}.")]


CHANGES_OF_A_DICT = {
    "d[k] = v": (lambda d: d.__setitem__(1, "x"), "setting a key"),
    "del d[k]": (lambda d: d.__delitem__(1), "deleting a key"),
    "pop": (lambda d: d.pop(1), "pop()"),
    "popitem": (lambda d: d.popitem(), "popitem()"),
    "setdefault": (lambda d: d.setdefault(7, 0), "setdefault()"),
    "update": (lambda d: d.update({1: "x"}), "update()"),
    "|=": (lambda d: d.__ior__({1: "x"}), "|="),
    "clear": (lambda d: d.clear(), "clear()"),
    "flush": (lambda d: d.flush(), "flush()"),
}


@pytest.mark.parametrize("op, what", CHANGES_OF_A_DICT.values(), ids=CHANGES_OF_A_DICT)
def test_a_reading_block_refuses_every_change_of_a_dict(fake, d, op, what):
    with d.reading():
        with pytest.raises(RuntimeError) as refused:
            op(d)
        assert str(refused.value) == read_only(what)
        assert len(d) == 3 and d[1] == "a"
    assert fake.take_commits() == []


CHANGES_OF_A_LIST = {
    "lst[i] = x": (lambda lst: lst.__setitem__(0, 9), "setting an element"),
    "append": (lambda lst: lst.append(9), "append()"),
    "extend": (lambda lst: lst.extend([9]), "extend()"),
    "insert": (lambda lst: lst.insert(0, 9), "insert()"),
    "pop": (lambda lst: lst.pop(), "pop()"),
    "remove": (lambda lst: lst.remove(1), "remove()"),
    "clear": (lambda lst: lst.clear(), "clear()"),
    "sort": (lambda lst: lst.sort(), "sort()"),
    "reverse": (lambda lst: lst.reverse(), "reverse()"),
    "+=": (lambda lst: lst.__iadd__([9]), "+="),
    "*=": (lambda lst: lst.__imul__(2), "*="),
}


@pytest.mark.parametrize("op, what", CHANGES_OF_A_LIST.values(), ids=CHANGES_OF_A_LIST)
def test_a_reading_block_refuses_every_change_of_a_list(fake, op, what):
    lst = QuorList(2, [3, 1, 2])
    with lst.reading():
        with pytest.raises(RuntimeError) as refused:
            op(lst)
        assert str(refused.value) == read_only(what, "QuorList")
        assert list(lst) == [3, 1, 2]
    fake.take_commits()
    with lst:
        assert list(lst) == [3, 1, 2] and len(lst) == 3
    lst.flush()


def test_a_reading_block_drops_copies_changed_in_place(fake):
    d = QuorDict({"log": []}, 1)
    with d.reading():
        d["log"].append("lost")       # not seen by the container: not committed
    assert fake.take_commits() == []
    with d:
        assert d["log"] == []
    d.flush()


@pytest.mark.parametrize("scope, error, message", [
    ("every chunk", TypeError, "scope must be a quorlib.messages.Scope or None, not str"),
    (Scope(None, False, 3), ValueError, "a scope of 3 chunks for a container of 4"),
    (Scope((4,), False, 4), ValueError, "a scope names chunk 4 of a container of 4"),
], ids=["not a scope", "another container's", "a chunk it lacks"])
def test_a_scope_that_is_not_the_containers_is_refused_before_anything_is_taken(
        fake, d, scope, error, message):
    with pytest.raises(error) as refused:
        d.__lock__(scope)
    assert str(refused.value) == message
    assert fake.take_log() == [] and not lock_of(fake, d).held
