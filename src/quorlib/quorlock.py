"""The control actor of a container: its lock, its version record and (for a
list) its usage counts, in one actor.

A holder takes the lock with ``acquire(lock) -> Grant`` and gives it back with
``release(lock, grant, aborted=False)``. Waiters are served in the order their
requests reached the actor. ``QuorLock.remote()`` asks the pool's keeper for a
new control actor (Note [Who keeps a container alive] in quorlib.quorpool):
the keeper owns it, so it lives as long as any process holds its handle,
whichever process made the container.

The lock follows its holders' lives without a lease. A process's first
request to a control carries its liveness token (a call it leaves pending on
the keeper, ``quorpool.process_token``), nested in a list: Ray resolves a
reference passed directly before the call runs, which would wait for good.
The token belongs to the holder's process, so when that process dies Ray
fails the control's wait on it with ``OwnerDiedError`` (about 2 s after the
death on one node); the control then drops the process's tickets: a holder
loses the lock, queued waiters leave the queue. A live holder keeps the lock
however long its block runs. The pending call is the keeper's, never the
control's, so a process's registration never keeps a control alive.

Every grant carries a rising epoch (the fencing token the chunk slots and the
record check) and whether the previous holder ended abnormally (died, was
forced out, or released with ``aborted=True``), in which case the new holder
repairs what may have been left half-written before it works.

A holder that ends its block normally leaves the container's version record,
as committed, with its release; the next holder of the same container gets it
with its grant and needs no call to read it. The record's cell stays where
commits happen: the lock keeps only a copy of what was committed there, by
container, and forgets every copy when a holder ends abnormally (one that died
after its commit never left its record).

The chunks such a block committed travel the same way, pickled, when they are
small: the lock keeps the newest contents of each (up to a bound per
container) and a grant brings those of the chunks whose copies its holder
holds at an older version. Under contention a holder then needs no call to
bring its stale copies up to date; it unpickles one only when it touches it.
"""

from __future__ import annotations

import asyncio
import collections
import io
import os
import pickle
import threading
import time
import uuid
from dataclasses import dataclass
from typing import Any

import ray

from quorlib import quorpool
from quorlib.messages import (CarriedChunk, Commit, GrantMessage, LockRelease, LockRequest,
                              Registration)
from quorlib.quorproxy import ProxyState, gen_quor_id

__all__ = ["QuorLock", "QuorControl", "LockState", "Grant", "StaleTicketError",
           "HolderLostError", "UnknownProcessError", "acquire", "release", "send_release"]

# Each waiter keeps one `acquire` pending, each followed process one watch.
MAX_CONCURRENCY = 100_000

# Commits that travel with the lock: a chunk is carried when it has at most
# CARRY_MAX_ITEMS entries and pickles to at most CARRY_CHUNK_BYTES; the lock
# keeps at most CARRIED_BYTES of them per container (the newest) and a grant
# brings at most GRANT_CARRY_BYTES, so that it stays small enough for Ray to
# send inline with the reply.
CARRY_MAX_ITEMS = 8192
CARRY_CHUNK_BYTES = 64 * 1024
CARRIED_BYTES = 1024 * 1024
GRANT_CARRY_BYTES = 96 * 1024


class StaleTicketError(RuntimeError):
    """A release by a ticket that no longer holds the lock."""


class HolderLostError(RuntimeError):
    """The ticket's process was given up for dead before it was granted."""


class UnknownProcessError(RuntimeError):
    """A request names a process that has not registered with this lock actor."""


@dataclass(slots=True)
class _Entry:
    ticket: str
    process: str | None
    task_id: str | None
    record_key: Any = None  # the container whose record the grant brings
    copies: dict[int, int] | None = None  # chunk index -> version of the copies the holder has
    epoch: int = 0
    abnormal: bool = False
    record: bytes | None = None  # its record as last committed, when known
    chunks: dict[int, CarriedChunk] | None = None  # newer contents of those copies
    since: float = 0.0     # wall clock at the grant
    started: float = 0.0   # monotonic clock at the grant

    @property
    def grant(self) -> GrantMessage:
        return GrantMessage(self.epoch, self.abnormal, self.record, self.chunks)


