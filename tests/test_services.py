"""The lock, proxy and pool services' own logic, run in-process without Ray:
the state machines that the actors and the recording double share, and the
control, host and keeper actors' delivery of grants, anchors and deaths on an
asyncio loop."""

import asyncio
import concurrent.futures
import os
import pickle
import time
import types

import pytest

from quorlib import lockstate, quorlock, quorpool
from quorlib.messages import (CarriedChunk, Commit, LockRelease, LockRequest, Registration,
                              RequesterId, Scope)
from quorlib.quorbase import QuorMeta
from quorlib.lockstate import (ControlState, HolderLostError, LockState, StaleTicketError,
                               UnknownProcessError)
from quorlib.quorlock import QuorControl
from quorlib.quorpool import HostState, KeeperState, QuorHost, QuorKeeper
from quorlib.quorproxy import (Cell, LostSlotError, LostStateError, ProxyState,
                               QuorCacheDirMSI, QuorProxyActor, Slot, StaleEpochError,
                               WriteConflictError, gen_quor_id)

LockImpl = QuorControl.__ray_actor_class__
ProxyImpl = QuorProxyActor.__ray_actor_class__
HostImpl = QuorHost.__ray_actor_class__


@pytest.mark.parametrize("actor, pending", [(QuorControl, True), (QuorKeeper, True),
                                             (QuorHost, False), (QuorProxyActor, False)])
def test_actors_reserve_no_cpu_and_take_the_pending_calls_they_serve(actor, pending):
    # Every container adds a control actor. Waiters keep a call pending on a
    # control, followed processes and controls one on the keeper; a host
    # keeps none (it follows its owners through their tokens' callbacks).
    assert actor._default_options.get("num_cpus") == 0
    assert (actor._default_options.get("max_concurrency", 1) >= 10_000) is pending


# -- LockState -------------------------------------------------------------------

CHUNKS = 4  # of the containers in the scripts


def on(ticket, *chunks, reads=False, key="x"):
    """A request for a block on `chunks` of container `key` (every chunk when
    none are given), to change them or, `reads`, to read them."""
    return {"ticket": ticket, "record_key": key, "scope": Scope(chunks or None, reads, CHUNKS)}


