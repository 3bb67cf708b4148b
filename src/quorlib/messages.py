"""The messages that cross process boundaries, each with one named type.

Both sides of every call build and read these by name: the C++ core and the
containers' Python helpers on one side, the lock, chunk and pool actors on
the other. Changing a message's shape is a change to this file.
"""

from __future__ import annotations

from typing import Any, NamedTuple

__all__ = ["RequesterId", "Registration", "Scope", "LockRequest", "CarriedChunk",
           "GrantMessage", "SlotWrite", "Commit", "LockRelease", "ContainerReferences"]


class RequesterId(NamedTuple):
    """Who reads or writes a chunk. `holder_epoch` is the epoch of the lock
    grant of the caller's block (None outside a block); `committed_epoch` the
    epoch that the caller's version record names as the chunk's last commit."""

    requester: str
    holder_epoch: int | None
    committed_epoch: int


class Registration(NamedTuple):
    """What a process's first request to a lock carries: the reference of its
    pending call to the keeper (which fails when the process dies) and who it
    is, for the lock's status."""

    token: Any
    info: dict[str, Any]


class Scope(NamedTuple):
    """What a block takes of its container: `chunks` (None: every chunk) of its
    `num_chunks`, to change them, or `shared` with other readers to only read
    them. A block over every chunk that changes them excludes every other
    block on the same lock, whichever container it is on."""

    chunks: tuple[int, ...] | None
    shared: bool
    num_chunks: int


class LockRequest(NamedTuple):
    """An acquire. `record_key` names the container whose version record the
    grant should bring; `copies` maps each chunk the requester holds a copy of
    to that copy's version; `scope` is what the block takes (None: the whole
    lock, for a caller that names no container)."""

    ticket: str
    process: str | None = None
    task_id: str | None = None
    registration: Registration | None = None
    record_key: Any = None
    copies: dict[int, int] | None = None
    scope: Scope | None = None


class CarriedChunk(NamedTuple):
    """A committed chunk that travels with the lock: its version and its
    contents pickled (None in a release when they are too large to carry)."""

    version: int
    contents: bytes | None


class GrantMessage(NamedTuple):
    """The answer to an acquire: the grant's epoch; whether chunks of its scope
    may hold what a holder that ended abnormally left uncommitted, and which
    (`repair`, None for every chunk); the container's record as committed
    (pickled; None when the lock does not hold it) and the carried chunks
    newer than the requester's copies."""

    epoch: int
    abnormal: bool
    record: bytes | None = None
    chunks: dict[int, CarriedChunk] | None = None
    repair: tuple[int, ...] | None = None


class SlotWrite(NamedTuple):
    """A chunk that a release commits itself: the chunk's slot (a
    `quorlib.quorproxy.Slot`) and its new contents, pickled."""

    slot: Any
    contents: bytes


class Commit(NamedTuple):
    """What a release commits in the same step of the control actor: the
    entries of its version record (the release's own `record`) for the chunks
    the block committed (the release's `chunks`), merged into the record's
    cell; a list's counts into their cells; and the small chunks the block
    changed, which the control actor writes to their slots once it has
    handed the lock on. The block's larger chunks reached their slots before
    the release, which Ray runs only once they have."""

    record_cell: str
    epoch: int
    cells: dict[str, Any]
    writes: dict[int, SlotWrite]


class LockRelease(NamedTuple):
    """A release. `chunks` are the chunks its block committed (each one's
    version and, when small, its contents, which later grants carry) and
    `record` its container's record as the block committed or read it; with
    a commit it is also the block's commit point. A record held outside the
    control actor is kept for later grants only from a block that held the
    whole lock and ended normally."""

    ticket: str
    aborted: bool = False
    record_key: Any = None
    record: bytes | None = None
    chunks: dict[int, CarriedChunk] | None = None
    commit: Commit | None = None


class ContainerReferences(NamedTuple):
    """The arguments of a container's pickled form, `rebuild(*references)`:
    a QuorDict's six, a QuorList's seven."""

    chunk_ref_list: list[Any]
    num_chunks: int
    meta_ref: Any
    length: int
    lock: Any
    per_chunk_lock: int
    meta: Any = None
