"""The lock protocol of a container: order of remote calls, stale copies,
write-back, failures, and the locks never being left taken."""

import gc
import threading

import pytest

import quorlib.quorbase as qb
from basehelp import Plain, adopted_base, fields, set_fields
from quorlib.quorbase import QuorBase, QuorMeta, WriteBackError
from quorlib.quordict import QuorDict
from quorlib.quorlist import QuorList


class Clock:
    def __init__(self, now):
        self.now = now

    def time(self):
        return self.now

    def sleep(self, seconds):
        pass


@pytest.fixture
def three(fake):
    """A base over three chunks, locked once (so it holds the record), then
    with chunks 0 and 2 resident."""
    obj, proxies, meta_ref = adopted_base(fake, [{"a": 0}, {"b": 1}, {"c": 2}])
    with obj:
        pass
    set_fields(obj, chunk_list=[{"a": 10}, None, {"c": 12}])
    fake.take_log()
    return obj, [p.name for p in proxies], meta_ref.name


def test_with_block_order(fake, three):
    obj, (c0, c1, c2), meta = three
    with obj as entered:
        assert entered is obj
        assert fake.take_log() == ["local.acquire", "lock0.lock", f"{meta}.get_nocache"]
    assert fake.take_log() == [f"{c0}.set", f"{c2}.set", f"{meta}.set_nocache", "lock0.unlock",
                               "local.release"]
    assert fake.value(c0) == {"a": 10} and fake.value(c1) == {"b": 1}
    assert fields(obj)["chunk_list"] == [{"a": 10}, None, {"c": 12}]  # copies stay resident


def test_with_block_that_raises_unlocks_in_order_and_propagates(fake, three):
    obj, (c0, _, c2), meta = three
    with pytest.raises(KeyError):
        with obj:
            raise KeyError("inside")
    assert fake.log == ["local.acquire", "lock0.lock", f"{meta}.get_nocache", f"{c0}.set",
                        f"{c2}.set", f"{meta}.set_nocache", "lock0.unlock", "local.release"]
    assert not fields(obj)["_local_lock"].locked()


@pytest.mark.parametrize("shared,dropped", [
    ([0, 1, 0], [1]),        # another holder fetched chunk 1 since
    ([5, 0, 5], [0, 2]),
    ([0, 0, 0], []),         # equal: nothing dropped
    ([-1, -1, -1], []),      # smaller: nothing dropped
])
def test_lock_drops_exactly_the_stale_copies(fake, shared, dropped):
    obj, proxies, meta_ref = adopted_base(fake, [{}, {}, {}])
    set_fields(obj, _quor_meta=QuorMeta(3), chunk_list=[{"x": 0}, {"y": 1}, {"z": 2}])
    record = QuorMeta(3)
    record.chunk_versions = shared
    fake.actor(meta_ref).value = record
    obj.__lock__()
    try:
        resident = [i for i, c in enumerate(fields(obj)["chunk_list"]) if c is not None]
        assert resident == [i for i in range(3) if i not in dropped]
        assert fields(obj)["_quor_meta"].chunk_versions == shared
    finally:
        obj.__unlock__()
    # Dropped copies are not written back.
    assert [e for e in fake.log if e.endswith(".set")] == [
        f"{proxies[i].name}.set" for i in range(3) if i not in dropped]


def test_first_lock_of_an_adopting_instance_adopts_the_record(fake):
    obj, _, meta_ref = adopted_base(fake, [{}, {}], versions=[3, 4])
    assert fields(obj)["_quor_meta"] is None
    with obj:
        assert fields(obj)["_quor_meta"].chunk_versions == [3, 4]


def test_flush_writes_exactly_the_resident_chunks(fake, three):
    obj, (c0, _, c2), _ = three
    obj.flush()
    assert fake.take_log() == [f"{c0}.set", f"{c2}.set"]
    obj._flush_chunks_()
    assert fake.take_log() == [f"{c0}.set", f"{c2}.set"]
    assert fields(obj)["chunk_list"] == [{"a": 10}, None, {"c": 12}]
    set_fields(obj, chunk_list=[None, None, None])
    obj.flush()
    assert fake.log == []


def test_failed_write_is_raised_after_trying_every_chunk(fake, three, capsys):
    obj, (c0, _, c2), _ = three
    set_fields(obj, _last_msg_time=0)
    boom = RuntimeError("boom")
    fake.actor(c0).fail("set", boom)
    with pytest.raises(WriteBackError) as e:
        obj.flush()
    assert e.value.chunks == [0] and e.value.__cause__ is boom
    assert str(e.value) == "write-back failed for chunks [0]"
    assert fake.log == [f"{c0}.set", f"{c2}.set"]
    assert fake.value(c2) == {"c": 12}
    assert fields(obj)["chunk_list"][0] == {"a": 10}  # the failed copy stays resident
    assert "Exception for evicting chunk 0: RuntimeError :: boom" in capsys.readouterr().out


