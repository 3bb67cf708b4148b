"""The lock protocol of a container: order of remote calls, epochs, stale
copies, write-back and its commit, aborted blocks, and the locks never being
left taken."""

import gc
import threading

import pytest

import quorlib.quorbase as qb
from basehelp import Plain, adopted_base, fields, set_fields
from quorlib.quorbase import QuorBase, QuorMeta, WriteBackError
from quorlib.quordict import QuorDict
from quorlib.quorlist import QuorList
from quorlib.quorproxy import StaleEpochError, WriteConflictError


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


def calls_to(fake, method):
    return [(actor, args) for actor, m, args, _ in fake.calls if m == method]


def forget_records(fake, lock="lock0"):
    """The lock no longer knows any record: the next grant brings none."""
    fake.actor(lock).state.records.clear()


def test_with_block_order(fake, three):
    obj, (c0, c1, c2), meta = three
    with obj as entered:
        assert entered is obj
        # The process registered with the lock in the fixture's block: one call
        # now, which brings the record as that block left it.
        assert fake.take_log() == ["local.acquire", "lock0.acquire"]
    assert fake.take_log() == [f"{c0}.set", f"{c2}.set", f"{meta}.publish", "lock0.release",
                               "local.release"]
    assert fake.value(c0) == {"a": 10} and fake.value(c1) == {"b": 1}
    assert fields(obj)["chunk_list"] == [{"a": 10}, None, {"c": 12}]  # copies stay resident
    # The fixture's block was epoch 1 and wrote nothing; this one is epoch 2.
    # Requester ids are (id, holder epoch, committed epoch).
    assert [args[0][1:] for _, args in calls_to(fake, "set")] == [(2, 0), (2, 0)]
    (_, (epoch, record, *after)), = calls_to(fake, "publish")[-1:]
    assert epoch == 2 and record.epoch == 2 and record.committed_epochs == [2, 0, 2]
    assert after == [None, None]  # it ran after the two writes, given their results
    assert fake.value(meta).committed_epochs == [2, 0, 2]


def test_a_block_that_wrote_nothing_registers_once_and_publishes_nothing(fake):
    obj, (c0,), meta = adopted_base(fake, [{"a": 0}])
    fake.take_log()
    for _ in range(2):
        with obj:
            pass
    assert fake.registrations("lock0") == 1
    assert fake.log == ["local.acquire", "lock0.acquire", f"{meta.name}.get_nocache",
                        "lock0.release", "local.release",
                        "local.acquire", "lock0.acquire", "lock0.release", "local.release"]
    assert fake.value(meta).epoch == 0  # nothing committed


def test_versions_count_commits_not_fetches(fake):
    from quorlib.quordict import QuorDict
    d = QuorDict({0: "a", 1: "b", 2: "c"}, 3)  # key i lives in chunk i
    c0, c1, c2 = (h.ref.name for h in fields(d)["chunk_ref_list"])
    meta = fields(d)["_quor_meta_ref"].name
    with d:
        assert list(d.values()) == ["a", "b", "c"]  # fetches every chunk
        assert fields(d)["_quor_meta"].chunk_versions == [0, 0, 0]
        d[1] = "B"
    assert fake.value(meta).chunk_versions == [0, 1, 0]
    assert fields(d)["_quor_meta"].chunk_versions == [0, 1, 0]
    fake.take_log()
    with d:  # every copy is what its actor holds: nothing written, nothing published
        d[0], d[2]
    assert fake.take_log() == ["local.acquire", "lock0.acquire", "lock0.release", "local.release"]
    assert fake.value(meta).chunk_versions == [0, 1, 0] and fake.value(meta).epoch == 1
    # A holder without a shared lock commits through the same record.
    set_fields(d, _lock=None)  # (also forgets what the copies were: all written once)
    with d:
        d[2] = "C"
    assert fake.take_log() == ["local.acquire", f"{meta}.get_nocache", f"{c0}.set", f"{c1}.set",
                               f"{c2}.set", f"{meta}.set_nocache", "local.release"]
    assert fake.value(meta).chunk_versions == [1, 2, 1] and fake.value(c2) == {2: "C"}


