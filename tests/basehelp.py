"""Reading and setting QuorBase's private fields through its by-value state."""

from quorlib.quorbase import QuorBase, QuorChunk, QuorMeta

FIELDS = (
    "_last_msg_time", "_local_lock", "_lock", "_quor_free_to_use", "_quor_inval_threads",
    "_quor_meta", "_quor_meta_ref", "chunk_list", "chunk_ref_list", "length", "num_chunks",
    "per_chunk_lock",
)


def fields(obj):
    """The twelve fields of a constructed container, by name."""
    _, _, state = QuorBase.__reduce__(obj)[:3]
    return dict(zip(FIELDS, state))


def set_fields(obj, **changes):
    state = fields(obj)
    state.update(changes)
    QuorBase.__setstate__(obj, tuple(state[name] for name in FIELDS))


class Plain(QuorBase):
    """A container defined in Python: the base around adopted chunk handles."""


def adopted_base(fake, contents, cls=Plain, versions=None):
    """A base around proxies holding `contents`, sharing a fresh lock and record."""
    chunks = [QuorChunk(fake.QuorProxy.remote(c, None), None) for c in contents]
    meta = QuorMeta(len(contents))
    if versions is not None:
        meta.chunk_versions = list(versions)
    meta_ref = fake.QuorProxy.remote(meta, None)
    lock = fake.QuorLock.remote()
    obj = cls(len(contents), None, lock, 0, chunks, meta_ref, 0)
    return obj, [c.ref for c in chunks], meta_ref
