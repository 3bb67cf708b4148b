"""The commit that travels with a block's release, under a real Ray: the
control actor writes the committed chunks to their slots after it has handed
the lock on, so the next holder may ask a slot for a commit it has yet to
receive. Every wait has a timeout."""

import pytest

ray = pytest.importorskip("ray")

from quorlib.quordict import QuorDict  # noqa: E402
from quorlib.quorlist import QuorList  # noqa: E402
from quorlib.quorproxy import LostSlotError  # noqa: E402

WAIT_S = 60


@ray.remote(num_cpus=0.5)
def set_key(d, key, value):
    with d:
        d[key] = value


@ray.remote(num_cpus=0.5)
class Reader:
    """Holds the lock right after a writer's commit, then reads when told."""

    def enter(self, d):
        self.d = d
        d.__lock__()       # the grant names the writer's commit
        return True

    def read(self, key):
        try:
            value = self.d[key]
        except (RuntimeError, LostSlotError) as exc:  # a clear error: the chunk is gone
            value = ("error", str(exc))
        try:
            self.d.__unlock__()
        except Exception:
            pass
        return value


def test_a_fresh_reader_sees_each_commit_whoever_writes_its_slot_first(real_ray):
    # A new instance holds no copy: the grant carries nothing to it, and its
    # fetch, naming the writer's commit, may reach the slot before the control
    # actor's write. Each round it must read the value committed.
    d = QuorDict({k: -1 for k in range(4)}, 4)
    for value in range(25):
        ray.get(set_key.remote(d, value % 4, value), timeout=WAIT_S)
        fresh = QuorDict.rebuild(*d.__reduce__()[1])
        with fresh:
            assert fresh[value % 4] == value


def test_a_control_actor_lost_after_a_commit_leaves_a_clear_error_never_an_old_value(real_ray):
    for round_ in range(3):
        d = QuorDict({"k": "old"}, 1)
        reader = Reader.remote()
        ray.get(set_key.remote(d, "k", "new"), timeout=WAIT_S)
        assert ray.get(reader.enter.remote(d), timeout=WAIT_S)
        ray.kill(d.__reduce__()[1][4])           # the control actor, between commit and read
        seen = ray.get(reader.read.remote("k"), timeout=WAIT_S)
        assert seen == "new" or (seen[0] == "error" and "old" not in seen[1]), seen
        ray.kill(reader)


def test_blocks_that_raise_commit_nothing_and_the_next_block_works(real_ray):
    d = QuorDict({"from": 10, "to": 0}, 2)
    lst = QuorList(2, [1, 2, 3])
    with pytest.raises(ZeroDivisionError):
        with d:
            d["from"] -= 5
            1 / 0                                  # fails before the credit
    with pytest.raises(KeyError):
        with lst:
            lst.append(4)
            lst.pop(0)
            raise KeyError("abandoned")
    with d, lst:
        assert dict(d.items()) == {"from": 10, "to": 0} and list(lst) == [1, 2, 3]
        d["from"], d["to"] = 5, 5
        lst.append(4)
    with d, lst:
        assert dict(d.items()) == {"from": 5, "to": 5} and list(lst) == [1, 2, 3, 4]
