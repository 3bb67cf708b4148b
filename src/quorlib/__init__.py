"""Distributed dictionary and list for Ray programs.

Contents are split into chunks, each held by its own Ray actor; a process works
on local copies of the chunks it touched inside a ``with`` block that takes the
container's shared lock, and writes them back when the block ends.
"""

import importlib
from typing import TYPE_CHECKING

if TYPE_CHECKING:  # type checkers see the classes; at run time they load on first use
    from quorlib.quorbase import QuorBase, QuorChunk, QuorMeta, WriteBackError
    from quorlib.quordict import QuorDict
    from quorlib.quorlist import ListChunkMeta, QuorList

__version__ = "0.1.0"

_EXPORTS = {
    "QuorBase": "quorlib.quorbase",
    "QuorChunk": "quorlib.quorbase",
    "QuorMeta": "quorlib.quorbase",
    "WriteBackError": "quorlib.quorbase",
    "QuorDict": "quorlib.quordict",
    "QuorList": "quorlib.quorlist",
    "ListChunkMeta": "quorlib.quorlist",
}
__all__ = sorted(_EXPORTS)


def __getattr__(name: str) -> object:
    # Loaded on first use: importing one container module must not require the others.
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'quorlib' has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(list(globals()) + __all__)
