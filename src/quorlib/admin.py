"""Operators' tools for a container whose holder died inside a ``with`` block.

The lock actor does not know who holds it, and Ray does not tell it when that
process dies, so the other holders wait for good. These functions look at the
lock, release it, and bring a list's shared counts back in line with what its
chunk actors hold. See docs/operations.md.
"""

import ray

__all__ = ["lock_status", "force_unlock", "repair_list_counts"]


def _references(container):
    # Both containers pickle as rebuild(chunk_ref_list, num_chunks, meta_ref,
    # length, lock, per_chunk_lock[, meta]): the handles are in that tuple.
    from quorlib.quordict import QuorDict
    from quorlib.quorlist import QuorList

    if not isinstance(container, (QuorDict, QuorList)):
        raise TypeError(f"expected a QuorDict or QuorList, got {type(container).__name__}")
    return container.__reduce__()


def lock_status(container):
    """(held, seconds held or None, waiters) of the container's shared lock."""
    _, args = _references(container)
    return tuple(ray.get(args[4].status.remote()))


def force_unlock(container):
    """Releases the container's shared lock as if its holder had; the first
    waiter goes on at once. Returns whether the lock was held.

    Only for a holder known to be dead: the lock checks no owner, so a slow but
    live holder would later release its successor's lock.
    """
    _, args = _references(container)
    return ray.get(args[4].force_unlock.remote())


def repair_list_counts(lst):
    """Rewrites a QuorList's shared per-chunk counts and last chunk in use from
    the chunks its actors hold, under the list's lock. Returns (before, after).

    A list publishes its counts at each append, insert, pop, remove and clear,
    and its chunks only when a block ends; a holder that died in between leaves
    counts for elements that no chunk holds. Raises ValueError when the stored
    chunks have an empty chunk between non-empty ones, which counts cannot
    describe.
    """
    from quorlib.quorlist import QuorList

    if not isinstance(lst, QuorList):
        raise TypeError(f"expected a QuorList, got {type(lst).__name__}")
    rebuild, args = lst.__reduce__()
    fresh = rebuild(*args)  # holds no local copy that its block could write back
    chunk_refs, meta = args[0], args[6]
    used_ref, last_ref, _ = meta.__reduce__()[2]
    with fresh:
        before = ray.get(used_ref.get_nocache.remote())
        sizes = [len(ray.get(h.ref.get_nocache.remote())) for h in chunk_refs]
        filled = [i for i, n in enumerate(sizes) if n]
        last = filled[-1] if filled else 0
        if any(n == 0 for n in sizes[:last]):
            raise ValueError(f"stored chunks are not packed (sizes {sizes}); counts cannot describe them")
        ray.get(used_ref.set_nocache.remote(sizes))
        ray.get(last_ref.set_nocache.remote(last))
    return before, sizes
