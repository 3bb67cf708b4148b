"""Remote holders of chunk contents and shared records.

``QuorProxy.remote(value, cache_class, owner=control)`` stores one value for a
container and returns at once a picklable handle whose methods are called
through ``.remote()`` like an actor's: a chunk (a cache class given) goes to a
slot of a shared host actor of the pool (``quorlib.quorpool``), a record or a
list's counts (no cache class) to a cell of the container's control actor
(``quorlib.quorlock``). Without an owner the value gets an actor of its own.

Every write replaces the value whole. With plain string requester ids (and
through ``get_nocache``/``set_nocache``) a read returns the value as last
written. With the ``RequesterId`` of ``ProxyState`` a chunk also keeps what a
block needs to commit whole or not at all: readers other than the writer see
the last committed value until the version record names the newest write, and
the record accepts a publish only from the newest epoch it has seen.
"""

from __future__ import annotations

import collections
import itertools
import os
import threading
import uuid
from typing import Any

import ray

from quorlib import quorpool
from quorlib.messages import RequesterId

__all__ = ["QuorProxy", "ProxyState", "Slot", "Cell", "gen_quor_id", "QuorCacheLocalMSI",
           "QuorCacheDirMSI", "QuorProxyError", "StaleEpochError", "WriteConflictError",
           "LostStateError", "LostSlotError"]


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


class LostSlotError(QuorProxyError):
    """A pool host does not hold the slot: its container has ended, or the
    slot's creation never arrived."""


class ProxyState:
    """One proxy's value and commit bookkeeping, with no Ray in it.

    A requester id is either a plain string (no epochs: the value is read and
    replaced as is) or a ``RequesterId``, whose ``committed_epoch`` is the epoch
    the shared version record names as the chunk's last commit and
    ``holder_epoch`` the caller's lock epoch, None outside a block.

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
        if not isinstance(requester_id, RequesterId):
            return self.value
        holder_epoch, committed = requester_id.holder_epoch, requester_id.committed_epoch
        self._settle(committed)
        if holder_epoch is not None and holder_epoch > self.fence_epoch:
            self.fence_epoch = holder_epoch
        if self.undo_epoch is not None and self.epoch != holder_epoch:
            return self.undo  # the newest write is uncommitted and not the caller's
        return self.value

    def set(self, requester_id: Any, value: Any) -> None:
        if self.directory is not None:
            self.directory.last_writer = requester_id
        if not isinstance(requester_id, RequesterId):
            self.value = value
            return
        holder_epoch, committed = requester_id.holder_epoch, requester_id.committed_epoch
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

    def install(self, epoch: int, value: Any) -> None:
        """A value that a release committed at `epoch` and that the container's
        control actor writes after handing the lock on: it replaces what is
        older, an uncommitted write of that same block included, and needs no
        undo copy. Nothing newer can be here yet: a later block's calls name
        this commit and wait for it."""
        if epoch < self.epoch:
            return
        self.value, self.epoch = value, epoch
        self.undo = self.undo_epoch = None

    def behind(self, requester_id: Any) -> bool:
        """Whether the caller names a commit newer than anything here: one that
        a control actor has yet to install."""
        return isinstance(requester_id, RequesterId) and requester_id.committed_epoch > self.epoch

    def swap(self, expected: Any, value: Any) -> None:
        """Replaces the value only if it is still `expected`: a change made
        outside a block, against what its maker read."""
        if self.value != expected:
            raise WriteConflictError(
                "write outside a block refused: the value changed since its writer read it")
        self.value = value

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


# A value without an owner has an actor of its own (standalone use; the
# containers always give one). It reserves no CPU, and SPREAD places each on
# the next node in turn.
@ray.remote(num_cpus=0, scheduling_strategy="SPREAD")
class QuorProxyActor:
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

    def swap(self, expected: Any, value: Any) -> None:
        self._state.swap(expected, value)

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


class _Bound:
    """`handle.method` of a slot or cell: `.remote(*args)` calls the actor's
    method with the slot's or cell's name first."""

    __slots__ = ("_method", "_name")

    def __init__(self, method: Any, name: str) -> None:
        self._method = method
        self._name = name

    def remote(self, *args: Any, **kwargs: Any) -> Any:
        return self._method.remote(self._name, *args, **kwargs)


class Slot:
    """The handle of a chunk held in a slot of a pool host: `get`, `set`,
    `rollback`, `get_nocache`, `set_nocache` and `directory` as a chunk actor
    has them. Pickles as the host's handle and the slot's name."""

    __slots__ = ("host", "name")

    def __init__(self, host: Any, name: str) -> None:
        self.host = host
        self.name = name

    def __getattr__(self, method: str) -> _Bound:
        if method.startswith("_"):
            raise AttributeError(method)
        return _Bound(getattr(self.host, method), self.name)

    def __reduce__(self) -> tuple[type, tuple[Any, str]]:
        return (Slot, (self.host, self.name))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Slot) and (other.host, other.name) == (self.host, self.name)

    def __hash__(self) -> int:
        return hash(self.name)

    def __repr__(self) -> str:
        return f"Slot({self.name!r})"


class Cell:
    """The handle of a value held in a cell of a container's control actor
    (its version record, a list's counts): `get_nocache`, `set_nocache`,
    `publish` and `fence` as a proxy actor has them. `key` names the cell
    among every container's."""

    __slots__ = ("control", "name")

    def __init__(self, control: Any, name: str) -> None:
        self.control = control
        self.name = name

    @property
    def key(self) -> str:
        return f"{quorpool.actor_key(self.control)}/{self.name}"

    def __getattr__(self, method: str) -> _Bound:
        if method.startswith("_"):
            raise AttributeError(method)
        return _Bound(getattr(self.control, "cell_" + method), self.name)

    def __reduce__(self) -> tuple[type, tuple[Any, str]]:
        return (Cell, (self.control, self.name))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Cell) and (other.control, other.name) == (self.control, self.name)

    def __hash__(self) -> int:
        return hash(self.name)

    def __repr__(self) -> str:
        return f"Cell({self.name!r})"