def test_with_block_that_raises_unlocks_in_order_and_propagates(fake, three):
    obj, (c0, _, c2), meta = three
    with pytest.raises(KeyError):
        with obj:
            raise KeyError("inside")
    # Nothing of it commits: its copies that may differ go, the lock is released.
    assert fake.log == ["local.acquire", "lock0.acquire", "lock0.release", "local.release"]
    assert fields(obj)["chunk_list"] == [None, None, None]
    assert not fields(obj)["_local_lock"].locked()


def test_nested_block_on_the_same_container_is_refused(fake, three):
    obj, _, _ = three
    with obj:
        fake.take_log()
        with pytest.raises(RuntimeError) as e:
            with obj:
                pass
        assert str(e.value) == ("this thread already holds this container's lock: blocks on "
                                "the same container cannot be nested")
        assert fake.take_log() == []
    assert fake.take_log()[-2:] == ["lock0.release", "local.release"]
    with obj:  # the outer block released everything
        pass


RAY_DOWN = ("Ray is not running: a quorlib container can only be used while the Ray it was "
            "created in is initialized")


def test_use_without_ray_is_refused_before_any_call(fake, capsys):
    from quorlib.quordict import QuorDict
    d = QuorDict({"a": 1, "b": 2}, num_chunks=2)
    with d:
        d["a"] = 3
    set_fields(d, chunk_list=[None, None], _last_msg_time=0)
    fake.take_log()
    fake.initialized = False
    for use in (d.__lock__, d.flush, lambda: d["a"], lambda: len(d)):
        with pytest.raises(RuntimeError) as e:
            use()
        assert str(e.value) == RAY_DOWN
    assert not fields(d)["_local_lock"].locked()
    # The finaliser of a changed copy reports the refusal by its line, nothing else.
    set_fields(d, chunk_list=[{}, {}])
    d["a"] = 4  # resident: no remote call, but the copy is changed
    del d
    assert capsys.readouterr().out.endswith(f"RuntimeError :: {RAY_DOWN}\n")
    assert [e for e in fake.take_log() if not e.startswith("local.")] == []


def test_ray_stopped_inside_a_block_still_frees_the_local_lock(fake):
    from quorlib.quordict import QuorDict
    d = QuorDict({"a": 1}, num_chunks=1)
    with pytest.raises(WriteBackError) as e:
        with d:
            d["a"] = 2
            fake.initialized = False
    assert RAY_DOWN in str(e.value)
    assert not fields(d)["_local_lock"].locked()
    fake.initialized = True


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


def test_flush_writes_exactly_the_resident_chunks_that_may_differ(fake, three):
    obj, (c0, _, c2), _ = three
    set_fields(obj, chunk_list=[{"a": 10}, None, {"c": [12]}])  # copies of unknown origin
    obj.flush()
    assert fake.take_log() == [f"{c0}.set", f"{c2}.set"]
    # Chunk 0 is now what its actor holds; chunk 2 holds a list, which may change in place.
    fields(obj)["chunk_list"][2]["c"].append(13)
    obj._flush_chunks_()
    assert fake.take_log() == [f"{c2}.set"]
    assert fake.value(c2) == {"c": [12, 13]}
    assert fields(obj)["chunk_list"] == [{"a": 10}, None, {"c": [12, 13]}]
    set_fields(obj, chunk_list=[None, None, None])
    obj.flush()
    assert fake.log == []


