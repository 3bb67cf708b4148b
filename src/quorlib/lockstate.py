"""A control actor's state, with no Ray and no waiting in it: the lock that
grants blocks their scopes (`LockState`), and the cells of a container's
version record and counts with the commits that travel with the lock
(`ControlState`). `quorlib.quorlock` runs it in an actor."""

from __future__ import annotations

import collections
import copy
import pickle
import time
from dataclasses import dataclass
from typing import Any

from quorlib.messages import CarriedChunk, Commit, GrantMessage, LockRelease, Scope
from quorlib.quorproxy import ProxyState

# Commits that travel with the lock: the control keeps at most CARRIED_BYTES
# of them per container (the newest) and a grant brings at most
# GRANT_CARRY_BYTES, so that it stays small enough for Ray to send inline
# with the reply.
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
class Entry:
    """A request for the lock, and once granted, its holder."""

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


def _conflict(a: Entry, b: Entry) -> bool:
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
        self.holders: dict[str, Entry] = {}
        self.queue: collections.OrderedDict[str, Entry] = collections.OrderedDict()
        self.epoch = 0
        # Per container: the chunks that a holder which ended abnormally may
        # have left uncommitted writes in.
        self.suspect: dict[Any, Chunks] = {}
        self.processes: dict[str, dict[str, Any]] = {}   # registered process -> who it is

    def knows(self, ticket: str) -> bool:
        return ticket in self.queue or ticket in self.holders

    def is_holder(self, ticket: str) -> bool:
        return ticket in self.holders

    def check_holder(self, ticket: str) -> Entry:
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
                scope: Scope | None = None) -> Entry | None:
        """Queues `ticket`; returns its entry if it was granted at once. A
        request without a process is not followed by its holder's death; one
        with a record key gets that container's record with its grant, and
        the carried contents of the chunks that `copies` (chunk index ->
        version of the requester's copy) names at an older version."""
        if process is not None and process not in self.processes:
            raise UnknownProcessError(f"process {process!r} has not registered with this lock")
        if self.knows(ticket):
            raise ValueError(f"lock ticket {ticket!r} is already in use")
        entry = Entry(ticket, process, task_id, record_key, copies, scope)
        if self._may_start(entry, list(self.queue.values())):
            return self._grant(entry)
        self.queue[ticket] = entry
        return None

    def release(self, ticket: str, aborted: bool = False) -> list[Entry]:
        """Ends the holder; `aborted`: its block may have left uncommitted
        writes behind."""
        return self._end(self.check_holder(ticket), aborted)

    def drop(self, ticket: str) -> list[Entry]:
        """The ticket's process died: a holder loses the lock (its chunks are
        suspect), a waiter leaves the queue."""
        if ticket in self.holders:
            return self._end(self.holders[ticket], True)
        self.queue.pop(ticket, None)
        return self._grant_waiting()

    def drop_process(self, process: str) -> tuple[list[Entry], list[str]]:
        """`process` died: forgets it and drops its tickets. Returns the entries
        granted next and the queued tickets dropped."""
        self.processes.pop(process, None)
        dropped = [t for t, e in self.queue.items() if e.process == process]
        for ticket in dropped:
            del self.queue[ticket]
        for entry in [e for e in self.holders.values() if e.process == process]:
            self._end(entry, True, grant=False)
        return self._grant_waiting(), dropped

    def withdraw(self, ticket: str) -> list[Entry]:
        """The ticket's caller gave up waiting. If it was granted meanwhile it
        never learned so and did nothing: what it was told passes on unchanged."""
        entry = self.holders.pop(ticket, None)
        if entry is not None:
            self._suspect(entry.record_key, entry.repair)
        else:
            self.queue.pop(ticket, None)
        return self._grant_waiting()

    def force(self, ticket: str | None = None) -> tuple[bool, list[Entry]]:
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

    def _describe(self, e: Entry) -> dict[str, Any]:
        holder = None
        if e.process in self.processes:
            holder = {**self.processes[e.process], "task_id": e.task_id}
        chunks = None if e.scope is None or e.scope.chunks is None else list(e.scope.chunks)
        return {"ticket": e.ticket, "holder": holder, "since": e.since,
                "held_seconds": time.monotonic() - e.started, "epoch": e.epoch,
                "reads": e.reads, "chunks": chunks}

    # -- granting -------------------------------------------------------------------

    def _may_start(self, entry: Entry, ahead: list[Entry]) -> bool:
        return (not any(_conflict(entry, h) for h in self.holders.values())
                and not any(_conflict(entry, w) for w in ahead))

    def _grant_waiting(self) -> list[Entry]:
        granted: list[Entry] = []
        ahead: list[Entry] = []
        for ticket, entry in list(self.queue.items()):
            if self._may_start(entry, ahead):
                del self.queue[ticket]
                granted.append(self._grant(entry))
            else:
                ahead.append(entry)
                if entry.lock_wide:
                    break  # nothing behind it may pass it
        return granted

    def _grant(self, entry: Entry) -> Entry:
        self.epoch += 1
        entry.epoch = self.epoch
        entry.repair = None if entry.reads else self._take_repair(entry)
        entry.record, entry.chunks = self._grant_contents(entry)
        entry.since, entry.started = time.time(), time.monotonic()
        self.holders[entry.ticket] = entry
        return entry

    def _grant_contents(self, entry: Entry) -> tuple[bytes | None,
                                                      dict[int, CarriedChunk] | None]:
        """The record and carried chunks a grant brings; a plain lock has none."""
        return None, None

    def _take_repair(self, entry: Entry) -> Chunks | None:
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

    def _end(self, entry: Entry, abnormal: bool, grant: bool = True) -> list[Entry]:
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
    the whole lock left it, and forgotten when a holder that could change
    chunks ends abnormally.

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

    def end_block(self, message: LockRelease) -> tuple[list[Entry],
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

    def _keep(self, entry: Entry, message: LockRelease) -> None:
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

    def _end(self, entry: Entry, abnormal: bool, grant: bool = True) -> list[Entry]:
        if abnormal and not entry.reads:
            # It may have published a record held elsewhere and died before
            # leaving it: every such record, and what goes with it, is suspect.
            for key in list(self.records):
                self.carried.pop(key, None)
            self.records.clear()
        return super()._end(entry, abnormal, grant)

    def _grant_contents(self, entry: Entry) -> tuple[bytes | None,
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
            if chunk.contents is not None and len(chunk.contents) <= GRANT_CARRY_BYTES:
                carried[index] = CarriedChunk(chunk.version, chunk.contents)
        total = sum(len(chunk.contents) for chunk in carried.values())
        while total > CARRIED_BYTES and carried:
            _, oldest = carried.popitem(last=False)
            total -= len(oldest.contents)

    def _carried_for(self, entry: Entry) -> dict[int, CarriedChunk] | None:
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


def _check_commit_scope(entry: Entry, commit: Commit, chunks: dict[int, Any]) -> None:
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
