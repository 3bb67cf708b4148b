"""Faults: a chunk, lock or version-record actor that dies while containers use
it, a holder that dies holding the lock, and chunk write-backs that fail
(an unpicklable value, a refusing actor).

What must hold: the operations that need the lost actor raise a clear error,
both locks are released, the other chunks stay usable, no caller hangs, and no
other holder's data is damaged. The recording double gives the exact call
sequences; a few cases run end to end under a real Ray.
"""

import gc
import pickle
import sys
import threading
import time
import types

import pytest
import ray

from basehelp import fields, set_fields
from quorlib import admin
from fakeray import FakeActorDied
from quorlib import quorbase, quorlock, quorpool, quorproxy
from quorlib.quorbase import WriteBackError
from quorlib.quordict import QuorDict
from quorlib.quorlist import ListChunkMeta, QuorList
from listhelp import record_fields, record_of


def lock_of(container):
    return fields(container)["_lock"]


def record_ref_of(container):
    return fields(container)["_quor_meta_ref"]


def chunk_refs(container):
    return [handle.ref for handle in fields(container)["chunk_ref_list"]]


def local_lock_free(container):
    return not fields(container)["_local_lock"].locked()


# -- the recording double ----------------------------------------------------------


@pytest.fixture
def finaliser_reports(monkeypatch):
    """What finalisers report; at the end, only failed write-backs of copies
    whose chunk cannot be written may be among them."""
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    yield reported
    gc.collect()
    assert all(isinstance(u.exc_value, WriteBackError) for u in reported), reported


@pytest.fixture
def three(fake, finaliser_reports):
    """A dictionary whose keys 0, 1 and 2 live in chunks 0, 1 and 2, and a
    second holder of it (as a task would get it)."""
    d = QuorDict({0: "a", 1: "b", 2: "c"}, 3)
    pair = [d, pickle.loads(pickle.dumps(d))]
    del d
    fake.take_log()
    yield pair
    pair.clear()   # freed while the double is in place, not when pytest drops the fixture


@pytest.fixture
def direct(monkeypatch):
    """Every changed chunk is written to its slot before the block's release
    (none is small enough to travel with it), so a refused write can stop
    the commit."""
    monkeypatch.setattr(quorlock, "CARRY_CHUNK_BYTES", 0)


def names(fake, container):
    chunks = [fake.actor(ref).name for ref in chunk_refs(container)]
    return chunks, fake.actor(record_ref_of(container)).name, fake.actor(lock_of(container)).name


def stored(fake, container):
    return [fake.value(ref) for ref in chunk_refs(container)]


def died(what):
    """The error naming the dead actor, chained from Ray's."""
    return pytest.raises(RuntimeError, match=f"^{what} of this Quor(Dict|List) has died$")