def test_chunks_move_in_waves_and_the_commit_goes_with_the_release(fake, carry):
    d = QuorDict({i: str(i) for i in range(6)}, 3)
    chunks = [h.ref.name for h in fields(d)["chunk_ref_list"]]
    with d:
        pass
    fake.take_log()
    with d:
        assert sorted(d.items()) == [(i, str(i)) for i in range(6)]
        for k in (0, 2):
            d[k] = "x"
    # The fetches go out together. Small chunks travel in the release, which
    # commits the block and hands the lock on; the control writes them to their
    # slots afterwards. Larger ones are written first, the release after them.
    events = fake.events
    assert events[:9] == [
        "local.acquire", "lock0.acquire", "wait", *(f"{c}.get" for c in chunks), "wait", "wait", "wait"]
    if carry:
        assert events[9:12] == ["lock0.release", f"{chunks[0]}.install", f"{chunks[2]}.install"]
    else:
        assert events[9:12] == [f"{chunks[0]}.set", f"{chunks[2]}.set", "lock0.release"]
    assert events[12:] == ["wait", "local.release"]  # the release's outcome tells all
    assert len(fake.take_commits()) == 1 and fake.value(chunks[2]) == {2: "x", 5: "5"}


def test_failed_write_is_raised_after_trying_every_chunk(fake, three, capsys):
    obj, (c0, _, c2), _ = three
    set_fields(obj, _last_msg_time=0)
    boom = RuntimeError("boom")
    fake.actor(c0).fail("set", boom)
    fake.actor(c2).fail("set", ValueError("bad"))
    with pytest.raises(WriteBackError) as e:
        obj.flush()
    assert e.value.chunks == [0, 2] and e.value.__cause__ is boom
    assert str(e.value) == ("write-back failed for chunk 0 (RuntimeError: boom); "
                            "chunk 2 (ValueError: bad)")
    assert fake.log == [f"{c0}.set", f"{c2}.set"]
    # The failed copies are dropped: a reported change never reaches the actor later.
    assert fields(obj)["chunk_list"] == [None, None, None]
    assert capsys.readouterr().out == ""  # raised, so not printed as well


def test_failure_line_is_rate_limited_to_one_per_second(fake, monkeypatch, capsys):
    # Only failures that are not raised are printed: the finaliser's.
    d = QuorDict({"c": 0}, 1)
    fake.actor(fields(d)["chunk_ref_list"][0].ref).fail("set", RuntimeError("boom"))
    set_fields(d, _last_msg_time=100)
    clock = Clock(100.7)
    monkeypatch.setattr(qb, "time", clock)

    def finalise():
        d["c"] = 12  # a failed copy is dropped: changed anew each time
        d.__del__()

    finalise()
    assert capsys.readouterr().out == ""
    clock.now = 101.3
    finalise()
    assert capsys.readouterr().out == "Exception for evicting chunk 0: RuntimeError :: boom\n"
    assert fields(d)["_last_msg_time"] == 101
    clock.now = 101.9
    finalise()
    assert capsys.readouterr().out == ""


