"""Helpers shared by the list tests.

The list's private fields are read by name: the base's fields through
basehelp.fields, the list's own references through its pickled form
(ContainerReferences) and the record's through the record's (RECORD_FIELDS).
"""

from basehelp import fields
from quorlib.messages import ContainerReferences
from quorlib.quorbase import QuorChunk, QuorMeta
from quorlib.quorlist import ListChunkMeta, QuorList

# The record's pickled state, in order.
RECORD_FIELDS = ("chunk_used", "last_used_chunk", "max_element_per_chunk")


def list_args(lst):
    """The references a pickled list carries, by name."""
    return ContainerReferences(*lst.__reduce__()[1])._asdict()


def record_state(meta):
    """The record's pickled state: (chunk_used, last_used_chunk, max_element_per_chunk)
    and, for an instance with a __dict__, its contents."""
    reduced = meta.__reduce__()
    return reduced[2] if len(reduced) > 2 else reduced[1][2]


def record_fields(meta):
    """The record's three fields, by name."""
    return dict(zip(RECORD_FIELDS, record_state(meta)))


def record_of(lst):
    return list_args(lst)["meta"]


def recorded_length(lst):
    return fields(lst)["length"]


def resident(lst):
    """The local copies, None for chunks that are not resident."""
    return fields(lst)["chunk_list"]


def counts(fake, lst):
    """The counts every process reads: the last commit's."""
    return fake.value(record_fields(record_of(lst))["chunk_used"])


def block_counts(lst):
    """The counts as the list sees them: inside a block its own copy, which
    commits with the block."""
    return lst._fetch_chunk_usage_and_length(-1)


def last_used(fake, lst):
    return fake.value(record_fields(record_of(lst))["last_used_chunk"])


def stored_chunks(fake, lst):
    return [fake.value(handle.ref) for handle in fields(lst)["chunk_ref_list"]]


def chunk_names(lst):
    return [handle.ref.name for handle in fields(lst)["chunk_ref_list"]]


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