class TestDeadChunkActor:
    def test_only_the_operations_that_need_it_fail(self, fake, three):
        d, other = three
        (c0, c1, _), meta, lock = names(fake, d)
        fake.kill(chunk_refs(d)[1])
        with died("the actor of chunk 1") as e:
            with d:
                d[0] = "A"
                d[1]
        assert isinstance(e.value.__cause__, FakeActorDied)
        # The block raised: nothing of it is committed. The grant brought the record.
        assert fake.take_log() == [
            "local.acquire", f"{lock}.acquire", f"{c0}.get", f"{c1}.get", f"{lock}.release",
            "local.release"]
        with d:
            for needs_chunk_1 in (lambda: d[1], lambda: 1 in d, lambda: d.__setitem__(1, "B"),
                                  lambda: d.__delitem__(1), lambda: len(d), d.keys, d.items):
                with died("the actor of chunk 1"):
                    needs_chunk_1()
            d[2] = "C"
            assert d[0] == "a" and 3 not in d    # 3 lives in chunk 0
        with other:
            assert (other[0], other[2]) == ("a", "C")
        assert stored(fake, d)[::2] == [{0: "a"}, {2: "C"}]
        assert not fake.actor(lock).held and local_lock_free(d) and local_lock_free(other)

    def test_a_resident_change_to_it_is_refused_or_lost_with_its_host(self, fake, three, carry):
        d, other = three
        (c0, c1, c2), meta, lock = names(fake, d)
        with d:
            d[0], d[1], d[2]
        fake.kill(chunk_refs(d)[1])
        fake.take_log()
        if not carry:
            # Written before the release: the refused write stops the commit.
            with pytest.raises(WriteBackError) as e:
                with d:
                    d[0], d[1], d[2] = "A", "B", "C"   # chunk 1 is resident: no remote call
            assert e.value.chunks == [1] and isinstance(e.value.__cause__, FakeActorDied)
            assert str(e.value) == ("the block was not committed: write-back failed for chunk 1 "
                                    f"(FakeActorDied: actor {c1} died)")
            # The rollback wave passes over the dead actor: nothing of it to undo.
            assert fake.take_log() == [
                "local.acquire", f"{lock}.acquire", f"{c0}.set", f"{c1}.set",
                f"{c2}.set", f"{c0}.rollback", f"{c1}.rollback", f"{c2}.rollback",
                f"{lock}.release", "local.release"]
            committed = ("a", "c")
            assert fields(d)["chunk_list"][1] is None
        else:
            # Carried by the release: the commit stands, and the chunk went
            # with its host, as its readers are told.
            with d:
                d[0], d[1], d[2] = "A", "B", "C"
            assert fake.take_log() == [
                "local.acquire", f"{lock}.acquire", f"{lock}.release", f"{c0}.install",
                f"{c1}.install", f"{c2}.install", "local.release"]
            committed = ("A", "C")
        with other:
            assert (other[0], other[2]) == committed
            other[0] = "A0"
            with died("the actor of chunk 1"):
                other[1]
        with d:
            assert d[0] == "A0"
        assert not fake.actor(lock).held

    def test_list_operations_on_other_chunks_go_on(self, fake):
        lst = QuorList(3, list(range(7)), meta=ListChunkMeta(None, 3, None))
        usage_ref = record_fields(record_of(lst))["chunk_used"]
        fake.kill(chunk_refs(lst)[2])
        with lst:
            assert (lst[0], lst[5]) == (0, 5)
            lst[1] = "one"
            for needs_chunk_2 in (lambda: lst[6], lst.pop, lambda: lst.append(7),
                                  lambda: lst.insert(6, "x"), lambda: lst.index("absent"),
                                  lambda: list(lst)):
                with died("the actor of chunk 2"):
                    needs_chunk_2()
            assert fake.value(usage_ref) == [3, 3, 1]   # the failures counted nothing
            assert lst.index(5) == 5 and lst[1] == "one"
        assert fake.value(usage_ref) == [3, 3, 1]
        assert stored(fake, lst)[:2] == [[0, "one", 2], [3, 4, 5]]

    def test_a_dead_first_chunk_does_not_stop_pops_at_the_end(self, fake):
        lst = QuorList(3, list(range(7)), meta=ListChunkMeta(None, 3, None))
        fake.kill(chunk_refs(lst)[0])
        with lst:
            assert lst[6] == 6
            with died("the actor of chunk 0"):
                lst[0]
            assert lst.pop() == 6 and len(lst) == 6
        assert stored(fake, lst)[1:] == [[3, 4, 5], []]

    def test_a_pop_that_fails_changes_nothing(self, fake):
        lst = QuorList(3, list(range(8)), meta=ListChunkMeta(None, 3, None))
        usage_ref = record_fields(record_of(lst))["chunk_used"]
        fake.kill(chunk_refs(lst)[2])
        with died("the actor of chunk 2"):
            with lst:
                lst.pop(0)      # takes 0 out of chunk 0, then needs chunks 1 and 2
        assert stored(fake, lst)[:2] == [[0, 1, 2], [3, 4, 5]]
        assert fake.value(usage_ref) == [3, 3, 2]
        with lst:  # the local copies were not touched either
            assert lst[0] == 0 and lst[5] == 5


