"""Distributed dictionary: items split by key hash over chunks, each chunk held
by its own Ray actor."""

from typing import Any, Callable, Generic, Iterator, SupportsIndex, SupportsInt, TypeVar

from types import GenericAlias

from typing_extensions import TypeAlias

from quorlib.quorbase import QuorBase, QuorChunk

_Int: TypeAlias = SupportsInt | SupportsIndex
_K = TypeVar("_K")
_V = TypeVar("_V")

class QuorDict(QuorBase, Generic[_K, _V]):
    """A dictionary whose items are split by key hash over num_chunks chunks,
    each held by its own Ray actor. Use it inside `with d:` blocks."""

    def __class_getitem__(cls, item: Any, /) -> GenericAlias: ...
    def __init__(
        self,
        value: dict[_K, _V] | None = None,
        num_chunks: _Int = 32,
        lock: Any = None,
        per_chunk_lock: _Int = 0,
        chunk_ref_list: list[QuorChunk] | None = None,
        meta_ref: Any = None,
        length: _Int = -1,
    ) -> None: ...
    def __getitem__(self, key: _K, /) -> _V: ...
    def __setitem__(self, key: _K, value: _V, /) -> None: ...
    def __delitem__(self, key: _K, /) -> None: ...
    def __contains__(self, key: object, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_K]: ...
    def keys(self) -> list[_K]: ...
    def values(self) -> list[_V]: ...
    def items(self) -> list[tuple[_K, _V]]: ...
    def clear(self) -> None: ...
    @staticmethod
    def rebuild(
        chunk_ref_list: list[QuorChunk],
        num_chunks: _Int,
        meta_ref: Any,
        length: _Int,
        lock: Any,
        per_chunk_lock: _Int,
    ) -> QuorDict[Any, Any]: ...
    def __reduce__(
        self,
    ) -> tuple[Callable[..., QuorDict[Any, Any]], tuple[list[QuorChunk], int, Any, int, Any, int]]: ...
    def __repr__(self) -> str: ...
