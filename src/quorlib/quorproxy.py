"""Remote holders of chunk contents and shared records.

A ``QuorProxy`` actor stores one value: a chunk's dict or list, a container's
version record, or a list's usage counts. Every read returns a copy of the
value as last written and every write replaces it whole; the actor serves one
call at a time, so a value read after a completed write, from any process, is
that write.
"""

import itertools
import os
import uuid

import ray

__all__ = ["QuorProxy", "gen_quor_id", "QuorCacheLocalMSI", "QuorCacheDirMSI"]


class QuorCacheLocalMSI:
    """A chunk handle's local cache state. Carried with the handle; the
    containers keep coherence through their version record instead."""

    __slots__ = ()

    def __reduce__(self):
        return (QuorCacheLocalMSI, ())


class QuorCacheDirMSI:
    """The directory side of a chunk proxy: remembers the last requester that
    read and wrote the chunk, which is what an operator wants to know when
    looking at a stuck or contended chunk."""

    __slots__ = ("last_reader", "last_writer")

    def __init__(self):
        self.last_reader = None
        self.last_writer = None


# Actors reserve no CPU: a container has one actor per chunk plus a lock and a
# record, and a small machine must hold many of them.
@ray.remote(num_cpus=0)
class QuorProxy:
    def __init__(self, value, cache_class=None):
        self._value = value
        self._directory = cache_class() if cache_class is not None else None

    def get(self, requester_id):
        if self._directory is not None:
            self._directory.last_reader = requester_id
        return self._value

    def set(self, requester_id, value):
        if self._directory is not None:
            self._directory.last_writer = requester_id
        self._value = value

    def get_nocache(self):
        return self._value

    def set_nocache(self, value):
        self._value = value

    def directory(self):
        """(last reader, last writer) of a cached proxy, or None."""
        d = self._directory
        return None if d is None else (d.last_reader, d.last_writer)


_ids = itertools.count()
_id_pid = None
_id_prefix = None


def gen_quor_id():
    """A requester identifier unique across processes: a random per-process
    prefix (renewed after a fork) and a counter."""
    global _id_pid, _id_prefix
    pid = os.getpid()
    if pid != _id_pid:
        _id_pid, _id_prefix = pid, uuid.uuid4().hex[:16]
    return f"{_id_prefix}-{next(_ids)}"
