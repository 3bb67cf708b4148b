"""Chunked container core: chunk handles, the version record and QuorBase."""

from types import TracebackType
from typing import Any, Callable, SupportsIndex, SupportsInt, TypeVar

from typing_extensions import Self, TypeAlias, disjoint_base

from quorlib.messages import Scope
from quorlib.scoped import ScopedBlock

# Integer parameters go through the interpreter's integer conversion (a float
# is truncated) and must fit in a signed 32-bit integer.
_Int: TypeAlias = SupportsInt | SupportsIndex
_B = TypeVar("_B", bound=QuorBase)

@disjoint_base
class QuorChunk:
    """Handle of one chunk: its proxy actor and its local cache object."""

    def __init__(self, ref: Any, cache: Any) -> None: ...
    @property
    def ref(self) -> Any: ...
    @ref.setter
    def ref(self, value: Any) -> None: ...
    @property
    def cache(self) -> Any: ...
    @cache.setter
    def cache(self, value: Any) -> None: ...
    def __reduce__(self) -> tuple[Callable[[Any, Any], QuorChunk], tuple[Any, Any]]: ...
    @staticmethod
    def rebuild(ref: Any, cache: Any) -> QuorChunk: ...

class QuorMeta:
    """Version record of a container: chunk_versions[i] counts the commits of
    chunk i, committed_epochs[i] is the lock epoch of the block that last
    committed chunk i, epoch that of the block that published the record."""

    chunk_versions: list[int]
    committed_epochs: list[int]
    epoch: int
    def __init__(self, num_chunks: _Int) -> None: ...

class WriteBackError(RuntimeError):
    """Writing local chunk copies back to their actors failed; at the end of a
    block, the block was not committed. The failed copies are dropped and the
    first failure is the __cause__."""

    chunks: list[int]

@disjoint_base
class QuorBase:
    """Base of the chunked containers: chunk handles, local copies, the shared
    lock and the version record. Use a container inside `with` blocks."""

    def __init__(
        self,
        num_chunks: _Int = 4,
        value: Any = None,
        lock: Any = None,
        per_chunk_lock: _Int = 0,
        chunk_ref_list: list[QuorChunk] | None = None,
        meta_ref: Any = None,
        length: _Int = -1,
    ) -> None: ...
    def __lock__(self, scope: Scope | None = None) -> None: ...
    def reading(self) -> ScopedBlock: ...
    def __unlock__(self, cache: object = True) -> None: ...
    def flush(self) -> None: ...
    def _flush_chunks_(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

def _unpickle_QuorBase(type: type[_B], checksum: int, state: tuple[Any, ...] | None) -> _B: ...