class TestDeadLockActor:
    def test_every_block_fails_at_once_and_leaves_the_local_lock_free(self, fake, three):
        d, _ = three
        _, _, lock = names(fake, d)
        fake.kill(lock_of(d))
        for _ in range(3):
            with died("the lock actor") as e:
                with d:
                    pytest.fail("the block must not run")
            assert isinstance(e.value.__cause__, FakeActorDied)
            assert fake.take_log() == ["local.acquire", f"{lock}.acquire", f"{lock}.withdraw",
                                       "local.release"]

    def test_death_inside_a_block_commits_nothing_and_unlocks(self, fake, three):
        # The record lives in the control actor with the lock: the publish fails.
        d, _ = three
        (c0, c1, c2), meta, lock = names(fake, d)
        d.__lock__()
        d[0] = "A"
        fake.kill(lock_of(d))
        fake.take_log()
        with pytest.raises(WriteBackError) as e:
            d.__unlock__()
        assert str(e.value) == (
            "the block was not committed: publishing the version record failed (RuntimeError: "
            "the lock actor of this QuorDict has died); releasing the lock failed "
            "(RuntimeError: the lock actor of this QuorDict has died)")
        # The release that carried the commit met the dead control; the
        # rollback wave and the release after it meet it again.
        assert fake.take_log() == [f"{lock}.release", f"{c0}.rollback", f"{c1}.rollback",
                                   f"{c2}.rollback", f"{lock}.release", "local.release"]
        assert stored(fake, d)[0] == {0: "a"} and local_lock_free(d)


