"""Remote holders of chunk contents and shared records.

A ``QuorProxy`` actor stores one value: a chunk's dict or list, a container's
version record, or a list's usage counts. Every write replaces the value whole
and the actor serves one call at a time. With plain string requester ids (and
through ``get_nocache``/``set_nocache``) a read returns the value as last
written. With the tuple ids of ``ProxyState`` a chunk also keeps what a block
needs to commit whole or not at all: readers other than the writer see the
last committed value until the version record names the newest write, and the
record accepts a publish only from the newest epoch it has seen.
"""

from __future__ import annotations

import itertools
import os
import uuid
from typing import Any

import ray

__all__ = ["QuorProxy", "ProxyState", "gen_quor_id", "QuorCacheLocalMSI", "QuorCacheDirMSI",
           "QuorProxyError", "StaleEpochError", "WriteConflictError", "LostStateError"]


class QuorCacheLocalMSI:
    """A chunk handle's local cache state. Carried with the handle; the
    containers keep coherence through their version record instead."""

    __slots__ = ()

    def __reduce__(self) -> tuple[type, tuple[()]]:
        return (QuorCacheLocalMSI, ())


class QuorCacheDirMSI:
    """The directory side of a chunk proxy: remembers the last requester that
    read and wrote the chunk, which is what an operator wants to know when
    looking at a stuck or contended chunk."""

    __slots__ = ("last_reader", "last_writer")

    def __init__(self) -> None:
        self.last_reader: Any = None
        self.last_writer: Any = None


class QuorProxyError(RuntimeError):
    """A proxy refused a call that would break a block's atomicity."""


class StaleEpochError(QuorProxyError):
    """A write or publish from a holder whose epoch is below the proxy's fence:
    the lock has passed on since that holder was granted it."""


class WriteConflictError(QuorProxyError):
    """A write from outside a block found the chunk changed since the writer
    last saw it, or an uncommitted write pending."""


class LostStateError(QuorProxyError):
    """The proxy does not hold the commit the caller names, nor a newer write
    it could explain: it lost its state (restarted empty) or the record did."""


class ProxyState:
    """One proxy's value and commit bookkeeping, with no Ray in it.

    A requester id is either a plain string (no epochs: the value is read and
    replaced as is) or a tuple ``(requester_id, holder_epoch, committed_epoch)``,
    where ``committed_epoch`` is the epoch the shared version record names as
    the chunk's last commit and ``holder_epoch`` the caller's lock epoch, None
    outside a block.

    The newest write stays in place. Until a caller names it as committed, the
    last committed value is kept as the undo copy, so that a block that never
    publishes its record can be rolled back, and readers other than its writer
    see the committed value. The fence is the highest holder epoch seen; a
    write from below it comes from a holder the lock has left behind.

    The version record's proxy uses ``publish`` and ``fence`` instead, with the
    same fence as the floor of the epochs it accepts.
    """

    __slots__ = ("value", "epoch", "undo", "undo_epoch", "fence_epoch", "directory")

    def __init__(self, value: Any, directory: QuorCacheDirMSI | None = None) -> None:
        self.value = value
        self.epoch = 0          # the epoch of the newest write; creation commits at 0
        self.undo: Any = None
        self.undo_epoch: int | None = None   # None: no uncommitted write pending
        self.fence_epoch = 0
        self.directory = directory

    # -- chunks ---------------------------------------------------------------

    def get(self, requester_id: Any) -> Any:
        if self.directory is not None:
            self.directory.last_reader = requester_id
        if type(requester_id) is not tuple:
            return self.value
        _, holder_epoch, committed = requester_id
        self._settle(committed)
        if holder_epoch is not None and holder_epoch > self.fence_epoch:
            self.fence_epoch = holder_epoch
        if self.undo_epoch is not None and self.epoch != holder_epoch:
            return self.undo  # the newest write is uncommitted and not the caller's
        return self.value

    def set(self, requester_id: Any, value: Any) -> None:
        if self.directory is not None:
            self.directory.last_writer = requester_id
        if type(requester_id) is not tuple:
            self.value = value
            return
        _, holder_epoch, committed = requester_id
        if holder_epoch is None:
            self._compare_and_set(committed, value)
            return
        if holder_epoch < self.fence_epoch:
            raise StaleEpochError(
                f"write from lock epoch {holder_epoch} refused: the lock has passed on to epoch "
                f"{self.fence_epoch}; this holder's block cannot commit")
        self._settle(committed)
        self.fence_epoch = holder_epoch
        if self.undo_epoch is None:
            self.undo, self.undo_epoch = self.value, self.epoch
        self.value, self.epoch = value, holder_epoch

    def rollback(self, new_epoch: int, committed_epoch: int) -> int:
        """Brings the chunk back to the commit the record names, drops the undo
        copy, fences out holders before `new_epoch`; returns the committed
        value's length. Refused from a holder the lock has left behind: its
        rollback would undo the writes of the holder that fenced it out."""
        if new_epoch < self.fence_epoch:
            raise StaleEpochError(
                f"rollback from lock epoch {new_epoch} refused: the lock has passed on to epoch "
                f"{self.fence_epoch}")
        if self.epoch != committed_epoch:
            if self.undo_epoch != committed_epoch:
                raise self._lost(committed_epoch)
            self.value, self.epoch = self.undo, committed_epoch
        self.undo = self.undo_epoch = None
        if new_epoch > self.fence_epoch:
            self.fence_epoch = new_epoch
        return len(self.value)

    def _compare_and_set(self, committed: int, value: Any) -> None:
        # An undo copy still pending after this means the newest write is not `committed`.
        self._settle(committed)
        if self.epoch != committed:
            raise WriteConflictError(
                f"write outside a block refused: the chunk was written since epoch {committed}, "
                f"the last commit its writer saw")
        self.value = value  # keeps the epoch: it is the committed value, changed in place

    def _settle(self, committed: int) -> None:
        # The caller's record names `committed`: if that is the newest write,
        # it is committed and its undo copy is no longer needed. Epochs only
        # rise, so a commit newer than the newest write was lost here.
        if committed == self.epoch:
            self.undo = self.undo_epoch = None
        elif committed > self.epoch:
            raise self._lost(committed)

    def _lost(self, committed: int) -> LostStateError:
        held = f"epoch {self.epoch}" + (
            f" (uncommitted, over epoch {self.undo_epoch})" if self.undo_epoch is not None else "")
        return LostStateError(
            f"chunk proxy holds {held} but the version record names epoch {committed} as "
            f"committed: the proxy lost its state (restarted empty?) and cannot serve this chunk")

    # -- version record ---------------------------------------------------------

    def publish(self, epoch: int, value: Any) -> None:
        """The commit point of a block: stores the record unless a newer epoch has
        published or fenced it."""
        if epoch < self.fence_epoch:
            raise StaleEpochError(
                f"record from lock epoch {epoch} refused: epoch {self.fence_epoch} has "
                f"published or fenced it; this holder's block is not committed")
        self.fence_epoch = epoch
        self.value = value

    def fence(self, epoch: int) -> Any:
        """Refuses every later publish from before `epoch`; returns the record."""
        if epoch > self.fence_epoch:
            self.fence_epoch = epoch
        return self.value