class LockState:
    """The lock's state machine, with no Ray and no waiting in it.

    Every call that ends a holder returns the entry granted next (or None); the
    caller delivers that grant to whoever is waiting for it.
    """

    def __init__(self) -> None:
        self.holder: _Entry | None = None
        self.queue: collections.OrderedDict[str, _Entry] = collections.OrderedDict()
        self.epoch = 0
        # Whether the last holder ended abnormally; told to the next one.
        self.abnormal = False
        self.processes: dict[str, dict[str, Any]] = {}   # registered process -> who it is
        # Each container's version record (pickled) as its last holder that
        # ended normally committed or read it, by record key.
        self.records: dict[Any, bytes] = {}
        # Each container's chunks as committed by those holders, pickled:
        # chunk index -> (version, contents), the most recently committed last.
        self.carried: dict[Any, collections.OrderedDict[int, CarriedChunk]] = {}

    def knows(self, ticket: str) -> bool:
        return ticket in self.queue or (self.holder is not None and self.holder.ticket == ticket)

    def is_holder(self, ticket: str) -> bool:
        return self.holder is not None and self.holder.ticket == ticket

    def check_holder(self, ticket: str) -> None:
        if not self.is_holder(ticket):
            raise StaleTicketError(
                f"lock ticket {ticket!r} does not hold the lock (it was forced out, given up "
                f"for dead, or released already); nothing was released")

    def register(self, process: str, info: dict[str, Any]) -> bool:
        """Returns whether `process` is new."""
        if process in self.processes:
            return False
        self.processes[process] = info
        return True

    def request(self, ticket: str, process: str | None = None, task_id: str | None = None,
                record_key: Any = None, copies: dict[int, int] | None = None) -> _Entry | None:
        """Queues `ticket`; returns its entry if it was granted at once. A
        request without a process is not followed by its holder's death; one
        with a record key gets that container's record with its grant, and
        the carried contents of the chunks that `copies` (chunk index ->
        version of the requester's copy) names at an older version."""
        if process is not None and process not in self.processes:
            raise UnknownProcessError(f"process {process!r} has not registered with this lock")
        if self.knows(ticket):
            raise ValueError(f"lock ticket {ticket!r} is already in use")
        entry = _Entry(ticket, process, task_id, record_key, copies)
        if self.holder is None and not self.queue:
            return self._grant(entry)
        self.queue[ticket] = entry
        return None

    def release(self, ticket: str, aborted: bool = False, record_key: Any = None,
                record: bytes | None = None,
                chunks: dict[int, CarriedChunk] | None = None) -> _Entry | None:
        """Ends the holder. A normal release with a record key leaves that
        container's record as committed (None: forget it, the holder does not
        know it for sure) and the chunks the block committed, as chunk index
        -> (version, pickled contents, or None for contents not carried)."""
        self.check_holder(ticket)
        if not aborted and record_key is not None:
            if record is None:
                self.records.pop(record_key, None)
                self.carried.pop(record_key, None)
            else:
                self.records[record_key] = record
                self._carry(record_key, chunks or {})
        return self._end(aborted)

    def _carry(self, record_key: Any, chunks: dict[int, CarriedChunk]) -> None:
        carried = self.carried.setdefault(record_key, collections.OrderedDict())
        for index, chunk in chunks.items():
            carried.pop(index, None)  # what it held is older than this commit
            if chunk.contents is not None and len(chunk.contents) <= CARRY_CHUNK_BYTES:
                carried[index] = CarriedChunk(chunk.version, chunk.contents)
        total = sum(len(chunk.contents) for chunk in carried.values())
        while total > CARRIED_BYTES:
            _, oldest = carried.popitem(last=False)
            total -= len(oldest.contents)

    def _carried_for(self, entry: _Entry) -> dict[int, CarriedChunk] | None:
        """What the grant brings of the chunks the holder has copies of: those
        committed since its copies were made, the newest first, within
        GRANT_CARRY_BYTES."""
        carried = self.carried.get(entry.record_key)
        if not carried or not entry.copies:
            return None
        chunks: dict[int, CarriedChunk] = {}
        room = GRANT_CARRY_BYTES
        for index, chunk in reversed(carried.items()):
            held = entry.copies.get(index)
            if held is None or held >= chunk.version or len(chunk.contents) > room:
                continue
            chunks[index] = chunk
            room -= len(chunk.contents)
        return chunks or None

    def drop(self, ticket: str) -> _Entry | None:
        """The ticket's process died: a holder loses the lock (the next grant is
        abnormal), a waiter leaves the queue."""
        if self.is_holder(ticket):
            return self._end(True)
        self.queue.pop(ticket, None)
        return None

    def drop_process(self, process: str) -> tuple[_Entry | None, list[str]]:
        """`process` died: forgets it and drops its tickets. Returns the entry
        granted next and the queued tickets dropped."""
        self.processes.pop(process, None)
        dropped = [t for t, e in self.queue.items() if e.process == process]
        for ticket in dropped:
            del self.queue[ticket]
        nxt = None
        if self.holder is not None and self.holder.process == process:
            nxt = self._end(True)
        return nxt, dropped

    def withdraw(self, ticket: str) -> _Entry | None:
        """The ticket's caller gave up waiting. If it was granted meanwhile it
        never learned so and did nothing: what it was told passes on unchanged."""
        if self.is_holder(ticket):
            assert self.holder is not None
            return self._end(self.holder.abnormal)
        self.queue.pop(ticket, None)
        return None

    def force(self, ticket: str | None = None) -> tuple[bool, _Entry | None]:
        """Ends the holder (only if it is `ticket`, when given), abnormally."""
        if self.holder is None or (ticket is not None and self.holder.ticket != ticket):
            return False, None
        return True, self._end(True)

    def status(self) -> dict[str, Any]:
        status: dict[str, Any] = {"held": False, "ticket": None, "holder": None, "since": None,
                                  "held_seconds": None, "waiters": len(self.queue),
                                  "epoch": self.epoch}
        h = self.holder
        if h is not None:
            status.update(held=True, ticket=h.ticket, since=h.since,
                          held_seconds=time.monotonic() - h.started)
            if h.process in self.processes:
                status["holder"] = {**self.processes[h.process], "task_id": h.task_id}
        return status

    def _grant(self, entry: _Entry) -> _Entry:
        self.epoch += 1
        entry.epoch, entry.abnormal = self.epoch, self.abnormal
        # After an abnormal end the holder reads the record from its actor.
        entry.record = None if self.abnormal else self.records.get(entry.record_key)
        entry.chunks = None if entry.record is None else self._carried_for(entry)
        entry.since, entry.started = time.time(), time.monotonic()
        self.abnormal = False
        self.holder = entry
        return entry

    def _end(self, abnormal: bool) -> _Entry | None:
        self.holder = None
        self.abnormal = abnormal  # the holder's grant cleared the flag it was told
        if abnormal:
            # The holder may have committed and died before leaving its record:
            # every copy is suspect, whichever container it belongs to.
            self.records.clear()
            self.carried.clear()
        if not self.queue:
            return None
        _, entry = self.queue.popitem(last=False)
        return self._grant(entry)