class TestFailedWriteBack:
    def test_a_poisoned_block_commits_nothing_and_the_next_block_commits(self, fake, three):
        d, other = three
        with other:
            other[0], other[1] = "mine", "also mine"
        with pytest.raises(WriteBackError) as e:
            with d:
                d[0] = threading.Lock()
                d[2] = "C"
        assert e.value.chunks == [0] and isinstance(e.value.__cause__, TypeError)
        assert str(e.value) == ("the block was not committed: write-back failed for chunk 0 "
                                "(TypeError: the value under key 0 (of type 'lock') cannot be "
                                "pickled)")
        assert stored(fake, d) == [{0: "mine"}, {1: "also mine"}, {2: "c"}]
        # The poisoned copy is gone: the next block starts from what was committed.
        with d:
            assert (d[0], d[2]) == ("mine", "c")
            d[2] = "C"
        with other:
            assert [other[k] for k in range(3)] == ["mine", "also mine", "C"]

    SECRET = "hunter2-secret"

    @pytest.mark.parametrize("build, poison, named", [
        (lambda bulk: QuorDict(dict(bulk), 1), lambda d: d.__setitem__("lock", threading.Lock()),
         "the value under key 'lock' (of type 'lock') cannot be pickled"),
        (lambda bulk: QuorList(1, [v for _, v in bulk], meta=ListChunkMeta(None, 20_000, None)),
         lambda lst: lst.append(threading.Lock()),
         "the element at position 10001 of the chunk (of type 'lock') cannot be pickled"),
    ], ids=["dict", "list"])
    def test_a_failure_names_what_failed_and_no_stored_value(self, fake, build, poison, named,
                                                            capsys):
        # About 1 MB in one chunk, a secret among it.
        bulk = [(f"key{i}", "v" * 100) for i in range(10_000)] + [("pw", self.SECRET)]
        c = build(bulk)
        with pytest.raises(WriteBackError) as e:
            with c:
                poison(c)
        assert str(e.value) == f"the block was not committed: write-back failed for chunk 0 " \
                               f"(TypeError: {named})"
        assert self.SECRET in str(e.value.__cause__)  # Ray's whole error stays the cause
        assert capsys.readouterr().out == ""          # raised, so not printed as well
        # The finaliser's write is only reported: one short line.
        with c:
            list(c)  # resident again
        set_fields(c, _last_msg_time=0)  # a line is due at once
        poison(c)
        c.__del__()
        line = capsys.readouterr().out
        assert line == f"Exception for evicting chunk 0: TypeError :: {named}\n"

    def test_another_holder_in_between_keeps_its_data(self, fake, three, direct):
        d, other = three
        with d:
            d[1] = "first"
        fake.actor(chunk_refs(d)[1]).fail("set", RuntimeError("refused"), times=1)
        with pytest.raises(WriteBackError):
            with d:
                d[1] = "lost"
        with other:
            assert other[1] == "first"
            other[1] = "other's"
        with d:
            assert d[1] == "other's"
        assert stored(fake, d)[1] == {1: "other's"}

    def test_a_reported_change_is_never_written_later(self, fake, three, direct):
        d, _ = three
        fake.actor(chunk_refs(d)[1]).fail("set", RuntimeError("refused"), times=1)
        with pytest.raises(WriteBackError):
            with d:
                d[1] = "reported"
                d[2] = "with it"
        with d:
            pass
        d.flush()
        del three[:]
        del d
        gc.collect()
        assert [fake.value(ref) for ref in fake.actors.values()
                if ref.name.startswith("proxy") and isinstance(ref.value, dict)] \
            == [{0: "a"}, {1: "b"}, {2: "c"}]

    def test_the_finaliser_does_not_write_over_a_later_commit(self, fake, three, capsys,
                                                               monkeypatch):
        d, other = three
        with d:
            d[1]
        d[1] = "changed after the block"   # resident, changed, never written in a block
        with other:
            other[1] = "committed"
        # Far enough on that the refusal's line is not rate-limited away.
        monkeypatch.setattr(quorbase, "time", types.SimpleNamespace(time=lambda: 2e9))
        (_, c1, _), _, _ = names(fake, d)
        del three[:]
        del d
        gc.collect()
        assert fake.value(c1) == {1: "committed"}
        assert capsys.readouterr().out.startswith(
            "Exception for evicting chunk 1: WriteConflictError :: write outside a block refused")

    @pytest.mark.parametrize("failing", ["chunk 0", "chunk 1", "release"])
    def test_a_list_block_failing_at_any_step_leaves_counts_and_chunks_agreeing(
            self, fake, direct, failing):
        lst = QuorList(3, [1, 2, 3], meta=ListChunkMeta(None, 2, None))
        other = pickle.loads(pickle.dumps(lst))
        (c0, c1, _), meta, lock = names(fake, lst)
        used = record_fields(record_of(lst))["chunk_used"]
        actor, method = {"chunk 0": (c0, "set"), "chunk 1": (c1, "set"),
                         "release": (lock, "release")}[failing]
        fake.actor(actor).fail(method, RuntimeError("refused"), times=1)
        with pytest.raises(WriteBackError) as e:
            with lst:
                lst.pop(0)          # changes chunks 0 and 1 (the list stays packed)
                lst.append(4)       # lands in chunk 1
                lst.append(5)       # counts [2, 2, 0], against [2, 1, 0] committed
        # The release is the commit: whichever step failed, nothing committed.
        assert str(e.value).startswith("the block was not committed: ")
        expected = [1, 2, 3]
        contents = stored(fake, lst)
        assert fake.value(used) == [len(chunk) for chunk in contents]
        assert [x for chunk in contents for x in chunk] == expected
        with other:
            assert list(other) == expected and other.pop() == expected[-1]
        with lst:
            assert list(lst) == expected[:-1]
            lst.append("next")
        assert [x for chunk in stored(fake, lst) for x in chunk] == expected[:-1] + ["next"]

    def test_after_an_aborted_list_block_reads_outside_a_block_are_shared_ones(self, fake,
                                                                                direct):
        lst = QuorList(2, [1, 2], meta=ListChunkMeta(None, 4, None))
        other = pickle.loads(pickle.dumps(lst))
        (c0, _), _, _ = names(fake, lst)
        fake.actor(c0).fail("set", RuntimeError("refused"), times=1)
        with pytest.raises(WriteBackError):
            with lst:
                lst.append(3)
                assert len(lst) == 3
        assert len(lst) == 2
        with other:
            other.append(9)
        assert len(lst) == 3  # another holder's append counts at once outside a block

    def test_an_unpicklable_list_element_leaves_counts_and_contents_agreeing(
            self, fake, finaliser_reports):
        lst = QuorList(2, [1, 2], meta=ListChunkMeta(None, 4, None))
        other = pickle.loads(pickle.dumps(lst))
        with pytest.raises(WriteBackError) as e:
            with lst:
                lst.append(threading.Lock())
        assert e.value.chunks == [0]
        usage = fake.value(record_fields(record_of(lst))["chunk_used"])
        contents = stored(fake, lst)
        with other:
            try:
                seen = list(other)
            except IndexError as exc:
                seen = exc
        assert usage == [len(chunk) for chunk in contents] == [2, 0]
        assert seen == [1, 2]
        with lst:  # the holder that failed sees the same list again
            assert list(lst) == [1, 2]
            lst.append(3)
        assert stored(fake, lst)[0] == [1, 2, 3]


