"""Operators' tools for a container's shared lock and a list's shared counts.

These functions show who holds a container's lock, end a holder by hand, and
bring a list's shared counts back in line with what its chunk actors hold.
A holder that dies needs none of them: the lock passes on by itself and the
next holder rolls back what the dead one left uncommitted. See
docs/operations.md.
"""

from __future__ import annotations

from typing import Any

import ray

from quorlib.messages import ContainerReferences

__all__ = ["lock_status", "force_unlock", "repair_list_counts"]


def _references(container: Any) -> ContainerReferences:
    """The handles a container's pickled form carries, by name."""
    from quorlib.quordict import QuorDict
    from quorlib.quorlist import QuorList

    if not isinstance(container, (QuorDict, QuorList)):
        raise TypeError(f"expected a QuorDict or QuorList, got {type(container).__name__}")
    return ContainerReferences(*container.__reduce__()[1])


def lock_status(container: Any) -> dict[str, Any]:
    """The container's shared lock: a dict with ``held``, ``waiters``,
    ``epoch`` (of the last grant) and ``holders``, one dict per block holding
    it, the longest held first: ``ticket`` (to pass to `force_unlock`),
    ``holder`` (worker, task, actor and node ids and pid, when the holder
    gave them), ``since`` (wall clock of the grant), ``held_seconds``,
    ``epoch``, ``reads`` (a reading block) and ``chunks`` (the chunks it
    took; None for every chunk). ``ticket``, ``holder``, ``since`` and
    ``held_seconds`` at the top level are those of the longest held."""
    return ray.get(_references(container).lock.status.remote())


def force_unlock(container: Any, holder: str | None = None) -> bool:
    """Ends every holder of the container's shared lock as if it had died:
    the waiters go on, and the next holder of each chunk an ended holder
    could change rolls that chunk back first. Returns whether a holder was
    ended.

    With `holder` (a ``ticket`` shown by `lock_status`) it ends that holder
    only, and does nothing if that holder has released since, so it never
    releases a successor. A holder that is forced out cannot release or
    commit afterwards: its release is refused, and once the next holder of
    its chunks is granted, the chunks refuse its writes.
    """
    return ray.get(_references(container).lock.force_unlock.remote(holder))


def repair_list_counts(lst: Any) -> tuple[list[int], list[int]]:
    """Rewrites a QuorList's shared per-chunk counts and last chunk in use from
    the chunks its actors hold, under the list's lock. Returns (before, after).

    Not needed after a holder's death: the counts change only with a commit,
    so nothing of a dead holder's block reaches them. It remains for counts
    that operations made outside any block left out of line. Raises ValueError when
    the stored chunks have an empty chunk between non-empty ones, which counts
    cannot describe.
    """
    from quorlib.quorlist import QuorList

    if not isinstance(lst, QuorList):
        raise TypeError(f"expected a QuorList, got {type(lst).__name__}")
    references = _references(lst)
    fresh = type(lst).rebuild(*references)  # holds no local copy that its block could write back
    used_ref, last_ref, _ = references.meta.__reduce__()[2]  # the record's state, in its order
    with fresh:
        before = ray.get(used_ref.get_nocache.remote())
        sizes = [len(ray.get(h.ref.get_nocache.remote())) for h in references.chunk_ref_list]
        filled = [i for i, n in enumerate(sizes) if n]
        last = filled[-1] if filled else 0
        if any(n == 0 for n in sizes[:last]):
            raise ValueError(f"stored chunks are not packed (sizes {sizes}); counts cannot describe them")
        ray.get(used_ref.set_nocache.remote(sizes))
        ray.get(last_ref.set_nocache.remote(last))
    return before, sizes
