"""Helpers shared by the list tests (this module holds no tests).

The list's private fields are read through the pickled forms: the base's
by-value state for the local fields, the list's own form for the record.
"""

from quorlib.quorbase import QuorBase, QuorChunk, QuorMeta
from quorlib.quorlist import ListChunkMeta, QuorList


def record_state(meta):
    """(chunk_used, last_used_chunk, max_element_per_chunk) of a record."""
    reduced = meta.__reduce__()
    return reduced[2] if len(reduced) > 2 else reduced[1][2]


def record_of(lst):
    return lst.__reduce__()[1][6]


def local_state(lst):
    return QuorBase.__reduce__(lst)[2]


def recorded_length(lst):
    return local_state(lst)[9]


def resident(lst):
    """The local copies, None for chunks that are not resident."""
    return local_state(lst)[7]


def counts(fake, lst):
    return fake.value(record_state(record_of(lst))[0])


def last_used(fake, lst):
    return fake.value(record_state(record_of(lst))[1])


def stored_chunks(fake, lst):
    return [fake.value(handle.ref) for handle in lst.__reduce__()[1][0]]


def chunk_names(lst):
    return [handle.ref.name for handle in lst.__reduce__()[1][0]]


def adopted(fake, chunks, last=None, capacity=1024, usage=None, cls=QuorList):
    """A list built around proxies holding `chunks`, as a pickled list would be.

    `usage` overrides the stored counts (to make them disagree with the chunks).
    """
    usage = [len(c) for c in chunks] if usage is None else usage
    if last is None:
        last = max([i for i, n in enumerate(usage) if n], default=0)
    refs = [QuorChunk(fake.QuorProxy.remote(list(c), None), None) for c in chunks]
    meta = ListChunkMeta(fake.QuorProxy.remote(last, None), capacity,
                         fake.QuorProxy.remote(list(usage), None))
    lock = fake.QuorLock.remote()
    meta_ref = fake.QuorProxy.remote(QuorMeta(len(chunks)), None)
    lst = cls(len(chunks), None, lock, 0, refs, meta_ref, sum(usage), meta)
    fake.take_log()
    return lst
