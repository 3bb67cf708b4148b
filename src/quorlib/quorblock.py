"""The end of a block that changed something: its commit and the lock's
release, sent as one call when they can be.

Note [A block's end in one call]
A block's end sends, to run one after another: the writes of its chunks too
large to travel with the lock, then its release. The release carries the
version record that names every write of the block, a list's counts and
the new contents of the small chunks; it is the commit point, one step of
the control actor (Note [The commit travels with the release] in lockstate).
Ray runs the release only once the writes before it have succeeded, and
fails it with the first one's error without running it otherwise, which
leaves the lock held: the block then rolls its writes back and releases.
A block whose record is not a cell of its lock's control actor publishes
the record itself between the writes and the release.

`BlockEnd` is the plan and its outcome, with no Ray in it; `finish` sends a
plan and waits once, for the last call, across interrupts: a block whose
commit may still land is never rolled back.
"""

from __future__ import annotations

import enum
from typing import Any, NamedTuple

import ray

from quorlib import quorpool
from quorlib._failures import describe_write_failure
from quorlib.messages import CarriedChunk, Commit, LockRelease, SlotWrite
from quorlib.quorlock import Grant, carried_contents, release_message
from quorlib.quorproxy import Cell, Slot

__all__ = ["BlockEnd", "State", "finish"]

# How often a wait for the block's outcome is retried after an interrupt.
INTERRUPTS_WAITED = 4


class State(enum.Enum):
    PLANNED = "planned"      # nothing sent
    SENT = "sent"            # on its way; the outcome not known yet
    COMMITTED = "committed"  # the record is published, the lock not released (its release failed)
    RELEASED = "released"    # committed and released
    REFUSED = "refused"      # not committed: a write or the commit was refused; the lock is held
    UNKNOWN = "unknown"      # interrupted every time its outcome was waited for


class Write(NamedTuple):
    """A call that must succeed before the release: a chunk's write to its
    slot, or a cell's new value where the release cannot carry it."""

    index: int | None   # the chunk's index; None for a cell
    handle: Any
    method: str
    args: tuple[Any, ...]


class BlockEnd:
    """A block's end: what it sends, and what came of it."""

    def __init__(self, lock: Any, grant: Grant, record_ref: Any, record: Any) -> None:
        self.lock = lock
        self.grant = grant
        self.record_ref = record_ref
        self.record = record
        self.fused = (isinstance(record_ref, Cell)
                      and quorpool.actor_key(record_ref.control) == quorpool.actor_key(lock))
        self.writes: list[Write] = []
        self.inline: dict[int, SlotWrite] = {}
        self.cells: dict[str, Any] = {}
        self.carried: dict[int, CarriedChunk] = {}
        self.state = State.PLANNED
        self.failures: list[tuple[int, BaseException, str]] = []  # (chunk, error, description)
        self.error: BaseException | None = None    # why not committed, when no chunk failed
        self.release_error: BaseException | None = None
        self.interrupt: BaseException | None = None

    # -- the plan -------------------------------------------------------------

    def add_chunk(self, index: int, handle: Any, requester_id: Any, contents: Any,
                  version: int) -> None:
        """A chunk the block changed: it travels with the release when it is
        small and its slot can be written by the control actor."""
        blob = carried_contents(contents)
        self.carried[index] = CarriedChunk(version, blob)
        if self.fused and blob is not None and isinstance(handle, Slot):
            self.inline[index] = SlotWrite(handle, blob)
        else:
            self.writes.append(Write(index, handle, "set", (requester_id, contents)))

    def add_cell(self, handle: Any, value: Any) -> None:
        """A value the block commits beside its record (a list's counts)."""
        if self.fused and isinstance(handle, Cell) and handle.control == self.record_ref.control:
            self.cells[handle.name] = value
        else:
            self.writes.append(Write(None, handle, "set_nocache", (value,)))

    def release_message(self) -> LockRelease:
        """The release that ends the block (and commits it, when fused)."""
        commit = None
        if self.fused:
            commit = Commit(self.record_ref.name, self.grant.epoch, self.cells, self.inline)
        return release_message(self.grant, False, self.record, self.carried or None, commit)

    # -- its outcome -------------------------------------------------------------

    @property
    def committed(self) -> bool:
        return self.state in (State.COMMITTED, State.RELEASED)

    @property
    def released(self) -> bool:
        return self.state is State.RELEASED

    @property
    def unknown(self) -> bool:
        return self.state is State.UNKNOWN

    def write_failed(self, write: Write, error: BaseException, sent: bool) -> None:
        """A write failed: where it was sent (`sent` false: Ray could not
        serialise it) or at its slot."""
        contents = write.args[-1] if not sent else None
        text = describe_write_failure(error, contents)
        if write.index is None:
            self.error = self.error or error
        else:
            self.failures.append((write.index, error, text))
        self.state = State.REFUSED

    def settle(self, committed: bool, released: bool, error: BaseException | None = None) -> None:
        if released:
            self.state = State.RELEASED
        elif committed:
            self.state, self.release_error = State.COMMITTED, error
        else:
            self.state = State.REFUSED
            if error is not None and not self.failures and self.error is None:
                self.error = error


def _wait(end: BlockEnd, ref: Any) -> tuple[bool, Any]:
    """Waits for `ref` across interrupts (kept in `end.interrupt`): (whether it
    succeeded, its result or error), or raises _Unknown after too many
    interrupts."""
    for _ in range(INTERRUPTS_WAITED):
        try:
            return True, ray.get(ref)
        except Exception as error:
            return False, error
        except BaseException as interrupt:  # a cancelled task: learn the outcome first
            end.interrupt = end.interrupt or interrupt
    raise _Unknown


class _Unknown(Exception):
    pass


def finish(end: BlockEnd) -> BlockEnd:
    """Sends the plan and waits for its outcome (Note [A block's end in one
    call]); returns `end`, settled."""
    sent: list[tuple[Write, Any]] = []
    for write in end.writes:
        try:
            sent.append((write, getattr(write.handle, write.method).remote(*write.args)))
        except Exception as error:  # Ray could not serialise it: nothing after it is sent
            end.write_failed(write, error, sent=False)
    publish = None
    try:
        if end.state is State.REFUSED:
            return _settle_writes(end, sent)
        after = [ref for _, ref in sent]
        if not end.fused:
            publish = end.record_ref.publish.remote(end.grant.epoch, end.record, *after)
            after = [publish]
        release = end.lock.release.remote(end.release_message(), *after)
        end.state = State.SENT
        released, answer = _wait(end, release)
        if released:
            end.settle(committed=True, released=True)
            return end
        error = answer
        # The release did not run, or refused: each call before it tells why.
        _settle_writes(end, sent)
        if end.state is State.REFUSED:
            return end
        if publish is not None:
            published, publish_error = _wait(end, publish)
            end.settle(committed=published, released=False,
                       error=error if published else publish_error)
        else:
            end.settle(committed=False, released=False, error=error)
    except _Unknown:
        end.state = State.UNKNOWN
    return end


def _settle_writes(end: BlockEnd, sent: list[tuple[Write, Any]]) -> BlockEnd:
    for write, ref in sent:
        succeeded, error = _wait(end, ref)
        if not succeeded:
            end.write_failed(write, error, sent=True)
    return end