class TestCommitsWithTheGrant:
    """A clean block's committed chunks reach later holders of older copies
    with their grants; a carried copy is used only at the version the record
    names, and the chunk's actor serves whatever is not carried."""

    @staticmethod
    def commit_a_held_chunk(fake, d, other):
        """`other` holds chunk 0, then `d` commits it as "A"; returns the
        chunk's actor."""
        with other:
            other[0]
        with d:
            d[0] = "A"
        return names(fake, d)[0][0]

    def test_a_copy_carried_then_overtaken_is_fetched(self, fake, three, monkeypatch):
        d, other = three
        c0 = self.commit_a_held_chunk(fake, d, other)
        with other:
            pass               # chunk 0 arrives carried and stays unpickled
        monkeypatch.setattr(quorlock, "CARRY_CHUNK_BYTES", 100)
        with d:
            d[0] = "B" * 200   # too large to carry: the lock forgets "A"
        fake.take_log()
        with other:
            assert other[0] == "B" * 200
        assert f"{c0}.get" in fake.take_log()

    def test_copies_held_are_named_and_only_newer_commits_come(self, fake, three):
        d, other = three
        (c0, c1, c2), _, lock = names(fake, d)
        with other:
            other[0], other[1]
        with d:
            d[0], d[2] = "A", "C"   # chunk 2 is not held by `other`
        with other:
            assert (other[0], other[1], other[2]) == ("A", "b", "C")
            acquire_args = [args for _, method, args, _ in fake.calls if method == "acquire"][-1]
        assert acquire_args[0].copies == {0: 0, 1: 0}  # chunk index -> version of the copy held
        assert [c for c in fake.log if c.endswith(".get")][-1:] == [f"{c2}.get"]

    def test_an_aborted_block_leaves_the_record_with_the_lock(self, fake, three, direct):
        # The record lives in the control actor: an abort does not make the
        # next holder read it.
        d, other = three
        c0 = self.commit_a_held_chunk(fake, d, other)
        meta = names(fake, d)[1]
        fake.actor(c0).fail("set", RuntimeError("down"), times=1)
        with pytest.raises(WriteBackError):
            with d:
                d[0] = "X"
        fake.take_log()
        with other:
            assert other[0] == "A"
        assert f"{meta}.get_nocache" not in fake.take_log()

    def test_a_carried_copy_that_cannot_be_unpickled_is_fetched(self, fake, three, monkeypatch):
        d, other = three
        c0 = self.commit_a_held_chunk(fake, d, other)

        class Refusing:
            @staticmethod
            def loads(data):
                raise ValueError("cannot unpickle here")

        monkeypatch.setattr(quorbase, "pickle", Refusing)
        fake.take_log()
        with other:
            assert other[0] == "A"
        assert f"{c0}.get" in fake.take_log()