class ControlState(LockState):
    """A container's control actor, with no Ray in it: the lock, and the cells
    that hold the container's version record and a list's counts.

    Note [The commit travels with the release]
    A block that changed small chunks ends with one call: its release carries
    the version record that names its writes, a list's counts and the new
    contents of those chunks. That call is the block's commit point, one
    step of this actor, all or nothing: the record is published into its
    cell (refused, with nothing changed and the lock still held, for an
    epoch older than the cell's fence), the counts are stored, the lock
    passes on, and the chunks are handed back to be written to their slots
    afterwards. Until a slot holds its chunk, a caller whose record names
    that commit waits at the slot, and the lock's grants carry the chunk to
    holders of older copies."""

    def __init__(self) -> None:
        super().__init__()
        self.cells: dict[str, ProxyState] = {}

    def end_block(self, message: LockRelease) -> tuple[_Entry | None,
                                                       list[tuple[int, Any, int, bytes]]]:
        """Applies a release, and with it the commit it carries. Returns the
        entry granted next and the chunk writes to send: (chunk index, slot,
        epoch, pickled contents)."""
        commit = message.commit
        if commit is None:
            return self.release(message.ticket, message.aborted, message.record_key,
                                message.record, message.chunks), []
        self.check_holder(message.ticket)
        record_cell = self.cells[commit.record_cell]
        for name in commit.cells:
            self.cells[name]  # every cell exists before anything changes
        record_cell.publish(commit.epoch, pickle.loads(message.record))
        for name, value in commit.cells.items():
            self.cells[name].value = value
        nxt = self.release(message.ticket, message.aborted, message.record_key, message.record,
                           message.chunks)
        return nxt, [(index, write.slot, commit.epoch, write.contents)
                     for index, write in commit.writes.items()]