def test_interrupt_during_write_back_propagates(fake, three):
    obj, (c0, _, _), _ = three
    fake.actor(c0).fail("set", KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        obj.flush()


def test_an_interrupt_while_the_commit_settles_waits_for_it(fake, three, monkeypatch):
    # A task cancelled while its block's end is waited for: the writes, the
    # publish and the release are already on their way and the block commits.
    # Rolling back now would undo writes that the published record names.
    obj, (c0, c1, c2), meta = three
    real_get = fake.get
    interrupted = []

    def get(ref, timeout=None):
        if not interrupted and fake.events[-1] == "lock0.release":
            interrupted.append(True)
            raise KeyboardInterrupt
        return real_get(ref, timeout)

    monkeypatch.setattr(fake, "get", get)
    with pytest.raises(KeyboardInterrupt):
        with obj:
            fake.take_log()
    assert interrupted
    assert fake.take_log() == [f"{c0}.set", f"{c2}.set", f"{meta}.publish", "lock0.release",
                               "local.release"]
    assert fake.value(c0) == {"a": 10} and fake.value(meta).committed_epochs == [2, 0, 2]
    assert fields(obj)["chunk_list"] == [{"a": 10}, None, {"c": 12}]  # committed: kept
    assert not fake.actor("lock0").held
    with obj:
        pass


# Note: each case fails one step of a block that changed chunks 0 and 2 (chunk
# 1 untouched): the block must commit nothing, the holder must roll its own
# writes back at once and release normally, and the next block must work.
ABORTS = {
    "chunk 0": ("c0", "set", RuntimeError("down"), [0],
                "the block was not committed: write-back failed for chunk 0 (RuntimeError: down)"),
    "chunk 2": ("c2", "set", RuntimeError("down"), [2],
                "the block was not committed: write-back failed for chunk 2 (RuntimeError: down)"),
    "publish": ("meta", "publish", StaleEpochError("fenced"), [],
                "the block was not committed: publishing the version record failed "
                "(StaleEpochError: fenced)"),
}


@pytest.mark.parametrize("case", sorted(ABORTS))
def test_a_failed_step_of_the_write_back_commits_nothing(fake, three, case):
    obj, (c0, c1, c2), meta = three
    names = {"c0": c0, "c2": c2, "meta": meta}
    actor, method, error, chunks, message = ABORTS[case]
    fake.actor(names[actor]).fail(method, error, times=1)
    reader, _, _ = adopted_base(fake, [{}])  # another holder's view of the same actors
    with pytest.raises(WriteBackError) as e:
        with obj:
            fake.take_log()
    assert str(e.value) == message and e.value.chunks == chunks and e.value.__cause__ is error
    sets = [n for n in (c0, c2) if n != names[actor] or method != "set"]
    expected = [f"{c0}.set", f"{c2}.set"] + ([f"{meta}.publish"] if method == "publish" else [])
    # One rollback wave to every chunk, then a normal release.
    expected += [f"{c0}.rollback", f"{c1}.rollback", f"{c2}.rollback", "lock0.release",
                 "local.release"]
    assert fake.take_log() == expected
    assert not fake.actor("lock0").state.suspect  # cleaned up: the next grant is normal
    # Nothing of the block is seen, by the actors' readers or by the holder itself.
    assert [fake.value(n) for n in (c0, c1, c2)] == [{"a": 0}, {"b": 1}, {"c": 2}]
    assert fields(obj)["chunk_list"] == [None, None, None]
    assert fake.value(meta).committed_epochs == [0, 0, 0]
    assert fake.value(meta).chunk_versions == [0, 0, 0]
    assert fields(obj)["_quor_meta"].chunk_versions == [0, 0, 0]  # put back after a failed publish
    assert all(fake.actor(n).state.undo_epoch is None for n in sets)
    with obj:  # the next block works and commits
        set_fields(obj, chunk_list=[{"a": 5}, None, None])
    assert fake.value(c0) == {"a": 5} and fake.value(meta).committed_epochs == [3, 0, 0]


def test_a_failed_release_after_the_commit_is_raised_and_frees_the_local_lock(fake, three):
    obj, (c0, _, c2), meta = three
    fake.actor("lock0").fail("release", RuntimeError("release refused"), times=1)
    with pytest.raises(RuntimeError, match="release refused"):
        with obj:
            pass
    assert fake.value(meta).committed_epochs == [2, 0, 2]  # committed before the release
    assert not fields(obj)["_local_lock"].locked()
    fake.actor("lock0").state.force()
    with obj:
        pass


def test_failed_clean_up_releases_as_aborted_so_the_next_holder_rolls_back(fake, three):
    obj, (c0, c1, c2), meta = three
    fake.actor(c2).fail("set", RuntimeError("down"), times=1)
    fake.actor(c1).fail("rollback", RuntimeError("unreachable"), times=1)
    with pytest.raises(WriteBackError) as e:
        with obj:
            pass
    assert str(e.value) == (
        "the block was not committed: write-back failed for chunk 2 (RuntimeError: down); "
        "rolling its writes back failed too (RuntimeError: unreachable), the next holder "
        "rolls them back")
    (_, (release,)), = [c for c in calls_to(fake, "release") if c[0] == "lock0"][-1:]
    assert release.aborted is True and release.record is None and release.chunks is None
    fake.take_log()
    with obj:  # abnormal grant: fence, one wave, then work
        assert fake.take_log() == ["local.acquire", "lock0.acquire", f"{meta}.fence",
                                   f"{c0}.rollback", f"{c1}.rollback", f"{c2}.rollback"]
    assert fake.value(c0) == {"a": 0}


@pytest.mark.parametrize("failing", ["lock", "record"])
def test_failed_lock_releases_what_it_took(fake, three, failing):
    obj, _, meta = three
    forget_records(fake)
    if failing == "lock":
        fake.actor("lock0").fail("acquire", RuntimeError("lock actor died"), times=1)
        expected = ["local.acquire", "lock0.acquire", "lock0.withdraw", "local.release"]
    else:
        fake.actor(meta).fail("get_nocache", RuntimeError("record actor died"), times=1)
        expected = ["local.acquire", "lock0.acquire", f"{meta}.get_nocache", "lock0.release",
                    "local.release"]
    with pytest.raises(RuntimeError, match="died"):
        obj.__lock__()
    assert fake.take_log() == expected
    with obj:
        pass


@pytest.mark.parametrize("actor,method,message", [
    ("lock0", "acquire", "the lock actor of this Plain has died"),
    ("meta", "get_nocache", "the version record actor of this Plain has died"),
])
def test_a_dead_service_is_named(fake, three, actor, method, message):
    obj, _, meta = three
    forget_records(fake)
    fake.actor(meta if actor == "meta" else actor).fail(
        method, fake.exceptions.RayActorError("gone"), times=1)
    with pytest.raises(RuntimeError) as e:
        obj.__lock__()
    assert str(e.value) == message
    assert isinstance(e.value.__cause__, fake.exceptions.RayActorError)
    assert not fields(obj)["_local_lock"].locked()


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
    with pytest.raises(WriteBackError, match="the block holds no version record"):
        obj.__unlock__()   # two resident copies it cannot commit
    assert not fake.take_commits() and isinstance(fake.value(meta), QuorMeta)
    obj.__lock__()
    set_fields(obj, _quor_meta=None)
    obj.__unlock__()       # nothing resident, nothing to commit
    assert not fake.take_commits() and isinstance(fake.value(meta), QuorMeta)


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


@pytest.mark.parametrize("write_fails", [False, True])
def test_finaliser_joins_the_invalidation_threads(fake, monkeypatch, capsys, write_fails):
    from quorlib.quordict import QuorDict
    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    obj = QuorDict({"k": 0}, 1)
    with obj:
        obj["k"] = 1
    obj["k"] = 2   # changed after the block: the finaliser writes it
    if write_fails:
        fake.actor(fields(obj)["chunk_ref_list"][0].ref).fail("set", RuntimeError("refused"))
    done = threading.Event()
    t = threading.Thread(target=lambda: (threading.Event().wait(0.05), done.set()))
    t.start()
    set_fields(obj, _quor_inval_threads=[t], _last_msg_time=0)  # a line is due at once
    obj["k"] = 2   # set_fields cleared the changed mark
    del obj
    assert done.is_set() and seen == []
    out = capsys.readouterr().out
    assert out == ("Exception for evicting chunk 0: RuntimeError :: refused\n" if write_fails
                   else "")


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


def test_a_small_change_costs_its_holder_two_calls_and_a_large_one_a_write_more(fake, carry):
    d = QuorDict({i: i for i in range(4)}, 4)
    chunk1 = fields(d)["chunk_ref_list"][1].ref.name
    with d:
        d[1]
    fake.take_log()
    with d:
        d[1] = "x"
    # What the holder sends; the control actor writes a carried chunk itself.
    sent = [e for e in fake.log if not e.startswith("local") and not e.endswith(".install")]
    assert sent == (["lock0.acquire", "lock0.release"] if carry
                    else ["lock0.acquire", f"{chunk1}.set", "lock0.release"])
    assert fake.value(chunk1) == {1: "x"}