# Each step: (operation, argument(s), expected). A request's argument is a
# ticket, (ticket, process) or the keywords of `on`. A request expects the
# entry granted at once as (ticket, epoch, repair) or None; the other
# operations that can grant expect the list of entries granted. `repair` is
# False, True (every chunk) or the chunks to repair. An exception class means
# the step must raise it and change nothing.
LOCK_SCRIPTS = {
    "first request is granted at once, epoch 1": [
        ("request", "a", ("a", 1, False)),
        ("release", ("a", False), []),
        ("request", "b", ("b", 2, False)),
    ],
    "waiters are served in order, each epoch one higher": [
        ("request", "a", ("a", 1, False)),
        ("request", "b", None),
        ("request", "c", None),
        ("release", ("a", False), [("b", 2, False)]),
        ("release", ("b", False), [("c", 3, False)]),
        ("release", ("c", False), []),
    ],
    "an aborted release makes the next grant abnormal, once": [
        ("request", "a", ("a", 1, False)),
        ("request", "b", None),
        ("release", ("a", True), [("b", 2, True)]),
        ("request", "c", None),
        ("release", ("b", False), [("c", 3, False)]),
    ],
    "abnormal end with nobody waiting is told to the next requester": [
        ("request", "a", ("a", 1, False)),
        ("drop", "a", []),
        ("request", "b", ("b", 2, True)),
    ],
    "a dead holder passes the lock on abnormally": [
        ("request", "a", ("a", 1, False)),
        ("request", "b", None),
        ("drop", "a", [("b", 2, True)]),
    ],
    "a dead waiter leaves the queue and changes nothing else": [
        ("request", "a", ("a", 1, False)),
        ("request", "b", None),
        ("request", "c", None),
        ("drop", "b", []),
        ("release", ("a", False), [("c", 2, False)]),
    ],
    "a holder that dies right after being granted abnormally passes that on": [
        ("request", "a", ("a", 1, False)),
        ("request", "b", None),
        ("request", "c", None),
        ("release", ("a", True), [("b", 2, True)]),
        ("drop", "b", [("c", 3, True)]),
    ],
    "stale and unknown tickets cannot release": [
        ("request", "a", ("a", 1, False)),
        ("request", "b", None),
        ("force", None, (True, [("b", 2, True)])),
        ("release", ("a", False), StaleTicketError),
        ("release", ("zz", False), StaleTicketError),
        ("release", ("b", False), []),
        ("release", ("b", False), StaleTicketError),
    ],
    "force with a ticket spares a successor": [
        ("request", "a", ("a", 1, False)),
        ("request", "b", None),
        ("force", "a", (True, [("b", 2, True)])),
        ("force", "a", (False, [])),
        ("release", ("b", False), []),
        ("force", None, (False, [])),
    ],
    "a granted holder that withdraws passes on what it was told": [
        ("request", "a", ("a", 1, False)),
        ("request", "b", None),
        ("request", "c", None),
        ("drop", "a", [("b", 2, True)]),
        ("withdraw", "b", [("c", 3, True)]),
        ("withdraw", "c", []),
        ("request", "d", ("d", 4, True)),
    ],
    "a ticket in use cannot be requested again": [
        ("request", "a", ("a", 1, False)),
        ("request", "a", ValueError),
        ("request", "b", None),
        ("request", "b", ValueError),
        ("release", ("a", False), [("b", 2, False)]),
    ],
    "a dead process loses its lock and its queued tickets, others stay": [
        ("register", "p", True),
        ("register", "q", True),
        ("register", "p", False),
        ("request", ("a", "p"), ("a", 1, False)),
        ("request", ("b", "q"), None),
        ("request", ("c", "p"), None),
        ("request", ("d", None), None),
        ("drop_process", "p", ([("b", 2, True)], ["c"])),
        ("request", ("e", "p"), UnknownProcessError),
        ("drop_process", "q", ([("d", 3, True)], [])),
        ("release", ("d", False), []),
    ],
    "a dead waiter's process leaves the holder alone": [
        ("register", "p", True),
        ("register", "q", True),
        ("request", ("a", "p"), ("a", 1, False)),
        ("request", ("b", "q"), None),
        ("drop_process", "q", ([], ["b"])),
        ("release", ("a", False), []),
        ("request", ("c", "p"), ("c", 2, False)),
    ],
    "blocks on other chunks run side by side, a block on a taken chunk waits": [
        ("request", on("a", 0), ("a", 1, False)),
        ("request", on("b", 1), ("b", 2, False)),
        ("request", on("c", 0, 2), None),
        ("request", on("d", 3), ("d", 3, False)),
        ("release", ("a", False), [("c", 4, False)]),
    ],
    "a block is granted all its chunks at once, and no later block passes it": [
        ("request", on("a", 0), ("a", 1, False)),
        ("request", on("b", 0, 1), None),
        ("request", on("c", 1), None),
        ("release", ("a", False), [("b", 2, False)]),
        ("release", ("b", False), [("c", 3, False)]),
    ],
    "readers share; a writer waits for them, and readers after it for it": [
        ("request", on("r1", reads=True), ("r1", 1, False)),
        ("request", on("r2", reads=True), ("r2", 2, False)),
        ("request", on("w", 1), None),
        ("request", on("r3", reads=True), None),
        ("release", ("r1", False), []),
        ("release", ("r2", False), [("w", 3, False)]),
        ("release", ("w", False), [("r3", 4, False)]),
    ],
    "a reader of some chunks and a writer of others run side by side": [
        ("request", on("r", 0, reads=True), ("r", 1, False)),
        ("request", on("w", 1, 2), ("w", 2, False)),
        ("request", on("all"), None),
        ("release", ("r", False), []),
        ("release", ("w", False), [("all", 3, False)]),
    ],
    "a block on every chunk excludes every block on the lock, of any container": [
        ("request", on("a"), ("a", 1, False)),
        ("request", on("b", 0, key="y"), None),
        ("request", on("c", 1, reads=True, key="y"), None),
        ("release", ("a", False), [("b", 2, False), ("c", 3, False)]),
    ],
    "blocks of other containers run side by side": [
        ("request", on("a", 0, key="x"), ("a", 1, False)),
        ("request", on("b", 0, key="y"), ("b", 2, False)),
    ],
    "a dead holder's chunks are repaired by their next holders, each its own": [
        ("request", on("a", 0, 1), ("a", 1, False)),
        ("request", on("b", 2), ("b", 2, False)),
        ("drop", "a", []),
        ("request", on("c", 1, 3), ("c", 3, (1,))),
        ("request", on("d", 0), ("d", 4, (0,))),
        ("release", ("d", False), []),
        ("request", on("e", 0), ("e", 5, False)),
        ("request", on("f", 0, key="y"), ("f", 6, False)),
    ],
    "an aborted block on every chunk leaves them to repair, taken in parts": [
        ("request", on("a"), ("a", 1, False)),
        ("release", ("a", True), []),
        ("request", on("b", 1), ("b", 2, (1,))),
        ("release", ("b", False), []),
        ("request", on("c"), ("c", 3, (0, 2, 3))),
    ],
    "readers repair nothing, and a dead reader leaves nothing to repair": [
        ("request", on("a", 0), ("a", 1, False)),
        ("drop", "a", []),
        ("request", on("r", reads=True), ("r", 2, False)),
        ("drop", "r", []),
        ("request", on("b", 0), ("b", 3, (0,))),
    ],
    "force without a ticket ends every holder": [
        ("request", on("a", 0), ("a", 1, False)),
        ("request", on("b", 1), ("b", 2, False)),
        ("force", None, (True, [])),
        ("request", on("c", 0, 1, 2), ("c", 3, (0, 1))),
    ],
}


def _steady(status):
    """A lock's status without the times that pass."""
    status = {k: v for k, v in status.items() if k != "held_seconds"}
    status["holders"] = [{k: v for k, v in h.items() if k != "held_seconds"}
                         for h in status["holders"]]
    return status


def _granted(granted):
    if isinstance(granted, list):
        return [_granted(entry) for entry in granted]
    if granted is None:
        return None
    grant = granted.grant
    return (granted.ticket, granted.epoch, grant.abnormal and (grant.repair or True))


