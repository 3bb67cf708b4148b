"""How a QuorDict places keys of classes whose ``__hash__`` is written in
Python. The interpreter hashes an ``Enum`` member by its name and a
dataclass by a tuple of fields, both through the per-process salted string
hash; the chunk must instead come from the same values hashed the same way
in every process. ``quorlib.quordict`` asks once per class and keeps the
answer for as long as the class lives.
"""

import dataclasses
import enum

_ENUM_HASH = enum.Enum.__dict__["__hash__"]


def hashed_attributes(key):
    """The names of the attributes of ``key`` whose values, taken as a tuple,
    place it; None when its class's own ``__hash__`` places it."""
    owner = next((c for c in type(key).__mro__ if "__hash__" in c.__dict__), None)
    if owner is None:
        return None
    own_hash = owner.__dict__["__hash__"]
    if own_hash is _ENUM_HASH:
        # Members compare by identity and unpickle to the member of the same
        # name, so the name is all that equal members share.
        return ("_name_",)
    params = owner.__dict__.get("__dataclass_params__")
    if params is None or not (params.unsafe_hash or (params.eq and params.frozen)):
        return None
    names = tuple(f.name for f in dataclasses.fields(owner) if (f.compare if f.hash is None else f.hash))
    # The decorator keeps a __hash__ written in the class body; only the one
    # it generates hashes this tuple, and then it always does.
    if own_hash(key) != hash(tuple(getattr(key, name) for name in names)):
        return None
    return names