# Actors reserve no CPU: a container has one actor per chunk plus a lock and a
# record, and a small machine must hold many of them. SPREAD places each new
# actor on the next node in turn rather than on the creating one, so that the
# chunks of one container (and their memory) share out over the cluster; with
# one node it changes nothing.
@ray.remote(num_cpus=0, scheduling_strategy="SPREAD")
class QuorProxy:
    def __init__(self, value: Any, cache_class: type | None = None) -> None:
        self._state = ProxyState(value, cache_class() if cache_class is not None else None)

    def get(self, requester_id: Any) -> Any:
        return self._state.get(requester_id)

    def set(self, requester_id: Any, value: Any) -> None:
        self._state.set(requester_id, value)

    def get_nocache(self) -> Any:
        return self._state.value

    def set_nocache(self, value: Any) -> None:
        self._state.value = value

    def rollback(self, new_epoch: int, committed_epoch: int) -> int:
        return self._state.rollback(new_epoch, committed_epoch)

    def publish(self, epoch: int, value: Any, *after: Any) -> None:
        """`after`: the results of calls that had to succeed first (a block's
        chunk writes). They are sent as references: Ray runs this call only
        once they have succeeded, and fails it with the first one's error
        otherwise."""
        self._state.publish(epoch, value)

    def fence(self, epoch: int) -> Any:
        return self._state.fence(epoch)

    def directory(self) -> tuple[Any, Any] | None:
        """(last reader, last writer) of a cached proxy, or None."""
        d = self._state.directory
        return None if d is None else (d.last_reader, d.last_writer)


_ids = itertools.count()
_id_prefix = uuid.uuid4().hex[:16]


def _renew_id_prefix() -> None:
    # A forked child starts with its parent's prefix and counter: without a
    # new prefix both would hand out the same identifiers.
    global _id_prefix
    _id_prefix = uuid.uuid4().hex[:16]


os.register_at_fork(after_in_child=_renew_id_prefix)


def gen_quor_id() -> str:
    """A requester identifier unique across processes: a random per-process
    prefix (renewed in a forked child) and a counter."""
    return f"{_id_prefix}-{next(_ids)}"