@pytest.mark.parametrize("script", LOCK_SCRIPTS.values(), ids=LOCK_SCRIPTS.keys())
def test_lock_state(script):
    state = LockState()
    for op, arg, expected in script:
        before = state.status()
        run = {
            "register": lambda: state.register(arg, {"pid": arg}),
            "request": lambda: _granted(state.request(*arg) if isinstance(arg, tuple)
                                        else state.request(**arg) if isinstance(arg, dict)
                                        else state.request(arg)),
            "drop_process": lambda: (lambda r: (_granted(r[0]), r[1]))(state.drop_process(arg)),
            "release": lambda: _granted(state.release(*arg)),
            "drop": lambda: _granted(state.drop(arg)),
            "withdraw": lambda: _granted(state.withdraw(arg)),
            "force": lambda: (lambda r: (r[0], _granted(r[1])))(state.force(arg)),
        }[op]
        if isinstance(expected, type):
            with pytest.raises(expected):
                run()
            assert _steady(state.status()) == _steady(before), (op, arg)
        else:
            assert run() == expected, (op, arg)
        assert state.status()["held"] is bool(state.holders)
        assert all(0 < h.epoch <= state.epoch for h in state.holders.values())


def test_lock_carries_each_containers_newest_commits_within_bounds(monkeypatch):
    # Records held outside the control actor: each is known as the last block
    # that held the whole lock left it.
    monkeypatch.setattr(lockstate, "CARRIED_BYTES", 10)
    monkeypatch.setattr(lockstate, "GRANT_CARRY_BYTES", 6)
    state = ControlState()

    def block(ticket, key, copies=None, chunks=None, record=b"r", aborted=False):
        granted = state.request(ticket, record_key=key, copies=copies)
        carried = {i: CarriedChunk(*chunk) for i, chunk in (chunks or {}).items()}
        state.end_block(LockRelease(ticket, aborted, key, record, carried))
        return granted.chunks

    block("a", "x", chunks={0: (1, b"0000"), 1: (1, b"11"), 2: (1, b"22"), 3: (1, None)})
    assert dict(state.carried["x"]) == {0: (1, b"0000"), 1: (1, b"11"), 2: (1, b"22")}
    # Newer than the copies named, the newest first, within the grant's bound;
    # nothing for another container or for a copy not held.
    assert block("b", "x", copies={0: 0, 1: 1, 2: 0, 5: 0}) == {2: (1, b"22"), 0: (1, b"0000")}
    assert block("c", "y", copies={0: 0}) is None
    assert block("d", "x", copies={3: 0}) is None
    # A newer commit replaces a chunk's contents; beyond the bound the oldest go.
    block("e", "x", chunks={1: (2, b"111111")})
    assert dict(state.carried["x"]) == {2: (1, b"22"), 1: (2, b"111111")}
    # A release that does not know its record forgets the container's chunks.
    block("f", "x", record=None)
    assert "x" not in state.carried
    block("g", "x", chunks={0: (3, b"0")})
    block("h", "y", chunks={0: (1, b"y")})
    # An abnormal end forgets every such container's, and that grant brings none.
    state.request("i", record_key="x")
    state.drop("i")
    assert state.carried == {} and state.records == {}
    assert block("j", "x", copies={0: 0}) is None


def _record(versions, epochs):
    meta = QuorMeta(len(versions))
    meta.chunk_versions, meta.committed_epochs = list(versions), list(epochs)
    meta.epoch = max(epochs)
    return meta


def test_blocks_on_other_chunks_commit_side_by_side_into_one_record():
    state = ControlState()
    state.cells["rec"] = ProxyState(_record([0, 0, 0], [0, 0, 0]))
    key = "control/rec"

    def commit(ticket, record, chunks):
        carried = {i: CarriedChunk(record.chunk_versions[i], b"c%d" % i) for i in chunks}
        message = LockRelease(ticket, False, key, pickle.dumps(record), carried,
                              Commit("rec", state.holders[ticket].epoch, {}, {}))
        return state.end_block(message)

    scope = {i: Scope((i,), False, 3) for i in range(3)}
    first = state.request("a", record_key=key, scope=scope[0])
    second = state.request("b", record_key=key, scope=scope[1])
    assert pickle.loads(first.record).chunk_versions == [0, 0, 0]
    # The later grant commits first; each commit changes only its own entries.
    commit("b", _record([0, 1, 0], [0, second.epoch, 0]), [1])
    commit("a", _record([1, 0, 0], [first.epoch, 0, 0]), [0])
    merged = state.cells["rec"].value
    assert (merged.chunk_versions, merged.committed_epochs) == ([1, 1, 0], [1, 2, 0])
    # A grant brings the record as committed, and the carried chunks newer than
    # the copies named, in its scope or not.
    later = state.request("c", record_key=key, copies={0: 0, 1: 1, 2: 0}, scope=scope[1])
    assert pickle.loads(later.record).chunk_versions == [1, 1, 0]
    assert later.chunks == {0: (1, b"c0")}
    # A holder commits only what it holds, and a reader nothing.
    with pytest.raises(ValueError, match="commits what its block does not hold"):
        commit("c", _record([2, 2, 0], [3, 3, 0]), [0, 1])
    state.request("r", record_key=key, scope=Scope((2,), True, 3))
    with pytest.raises(ValueError, match="reads only: True"):
        commit("r", _record([1, 1, 1], [1, 2, 4]), [2])
    assert state.cells["rec"].value.chunk_versions == [1, 1, 0]
    assert set(state.holders) == {"c", "r"}


