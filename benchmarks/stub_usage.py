"""Type-checks the stubs of the extension modules; never run.

    MYPYPATH=src mypy --strict --warn-unused-ignores --follow-imports=silent benchmarks/stub_usage.py

Every line marked `type: ignore[...]` is a misuse the stubs must reject: with
--warn-unused-ignores, a stub that stops rejecting it fails the check, and
`assert_type` fails it when a stub's result type drifts.
"""

from __future__ import annotations

import pickle
from typing import Any

from typing_extensions import assert_type

from quorlib.quorbase import QuorBase, QuorChunk, QuorMeta, WriteBackError, _unpickle_QuorBase
from quorlib.quordict import QuorDict
from quorlib.quorlist import ListChunkMeta, QuorList, _unpickle_ListChunkMeta


def dictionary() -> None:
    d: QuorDict[str, int] = QuorDict({"a": 1}, num_chunks=4)
    with d as same:
        assert_type(same, QuorDict[str, int])
        d["b"] = d["a"] + 1
        del d["a"]
        assert_type("b" in d, bool)
        assert_type(len(d), int)
        assert_type(d.keys(), list[str])
        assert_type(d.values(), list[int])
        assert_type(d.items(), list[tuple[str, int]])
        for key in d:
            assert_type(key, str)
        d.clear()
        d["c"] = "three"  # type: ignore[assignment]
        d[3] = 3  # type: ignore[index]
    inferred = QuorDict({1: b"x"})
    assert_type(inferred, QuorDict[int, bytes])
    rebuild, args = d.__reduce__()
    copy = rebuild(*args)
    assert_type(copy, QuorDict[Any, Any])
    assert_type(QuorDict.rebuild(args[0], 4, args[2], 0, args[4], 0), QuorDict[Any, Any])
    QuorDict.rebuild(args[0], 4)  # type: ignore[call-arg]
    QuorDict([("a", 1)])  # type: ignore[arg-type]
    QuorDict(num_chunks="4")  # type: ignore[arg-type]
    QuorDict(num_chunks=4.7, per_chunk_lock=True)
    assert_type(repr(d), str)
    assert_type(pickle.loads(pickle.dumps(d)), Any)


def sequence() -> None:
    meta = ListChunkMeta(max_element_per_chunk=16)
    lst: QuorList[int] = QuorList(num_chunks=2, value=[1, 2], meta=meta)
    with lst:
        lst.append(3)
        lst.extend(range(4))
        lst.insert(0, 0)
        assert_type(lst.pop(), int)
        assert_type(lst.pop(0), int)
        lst.remove(2)
        assert_type(lst.index(3), int)
        assert_type(lst.index(3, 0, -1), int)
        assert_type(lst[0], int)
        lst[-1] = 5
        assert_type(3 in lst, bool)
        assert_type(len(lst), int)
        assert_type(list(lst), list[int])
        assert_type(lst._fetch_chunk_usage_and_length(0), list[int])
        lst.append("x")  # type: ignore[arg-type]
        lst[1:2]  # type: ignore[index]
        lst.clear()
    lst.flush()
    rebuild, args = lst.__reduce__()
    assert_type(args[6], ListChunkMeta)
    assert_type(QuorList.rebuild(*args), QuorList[Any])
    QuorList(value=(1, 2))  # type: ignore[arg-type]
    QuorList(meta=object())  # type: ignore[arg-type]


def deleting_is_refused(lst: QuorList[int]) -> int:
    del lst[0]
    return "never reached"  # __delitem__ never returns, so this is not checked


def base_and_records() -> None:
    chunk = QuorChunk(None, None)
    chunk.ref = "actor"
    assert_type(chunk.cache, Any)
    assert_type(QuorChunk.rebuild(1, 2), QuorChunk)
    QuorChunk(None)  # type: ignore[call-arg]
    assert_type(QuorMeta(3).chunk_versions, list[int])
    base = QuorBase.__new__(QuorBase)
    assert_type(_unpickle_QuorBase(QuorBase, 0x5E1D0C3, None), QuorBase)
    assert_type(_unpickle_ListChunkMeta(ListChunkMeta, 0xC538C24, None), ListChunkMeta)
    base.__lock__()
    base.__unlock__()
    base.__unlock__(cache=False)
    base._flush_chunks_()
    base.__setstate__(base.__reduce__()[2])
    try:
        base.flush()
    except WriteBackError as e:
        assert_type(e.chunks, list[int])
    base.__lock__(1)  # type: ignore[call-arg]
