"""The lock actor shared by every copy of one container.

A holder takes the lock with ``acquire(lock) -> Grant`` and gives it back with
``release(lock, grant, aborted=False)``. Waiters are served in the order their
requests reached the actor.

The lock follows its holder's life without a lease. Before asking for the lock
the holder submits ``lock.hold.remote(ticket)``, a call that the actor finishes
only when that ticket ends, and passes the reference it got (the token) nested
in a list to ``acquire``: Ray resolves a reference passed directly before the
call runs, which would wait for the release. The token belongs to the holder's
process, so when that process dies Ray fails the actor's wait on it with
``OwnerDiedError`` (about 2 s on one node); the actor then drops the ticket: a
queued waiter leaves the queue, a holder loses the lock. A live holder keeps the
lock however long its block runs.

Every grant carries a rising epoch (the fencing token the chunk and record
proxies check) and whether the previous holder ended abnormally (died, was
forced out, or released with ``aborted=True``), in which case the new holder
repairs what may have been left half-written before it works.

``lock()``/``unlock()`` without arguments serve older callers: no liveness, no
epoch is reported, and ``unlock`` releases whichever such holder holds the lock.
"""

from __future__ import annotations

import asyncio
import collections
import itertools
import os
import time
from dataclasses import dataclass
from typing import Any

import ray

from quorlib.quorproxy import gen_quor_id

__all__ = ["QuorLock", "LockState", "Grant", "StaleTicketError", "HolderLostError",
           "acquire", "release", "holder_info"]

# A call waiting for the lock and a holder's pending `hold` each occupy one of
# the actor's concurrency slots while they last: two per waiter, one per holder.
MAX_CONCURRENCY = 10_000

# How long a `hold` waits for its ticket's `acquire` to arrive before it ends
# by itself: a process that dies between the two calls must not keep a slot.
HOLD_GRACE_S = 60.0


class StaleTicketError(RuntimeError):
    """A release by a ticket that no longer holds the lock."""


class HolderLostError(RuntimeError):
    """The ticket's process was given up for dead before it was granted."""


@dataclass(slots=True)
class _Entry:
    ticket: str
    info: dict[str, Any] | None
    legacy: bool
    epoch: int = 0
    abnormal: bool = False
    since: float | None = None     # wall clock at the grant
    started: float | None = None   # monotonic clock at the grant

    @property
    def grant(self) -> tuple[int, bool]:
        return (self.epoch, self.abnormal)


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

    def knows(self, ticket: str) -> bool:
        return ticket in self.queue or (self.holder is not None and self.holder.ticket == ticket)

    def is_holder(self, ticket: str) -> bool:
        return self.holder is not None and self.holder.ticket == ticket

    def request(self, ticket: str, info: dict[str, Any] | None, legacy: bool = False) -> _Entry | None:
        """Queues `ticket`; returns its entry if it was granted at once."""
        if self.knows(ticket):
            raise ValueError(f"lock ticket {ticket!r} is already in use")
        entry = _Entry(ticket, info, legacy)
        if self.holder is None and not self.queue:
            return self._grant(entry)
        self.queue[ticket] = entry
        return None

    def release(self, ticket: str, aborted: bool = False) -> _Entry | None:
        if not self.is_holder(ticket):
            raise StaleTicketError(
                f"lock ticket {ticket!r} does not hold the lock (it was forced out, given up "
                f"for dead, or released already); nothing was released")
        return self._end(aborted)

    def release_legacy(self) -> _Entry | None:
        if self.holder is None:
            raise RuntimeError("QuorLock.unlock called while the lock is not held")
        if not self.holder.legacy:
            raise RuntimeError("QuorLock.unlock called while the lock is held through acquire; "
                               "release it with its ticket")
        return self._end(False)

    def drop(self, ticket: str) -> _Entry | None:
        """The ticket's process died: a holder loses the lock (the next grant is
        abnormal), a waiter leaves the queue."""
        if self.is_holder(ticket):
            return self._end(True)
        self.queue.pop(ticket, None)
        return None

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
        h = self.holder
        return {
            "held": h is not None,
            "ticket": None if h is None else h.ticket,
            "holder": None if h is None or h.info is None else dict(h.info),
            "since": None if h is None else h.since,
            "held_seconds": None if h is None else time.monotonic() - h.started,
            "waiters": len(self.queue),
            "epoch": self.epoch,
        }

    def _grant(self, entry: _Entry) -> _Entry:
        self.epoch += 1
        entry.epoch, entry.abnormal = self.epoch, self.abnormal
        entry.since, entry.started = time.time(), time.monotonic()
        self.abnormal = False
        self.holder = entry
        return entry

    def _end(self, abnormal: bool) -> _Entry | None:
        self.holder = None
        self.abnormal = self.abnormal or abnormal
        if not self.queue:
            return None
        _, entry = self.queue.popitem(last=False)
        return self._grant(entry)