class _Counted:
    """Pickles to about 1 KiB and counts how often it was pickled."""
    pickled = 0

    def __reduce__(self):
        type(self).pickled += 1
        return (bytes, (os.urandom(1024),))


def test_what_a_release_carries_is_bounded_before_it_is_pickled_whole(monkeypatch):
    small = {i: str(i) for i in range(300)}
    assert pickle.loads(quorlock.carried_contents(small)) == small
    assert quorlock.carried_contents({0: lambda: 0}) is None  # plain pickle refuses it: not carried
    # Too large: pickling stops at the bound (one 64 KiB frame past it at most).
    _Counted.pickled = 0
    assert quorlock.carried_contents({i: _Counted() for i in range(1000)}) is None
    assert 0 < _Counted.pickled < 200
    # Too many entries: not pickled at all.
    monkeypatch.setattr(quorlock, "CARRY_MAX_ITEMS", 10)
    _Counted.pickled = 0
    assert quorlock.carried_contents({i: _Counted() for i in range(11)}) is None
    assert _Counted.pickled == 0


def test_lock_status_names_every_holder(monkeypatch):
    clock = {"wall": 1000.0, "mono": 50.0}
    monkeypatch.setattr(lockstate, "time", types.SimpleNamespace(
        time=lambda: clock["wall"], monotonic=lambda: clock["mono"]))
    state = LockState()
    info = {"worker_id": "w", "actor_id": None, "node_id": "n", "pid": 7}
    state.register("p", info)
    state.request("a", "p", "task-a", "x", scope=Scope((0,), False, 4))
    clock["mono"] += 1.5
    state.request("r", None, None, "x", scope=Scope((1, 2), True, 4))
    state.request("b")
    clock["mono"] += 1.0
    first = {"ticket": "a", "holder": {**info, "task_id": "task-a"}, "since": 1000.0,
             "held_seconds": 2.5, "epoch": 1, "reads": False, "chunks": [0]}
    reader = {"ticket": "r", "holder": None, "since": 1000.0, "held_seconds": 1.0, "epoch": 2,
              "reads": True, "chunks": [1, 2]}
    assert state.status() == {"held": True, "ticket": "a", "holder": first["holder"],
                              "since": 1000.0, "held_seconds": 2.5, "waiters": 1, "epoch": 2,
                              "holders": [first, reader]}
    state.release("a")
    state.release("r")
    assert state.status()["holders"][0]["ticket"] == "b"
    state.release("b")
    assert state.status() == {"held": False, "ticket": None, "holder": None, "since": None,
                              "held_seconds": None, "waiters": 0, "epoch": 3, "holders": []}


# -- the lock actor's delivery, on a plain asyncio loop ---------------------------

async def settle():
    for _ in range(5):
        await asyncio.sleep(0)


class Process:
    """A client process of the control actor, with its token (a future standing
    for the reference of its pending keeper call, which fails when the
    process dies)."""

    def __init__(self, lock, name):
        self.lock, self.name, self.registered = lock, name, False
        self.token = asyncio.get_running_loop().create_future()

    def acquire(self, ticket):
        registration = None if self.registered else Registration(self.token, {"pid": self.name})
        self.registered = True
        request = LockRequest(ticket, self.name, f"task-{ticket}", registration)
        return asyncio.get_running_loop().create_task(self.lock.acquire(request))

    def die(self):
        self.token.set_exception(RuntimeError("owner died"))


def release(ticket, aborted=False):
    return quorlock.LockRelease(ticket, aborted)


def test_control_actor_follows_processes_and_delivers_grants():
    async def scenario():
        lock = LockImpl(None, "control")
        pa, pb, pc, pd = (Process(lock, n) for n in ("pa", "pb", "pc", "pd"))
        a = pa.acquire("a")
        await settle()
        assert a.result() == (1, False, None, None, None)
        b, c = pb.acquire("b"), pc.acquire("c")
        await settle()
        assert not b.done() and (await lock.status())["waiters"] == 2
        await lock.release(release("a"))
        await settle()
        assert b.result() == (2, False, None, None, None)
        # A process is followed once, whatever it holds; nothing is left
        # pending on the control for it (its call waits at the keeper).
        assert set(lock._processes._watchers) == {"pa", "pb", "pc"}

        pb.die()                           # the holder's process is gone
        await settle()
        assert c.result() == (3, True, None, None, None)
        with pytest.raises(StaleTicketError):
            await lock.release(release("b"))
        d1, d2 = pd.acquire("d1"), pd.acquire("d2")
        a2 = pa.acquire("a2")              # registered already: no token sent
        await settle()
        pd.die()                           # a process with two queued tickets
        await settle()
        assert isinstance(d1.exception(), HolderLostError)
        assert isinstance(d2.exception(), HolderLostError)
        await lock.release(release("c", aborted=True))
        await settle()
        assert a2.result() == (4, True, None, None, None)
        assert set(lock._processes._watchers) == {"pa", "pc"} and not lock._grants
        assert await lock.force_unlock("not a2") is False
        assert await lock.force_unlock("a2") is True
        assert (await lock.status())["held"] is False
        with pytest.raises(UnknownProcessError):
            await lock.acquire(LockRequest("x", "pb"))  # a dead process is forgotten

    asyncio.run(scenario())