class _ProxyFactory:
    """`QuorProxy.remote(value, cache_class=None, owner=None)`: the handle of a
    new holder of `value`, returned at once (what creates it is sent, not
    waited for)."""

    def remote(self, value: Any, cache_class: type | None = None, owner: Any = None) -> Any:
        if owner is None:
            return QuorProxyActor.remote(value, cache_class)
        if cache_class is None:
            name = gen_quor_id()
            owner.cell_create.remote(name, value)
            return Cell(owner, name)
        owner_key = quorpool.actor_key(owner)
        name = quorpool.slot_name(owner_key, gen_quor_id())
        host = quorpool.place(owner)
        host.create.remote(name, value, cache_class, owner_key)
        _anchor(owner, host)
        return Slot(host, name)


QuorProxy = _ProxyFactory()

# The hosts that recently made control actors were anchored at by this
# process: a container's chunks are made one after another, and each pair
# needs telling once. The control itself ignores a repeated anchor.
_anchored: collections.OrderedDict[str, set[str]] = collections.OrderedDict()
_anchored_mutex = threading.Lock()
ANCHORS_REMEMBERED = 64


def _anchor(owner: Any, host: Any) -> None:
    """Makes `host` follow the life of `owner`, a control actor (Note [Who
    keeps a container alive] in quorpool)."""
    owner_key, host_key = quorpool.actor_key(owner), quorpool.actor_key(host)
    with _anchored_mutex:
        hosts = _anchored.setdefault(owner_key, set())
        _anchored.move_to_end(owner_key)
        while len(_anchored) > ANCHORS_REMEMBERED:
            _anchored.popitem(last=False)
        if host_key in hosts:
            return
        hosts.add(host_key)
    owner.anchor_at.remote(host)


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