class _Cells:
    """The values a control actor keeps for its container (its version record,
    a list's counts), each with a chunk proxy's epoch checks."""

    def __init__(self, values: dict[str, ProxyState]) -> None:
        self.values = values
        self.waiters = quorpool._Waiters()

    def create(self, name: str, value: Any) -> None:
        self.values[name] = ProxyState(value)
        self.waiters.created(name)

    async def get(self, name: str) -> ProxyState:
        cell = self.values.get(name)
        if cell is None:  # its creator's call may reach the actor after another's
            await self.waiters.wait(name, quorpool.CREATION_WAIT_S)
            cell = self.values.get(name)
        if cell is None:
            raise KeyError(f"the control actor holds no cell {name!r}")
        return cell


@ray.remote(num_cpus=0, max_concurrency=MAX_CONCURRENCY)  # type: ignore[call-overload]
class QuorControl:
    """A container's lock, version record and counts. Asynchronous, so that
    waiting callers do not block the release that frees them. Created by the
    pool's keeper (see `QuorLock`)."""

    def __init__(self, keeper: Any = None, key: str | None = None) -> None:
        self._state = ControlState()
        self._cells = _Cells(self._state.cells)
        self._grants: dict[str, asyncio.Future] = {}   # acquire calls waiting
        self._processes = quorpool._Anchors(self._process_died)
        self._key = key or ray.get_runtime_context().get_actor_id()
        self._anchors: dict[str, Any] = {}  # host key -> the token it watches
        if keeper is not None:
            # The keeper follows this control's life: it stays up while any
            # container depends on it.
            token = keeper.hold.remote(self._key)
            keeper.watch.remote(self._key, "control", [token])
            self._anchors["keeper"] = token

    async def acquire(self, request: LockRequest) -> GrantMessage:
        """Answers once `request.ticket` holds the lock. A process's first
        request carries its registration. Raises UnknownProcessError for a
        process that has not registered, or whose token has failed."""
        if request.registration is not None:
            self._register(request.process, request.registration)
        granted = self._state.request(request.ticket, request.process, request.task_id,
                                      request.record_key, request.copies)
        if granted is not None:
            return granted.grant
        return await self._wait_for_grant(request.ticket)

    async def release(self, message: LockRelease, *after: Any) -> list[int]:
        """Releases, and commits what the message carries (Note [The commit
        travels with the release]). `after`: the results of calls that had to
        succeed first (a block's larger chunk writes), sent as references.
        Answers once the committed chunks are in their slots, with the chunks
        whose host was lost meanwhile (committed, but gone with the host)."""
        if message.commit is not None:
            for name in (message.commit.record_cell, *message.commit.cells):
                await self._cells.get(name)  # its creation may still be on its way
        nxt, writes = self._state.end_block(message)
        self._deliver(nxt)
        installs = [slot.host.install.remote(slot.name, epoch, contents)
                    for _, slot, epoch, contents in writes]
        outcomes = await asyncio.gather(*installs, return_exceptions=True)
        return [index for (index, *_), outcome in zip(writes, outcomes)
                if isinstance(outcome, BaseException)]

    async def withdraw(self, ticket: str) -> None:
        """A caller that stopped waiting for its grant takes its ticket back."""
        self._withdraw(ticket)

    async def force_unlock(self, holder: str | None = None) -> bool:
        """Operators' tool: ends the current holder, or only the holder with
        ticket `holder` when given, so a live successor is never released. The
        next grant is abnormal. Returns whether a holder was ended."""
        released, nxt = self._state.force(holder)
        self._deliver(nxt)
        return released

    async def status(self) -> dict[str, Any]:
        return self._state.status()

    # -- cells ----------------------------------------------------------------------

    async def cell_create(self, name: str, value: Any) -> None:
        self._cells.create(name, value)

    async def cell_get_nocache(self, name: str) -> Any:
        return (await self._cells.get(name)).value

    async def cell_set_nocache(self, name: str, value: Any) -> None:
        (await self._cells.get(name)).value = value

    async def cell_swap(self, name: str, expected: Any, value: Any) -> None:
        """A change made outside a block: applied only over what its maker read."""
        (await self._cells.get(name)).swap(expected, value)

    async def cell_publish(self, name: str, epoch: int, value: Any, *after: Any) -> None:
        """The commit point of a block. `after`: the block's chunk writes, sent
        as references, so that Ray runs this only once they have succeeded."""
        (await self._cells.get(name)).publish(epoch, value)

    async def cell_fence(self, name: str, epoch: int) -> Any:
        return (await self._cells.get(name)).fence(epoch)

    # -- the hosts that hold this container's chunks ----------------------------------

    async def anchor_at(self, host: Any) -> None:
        """Makes `host` follow this control's life through the reference of
        the call it left pending on the keeper, which fails when this actor
        ends."""
        key = quorpool.actor_key(host)
        token = self._anchors.get("keeper")
        if key in self._anchors or token is None:
            return
        host.watch.remote(self._key, [token])
        self._anchors[key] = True

    # -- processes and delivery ---------------------------------------------------

    def _register(self, process: str | None, registration: Registration) -> None:
        if process is None or not self._state.register(process, registration.info):
            return  # a second registration (two threads at once) waits with the first
        self._processes.watch(process, registration.token)

    def _process_died(self, process: str) -> None:
        nxt, dropped = self._state.drop_process(process)
        for ticket in dropped:
            waiting = self._grants.pop(ticket, None)
            if waiting is not None and not waiting.done():
                waiting.set_exception(HolderLostError(f"lock ticket {ticket!r}: its process died"))
        self._deliver(nxt)

    async def _wait_for_grant(self, ticket: str) -> GrantMessage:
        granted = asyncio.get_running_loop().create_future()
        self._grants[ticket] = granted
        try:
            return await granted
        except asyncio.CancelledError:
            self._withdraw(ticket)
            raise

    def _withdraw(self, ticket: str) -> None:
        self._grants.pop(ticket, None)
        self._deliver(self._state.withdraw(ticket))

    def _deliver(self, entry: _Entry | None) -> None:
        while entry is not None:
            waiting = self._grants.pop(entry.ticket, None)
            if waiting is not None and not waiting.done():
                waiting.set_result(entry.grant)
                return
            # Its caller is gone without a word: pass the grant on unchanged.
            entry = self._state.withdraw(entry.ticket)