def test_control_actor_cancelled_waiter_and_a_second_registration():
    async def scenario():
        lock = LockImpl(None, "control")
        pa, pb, pc = (Process(lock, n) for n in ("pa", "pb", "pc"))
        a, b, c = pa.acquire("a"), pb.acquire("b"), pc.acquire("c")
        await settle()
        b.cancel()                         # its caller stopped waiting
        await settle()
        await lock.release(release("a"))
        await settle()
        assert c.result() == (2, False, None, None, None)
        d, e = pb.acquire("d"), pa.acquire("e")
        await settle()
        del lock._grants["d"]              # a waiter whose call vanished without a word
        await lock.release(release("c", aborted=True))
        await settle()
        assert e.result() == (4, True, None, None, None)     # d's grant passed on, with what it was told
        await lock.release(release("e"))
        # A second registration of one process (two threads at once) is ignored.
        token = asyncio.get_running_loop().create_future()
        await lock.acquire(LockRequest("a3", "pa", None, Registration(token, {})))
        assert len(lock._processes._watchers) == 3
        assert lock._state.processes["pa"] == {"pid": "pa"}

    asyncio.run(scenario())


def test_control_actor_keeps_cells_that_a_call_may_reach_before_their_creation(monkeypatch):
    monkeypatch.setattr(quorpool, "CREATION_WAIT_S", 0.05)

    async def scenario():
        lock = LockImpl(None, "control")
        early = asyncio.get_running_loop().create_task(lock.cell_get_nocache("record"))
        await settle()
        await lock.cell_create("record", "r0")
        assert await early == "r0"
        await lock.cell_publish("record", 2, "r2")
        assert await lock.cell_fence("record", 3) == "r2"
        with pytest.raises(StaleEpochError):
            await lock.cell_publish("record", 2, "late")
        await lock.cell_set_nocache("record", "r")
        assert await lock.cell_get_nocache("record") == "r"
        with pytest.raises(KeyError, match="holds no cell 'never'"):
            await lock.cell_get_nocache("never")

    asyncio.run(scenario())


def test_client_registers_once_per_control_actor(fake):
    lock = fake.QuorLock.remote()
    name = fake.actor(lock).name
    fake.take_log()
    for _ in range(3):
        quorlock.release(lock, quorlock.acquire(lock))
    assert fake.take_log() == [f"{name}.acquire", f"{name}.release"] * 3
    assert fake.registrations(name) == 1
    # An actor that gave this process up (its token failed) refuses the
    # request; the client registers again, once.
    fake.actor(lock).state.processes.clear()
    grant = quorlock.acquire(lock)
    assert fake.take_log() == [f"{name}.acquire", f"{name}.acquire"]
    assert fake.registrations(name) == 2 and grant.epoch == 4
    fake.actor(lock).fail("acquire", UnknownProcessError("unknown"), times=2)
    with pytest.raises(UnknownProcessError):
        quorlock.acquire(lock)
    assert fake.take_log() == [f"{name}.acquire", f"{name}.acquire", f"{name}.withdraw"]


def test_waiters_are_served_in_order_and_one_that_gives_up_is_skipped():
    async def scenario():
        lock = LockImpl(None, "control")
        order = []
        await lock.acquire(LockRequest("h"))

        async def waiter(name):
            await lock.acquire(LockRequest(name))
            order.append(name)

        tasks = [asyncio.create_task(waiter(n)) for n in "abc"]
        await asyncio.sleep(0)
        tasks[1].cancel()          # b gives up while waiting
        await asyncio.sleep(0)
        assert (await lock.status())["held"] is True
        await lock.release(release("h"))    # -> a
        await asyncio.sleep(0)
        await lock.release(release("a"))    # -> c (b was cancelled)
        await asyncio.sleep(0)
        await lock.release(release("c"))
        assert order == ["a", "c"]
        status = await lock.status()
        assert (status["held"], status["waiters"], status["epoch"]) == (False, 0, 3)
        with pytest.raises(StaleTicketError):
            await lock.release(release("c"))
        await lock.acquire(LockRequest("d"))
        assert await lock.force_unlock() is True
        assert await lock.force_unlock() is False

    asyncio.run(scenario())


# -- ProxyState --------------------------------------------------------------------

def rid(holder_epoch, committed):
    return RequesterId("r", holder_epoch, committed)