class TestRecordWithTheGrant:
    """Each grant brings the record as its cell in the control actor holds it."""

    def test_a_clean_block_hands_its_commit_to_the_next_holder(self, fake, three):
        d, other = three
        (c0, _, _), meta, lock = names(fake, d)
        with other:
            other[0]           # resident in `other`, then changed by `d`
        with d:
            d[0] = "A"
        fake.take_log()
        with other:
            assert other[0] == "A"  # the changed chunk came with the grant
        assert fake.take_log() == ["local.acquire", f"{lock}.acquire",
                                   f"{lock}.release", "local.release"]

    def test_a_release_lost_on_its_way_commits_nothing_for_either_container(self, fake):
        # Two containers share one lock, and so its control actor: the release
        # of a block of `x` is its commit, and one that never ran committed
        # nothing for either.
        x = QuorDict({0: "a"}, 1)
        y = QuorDict({0: "b"}, 1, lock=lock_of(x))
        x_other = pickle.loads(pickle.dumps(x))
        for container in (x_other, y):
            with container:
                container[0]
        fake.actor(lock_of(x)).fail("release", RuntimeError("connection lost"), times=1)
        with pytest.raises(WriteBackError, match="connection lost"):
            with x:
                x[0] = "A"
        fake.take_log()
        with y:
            assert y[0] == "b"
        with x_other:
            assert x_other[0] == "a"
        assert stored(fake, x) == [{0: "a"}]


class TestHolderDeath:
    """A holder that dies inside its block (the double's lock gives it up as
    the real lock does when the holder's process dies): the next holder's
    grant is abnormal and it starts from the last commit."""

    @staticmethod
    def die_holding(fake, container, work):
        dead = pickle.loads(pickle.dumps(container))
        dead.__lock__()
        work(dead)
        fake.actor(lock_of(container)).lose(admin.lock_status(container)["ticket"])
        fake.take_log()
        return dead   # a dead process runs no finaliser: kept until the test ends

    @pytest.mark.parametrize("work", [
        lambda lst: (lst.append(7), lst.append(8)),
        lambda lst: (lst.append(7), lst.flush()),      # written, never committed
        lambda lst: (lst.pop(), lst.pop(0), lst.flush()),
        lambda lst: (lst.insert(0, "x"), lst.flush()),
        lambda lst: lst.clear(),
    ], ids=["appends", "append-written", "pops-written", "insert-written", "clear"])
    def test_a_dead_holders_list_changes_are_never_counted(self, fake, work):
        lst = QuorList(3, [1, 2, 3, 4], meta=ListChunkMeta(None, 2, None))
        (c0, c1, c2), meta, lock = names(fake, lst)
        used, last, _ = (record_fields(record_of(lst))[f]
                         for f in ("chunk_used", "last_used_chunk", "max_element_per_chunk"))
        with lst:
            lst[0]
        dead = self.die_holding(fake, lst, work)
        # Its changes stayed in its block's copy of the counts: no one counts them.
        assert fake.value(used) == [2, 2, 0] and fake.value(last) == 1 and len(lst) == 4
        fake.take_log()
        with lst:
            # The counts change only with a commit and the grant brings the
            # record: the rollback is all there is.
            assert fake.take_log() == [
                "local.acquire", f"{lock}.acquire", f"{c0}.rollback", f"{c1}.rollback",
                f"{c2}.rollback"]
            assert list(lst) == [1, 2, 3, 4] and len(lst) == 4
            assert lst.pop() == 4
        assert stored(fake, lst) == [[1, 2], [3], []]
        assert fake.value(used) == [2, 1, 0]
        del dead

    def test_a_dictionary_needs_no_more_than_the_rollback(self, fake, three):
        d, other = three
        (c0, c1, c2), meta, lock = names(fake, d)
        with d:
            d[0] = "A"

        def work(dead):
            dead[0], dead[1] = "never", "committed"
            dead.flush()

        dead = self.die_holding(fake, d, work)
        with other:
            assert fake.take_log() == ["local.acquire", f"{lock}.acquire", f"{c0}.rollback",
                                       f"{c1}.rollback", f"{c2}.rollback"]
            assert [other[k] for k in range(3)] == ["A", "b", "c"]
        assert stored(fake, d) == [{0: "A"}, {1: "b"}, {2: "c"}]
        del dead

    def test_an_instance_freed_inside_its_block_gives_the_lock_back_aborted(self, fake, three):
        d, other = three
        (c0, c1, c2), meta, lock = names(fake, d)
        abandoned = pickle.loads(pickle.dumps(d))
        abandoned.__lock__()
        abandoned[0] = "never committed"
        abandoned.flush()
        del abandoned
        gc.collect()
        assert not fake.actor(lock).held
        with other:
            assert [other[k] for k in range(3)] == ["a", "b", "c"]
        assert stored(fake, d)[0] == {0: "a"}


