"""Short, value-free descriptions of failed chunk writes.

Ray's error for an argument it cannot serialise carries the repr of the whole
argument: for a chunk, every key and value it holds, however large or secret.
A write-back failure is named instead by what failed: the key (or position)
whose value cannot be pickled and that value's type, or the remote error's
first line, cut short. The full error stays the exception's cause.
"""

from __future__ import annotations

from typing import Any

__all__ = ["describe_write_failure"]

MESSAGE_CHARS = 200  # what a description keeps of a remote error's message
KEY_CHARS = 60       # what it keeps of a key's repr


def _cut(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _dumps(value: Any) -> None:
    try:
        from ray import cloudpickle as pickler  # what Ray serialises arguments with
    except ImportError:  # pragma: no cover - Ray is a dependency
        import pickle as pickler
    pickler.dumps(value)


def _picklable(value: Any) -> bool:
    try:
        _dumps(value)
    except Exception:
        return False
    return True


def _key_repr(key: Any) -> str:
    try:
        return _cut(repr(key), KEY_CHARS)
    except Exception:
        return f"of type {type(key).__qualname__!r}"


def _unpicklable_part(contents: Any) -> str | None:
    """What in a chunk cannot be pickled, by key or position and type, or None
    when each part pickles on its own."""
    if isinstance(contents, dict):
        for key, value in contents.items():
            if not _picklable(key):
                return f"a key of type {type(key).__qualname__!r} cannot be pickled"
            if not _picklable(value):
                return (f"the value under key {_key_repr(key)} (of type "
                        f"{type(value).__qualname__!r}) cannot be pickled")
    elif isinstance(contents, list):
        for position, value in enumerate(contents):
            if not _picklable(value):
                return (f"the element at position {position} of the chunk (of type "
                        f"{type(value).__qualname__!r}) cannot be pickled")
    return None


def describe_write_failure(error: BaseException, contents: Any = None) -> str:
    """A few hundred characters at most, naming no stored value. `contents` is
    the chunk when sending its write failed, which is where Ray fails a chunk
    it cannot serialise; None for an error that the call itself returned."""
    if contents is not None and not _picklable(contents):
        part = _unpicklable_part(contents)
        return part if part is not None else "the chunk's contents cannot be pickled"
    # An actor's error comes wrapped, its first line the actor's place: the
    # error it raised says what happened.
    cause = getattr(error, "cause", None)
    if isinstance(cause, BaseException):
        error = cause
    try:
        text = str(error)
    except Exception:
        text = ""
    first_line = text.strip().splitlines()[0] if text.strip() else type(error).__qualname__
    return _cut(first_line, MESSAGE_CHARS)