# Each step: (call, arguments, expected): the return value, or an exception
# class (the call must raise it and leave the state as it was). After the
# script the state must be `final`: (value, epoch, undo, undo_epoch, fence).
PROXY_SCRIPTS = {
    "a holder's write keeps the committed value as undo until named": (
        [("set", (rid(1, 0), "v1"), None),
         ("get", (rid(1, 0),), "v1"),              # its writer sees it
         ("get", (rid(None, 0),), "v0"),           # others see the committed value
         ("get", (rid(2, 1),), "v1")],             # the record names it: committed
        ("v1", 1, None, None, 2)),
    "writing twice in one block keeps the first undo": (
        [("set", (rid(1, 0), "v1"), None),
         ("set", (rid(1, 0), "v1b"), None)],
        ("v1b", 1, "v0", 0, 1)),
    "the next holder's write drops a committed undo first": (
        [("set", (rid(1, 0), "v1"), None),
         ("set", (rid(2, 1), "v2"), None)],
        ("v2", 2, "v1", 1, 2)),
    "an uncommitted leftover is replaced and the committed undo kept": (
        [("set", (rid(1, 0), "dead"), None),
         ("get", (rid(2, 0),), "v0"),
         ("set", (rid(2, 0), "v2"), None)],
        ("v2", 2, "v0", 0, 2)),
    "a write below the fence is refused": (
        [("set", (rid(3, 0), "v3"), None),
         ("set", (rid(2, 0), "late"), StaleEpochError)],
        ("v3", 3, "v0", 0, 3)),
    "a read raises the fence": (
        [("get", (rid(4, 0),), "v0"),
         ("set", (rid(3, 0), "late"), StaleEpochError)],
        ("v0", 0, None, None, 4)),
    "rollback restores the undo, fences and returns the committed length": (
        [("set", (rid(1, 0), "dead-write"), None),
         ("rollback", (2, 0), 2),
         ("set", (rid(1, 0), "late"), StaleEpochError)],
        ("v0", 0, None, None, 2)),
    "a rollback from a holder the lock has left behind is refused": (
        [("set", (rid(1, 0), "v1"), None),
         ("get", (rid(3, 0),), "v0"),
         ("rollback", (1, 0), StaleEpochError)],
        ("v1", 1, "v0", 0, 3)),
    "rollback keeps a write the record names": (
        [("set", (rid(1, 0), "v1"), None),
         ("rollback", (2, 1), 2)],
        ("v1", 1, None, None, 2)),
    "compare-and-set applies when nothing changed since the writer's epoch": (
        [("set", (rid(None, 0), "cas"), None)],
        ("cas", 0, None, None, 0)),
    "compare-and-set is refused over an uncommitted write": (
        [("set", (rid(1, 0), "v1"), None),
         ("set", (rid(None, 0), "cas"), WriteConflictError)],
        ("v1", 1, "v0", 0, 1)),
    "compare-and-set is refused over a newer commit": (
        [("set", (rid(1, 0), "v1"), None),
         ("get", (rid(2, 1),), "v1"),
         ("set", (rid(None, 0), "cas"), WriteConflictError)],
        ("v1", 1, None, None, 2)),
    "compare-and-set may name the newest write as committed": (
        [("set", (rid(1, 0), "v1"), None),
         ("set", (rid(None, 1), "cas"), None)],
        ("cas", 1, None, None, 1)),
    "plain string ids read and write the newest value, no epochs": (
        [("set", (rid(1, 0), "v1"), None),
         ("get", ("plain",), "v1"),
         ("set", ("plain", "p"), None)],
        ("p", 1, "v0", 0, 1)),
}

# A proxy that restarted empty (or never saw a commit the record names).
LOST_CALLS = [("get", (rid(3, 2),)), ("get", (rid(None, 2),)), ("set", (rid(3, 2), "x")),
              ("set", (rid(None, 2), "x")), ("rollback", (3, 2))]


def proxy_fields(state):
    return (state.value, state.epoch, state.undo, state.undo_epoch, state.fence_epoch)


@pytest.mark.parametrize("script,final", PROXY_SCRIPTS.values(), ids=PROXY_SCRIPTS.keys())
def test_proxy_state(script, final):
    state = ProxyState("v0")
    for call, args, expected in script:
        if isinstance(expected, type):
            before = proxy_fields(state)
            with pytest.raises(expected):
                getattr(state, call)(*args)
            assert proxy_fields(state) == before, (call, args)
        else:
            assert getattr(state, call)(*args) == expected, (call, args)
    assert proxy_fields(state) == final


@pytest.mark.parametrize("call,args", LOST_CALLS, ids=[c for c, _ in LOST_CALLS])
def test_proxy_that_lost_a_commit_says_so(call, args):
    state = ProxyState("fresh")
    with pytest.raises(LostStateError, match="names epoch 2 as committed"):
        getattr(state, call)(*args)
    # An undo at another epoch than the one named does not explain it either.
    state.set(rid(1, 0), "v1")
    with pytest.raises(LostStateError):
        state.rollback(5, 3)


def _raised(call):
    try:
        call()
    except Exception as exc:
        return type(exc), str(exc)
    return None


def test_refusals_say_what_happened():
    fenced = ProxyState("v")
    fenced.set(rid(3, 0), "v3")
    lost = ProxyState("v")
    lost.set(rid(1, 0), "v1")
    record = ProxyState("r")
    record.fence(4)
    lock = LockState()
    lock.request("a")
    assert [_raised(c) for c in (
        lambda: fenced.set(rid(2, 0), "late"),
        lambda: fenced.set(rid(None, 0), "cas"),
        lambda: lost.get(rid(2, 5)),
        lambda: record.publish(3, "late"),
        lambda: lock.release("b"),
        lambda: lock.request("c", "p"),
    )] == [
        (StaleEpochError, "write from lock epoch 2 refused: the lock has passed on to epoch 3; "
                          "this holder's block cannot commit"),
        (WriteConflictError, "write outside a block refused: the chunk was written since epoch 0, "
                             "the last commit its writer saw"),
        (LostStateError, "chunk proxy holds epoch 1 (uncommitted, over epoch 0) but the version "
                         "record names epoch 5 as committed: the proxy lost its state (restarted "
                         "empty?) and cannot serve this chunk"),
        (StaleEpochError, "record from lock epoch 3 refused: epoch 4 has published or fenced it; "
                          "this holder's block is not committed"),
        (StaleTicketError, "lock ticket 'b' does not hold the lock (it was forced out, given up "
                           "for dead, or released already); nothing was released"),
        (UnknownProcessError, "process 'p' has not registered with this lock"),
    ]


