"""Distributed list: consecutive chunks, each held by its own Ray actor, with
the per-chunk counts shared through a ListChunkMeta record."""

from typing import (
    Any,
    Callable,
    Generic,
    Iterable,
    Iterator,
    NoReturn,
    SupportsIndex,
    SupportsInt,
    TypeVar,
)

from types import GenericAlias

from typing_extensions import TypeAlias, disjoint_base

from quorlib.quorbase import QuorBase, QuorChunk

_Int: TypeAlias = SupportsInt | SupportsIndex
_T = TypeVar("_T")
_M = TypeVar("_M", bound=ListChunkMeta)

@disjoint_base
class ListChunkMeta:
    """Usage record of a QuorList: the chunk capacity and the handles of the two
    proxies that hold the per-chunk counts and the last chunk in use."""

    def __init__(
        self,
        last_used_chunk: Any = None,
        max_element_per_chunk: _Int = 1024,
        chunk_used: Any = None,
    ) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

def _unpickle_ListChunkMeta(type: type[_M], checksum: int, state: tuple[Any, ...] | None) -> _M: ...

@disjoint_base
class QuorList(QuorBase, Generic[_T]):
    """Distributed list of consecutive chunks, each held by its own Ray actor.
    Use it inside `with lst:` blocks."""

    def __class_getitem__(cls, item: Any, /) -> GenericAlias: ...
    def __init__(
        self,
        num_chunks: _Int = 32,
        value: list[_T] | None = None,
        lock: Any = None,
        per_chunk_lock: _Int = 0,
        chunk_ref_list: list[QuorChunk] | None = None,
        meta_ref: Any = None,
        length: _Int = -1,
        meta: ListChunkMeta | None = None,
    ) -> None: ...
    def append(self, item: _T) -> None: ...
    def extend(self, items: Iterable[_T]) -> None: ...
    def insert(self, index: _Int, item: _T) -> None: ...
    def pop(self, index: _Int = -1) -> _T: ...
    def remove(self, item: _T) -> None: ...
    def clear(self) -> None: ...
    def index(self, item: _T, start: _Int = 0, end: _Int = -1) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...
    def __iter__(self) -> Iterator[_T]: ...
    def __len__(self) -> int: ...
    def __getitem__(self, key: _Int, /) -> _T: ...
    def __setitem__(self, key: _Int, value: _T, /) -> None: ...
    def __delitem__(self, key: Any, /) -> NoReturn: ...
    def _fetch_chunk_usage_and_length(self, index: _Int) -> list[int]: ...
    @staticmethod
    def rebuild(
        chunk_ref_list: list[QuorChunk],
        num_chunks: _Int,
        meta_ref: Any,
        length: _Int,
        lock: Any,
        per_chunk_lock: _Int,
        meta: ListChunkMeta,
    ) -> QuorList[Any]: ...
    def __reduce__(
        self,
    ) -> tuple[
        Callable[..., QuorList[Any]],
        tuple[list[QuorChunk], int, Any, int, Any, int, ListChunkMeta],
    ]: ...
    def __repr__(self) -> str: ...
