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

A block takes all of its container or only some chunks of it, to change
them or only to read them (Note [Blocks side by side]). Every grant carries a
rising epoch (the fencing token the chunk slots check) and, after a holder
that ended abnormally (died, was forced out, or released with
``aborted=True``), the chunks of its scope that the new holder repairs before
it works.

A grant brings the container's version record as its cell on the control
actor holds it, and, pickled, the committed contents of the small chunks that
the holder holds older copies of: under contention a holder then needs no
call to bring its stale copies up to date; it unpickles one only when it
touches it.
"""

from __future__ import annotations

import asyncio
import collections
import copy
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
                              Registration, Scope)
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


class _EveryChunk:
    """Every chunk of a container whose number of chunks the lock was not told."""

    def __repr__(self) -> str:
        return "EVERY_CHUNK"


EVERY_CHUNK = _EveryChunk()
Chunks = set[int] | _EveryChunk


@dataclass(slots=True)
class _Entry:
    ticket: str
    process: str | None
    task_id: str | None
    record_key: Any = None  # the container the block is on
    copies: dict[int, int] | None = None  # chunk index -> version of the copies the holder has
    scope: Scope | None = None  # what the block takes; None: the whole lock
    epoch: int = 0
    repair: Chunks | None = None  # chunks to bring back to the last commit first
    record: bytes | None = None  # its container's record as committed, when known
    chunks: dict[int, CarriedChunk] | None = None  # newer contents of those copies
    since: float = 0.0     # wall clock at the grant
    started: float = 0.0   # monotonic clock at the grant

    @property
    def grant(self) -> GrantMessage:
        repair = self.repair
        listed = None if repair is None or repair is EVERY_CHUNK else tuple(sorted(repair))
        return GrantMessage(self.epoch, repair is not None, self.record, self.chunks, listed)

    @property
    def reads(self) -> bool:
        return self.scope is not None and self.scope.shared

    @property
    def taken(self) -> Chunks:
        """The chunks of its container the block takes."""
        scope = self.scope
        if scope is None:
            return EVERY_CHUNK
        return set(range(scope.num_chunks) if scope.chunks is None else scope.chunks)

    @property
    def lock_wide(self) -> bool:
        """Whether it excludes every other block on this lock, whatever
        container: a caller that names no scope, or a block that may change
        every chunk of its container (`with c:`, as it always has)."""
        return self.scope is None or (not self.scope.shared and self.scope.chunks is None)


def _conflict(a: _Entry, b: _Entry) -> bool:
    if a.reads and b.reads:
        return False
    if a.lock_wide or b.lock_wide:
        return True
    if a.record_key != b.record_key:
        return False
    return not a.taken.isdisjoint(b.taken)  # type: ignore[union-attr]


def _union(a: Chunks | None, b: Chunks | None) -> Chunks | None:
    if a is None or b is None:
        return a if b is None else b
    if a is EVERY_CHUNK or b is EVERY_CHUNK:
        return EVERY_CHUNK
    return a | b  # type: ignore[operator]


class LockState:
    """The lock's state machine, with no Ray and no waiting in it.

    Note [Blocks side by side]
    A request names a scope: the chunks of its container a block takes, to
    change them or, shared with other readers, to read them. Requests are
    served in the order they arrived: one is granted, all of its scope at
    once, when it conflicts with no holder and with no request before it
    still waiting. So a block never holds part of its scope while waiting
    for the rest (no deadlock), and a stream of readers cannot pass a writer
    that waits for them (no starvation), while blocks on other chunks start
    at once. A block that may change every chunk of its container excludes
    every other block on the lock.

    Every grant carries a rising epoch. A holder that ends abnormally leaves
    the chunks it could change suspect: the next grant that takes one of
    them is told to bring it back to the last commit first (`repair`).
    Readers change nothing and repair nothing; they read the last commit.

    Every call that ends a holder or a waiter returns the entries granted
    next; the caller delivers those grants to whoever waits for them.
    """

    def __init__(self) -> None:
        self.holders: dict[str, _Entry] = {}
        self.queue: collections.OrderedDict[str, _Entry] = collections.OrderedDict()
        self.epoch = 0
        # Per container: the chunks that a holder which ended abnormally may
        # have left uncommitted writes in.
        self.suspect: dict[Any, Chunks] = {}
        self.processes: dict[str, dict[str, Any]] = {}   # registered process -> who it is

    def knows(self, ticket: str) -> bool:
        return ticket in self.queue or ticket in self.holders

    def is_holder(self, ticket: str) -> bool:
        return ticket in self.holders

    def check_holder(self, ticket: str) -> _Entry:
        entry = self.holders.get(ticket)
        if entry is None:
            raise StaleTicketError(
                f"lock ticket {ticket!r} does not hold the lock (it was forced out, given up "
                f"for dead, or released already); nothing was released")
        return entry

    def register(self, process: str, info: dict[str, Any]) -> bool:
        """Returns whether `process` is new."""
        if process in self.processes:
            return False
        self.processes[process] = info
        return True

    def request(self, ticket: str, process: str | None = None, task_id: str | None = None,
                record_key: Any = None, copies: dict[int, int] | None = None,
                scope: Scope | None = None) -> _Entry | None:
        """Queues `ticket`; returns its entry if it was granted at once. A
        request without a process is not followed by its holder's death; one
        with a record key gets that container's record with its grant, and
        the carried contents of the chunks that `copies` (chunk index ->
        version of the requester's copy) names at an older version."""
        if process is not None and process not in self.processes:
            raise UnknownProcessError(f"process {process!r} has not registered with this lock")
        if self.knows(ticket):
            raise ValueError(f"lock ticket {ticket!r} is already in use")
        entry = _Entry(ticket, process, task_id, record_key, copies, scope)
        if self._may_start(entry, list(self.queue.values())):
            return self._grant(entry)
        self.queue[ticket] = entry
        return None

    def release(self, ticket: str, aborted: bool = False) -> list[_Entry]:
        """Ends the holder; `aborted`: its block may have left uncommitted
        writes behind."""
        return self._end(self.check_holder(ticket), aborted)

    def drop(self, ticket: str) -> list[_Entry]:
        """The ticket's process died: a holder loses the lock (its chunks are
        suspect), a waiter leaves the queue."""
        if ticket in self.holders:
            return self._end(self.holders[ticket], True)
        self.queue.pop(ticket, None)
        return self._grant_waiting()

    def drop_process(self, process: str) -> tuple[list[_Entry], list[str]]:
        """`process` died: forgets it and drops its tickets. Returns the entries
        granted next and the queued tickets dropped."""
        self.processes.pop(process, None)
        dropped = [t for t, e in self.queue.items() if e.process == process]
        for ticket in dropped:
            del self.queue[ticket]
        for entry in [e for e in self.holders.values() if e.process == process]:
            self._end(entry, True, grant=False)
        return self._grant_waiting(), dropped

    def withdraw(self, ticket: str) -> list[_Entry]:
        """The ticket's caller gave up waiting. If it was granted meanwhile it
        never learned so and did nothing: what it was told passes on unchanged."""
        entry = self.holders.pop(ticket, None)
        if entry is not None:
            self._suspect(entry.record_key, entry.repair)
        else:
            self.queue.pop(ticket, None)
        return self._grant_waiting()

    def force(self, ticket: str | None = None) -> tuple[bool, list[_Entry]]:
        """Ends, as if it had died, the holder `ticket`, or every holder when
        no ticket is given."""
        ended = [e for t, e in self.holders.items() if ticket is None or t == ticket]
        for entry in ended:
            self._end(entry, True, grant=False)
        return bool(ended), self._grant_waiting()

    def status(self) -> dict[str, Any]:
        holders = [self._describe(e) for e in sorted(self.holders.values(), key=lambda e: e.epoch)]
        status: dict[str, Any] = {"held": bool(holders), "ticket": None, "holder": None,
                                  "since": None, "held_seconds": None,
                                  "waiters": len(self.queue), "epoch": self.epoch,
                                  "holders": holders}
        if holders:  # the longest held
            first = holders[0]
            status.update(ticket=first["ticket"], holder=first["holder"], since=first["since"],
                          held_seconds=first["held_seconds"])
        return status

    def _describe(self, e: _Entry) -> dict[str, Any]:
        holder = None
        if e.process in self.processes:
            holder = {**self.processes[e.process], "task_id": e.task_id}
        chunks = None if e.scope is None or e.scope.chunks is None else list(e.scope.chunks)
        return {"ticket": e.ticket, "holder": holder, "since": e.since,
                "held_seconds": time.monotonic() - e.started, "epoch": e.epoch,
                "reads": e.reads, "chunks": chunks}

    # -- granting -------------------------------------------------------------------

    def _may_start(self, entry: _Entry, ahead: list[_Entry]) -> bool:
        return (not any(_conflict(entry, h) for h in self.holders.values())
                and not any(_conflict(entry, w) for w in ahead))

    def _grant_waiting(self) -> list[_Entry]:
        granted: list[_Entry] = []
        ahead: list[_Entry] = []
        for ticket, entry in list(self.queue.items()):
            if self._may_start(entry, ahead):
                del self.queue[ticket]
                granted.append(self._grant(entry))
            else:
                ahead.append(entry)
                if entry.lock_wide:
                    break  # nothing behind it may pass it
        return granted

    def _grant(self, entry: _Entry) -> _Entry:
        self.epoch += 1
        entry.epoch = self.epoch
        entry.repair = None if entry.reads else self._take_repair(entry)
        entry.record, entry.chunks = self._grant_contents(entry)
        entry.since, entry.started = time.time(), time.monotonic()
        self.holders[entry.ticket] = entry
        return entry

    def _grant_contents(self, entry: _Entry) -> tuple[bytes | None,
                                                      dict[int, CarriedChunk] | None]:
        """The record and carried chunks a grant brings; a plain lock has none."""
        return None, None

    def _take_repair(self, entry: _Entry) -> Chunks | None:
        key = entry.record_key
        suspect = self.suspect.get(key)
        if not suspect:
            return None
        if suspect is EVERY_CHUNK and entry.scope is not None:
            suspect = set(range(entry.scope.num_chunks))
        taken = entry.taken
        if taken is EVERY_CHUNK or suspect is EVERY_CHUNK:
            repair = suspect if taken is EVERY_CHUNK else taken
            rest: Chunks | None = None if taken is EVERY_CHUNK else suspect
        else:
            repair, rest = suspect & taken, suspect - taken  # type: ignore[operator]
        if rest:
            self.suspect[key] = rest
        else:
            self.suspect.pop(key, None)
        return repair or None

    def _suspect(self, key: Any, chunks: Chunks | None) -> None:
        merged = _union(self.suspect.get(key), chunks)
        if merged:
            self.suspect[key] = merged

    def _end(self, entry: _Entry, abnormal: bool, grant: bool = True) -> list[_Entry]:
        del self.holders[entry.ticket]
        if abnormal and not entry.reads:
            self._suspect(entry.record_key, entry.taken)
        return self._grant_waiting() if grant else []


class ControlState(LockState):
    """A container's control actor, with no Ray in it: the lock, and the cells
    that hold the container's version record and a list's counts.

    A grant brings its container's record as its cell holds it, so a block
    makes no call to read the record, and, when small, the committed
    contents of the chunks the block holds older copies of (Note [Commits
    travel with the lock]). A record held elsewhere (a container adopted
    with a record of its own) is known here only as the last block that held
    the whole lock left it, and forgotten when any holder ends abnormally.

    Note [The commit travels with the release]
    A block that changed chunks ends with one call: its release carries the
    version record that names its writes, a list's counts and the new
    contents of the small chunks. That call is the block's commit point, one
    step of this actor, all or nothing: the record's entries for the chunks
    the block took are merged into the record's cell (blocks on other
    chunks commit theirs side by side), the counts are stored, the lock
    passes on, and the chunks are handed back to be written to their slots
    afterwards. Only a holder of those chunks commits them: a holder the
    lock has passed over is refused with nothing changed. Until a slot
    holds its chunk, a caller whose record names that commit waits at the
    slot, and the lock's grants carry the chunk to holders of older
    copies."""

    def __init__(self) -> None:
        super().__init__()
        self.cells: dict[str, ProxyState] = {}
        # Records held elsewhere, pickled, by record key, as the last block
        # that held the whole lock and ended normally left them.
        self.records: dict[Any, bytes] = {}
        # Each container's chunks as last committed, pickled, by record key:
        # chunk index -> (version, contents), the most recently committed last.
        self.carried: dict[Any, collections.OrderedDict[int, CarriedChunk]] = {}
        self._last_pickled: dict[int, tuple[Any, bytes]] = {}  # id(cell) -> (value, pickled)

    def end_block(self, message: LockRelease) -> tuple[list[_Entry],
                                                       list[tuple[int, Any, int, bytes]]]:
        """Applies a release, and with it the commit it carries. Returns the
        entries granted next and the chunk writes to send: (chunk index, slot,
        epoch, pickled contents)."""
        entry = self.check_holder(message.ticket)
        commit = message.commit
        writes: list[tuple[int, Any, int, bytes]] = []
        if commit is not None:
            record_cell = self.cells[commit.record_cell]
            for name in commit.cells:
                self.cells[name]  # every cell exists before anything changes
            _check_commit_scope(entry, commit, message.chunks or {})
            record_cell.value = _merged_record(record_cell.value, pickle.loads(message.record),
                                               entry.taken)
            for name, value in commit.cells.items():
                self.cells[name].value = value
            writes = [(index, write.slot, commit.epoch, write.contents)
                      for index, write in commit.writes.items()]
        self._keep(entry, message)
        return self.release(message.ticket, message.aborted), writes

    def _cell(self, record_key: Any) -> ProxyState | None:
        name = _cell_name(record_key)
        return None if name is None else self.cells.get(name)

    def _keep(self, entry: _Entry, message: LockRelease) -> None:
        """What a normal release leaves for later grants: the chunks it
        committed, and a record held elsewhere as it committed or read it."""
        key = message.record_key
        if message.aborted or key is None:
            return
        if message.commit is not None:
            self._carry(key, message.chunks or {})
        elif self._cell(key) is None and entry.lock_wide:
            # Only a block that held the whole lock knows a record held
            # elsewhere is the last commit; without one it does not know it.
            if message.record is None:
                self.records.pop(key, None)
                self.carried.pop(key, None)
            else:
                self.records[key] = message.record
                self._carry(key, message.chunks or {})

    def _end(self, entry: _Entry, abnormal: bool, grant: bool = True) -> list[_Entry]:
        if abnormal and not entry.reads:
            # It may have published a record held elsewhere and died before
            # leaving it: every such record, and what goes with it, is suspect.
            for key in list(self.records):
                self.carried.pop(key, None)
            self.records.clear()
        return super()._end(entry, abnormal, grant)

    def _grant_contents(self, entry: _Entry) -> tuple[bytes | None,
                                                      dict[int, CarriedChunk] | None]:
        cell = self._cell(entry.record_key)
        if cell is not None:
            record: bytes | None = self._pickled(cell)
        elif entry.repair is not None:
            record = None  # the holder fences the record where it is, then reads it
        else:
            record = self.records.get(entry.record_key)
        return record, None if record is None else self._carried_for(entry)

    def _pickled(self, cell: ProxyState) -> bytes:
        """The cell's value pickled, once for each value it takes."""
        value, blob = self._last_pickled.get(id(cell), (None, None))
        if value is not cell.value or blob is None:
            blob = pickle.dumps(cell.value, 5)
            self._last_pickled[id(cell)] = (cell.value, blob)
        return blob

    def _carry(self, key: Any, chunks: dict[int, CarriedChunk]) -> None:
        carried = self.carried.setdefault(key, collections.OrderedDict())
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
        GRANT_CARRY_BYTES. Chunks outside the block's scope come too: they are
        the commits the record it brings names, and keep the holder's copies
        fresh for its next blocks."""
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


def _cell_name(record_key: Any) -> str | None:
    """The cell a record key names (`Cell.key`: the control's key, then the
    cell's name), or None for a record held elsewhere."""
    return record_key.rpartition("/")[2] if isinstance(record_key, str) else None


def _check_commit_scope(entry: _Entry, commit: Commit, chunks: dict[int, Any]) -> None:
    """Only a block that may change chunks commits, and only those it holds."""
    taken = entry.taken
    outside = [] if taken is EVERY_CHUNK else sorted(set(chunks) - taken)
    if entry.reads or outside or _cell_name(entry.record_key) not in (None, commit.record_cell):
        raise ValueError(f"lock ticket {entry.ticket!r} commits what its block does not hold "
                         f"(chunks {outside}, reads only: {entry.reads}); nothing was committed")


def _merged_record(current: Any, committed: Any, taken: Chunks) -> Any:
    """The record with the entries of the chunks the block took as `committed`
    names them (no other block committed those meanwhile); the other chunks'
    entries stay as other blocks committed them."""
    if (taken is EVERY_CHUNK or not hasattr(current, "chunk_versions")
            or not hasattr(committed, "chunk_versions")):
        return committed
    merged = copy.copy(current)
    versions, epochs = list(current.chunk_versions), list(current.committed_epochs)
    for index in taken:  # type: ignore[union-attr]
        if index < min(len(versions), len(committed.chunk_versions)):
            versions[index] = committed.chunk_versions[index]
            epochs[index] = committed.committed_epochs[index]
    merged.chunk_versions, merged.committed_epochs = versions, epochs
    merged.epoch = max(current.epoch, committed.epoch)
    return merged


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
        """Answers once `request.ticket` holds the lock for its scope. A
        process's first request carries its registration. Raises
        UnknownProcessError for a process that has not registered, or whose
        token has failed."""
        if request.registration is not None:
            self._register(request.process, request.registration)
        granted = self._state.request(request.ticket, request.process, request.task_id,
                                      request.record_key, request.copies, request.scope)
        if granted is not None:
            return granted.grant
        return await self._wait_for_grant(request.ticket)

    async def release(self, message: LockRelease, *after: Any) -> None:
        """Releases, and commits what the message carries (Note [The commit
        travels with the release]). `after`: the results of calls that had to
        succeed first (a block's larger chunk writes), sent as references.
        The committed chunks' writes to their slots are sent, not waited for:
        a slot asked for a commit it lacks waits for it, and a host lost
        meanwhile loses the chunk as it loses every chunk it holds."""
        if message.commit is not None:
            for name in (message.commit.record_cell, *message.commit.cells):
                await self._cells.get(name)  # its creation may still be on its way
        granted, writes = self._state.end_block(message)
        self._deliver(granted)
        for _, slot, epoch, contents in writes:
            slot.host.install.remote(slot.name, epoch, contents)

    async def withdraw(self, ticket: str) -> None:
        """A caller that stopped waiting for its grant takes its ticket back."""
        self._withdraw(ticket)

    async def force_unlock(self, holder: str | None = None) -> bool:
        """Operators' tool: ends every holder, or only the holder with ticket
        `holder` when given, so that a live successor is never released. The
        chunks they held are repaired by their next holders. Returns whether
        a holder was ended."""
        released, granted = self._state.force(holder)
        self._deliver(granted)
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
        granted, dropped = self._state.drop_process(process)
        for ticket in dropped:
            waiting = self._grants.pop(ticket, None)
            if waiting is not None and not waiting.done():
                waiting.set_exception(HolderLostError(f"lock ticket {ticket!r}: its process died"))
        self._deliver(granted)

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

    def _deliver(self, granted: list[_Entry]) -> None:
        pending = list(granted)
        while pending:
            entry = pending.pop(0)
            waiting = self._grants.pop(entry.ticket, None)
            if waiting is not None and not waiting.done():
                waiting.set_result(entry.grant)
                continue
            # Its caller is gone without a word: pass the grant on unchanged.
            pending.extend(self._state.withdraw(entry.ticket))


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
    epoch, whether chunks must be repaired first and which (`repair`, None
    for every chunk), the container's version record as committed (None when
    the lock does not hold it), for copies the holder named newer contents of
    their chunks (chunk index -> (version, pickled contents)), and the scope
    its block took."""

    ticket: str
    epoch: int
    abnormal: bool
    record: Any = None
    record_key: Any = None
    chunks: dict[int, CarriedChunk] | None = None
    repair: tuple[int, ...] | None = None
    scope: Scope | None = None


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
            copies: dict[int, int] | None = None, scope: Scope | None = None) -> Grant:
    """Waits until this process holds `lock` for `scope` (None: the whole
    lock); raises GetTimeoutError after `timeout` seconds (and then takes the
    request back). With `record_ref`, the handle of a container's version
    record, the grant brings that record when the lock holds it, and with
    `copies` (chunk index -> version of each chunk copy the caller holds) the
    newer contents of those chunks in the scope that the lock carries."""
    ticket = gen_quor_id()
    task_id = _task_id()
    record_key = None if record_ref is None else record_key_of(record_ref)
    try:
        for attempt in (1, 2):
            process, registration = _registration(lock)
            request = LockRequest(ticket, process, task_id, registration, record_key,
                                  copies or None, scope)
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
    return Grant(ticket, granted.epoch, granted.abnormal, record, record_key, granted.chunks,
                 granted.repair, scope)


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