def append_twice(lst):
    lst.append(4)     # stays in chunk 1: no write of the last chunk in use
    lst.append(5)     # moves to chunk 2: counts written, then the last chunk in use


# Chunks [1, 2] [3] [] (capacity 2): what each operation publishes, which of
# the two count proxies refuses once, and the list that must remain.
@pytest.mark.parametrize("operation, refusing, remains", [
    (lambda l: l.append(4), "chunk_used", [1, 2, 3]),
    (append_twice, "chunk_used", [1, 2, 3]),
    (append_twice, "last_used_chunk", [1, 2, 3, 4]),
    (lambda l: l.insert(0, 9), "chunk_used", [1, 2, 3]),
    (lambda l: l.insert(2, 9), "chunk_used", [1, 2, 3]),
    (lambda l: l.pop(0), "chunk_used", [1, 2, 3]),
    (lambda l: l.pop(0), "last_used_chunk", [1, 2, 3]),   # empties chunk 1
    (lambda l: l.remove(2), "last_used_chunk", [1, 2, 3]),
    (lambda l: l.clear(), "chunk_used", [1, 2, 3]),
    (lambda l: l.clear(), "last_used_chunk", [1, 2, 3]),
    (lambda l: l.extend([7, 8, 9]), "chunk_used", [1, 2, 3]),
    (lambda l: l.extend([7, 8, 9]), "last_used_chunk", [1, 2, 3]),
])
def test_a_refused_count_write_outside_a_block_leaves_the_operation_without_effect(
        fake, finaliser_reports, operation, refusing, remains):
    # Outside a block the counts are published at once, which can be refused.
    lst = QuorList(3, [1, 2, 3], meta=ListChunkMeta(None, 2, None))
    other = pickle.loads(pickle.dumps(lst))
    record = record_fields(record_of(lst))
    fake.actor(record[refusing]).fail("swap", RuntimeError("refused"), times=1)
    with pytest.raises(RuntimeError, match="^refused$"):
        operation(lst)
    lst.flush()   # the copies as the refusal left them
    usage, contents = fake.value(record["chunk_used"]), stored(fake, lst)
    assert usage == [len(chunk) for chunk in contents]
    assert [x for chunk in contents for x in chunk] == remains
    assert fake.value(record["last_used_chunk"]) == max(i for i, n in enumerate(usage) if n)
    with other:   # another holder works with what is stored
        assert list(other) == remains
        other.pop(0)
        other.append("x")
    with lst:
        assert list(lst) == remains[1:] + ["x"]
    assert finaliser_reports == []


# -- a real Ray ---------------------------------------------------------------------