def test_record_publish_and_fence():
    record = ProxyState("r0")
    record.publish(2, "r2")
    with pytest.raises(StaleEpochError, match="lock epoch 1 refused"):
        record.publish(1, "late")
    assert record.fence(5) == "r2"
    assert record.fence(3) == "r2" and record.fence_epoch == 5
    with pytest.raises(StaleEpochError):
        record.publish(4, "late")
    record.publish(5, "r5")            # the fencing holder itself commits
    assert record.value == "r5" and record.fence_epoch == 5


def test_proxy_actor_stores_whole_values_and_records_requesters():
    proxy = ProxyImpl({"a": 1}, QuorCacheDirMSI)
    assert proxy.get("r1") == {"a": 1}
    proxy.set("w1", {"b": 2})
    assert proxy.get_nocache() == {"b": 2}
    proxy.set_nocache([1])
    assert proxy.get("r2") == [1] and proxy.directory() == ("r2", "w1")
    assert ProxyImpl(0).directory() is None
    proxy.set(rid(1, 0), [1, 2])
    assert proxy.rollback(2, 0) == 1 and proxy.get_nocache() == [1]
    assert proxy.fence(3) == [1]
    proxy.publish(3, [9])
    assert proxy.get_nocache() == [9]


def test_requester_ids_are_unique_also_across_a_fork():
    ids = {gen_quor_id() for _ in range(1000)}
    assert len(ids) == 1000
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child reports the id it would hand out next, then leaves at once
        os.write(write_end, gen_quor_id().encode())
        os._exit(0)
    os.close(write_end)
    os.waitpid(pid, 0)
    with os.fdopen(read_end) as child:
        child_id = child.read()
    parent_id = gen_quor_id()
    assert child_id.split("-")[0] != parent_id.split("-")[0]


# -- the pool ----------------------------------------------------------------------

# Each step: (operation, arguments, expected); "slots" reads the slots held.
HOST_SCRIPTS = {
    "slots belong to their owner and go when it ends": [
        ("create", ("s1", "a", None, "c1", 0.0), True),
        ("create", ("s2", "b", QuorCacheDirMSI, "c1", 0.0), True),
        ("create", ("s3", "c", None, "c2", 0.0), True),
        ("anchor", ("c1",), True),
        ("end", ("c1",), 2),
        ("slots", (), {"s3"}),
    ],
    "an owner that ended takes no new slot and cannot anchor": [
        ("create", ("s1", "a", None, "c1", 0.0), True),
        ("end", ("c1",), 1),
        ("create", ("s2", "b", None, "c1", 0.0), False),
        ("anchor", ("c1",), False),
        ("slots", (), set()),
    ],
    "an owner that never anchors is ended after the grace": [
        ("create", ("s1", "a", None, "c1", 10.0), True),
        ("create", ("s2", "b", None, "c2", 10.0), True),
        ("anchor", ("c2",), True),
        ("expire", (69.0, 60.0), []),
        ("expire", (70.0, 60.0), ["c1"]),
        ("slots", (), {"s2"}),
    ],
}


@pytest.mark.parametrize("script", HOST_SCRIPTS.values(), ids=HOST_SCRIPTS.keys())
def test_host_state(script):
    state = HostState()
    for op, args, expected in script:
        if op == "slots":
            assert set(state.slots) == expected
        else:
            assert getattr(state, op)(*args) == expected, (op, args)
    assert all(slot in state.slots for slots in state.owned.values() for slot in slots)


class Token:
    """Stands for an object reference owned by a control actor: its future
    fails when the control ends."""

    def __init__(self):
        self._future = concurrent.futures.Future()

    def future(self):
        return self._future

    def fail(self):
        self._future.set_exception(RuntimeError("owner died"))


