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
import io
import os
import pickle
import threading
import uuid
from dataclasses import dataclass
from typing import Any

import ray

from quorlib import quorpool
from quorlib.lockstate import (ControlState, Entry, HolderLostError, LockState,
                               StaleTicketError, UnknownProcessError)
from quorlib.messages import (CarriedChunk, Commit, GrantMessage, LockRelease, LockRequest,
                              Registration, Scope)
from quorlib.quorproxy import ProxyState, gen_quor_id

__all__ = ["QuorLock", "QuorControl", "LockState", "Grant", "StaleTicketError",
           "HolderLostError", "UnknownProcessError", "acquire", "release", "send_release"]

# Each waiter keeps one `acquire` pending, each followed process one watch.
MAX_CONCURRENCY = 100_000

# A release carries a committed chunk to the lock (to travel with later
# grants) when it has at most CARRY_MAX_ITEMS entries and pickles to at most
# CARRY_CHUNK_BYTES.
CARRY_MAX_ITEMS = 8192
CARRY_CHUNK_BYTES = 64 * 1024


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

    def _deliver(self, granted: list[Entry]) -> None:
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
