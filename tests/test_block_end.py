"""The end of a block as a plan and its outcome (quorlib.quorblock), without
Ray: what travels in the release, what is written before it, and what each
way the calls can end means for the block."""

import pickle
import types

import pytest

from quorlib import quorblock, quorlock
from quorlib.messages import CarriedChunk, Commit, SlotWrite
from quorlib.quorblock import BlockEnd, State
from quorlib.quorlock import Grant
from quorlib.quorproxy import Cell, Slot, StaleEpochError


class Ref:
    """A call's outcome: its result, or the error it raises; `interrupts`
    interrupts arrive before it is known."""

    def __init__(self, result=None, error=None, interrupts=0):
        self.result, self.error, self.interrupts = result, error, interrupts


class Actor:
    """An actor handle whose calls are recorded, each answered by the next
    outcome queued for its method (success otherwise)."""

    def __init__(self, key, calls):
        self._actor_id = key
        self.calls = calls
        self.outcomes = {}

    def __getattr__(self, method):
        if method.startswith("_"):
            raise AttributeError(method)

        def remote(*args):
            self.calls.append((self._actor_id, method, args))
            queued = self.outcomes.get(method)
            outcome = queued.pop(0) if queued else Ref()
            if isinstance(outcome, Exception):
                raise outcome   # refused where it was sent
            return outcome
        return types.SimpleNamespace(remote=remote)


class FakeRayGet:
    @staticmethod
    def get(ref):
        if ref.interrupts:
            ref.interrupts -= 1
            raise KeyboardInterrupt
        if ref.error is not None:
            raise ref.error
        return ref.result


@pytest.fixture
def world(monkeypatch):
    monkeypatch.setattr(quorblock, "ray", FakeRayGet)
    calls = []
    control, host, other = (Actor(k, calls) for k in ("control", "host", "elsewhere"))
    grant = Grant("ticket", 7, False, record_key="control/record")
    return types.SimpleNamespace(calls=calls, control=control, host=host, other=other,
                                 grant=grant, record={"versions": [1, 2]})


def plan(world, record_ref=None, chunks=(), cells=()):
    end = BlockEnd(world.control, world.grant, record_ref or Cell(world.control, "record"),
                   world.record)
    for index, handle, contents in chunks:
        end.add_chunk(index, handle, f"id-{index}", contents, index + 10)
    for handle, value in cells:
        end.add_cell(handle, value)
    return end


def test_small_chunks_and_own_cells_travel_in_the_release(world, monkeypatch):
    monkeypatch.setattr(quorlock, "CARRY_CHUNK_BYTES", 200)
    small, large = {"k": 1}, {"k": "x" * 500}
    end = plan(world, chunks=[(0, Slot(world.host, "s0"), small),
                              (1, Slot(world.host, "s1"), large),
                              (2, world.other, {"k": 2})],          # not a slot: no control writes it
               cells=[(Cell(world.control, "used"), [3, 1]),
                      (Cell(world.other, "foreign"), 5)])
    message = end.release_message()
    blob = pickle.dumps(small, 5)
    assert message.commit == Commit("record", 7, {"used": [3, 1]},
                                    {0: SlotWrite(Slot(world.host, "s0"), blob)})
    assert message.chunks == {0: CarriedChunk(10, blob), 1: CarriedChunk(11, None),
                              2: CarriedChunk(12, pickle.dumps({"k": 2}, 5))}
    assert pickle.loads(message.record) == world.record and message.ticket == "ticket"
    assert [(w.index, w.method) for w in end.writes] == [(1, "set"), (2, "set"), (None, "set_nocache")]
    # A record that is not its lock's cell is published by the block itself.
    assert plan(world, record_ref=world.other).release_message().commit is None


def test_the_writes_go_first_and_one_wait_settles_the_block(world):
    end = plan(world, chunks=[(0, Slot(world.host, "s0"), {"k": "x" * 70_000})])
    quorblock.finish(end)
    assert [(actor, method) for actor, method, _ in world.calls] == [
        ("host", "set"), ("control", "release")]
    release_args = world.calls[-1][2]
    assert release_args[1] is not None   # the write's reference: Ray runs the release after it
    assert end.state is State.RELEASED and end.committed and end.released


# (what goes wrong, the state it leaves, whether a chunk failure is named)
OUTCOMES = {
    "a write refused where it was sent": (
        lambda w: w.host.outcomes.update(set=[TypeError("cannot pickle")]), State.REFUSED, 1),
    "a write refused by its slot": (
        lambda w: (w.host.outcomes.update(set=[Ref(error=RuntimeError("refused"))]),
                   w.control.outcomes.update(release=[Ref(error=RuntimeError("refused"))])),
        State.REFUSED, 1),
    "the commit refused": (
        lambda w: w.control.outcomes.update(release=[Ref(error=StaleEpochError("late"))]),
        State.REFUSED, None),
    "interrupted twice, then known": (
        lambda w: w.control.outcomes.update(release=[Ref(interrupts=2)]), State.RELEASED, None),
    "interrupted every time": (
        lambda w: w.control.outcomes.update(release=[Ref(interrupts=99)]), State.UNKNOWN, None),
}


@pytest.mark.parametrize("case", OUTCOMES)
def test_what_each_outcome_means(world, case):
    arrange, state, failed_chunk = OUTCOMES[case]
    arrange(world)
    end = plan(world, chunks=[(0, Slot(world.host, "s0"), {"k": 0}),
                              (1, Slot(world.host, "s1"), {"k": "x" * 70_000})])
    quorblock.finish(end)
    assert end.state is state
    assert [index for index, _, _ in end.failures] == ([failed_chunk] if failed_chunk else [])
    if case == "the commit refused":
        assert isinstance(end.error, StaleEpochError) and not end.committed
    if case == "a write refused where it was sent":   # nothing after it was sent
        assert [m for _, m, _ in world.calls] == ["set"]
        assert end.failures[0][2] == "cannot pickle"   # its contents pickle: the error says why
    if case.startswith("interrupted"):
        assert isinstance(end.interrupt, KeyboardInterrupt)


def test_a_record_published_apart_is_committed_even_when_the_release_fails(world):
    world.control.outcomes.update(release=[Ref(error=RuntimeError("connection lost"))])
    end = plan(world, record_ref=world.other, chunks=[(0, Slot(world.host, "s0"), {"k": 0})])
    quorblock.finish(end)
    assert [(a, m) for a, m, _ in world.calls] == [
        ("host", "set"), ("elsewhere", "publish"), ("control", "release")]
    assert end.state is State.COMMITTED and str(end.release_error) == "connection lost"