def test_host_serves_slots_and_frees_them_when_their_control_ends(monkeypatch):
    monkeypatch.setattr(quorpool, "CREATION_WAIT_S", 5.0)
    monkeypatch.setattr(quorpool, "ANCHOR_GRACE_S", 0.04)
    host = HostImpl("node")
    # Another process's call may reach the host before the creator's.
    with concurrent.futures.ThreadPoolExecutor(1) as threads:
        early = threads.submit(host.get, "c1/s1", "plain")
        time.sleep(0.05)
        assert not early.done()
        host.create("c1/s1", {"k": 1}, QuorCacheDirMSI, "c1")
        assert early.result(timeout=5) == {"k": 1}
    host.set("c1/s1", rid(1, 0), {"k": 2})
    assert host.get("c1/s1", rid(1, 0)) == {"k": 2}
    assert host.get("c1/s1", rid(None, 0)) == {"k": 1}   # not committed yet
    assert host.rollback("c1/s1", 2, 0) == 1
    assert host.directory("c1/s1") == (rid(None, 0), rid(1, 0))
    # The control's token: once it fails, the control's slots go, and a call
    # for one of them fails at once rather than wait for a creation.
    token = Token()
    host.watch("c1", [token])
    assert host.status()["anchored"] == 1
    token.fail()
    assert host.status()["slots"] == 0
    started = time.monotonic()
    with pytest.raises(LostSlotError, match="holds no slot 'c1/s1'"):
        host.get("c1/s1", "plain")
    assert time.monotonic() - started < 1
    host.create("c1/s2", 1, None, "c1")   # for a control that has ended
    assert host.status()["slots"] == 0
    # A control that never anchors loses its slots after the grace.
    host.create("c3/s3", 1, None, "c3")
    deadline = time.monotonic() + 5
    while host.status()["slots"] and time.monotonic() < deadline:
        time.sleep(0.01)
    assert host.status()["slots"] == 0


def test_a_call_naming_a_commit_its_slot_lacks_waits_for_it(monkeypatch):
    # The control actor writes a committed chunk after handing the lock on: the
    # next holder's call, naming that commit, may come first and must wait.
    monkeypatch.setattr(quorpool, "CREATION_WAIT_S", 5.0)
    host = HostImpl("node")
    host.create("c1/s1", {"k": "old"}, None, "c1")
    host.watch("c1", [Token()])
    with concurrent.futures.ThreadPoolExecutor(2) as threads:
        reading = threads.submit(host.get, "c1/s1", rid(4, 3))
        rolling = threads.submit(host.rollback, "c1/s1", 4, 3)
        time.sleep(0.05)
        assert not reading.done() and not rolling.done()
        host.install("c1/s1", 3, pickle.dumps({"k": "committed"}))
        assert reading.result(timeout=5) == {"k": "committed"}
        assert rolling.result(timeout=5) == 1
    # Its control actor gone before it wrote the commit: a clear error at once.
    token = Token()
    host.create("c2/s2", {"k": "old"}, None, "c2")
    host.watch("c2", [token])
    with concurrent.futures.ThreadPoolExecutor(1) as threads:
        waiting = threads.submit(host.get, "c2/s2", rid(5, 4))
        time.sleep(0.05)
        token.fail()
        with pytest.raises(LostSlotError):
            waiting.result(timeout=5)


def test_keeper_sizes_the_pool_and_ends_only_when_nothing_depends_on_it():
    keeper = KeeperState()
    assert [keeper.hosts_wanted(cpus) for cpus in (0, 1, 2, 8)] == [2, 2, 2, 8]
    assert keeper.configure(3) == 3 and keeper.configure(2) == 3  # a pool only grows
    assert keeper.hosts_wanted(16) == 3
    keeper.arrive("p1", "process", "job1", 10.0)
    keeper.arrive("c1", "control", None, 10.0)
    assert not keeper.should_end(1000.0, 30.0, jobs_alive=False)
    keeper.leave("p1", 20.0)
    assert not keeper.should_end(1000.0, 30.0, jobs_alive=False)
    assert keeper.status() == {"processes": 0, "controls": 1, "hosts_per_node": 3,
                               "jobs": ["job1"]}
    keeper.leave("c1", 40.0)
    assert keeper.should_end(41.0, 30.0, jobs_alive=False)   # its jobs ended: at once
    assert not keeper.should_end(50.0, 30.0, jobs_alive=True)
    assert keeper.should_end(70.0, 30.0, jobs_alive=True)    # idle for the linger
    keeper.busy(65.0)                                         # asked for something
    assert not keeper.should_end(70.0, 30.0, jobs_alive=True)


def test_hosts_are_taken_node_by_node_in_turn():
    rows = [("n1", "a"), ("n1", "b"), ("n2", "c"), ("n3", "d"), ("n3", "e")]
    assert quorpool._interleave(rows) == ["a", "c", "d", "b", "e"]
    assert quorpool._interleave([]) == []


class _Recorder:
    """An actor handle that records `method.remote(*args)` calls."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, method):
        return types.SimpleNamespace(remote=lambda *args: self.calls.append((method, args)))

    def __reduce__(self):
        return (_Recorder, ())

    def __eq__(self, other):
        return isinstance(other, _Recorder)

    def __hash__(self):
        return 0


def test_slot_and_cell_handles_call_their_actor_with_their_name_first():
    actor = _Recorder()
    slot, cell = Slot(actor, "s1"), Cell(actor, "c1")
    slot.get.remote("rid")
    slot.set.remote("rid", {"k": 1})
    cell.publish.remote(3, "record", "after")
    cell.get_nocache.remote()
    assert actor.calls == [("get", ("s1", "rid")), ("set", ("s1", "rid", {"k": 1})),
                           ("cell_publish", ("c1", 3, "record", "after")),
                           ("cell_get_nocache", ("c1",))]
    assert pickle.loads(pickle.dumps(slot)) == slot and pickle.loads(pickle.dumps(cell)) == cell
    assert slot != Slot(actor, "s2") and cell != slot
    with pytest.raises(AttributeError):
        slot._private
