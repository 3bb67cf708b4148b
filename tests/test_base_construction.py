"""QuorBase construction: refusals, adoption, and what a new instance holds."""

import io
import sys

import pytest

import quorlib.quorbase as qb
from basehelp import Plain, adopted_base, fields
from quorlib.quorbase import QuorBase, QuorChunk


class FakeTime:
    def __init__(self, now=1000.5):
        self.now = now
        self.slept = []

    def time(self):
        return self.now

    def sleep(self, seconds):
        self.slept.append(seconds)


def test_zero_chunks_refused_before_anything_even_without_ray(fake):
    fake.initialized = False
    for n in (0, -2):
        with pytest.raises(ValueError) as e:
            Plain(n)
        assert str(e.value) == "Number of buckets must be greater than 0"
    assert fake.log == []


def test_uninitialised_ray_prints_pauses_and_asserts(fake, monkeypatch, capsys):
    fake.initialized = False
    clock = FakeTime()
    monkeypatch.setattr(qb, "time", clock)
    with pytest.raises(AssertionError) as e:
        Plain(2)
    assert str(e.value) == "Ray must be initialized to use Plain"
    assert capsys.readouterr().out == "Ray must be initialized to use Plain\n"
    assert clock.slept == [3]
    assert fake.log == []


class SelfReplacingStdout:
    """A stdout whose write replaces sys.stdout, dropping the last reference to
    itself before the line is flushed."""

    def __init__(self, written, flushed):
        self.written = written
        self.flushed = flushed

    def write(self, text):
        self.written.append(text)
        sys.stdout = io.StringIO()

    def flush(self):
        self.flushed.append(True)


def test_message_line_is_flushed_on_the_stdout_it_was_written_to(fake, monkeypatch):
    fake.initialized = False
    monkeypatch.setattr(qb, "time", FakeTime())
    written, flushed = [], []
    monkeypatch.setattr(sys, "stdout", SelfReplacingStdout(written, flushed))
    with pytest.raises(AssertionError):
        Plain(2)
    assert written == ["Ray must be initialized to use Plain\n"] and flushed == [True]


def test_bare_base_is_abstract_after_creating_its_record(fake):
    with pytest.raises(NotImplementedError) as e:
        QuorBase(2)
    assert str(e.value) == "This method should be implemented in the subclass"
    assert fake.log == ["lock0.create", "proxy0.create"]  # the record, in the control actor
    assert fake.value("proxy0").chunk_versions == [0, 0]


def test_adoption_requires_length_and_a_list(fake):
    chunks = [QuorChunk(fake.QuorProxy.remote({}, None), None)]
    with pytest.raises(AssertionError):
        Plain(1, None, None, 0, chunks, None)
    with pytest.raises(TypeError) as e:
        Plain(1, None, None, 0, tuple(chunks), None, 1)
    assert "chunk_ref_list" in str(e.value) and "list" in str(e.value) and "tuple" in str(e.value)
    with pytest.raises(TypeError):
        Plain(1, None, None, 0, chunks, None, 1, "extra")
    with pytest.raises(TypeError):
        Plain(num_chunks=1, bogus=2)


@pytest.mark.parametrize("kw,error,message", [
    ({"num_chunks": "4"}, TypeError, "an integer is required"),
    ({"length": 2**31}, OverflowError, "value too large to convert to int"),
    ({"per_chunk_lock": None}, TypeError, "an integer is required"),
])
def test_integer_arguments_convert_exactly(fake, kw, error, message):
    args = dict(num_chunks=1, chunk_ref_list=[QuorChunk(None, None)], length=1)
    args.update(kw)
    with pytest.raises(error) as e:
        Plain(**args)
    assert str(e.value) == message


def test_adopting_instance_shares_lock_and_record_and_has_nothing_resident(fake):
    lock = fake.QuorLock.remote()
    meta_ref = fake.QuorProxy.remote(qb.QuorMeta(3), None)
    chunks = [QuorChunk(fake.QuorProxy.remote({}, None), None) for _ in range(2)]
    fake.take_log()
    obj = Plain(3.9, "ignored", lock, 7, chunks, meta_ref, 5)
    f = fields(obj)
    assert fake.log == []  # no actor created
    assert f["_lock"] is lock and f["_quor_meta_ref"] is meta_ref and f["_quor_meta"] is None
    assert f["num_chunks"] == 3 and f["length"] == 5 and f["per_chunk_lock"] == 7
    # one slot per handle, not per num_chunks
    assert f["chunk_list"] == [None, None] and f["_quor_inval_threads"] == [None, None]
    assert f["chunk_ref_list"] is chunks
    assert f["_quor_free_to_use"].is_set()
    assert not f["_local_lock"].locked()


def test_new_instance_records_the_time_in_whole_seconds(fake, monkeypatch):
    monkeypatch.setattr(qb, "time", FakeTime(1234.9))
    obj, _, _ = adopted_base(fake, [{}])
    assert fields(obj)["_last_msg_time"] == 1234


def test_allocated_instance_holds_none_and_zeros():
    obj = QuorBase.__new__(Plain)
    state = QuorBase.__reduce__(obj)[2]
    assert state == (0, None, None, None, None, None, None, None, None, 0, 0, 0, {})
    with pytest.raises(TypeError) as e:
        obj.flush()
    assert str(e.value) == "'NoneType' object is not iterable"
    with pytest.raises(RuntimeError):
        obj.__lock__()


def test_a_containers_values_live_in_its_control_actor_and_in_slots_of_the_pool(fake):
    from listhelp import record_fields, record_of
    from quorlib.quordict import QuorDict
    from quorlib.quorlist import QuorList
    from quorlib.quorpool import actor_key
    from quorlib.quorproxy import Cell, Slot

    d = QuorDict({i: i for i in range(4)}, 4)
    lst = QuorList(2, [1])
    for container in (d, lst):
        lock = fields(container)["_lock"]
        assert fields(container)["_quor_meta_ref"] == Cell(lock, fields(container)["_quor_meta_ref"].name)
    usage = record_fields(record_of(lst))
    assert all(type(usage[f]) is Cell and usage[f].control == fields(lst)["_lock"]
               for f in ("chunk_used", "last_used_chunk"))
    slots = [handle.ref for handle in fields(d)["chunk_ref_list"]]
    assert all(type(slot) is Slot for slot in slots)
    assert [fake.actor(slot.host).name for slot in slots] == ["host0", "host1"] * 2
    owners = {name: set(host.state.owned) for name, host in
              (("host0", fake.actor("host0")), ("host1", fake.actor("host1")))}
    assert owners["host0"] == owners["host1"] == {actor_key(fields(c)["_lock"]) for c in (d, lst)}
    # Once a control actor ends, the hosts free its slots and no other.
    fake.end_control(fields(d)["_lock"])
    held = set(fake.actor("host0").state.slots) | set(fake.actor("host1").state.slots)
    assert held == {handle.ref.name for handle in fields(lst)["chunk_ref_list"]}
    with lst:
        assert list(lst) == [1]
