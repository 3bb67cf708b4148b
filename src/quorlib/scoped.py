"""The blocks that take less than a whole container: `d.locking(*keys)`,
`c.reading()` and `d.reading(*keys)` return one, to use in a `with` statement.

A block on some keys takes only the chunks that hold them; a reading block
takes every chunk (or those of its keys), shared with other readers, to read
only (Note [Blocks side by side] in quorlib.lockstate). Either ends as `with c:` does: it commits
whole when its body ends normally and commits nothing when its body raises.
"""

from __future__ import annotations

from typing import Any

from quorlib.messages import Scope

__all__ = ["ScopedBlock"]


class ScopedBlock:
    """`with block:` holds `container` for `scope`, and gives the container."""

    __slots__ = ("container", "scope")

    def __init__(self, container: Any, scope: Scope) -> None:
        self.container = container
        self.scope = scope

    def __enter__(self) -> Any:
        self.container.__lock__(self.scope)
        return self.container

    def __exit__(self, exc_type: Any, exc: Any, traceback: Any) -> None:
        self.container.__exit__(exc_type, exc, traceback)

    def __repr__(self) -> str:
        scope = self.scope
        taken = "every chunk" if scope.chunks is None else f"chunks {list(scope.chunks)}"
        return (f"<ScopedBlock of {type(self.container).__name__}: {taken}"
                f"{', to read' if scope.shared else ''}>")