def test_failure_line_is_rate_limited_to_one_per_second(fake, three, monkeypatch, capsys):
    obj, (c0, _, c2), _ = three
    set_fields(obj, _last_msg_time=100)
    fake.actor(c2).fail("set", RuntimeError("boom"))
    clock = Clock(100.7)
    monkeypatch.setattr(qb, "time", clock)
    with pytest.raises(WriteBackError):
        obj.flush()
    assert capsys.readouterr().out == ""
    clock.now = 101.3
    with pytest.raises(WriteBackError):
        obj.flush()
    assert capsys.readouterr().out == "Exception for evicting chunk 2: RuntimeError :: boom\n"
    assert fields(obj)["_last_msg_time"] == 101
    clock.now = 101.9
    with pytest.raises(WriteBackError):
        obj.flush()
    assert capsys.readouterr().out == ""


def test_interrupt_during_write_back_propagates(fake, three):
    obj, (c0, _, _), _ = three
    fake.actor(c0).fail("set", KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        obj.flush()


def test_unlock_after_failed_write_publishes_releases_and_raises(fake, three):
    obj, (c0, _, c2), meta = three
    fake.actor(c2).fail("set", RuntimeError("down"))
    with pytest.raises(WriteBackError) as e:
        with obj:
            pass
    assert e.value.chunks == [2]
    assert fake.log[-5:] == [f"{c0}.set", f"{c2}.set", f"{meta}.set_nocache", "lock0.unlock",
                             "local.release"]
    fake.actor(c2).clear_failures()
    with obj:  # neither lock was left taken
        pass


@pytest.mark.parametrize("failing", ["lock", "record"])
def test_failed_lock_releases_what_it_took(fake, three, failing):
    obj, _, meta = three
    if failing == "lock":
        fake.actor("lock0").fail("lock", RuntimeError("lock actor died"), times=1)
        expected = ["local.acquire", "lock0.lock", "local.release"]
    else:
        fake.actor(meta).fail("get_nocache", RuntimeError("record actor died"), times=1)
        expected = ["local.acquire", "lock0.lock", f"{meta}.get_nocache", "lock0.unlock",
                    "local.release"]
    with pytest.raises(RuntimeError, match="died"):
        obj.__lock__()
    assert fake.take_log() == expected
    with obj:
        pass


def test_unlock_without_holding_refused_before_any_write(fake, three):
    obj, _, _ = three
    with pytest.raises(RuntimeError):
        obj.__unlock__()
    obj.__lock__()
    fake.take_log()
    errors = []

    def other_thread():
        try:
            obj.__unlock__()
        except RuntimeError as exc:
            errors.append(exc)

    t = threading.Thread(target=other_thread)
    t.start()
    t.join()
    assert len(errors) == 1 and fake.log == []
    obj.__unlock__(False)
    with pytest.raises(RuntimeError):
        obj.__unlock__()


def test_unlock_publishes_no_record_it_never_read(fake, three):
    obj, _, meta = three
    obj.__lock__()
    set_fields(obj, _quor_meta=None)
    obj.__unlock__()
    assert f"{meta}.set_nocache" not in fake.log
    assert isinstance(fake.value(meta), QuorMeta)


def test_missing_record_reference_is_an_assertion_and_releases(fake, three):
    obj, _, _ = three
    set_fields(obj, _quor_meta_ref=None)
    with pytest.raises(AssertionError) as e:
        obj.__lock__()
    assert str(e.value) == "Metadata reference must be initialized"
    assert not fields(obj)["_local_lock"].locked()


def test_argument_counts(fake, three):
    obj, _, _ = three
    with pytest.raises(TypeError):
        obj.__lock__(1)
    with pytest.raises(TypeError):
        obj.flush(1)
    with pytest.raises(TypeError):
        obj.__exit__(None, None)
    with pytest.raises(TypeError):
        obj.__unlock__(True, 2)
    obj.__enter__()
    obj.__exit__(exc_type=None, exc_value=None, traceback=None)


def test_python_subclass_overrides_are_used_by_the_with_block(fake):
    calls = []

    class Traced(Plain):
        def __lock__(self):
            calls.append("lock")
            super().__lock__()

        def _flush_chunks_(self):
            calls.append("flush")
            super()._flush_chunks_()

    obj, _, _ = adopted_base(fake, [{}], cls=Traced)
    with obj:
        pass
    assert calls == ["lock", "flush"]


def test_finaliser_joins_the_invalidation_threads(fake):
    obj, _, _ = adopted_base(fake, [{}, {}])
    done = threading.Event()
    t = threading.Thread(target=lambda: (threading.Event().wait(0.05), done.set()))
    t.start()
    set_fields(obj, _quor_inval_threads=[None, t])
    del obj
    assert done.is_set()


def _refused(construct, error):
    def attempt():
        with pytest.raises(error):
            construct()
    return attempt


@pytest.mark.parametrize("attempt", [
    _refused(lambda: Plain(0), ValueError),
    _refused(lambda: QuorList(["a", "b"]), TypeError),             # num_chunks comes first
    _refused(lambda: QuorDict([1, 2], 2), TypeError),
    _refused(lambda: QuorList(2, [1], meta="a record"), TypeError),
    lambda: QuorBase.__new__(Plain),                                # allocated, never constructed
    lambda: QuorList.__new__(QuorList),
], ids=["no chunks", "list without num_chunks", "dict from a list", "bad meta", "base allocated",
        "list allocated"])
def test_freeing_an_instance_never_constructed_reports_nothing(fake, monkeypatch, attempt):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    attempt()
    gc.collect()
    assert seen == []