@ray.remote(num_cpus=0.5)
def probe(d, keys):
    """Reads each key in one block: its value, or "lost" when its actor is gone."""
    seen = {}
    with d:
        for key in keys:
            try:
                seen[key] = d[key]
            except RuntimeError as exc:
                assert str(exc).endswith("of this QuorDict has died"), exc
                seen[key] = "lost"
    return seen


@ray.remote(num_cpus=0.5)
def probe_slot(slot):
    try:
        return ray.get(slot.get_nocache.remote(), timeout=30)
    except quorproxy.LostSlotError:
        return "freed"


@ray.remote(num_cpus=0.5)
def wait_for_lock(d):
    try:
        with d:
            return "granted"
    except RuntimeError as exc:
        return str(exc)


def wait_until(condition, what):
    deadline = time.monotonic() + 60
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.05)


def status(container):
    s = admin.lock_status(container)
    return s["held"], s["held_seconds"], s["waiters"]


def pool_is_whole():
    """Every host the keeper lists answers (a killed one has been replaced)."""
    try:
        quorpool.pool_status()
    except ray.exceptions.RayActorError:
        return False
    return True


def test_real_host_killed_and_an_unpicklable_value(real_ray, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    d = QuorDict({0: "a", 1: "b", 2: "c", 3: "d"}, 4)   # key i in chunk i
    hosts = [ref.host for ref in chunk_refs(d)]
    assert hosts[0] != hosts[1]                        # consecutive chunks on other hosts
    lost = [i for i, host in enumerate(hosts) if host == hosts[1]]
    with d:
        d[0], d[1], d[2], d[3]
    ray.kill(hosts[1])
    # Small changes travel with the release, which commits them: the chunks
    # whose host is gone went with it, as their readers are told.
    with d:
        d[0], d[1], d[2], d[3] = "A", "B", "C", "D"
    assert status(d) == (False, None, 0) and local_lock_free(d)
    expected = {i: "lost" if i in lost else "ABCD"[i] for i in range(4)}
    assert ray.get(probe.remote(d, [0, 1, 2, 3]), timeout=60) == expected

    with pytest.raises(WriteBackError) as e:
        with d:
            d[0] = threading.Lock()
            d[2] = "C2"
    assert e.value.chunks == [0] and str(e.value) == (
        "the block was not committed: write-back failed for chunk 0 (TypeError: the value under "
        "key 0 (of type 'lock') cannot be pickled)")
    assert status(d) == (False, None, 0)
    assert ray.get(probe.remote(d, [0, 2]), timeout=60) == {0: "A", 2: "C"}
    with d:
        d[0] = "A3"
        d[0] = "A4"
    assert ray.get(probe.remote(d, [0, 2]), timeout=60) == {0: "A4", 2: "C"}
    del d
    gc.collect()
    assert reported == []
    wait_until(pool_is_whole, "the keeper to replace the killed host")


def test_real_control_actor_killed(real_ray):
    # The lock and the record are one actor: its death fails waiters, the
    # commit of the block inside, and every later block.
    d = QuorDict({0: "a"}, 1)
    d.__lock__()
    waiter = wait_for_lock.remote(d)
    wait_until(lambda: status(d)[2] == 1, "the waiter to queue")
    d[0] = "A"
    ray.kill(lock_of(d))
    # A waiter is failed, not left waiting.
    assert ray.get(waiter, timeout=60) == "the lock actor of this QuorDict has died"
    with pytest.raises(WriteBackError, match="^the block was not committed: publishing the "
                       "version record failed .*the lock actor of this QuorDict has died"):
        d.__unlock__()
    assert local_lock_free(d)
    with pytest.raises(RuntimeError, match="^the lock actor of this QuorDict has died$") as e:
        with d:
            pass
    assert isinstance(e.value.__cause__, ray.exceptions.RayActorError)
    # The hosts free the dead control's slots: its chunks are gone with it.
    wait_until(lambda: ray.get(probe_slot.remote(chunk_refs(d)[0]), timeout=60) == "freed",
               "the host to free the slot")
