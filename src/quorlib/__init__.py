"""Distributed dictionary and list for Ray programs.

Contents are split into chunks, each held by its own Ray actor; a process works
on local copies of the chunks it touched inside a ``with`` block that takes the
container's shared lock, and writes them back when the block ends.
"""

from quorlib.quorbase import QuorBase, QuorChunk, QuorMeta, WriteBackError
from quorlib.quordict import QuorDict
from quorlib.quorlist import ListChunkMeta, QuorList

__all__ = ["QuorBase", "QuorChunk", "QuorMeta", "WriteBackError", "QuorDict", "QuorList", "ListChunkMeta"]
__version__ = "0.1.0"