def require_control(lock: Any) -> None:
    """Refuses, as `lock` of a new container, anything but another container's
    lock: the new container's record and chunks live in and as long as it."""
    if not (hasattr(lock, "_actor_id") and hasattr(lock, "cell_create")):
        raise TypeError(f"lock must be another quorlib container's lock (a control actor "
                        f"handle), not {type(lock).__name__}")


class _ControlFactory:
    """`QuorLock.remote()`: the handle of a new control actor, made and owned
    by the pool's keeper."""

    def remote(self) -> Any:
        return quorpool.new_control()


QuorLock = _ControlFactory()


# -- the holder's side ------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Grant:
    """What a holder keeps from `acquire` to pass to `release`: the ticket, the
    epoch, whether the last holder ended abnormally, the container's version
    record as last committed (None when the lock does not know it) and, for
    copies the holder named, newer contents of their chunks: chunk index ->
    (version, pickled contents)."""

    ticket: str
    epoch: int
    abnormal: bool
    record: Any = None
    record_key: Any = None
    chunks: dict[int, CarriedChunk] | None = None


# This process's name towards control actors, and the keys of those it has
# registered with (keys, so that nothing here keeps an actor alive).
_clients_mutex = threading.Lock()
_process_pid: int | None = None
_process_name = ""
_registered: set[str] = set()


def _process_info() -> dict[str, Any]:
    ctx = ray.get_runtime_context()
    return {"worker_id": ctx.get_worker_id(), "actor_id": ctx.get_actor_id(),
            "node_id": ctx.get_node_id(), "pid": os.getpid()}


def _task_id() -> str | None:
    ctx = ray.get_runtime_context()
    # A driver has no task id (and Ray logs a warning when asked for one).
    if getattr(getattr(ctx, "worker", None), "mode", None) == ray.SCRIPT_MODE:
        return None
    return ctx.get_task_id()


def _registration(lock: Any) -> tuple[str, Registration | None]:
    """This process's name, and what its request must carry to register it
    with `lock` (nothing once it has)."""
    global _process_pid, _process_name
    key = quorpool.actor_key(lock)
    with _clients_mutex:
        if _process_pid != os.getpid():  # first use, or a forked child
            _process_pid, _process_name = os.getpid(), uuid.uuid4().hex
            _registered.clear()
        if key in _registered:
            return _process_name, None
        name = _process_name
    token = quorpool.process_token(name)
    with _clients_mutex:
        _registered.add(key)
    return name, Registration(token, _process_info())


def _forget(lock: Any) -> None:
    with _clients_mutex:
        _registered.discard(quorpool.actor_key(lock))


def record_key_of(record_ref: Any) -> Any:
    """How the lock knows a container's record: a cell's key, or an actor's."""
    key = getattr(record_ref, "key", None)
    return key if isinstance(key, str) else quorpool.actor_key(record_ref)