# Actors reserve no CPU: a container has one actor per chunk plus a lock and a
# record, and a small machine must hold many of them.
@ray.remote(num_cpus=0, max_concurrency=MAX_CONCURRENCY)
class QuorLock:
    """Asynchronous, so that waiting callers do not block the release that frees them."""

    def __init__(self) -> None:
        self._state = LockState()
        self._grants: dict[str, asyncio.Future] = {}   # acquire/lock calls waiting
        self._holds: dict[str, asyncio.Future] = {}    # pending hold calls
        self._watchers: dict[str, asyncio.Task] = {}   # waits on each ticket's token
        self._legacy_ids = itertools.count()

    async def hold(self, ticket: str) -> None:
        """Finishes when `ticket` ends; its reference is the holder's token."""
        done = self._holds.get(ticket)
        if done is None:
            done = self._holds[ticket] = asyncio.get_running_loop().create_future()
        if not self._state.knows(ticket):
            await asyncio.wait([done], timeout=HOLD_GRACE_S)
            if not done.done() and not self._state.knows(ticket):
                self._holds.pop(ticket, None)  # no acquire came: its caller gave up or died
                return None
        await done
        return None

    async def acquire(self, ticket: str, holder_info: dict[str, Any] | None = None,
                      tokens: list[Any] | tuple[Any, ...] = ()) -> tuple[int, bool]:
        """Returns (epoch, abnormal) once `ticket` holds the lock. `tokens` holds
        the reference of this ticket's `hold` call, nested so Ray passes it as is."""
        granted = self._state.request(ticket, holder_info)
        if tokens:
            self._watchers[ticket] = asyncio.get_running_loop().create_task(
                self._watch(ticket, tokens[0]))
        if granted is not None:
            return granted.grant
        return await self._wait_for_grant(ticket)

    async def release(self, ticket: str, aborted: bool = False) -> None:
        self._deliver(self._state.release(ticket, aborted))
        self._finish(ticket)

    async def withdraw(self, ticket: str) -> None:
        """A caller that stopped waiting for its grant takes its ticket back."""
        self._withdraw(ticket)

    async def force_unlock(self, holder: str | None = None) -> bool:
        """Operators' tool: ends the current holder, or only the holder with
        ticket `holder` when given, so a live successor is never released. The
        next grant is abnormal. Returns whether a holder was ended."""
        ticket = self._state.holder.ticket if self._state.holder is not None else None
        released, nxt = self._state.force(holder)
        if released:
            assert ticket is not None
            self._finish(ticket)
            self._deliver(nxt)
        return released

    async def status(self) -> dict[str, Any]:
        return self._state.status()

    async def lock(self) -> None:
        ticket = f"legacy-{next(self._legacy_ids)}"
        if self._state.request(ticket, None, legacy=True) is None:
            await self._wait_for_grant(ticket)

    async def unlock(self) -> None:
        self._deliver(self._state.release_legacy())

    # -- delivery -----------------------------------------------------------------

    async def _wait_for_grant(self, ticket: str) -> tuple[int, bool]:
        granted = asyncio.get_running_loop().create_future()
        self._grants[ticket] = granted
        try:
            return await granted
        except asyncio.CancelledError:
            self._withdraw(ticket)
            raise

    async def _watch(self, ticket: str, token: Any) -> None:
        try:
            await token
        except asyncio.CancelledError:
            raise
        except Exception:  # OwnerDiedError: the holder's process is gone
            pass
        # Released tickets have their watcher cancelled first, so reaching here
        # means the token ended while the ticket was live.
        self._watchers.pop(ticket, None)
        waiting = self._grants.pop(ticket, None)
        if waiting is not None and not waiting.done():
            waiting.set_exception(HolderLostError(f"lock ticket {ticket!r}: its process died"))
        self._deliver(self._state.drop(ticket))
        self._finish(ticket)

    def _withdraw(self, ticket: str) -> None:
        self._grants.pop(ticket, None)
        self._deliver(self._state.withdraw(ticket))
        self._finish(ticket)

    def _deliver(self, entry: _Entry | None) -> None:
        while entry is not None:
            waiting = self._grants.pop(entry.ticket, None)
            if waiting is not None and not waiting.done():
                waiting.set_result(entry.grant)
                return
            # Its caller is gone without a word: pass the grant on unchanged.
            entry = self._state.withdraw(entry.ticket)

    def _finish(self, ticket: str) -> None:
        done = self._holds.pop(ticket, None)
        if done is not None and not done.done():
            done.set_result(None)
        watcher = self._watchers.pop(ticket, None)
        if watcher is not None and watcher is not asyncio.current_task():
            watcher.cancel()


# -- the holder's side ------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Grant:
    """What a holder keeps from `acquire` until `release`. `token` is the
    reference of its pending `hold` call: dropping it early does not end the
    lock (the actor borrows it), but the holder keeps it so nothing else can."""

    ticket: str
    epoch: int
    abnormal: bool
    token: Any


def holder_info() -> dict[str, Any]:
    """Who is asking, as Ray's runtime context of this process tells it."""
    ctx = ray.get_runtime_context()
    # A driver has no task id (and Ray logs a warning when asked for one).
    driver = getattr(getattr(ctx, "worker", None), "mode", None) == ray.SCRIPT_MODE
    return {
        "worker_id": ctx.get_worker_id(),
        "task_id": None if driver else ctx.get_task_id(),
        "actor_id": ctx.get_actor_id(),
        "node_id": ctx.get_node_id(),
        "pid": os.getpid(),
    }


def acquire(lock: Any, timeout: float | None = None) -> Grant:
    """Waits until this process holds `lock`; raises GetTimeoutError after
    `timeout` seconds (and then takes the request back)."""
    ticket = gen_quor_id()
    token = lock.hold.remote(ticket)
    try:
        epoch, abnormal = ray.get(lock.acquire.remote(ticket, holder_info(), [token]),
                                  timeout=timeout)
    except BaseException:
        lock.withdraw.remote(ticket)  # not waited for: the lock may be what failed
        raise
    return Grant(ticket, epoch, abnormal, token)


def release(lock: Any, grant: Grant, aborted: bool = False) -> None:
    """Gives the lock back; `aborted` tells the next holder that this block
    may have left uncommitted writes behind. Raises StaleTicketError if the
    lock passed on without this holder (forced out or given up for dead)."""
    ray.get(lock.release.remote(grant.ticket, aborted))