def acquire(lock: Any, timeout: float | None = None, record_ref: Any = None,
            copies: dict[int, int] | None = None) -> Grant:
    """Waits until this process holds `lock`; raises GetTimeoutError after
    `timeout` seconds (and then takes the request back). With `record_ref`,
    the handle of a container's version record, the grant brings that
    record as last committed when the lock knows it, and with `copies`
    (chunk index -> version of each chunk copy the caller holds) the newer
    contents of those chunks that the lock carries."""
    ticket = gen_quor_id()
    task_id = _task_id()
    record_key = None if record_ref is None else record_key_of(record_ref)
    try:
        for attempt in (1, 2):
            process, registration = _registration(lock)
            request = LockRequest(ticket, process, task_id, registration, record_key,
                                  copies or None)
            try:
                granted = ray.get(lock.acquire.remote(request), timeout=timeout)
                break
            except UnknownProcessError:
                # The lock gave this process up (its token failed: the keeper
                # ended, or the registration came too late): register again,
                # once, with a new token if the old one has failed.
                _forget(lock)
                quorpool.renew_token_if_failed()
                if attempt == 2:
                    raise
    except BaseException:
        lock.withdraw.remote(ticket)  # not waited for: the lock may be what failed
        raise
    record = pickle.loads(granted.record) if granted.record is not None else None
    return Grant(ticket, granted.epoch, granted.abnormal, record, record_key, granted.chunks)


class _TooLarge(Exception):
    """A chunk pickles to more than the lock carries."""


class _BoundedBuffer(io.BytesIO):
    """Takes at most CARRY_CHUNK_BYTES: a chunk of a few large values stops
    being pickled as soon as it is too large to carry, not once it is whole."""

    def write(self, data: Any) -> int:
        if self.tell() + memoryview(data).nbytes > CARRY_CHUNK_BYTES:
            raise _TooLarge
        return super().write(data)


def carried_contents(contents: Any) -> bytes | None:
    """`contents` pickled, when small enough for the lock to carry."""
    try:
        if len(contents) > CARRY_MAX_ITEMS:
            return None
        buffer = _BoundedBuffer()
        pickle.Pickler(buffer, 5).dump(contents)
    except Exception:  # too large, or what Ray can send but plain pickle cannot: not carried
        return None
    return buffer.getvalue()


def carry(chunks: dict[int, tuple[int, Any]] | None) -> dict[int, CarriedChunk] | None:
    """The committed chunks a release leaves for later holders, as chunk index
    -> (version, contents): pickled when small enough to carry."""
    if not chunks:
        return None
    return {index: CarriedChunk(version, None if contents is None else carried_contents(contents))
            for index, (version, contents) in chunks.items()}


def release_message(grant: Grant, aborted: bool = False, record: Any = None,
                    carried: dict[int, CarriedChunk] | None = None,
                    commit: Commit | None = None) -> LockRelease:
    """The one way a release is built. `record` (the container's record as the
    block committed or read it) and `carried` are left with the lock only by
    a block that ended cleanly and names its container."""
    if record is None or grant.record_key is None:
        return LockRelease(grant.ticket, aborted, grant.record_key)
    return LockRelease(grant.ticket, aborted, grant.record_key, pickle.dumps(record, 5),
                       carried, commit)


def release(lock: Any, grant: Grant, aborted: bool = False, record: Any = None,
            chunks: dict[int, tuple[int, Any]] | None = None) -> None:
    """Gives the lock back; `aborted` tells the next holder that this block
    may have left uncommitted writes behind. `record` is the container's
    version record as this block committed it (or read it, committing
    nothing), for the next holder; None when the block did not end cleanly.
    `chunks` (chunk index -> (version, contents or None)) are the chunks the
    block committed, which the lock carries to later holders when small.
    Raises StaleTicketError if the lock passed on without this holder
    (forced out or given up for dead)."""
    ray.get(send_release(lock, grant, aborted, record, chunks))


def send_release(lock: Any, grant: Grant, aborted: bool = False, record: Any = None,
                 chunks: dict[int, tuple[int, Any]] | None = None, *after: Any) -> Any:
    """`release` without waiting: returns the call's reference. `after` are
    references of calls that must succeed first (a block's publish): Ray runs
    the release only once they have, and fails it with the first one's error
    otherwise, leaving the lock held."""
    return lock.release.remote(release_message(grant, aborted, record, carry(chunks)), *after)
