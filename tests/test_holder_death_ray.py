"""Holders that die, fail or are forced out, under a real Ray: the lock passes
on by itself and the next holder sees exactly what was committed.

Every wait has a timeout, so a regression fails instead of hanging. The
recovery times are printed (pytest -s), not asserted: the bounds here are
generous time-outs for a loaded two-core machine.
"""

import os
import subprocess
import sys
import textwrap
import time

import pytest
import ray

from quorlib import admin
from quorlib.quorbase import WriteBackError
from quorlib.quordict import QuorDict
from quorlib.quorlist import ListChunkMeta, QuorList
from quorlib.quorproxy import QuorProxy

WAIT_S = 60   # far above the ~2 s Ray takes to report a holder's death


class ExitWhenPickled:
    """Ends the process that tries to send it: a death in the middle of a
    write-back, after the chunks before it were written."""

    def __reduce__(self):
        os._exit(1)


class RefusesPickling:
    def __reduce__(self):
        raise ValueError("refuses to be pickled")


def flag():
    return QuorProxy.remote(False, None)


def raise_flag(proxy):
    ray.get(proxy.set_nocache.remote(True), timeout=30)


def flag_is_up(proxy):
    return ray.get(proxy.get_nocache.remote(), timeout=30)


def wait_until(condition, what, timeout=WAIT_S):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.05)


def waiters(container):
    return admin.lock_status(container)["waiters"]


def report(what, seconds):
    print(f"\n{what}: next holder served {seconds:.2f} s after the death")


@ray.remote(num_cpus=0.5)
def read_dict(d):
    """The dictionary as the next holder sees it, and when it got the lock."""
    with d:
        granted = time.time()
        return dict(d.items()), granted


@ray.remote(num_cpus=0.5)
def read_and_pop(lst):
    with lst:
        granted = time.time()
        seen = list(lst)
        return seen, len(lst), lst.pop(), granted


@ray.remote(num_cpus=0.5, max_retries=0)
def die_inside(d, lst, inside, go):
    with d:
        d[0] = "never committed"
        d.flush()                  # written to the actor, but not committed
        with lst:
            lst.append("never committed")
            lst.append("nor this")
            raise_flag(inside)
            deadline = time.monotonic() + WAIT_S
            while not flag_is_up(go) and time.monotonic() < deadline:
                time.sleep(0.05)
            os._exit(1)


@ray.remote(num_cpus=0.5, max_retries=0)
def die_during_write_back(container, inside):
    with container:
        if isinstance(container, QuorDict):
            container[0] = "written first"        # chunk 0 is written back first
            container[1] = ExitWhenPickled()      # chunk 1 ends the process
        else:
            container[0] = "written first"
            container.append(ExitWhenPickled())   # chunk 0 is full: lands in chunk 1
        raise_flag(inside)


@ray.remote(num_cpus=0.5, max_retries=2)
def add_one(d, doomed, died_once):
    with d:
        d["n"] = d["n"] + 1
        if doomed and not flag_is_up(died_once):
            raise_flag(died_once)
            os._exit(1)      # Ray retries the task; the retry must count once
    return True


@ray.remote(num_cpus=0.5)
def slow_add(d, inside, seconds):
    with d:
        raise_flag(inside)
        time.sleep(seconds)   # well past the time a dead holder is detected in
        d["n"] = d["n"] + 1
    return True


@ray.remote(num_cpus=0, max_concurrency=2)
class Holder:
    def enter(self, d, value):
        d.__lock__()
        d[0] = value
        d.flush()                  # written to the actor, but not committed
        return admin.lock_status(d)["ticket"]

    def hold_until(self, d, value, inside, go):
        """A block that waits for `go` before it ends; what its end said."""
        try:
            with d:
                d[0] = value
                d.flush()
                raise_flag(inside)
                deadline = time.monotonic() + WAIT_S
                while not flag_is_up(go) and time.monotonic() < deadline:
                    time.sleep(0.05)
            return "committed"
        except WriteBackError as exc:
            return str(exc)

    def wait_in_queue(self, d):
        with d:
            return "granted"


def test_real_task_dying_inside_its_block(real_ray):
    d = QuorDict({0: "a", 1: "b"}, 2)
    lst = QuorList(3, [1, 2, 3], meta=ListChunkMeta(None, 2, None))
    inside, go = flag(), flag()
    dying = die_inside.remote(d, lst, inside, go)
    wait_until(lambda: flag_is_up(inside), "the task to append inside its block")
    assert len(lst) == 3       # its appends are not counted while it lives...
    raise_flag(go)
    with pytest.raises(ray.exceptions.RayError):
        ray.get(dying, timeout=WAIT_S)
    died = time.time()
    assert len(lst) == 3       # ...nor once it has died
    seen, granted = ray.get(read_dict.remote(d), timeout=WAIT_S)
    report("task os._exit in its block", granted - died)
    assert seen == {0: "a", 1: "b"}
    # The next holder sees the committed list, and can pop from it.
    seen, length, popped, _ = ray.get(read_and_pop.remote(lst), timeout=WAIT_S)
    assert (seen, length, popped) == ([1, 2, 3], 3, 3)
    with lst:
        assert list(lst) == [1, 2]


def test_real_actor_holder_killed_inside_its_block(real_ray):
    d = QuorDict({0: "a"}, 1)
    holder = Holder.remote()
    ray.get(holder.enter.remote(d, "uncommitted"), timeout=WAIT_S)
    ray.kill(holder)
    killed = time.time()
    seen, granted = ray.get(read_dict.remote(d), timeout=WAIT_S)
    report("actor ray.kill in its block", granted - killed)
    assert seen == {0: "a"}


def test_real_waiter_killed_while_queued(real_ray):
    d = QuorDict({0: "a"}, 1)
    d.__lock__()
    try:
        waiter = Holder.remote()
        waiter.wait_in_queue.remote(d)
        wait_until(lambda: waiters(d) == 1, "the waiter to queue")
        ray.kill(waiter)
        killed = time.time()
        wait_until(lambda: waiters(d) == 0, "the dead waiter to leave the queue")
        print(f"\nqueued waiter ray.kill: left the queue after {time.time() - killed:.2f} s")
        d[0] = "A"
    finally:
        d.__unlock__()
    seen, _ = ray.get(read_dict.remote(d), timeout=WAIT_S)
    assert seen == {0: "A"}


def test_real_retried_task_commits_once(real_ray):
    d = QuorDict({"n": 0}, 1)
    died_once = flag()
    done = [add_one.remote(d, i == 1, died_once) for i in range(4)]
    assert ray.get(done, timeout=3 * WAIT_S) == [True] * 4
    assert flag_is_up(died_once)
    seen, _ = ray.get(read_dict.remote(d), timeout=WAIT_S)
    assert seen == {"n": 4}


@pytest.mark.parametrize("kind", ["dict", "list"])
def test_real_death_during_write_back_commits_nothing(real_ray, kind):
    if kind == "dict":
        container = QuorDict({0: "a", 1: "b"}, 2)
    else:
        container = QuorList(2, [1, 2], meta=ListChunkMeta(None, 2, None))
    inside = flag()
    with pytest.raises(ray.exceptions.RayError):
        ray.get(die_during_write_back.remote(container, inside), timeout=WAIT_S)
    assert flag_is_up(inside)
    died = time.time()
    if kind == "dict":
        seen, granted = ray.get(read_dict.remote(container), timeout=WAIT_S)
        assert seen == {0: "a", 1: "b"}
    else:
        seen, length, popped, granted = ray.get(read_and_pop.remote(container), timeout=WAIT_S)
        assert (seen, length, popped) == ([1, 2], 2, 2)
    report(f"{kind} holder dying in its write-back", granted - died)


def test_real_write_back_failing_on_its_second_chunk_commits_nothing(real_ray):
    d = QuorDict({0: "a", 1: "b"}, 2)
    with pytest.raises(WriteBackError) as e:
        with d:
            d[0] = "A"
            d[1] = RefusesPickling()
    assert e.value.chunks == [1]
    assert str(e.value).startswith("the block was not committed: write-back failed for chunk 1 (")
    assert "the value under key 1 (of type 'RefusesPickling') cannot be pickled" in str(e.value)
    seen, _ = ray.get(read_dict.remote(d), timeout=WAIT_S)
    assert seen == {0: "a", 1: "b"}
    with d:
        d[0] = "A"
    assert ray.get(read_dict.remote(d), timeout=WAIT_S)[0] == {0: "A", 1: "b"}


def test_real_holder_forced_out_cannot_commit_late(real_ray):
    d = QuorDict({0: "a"}, 1)
    holder = Holder.remote()
    inside, go = flag(), flag()
    ending = holder.hold_until.remote(d, "late", inside, go)
    wait_until(lambda: flag_is_up(inside), "the holder to enter")
    assert admin.force_unlock(d, holder=admin.lock_status(d)["ticket"]) is True
    seen, _ = ray.get(read_dict.remote(d), timeout=WAIT_S)   # the successor fences the record
    assert seen == {0: "a"}
    raise_flag(go)
    outcome = ray.get(ending, timeout=WAIT_S)
    # The flush wrote the chunk and nothing changed it since, so the block's end
    # writes nothing again: the refusal comes at its publish.
    assert outcome.startswith("the block was not committed: publishing the version record failed (")
    assert "StaleEpochError" in outcome
    assert ray.get(read_dict.remote(d), timeout=WAIT_S)[0] == {0: "a"}


def test_real_slow_live_holder_keeps_its_lock_and_commit(real_ray):
    d = QuorDict({"n": 0}, 1)
    inside = flag()
    slow = slow_add.remote(d, inside, 4)
    wait_until(lambda: flag_is_up(inside), "the slow holder to enter")
    fast = slow_add.remote(d, flag(), 0)
    assert ray.get([slow, fast], timeout=2 * WAIT_S) == [True, True]
    assert ray.get(read_dict.remote(d), timeout=WAIT_S)[0] == {"n": 2}


def test_real_nested_block_is_refused(real_ray):
    d = QuorDict({0: "a"}, 1)
    with d:
        with pytest.raises(RuntimeError, match="cannot be nested"):
            d.__lock__()
    assert ray.get(read_dict.remote(d), timeout=WAIT_S)[0] == {0: "a"}


def run_script(source, timeout):
    """Runs `source` in a fresh interpreter (it needs a Ray of its own)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    env.pop("RAY_ADDRESS", None)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_real_use_after_shutdown_is_refused(real_ray):
    out = run_script("""
        import ray
        from quorlib.quordict import QuorDict
        ray.init(num_cpus=1, include_dashboard=False, configure_logging=False)
        d = QuorDict({"a": 1}, 1)
        with d:
            d["a"] = 2
        ray.shutdown()
        for use in (d.__lock__, d.flush):
            try:
                use()
            except RuntimeError as exc:
                print("refused:", exc)
        print("ray started again:", ray.is_initialized())
    """, timeout=180)
    assert out.count("refused: Ray is not running") == 2, out
    assert "ray started again: False" in out


def test_real_holder_node_removed(real_ray):
    out = run_script("""
        import time
        import ray
        from ray.cluster_utils import Cluster
        from quorlib.quordict import QuorDict
        from quorlib.quorproxy import QuorProxy

        cluster = Cluster(initialize_head=True, head_node_args={
            "num_cpus": 1, "include_dashboard": False,
            "_system_config": {"health_check_period_ms": 1000,
                               "health_check_failure_threshold": 3}})
        ray.init(address=cluster.address)
        d = QuorDict({"x": 0}, 1)            # its actors live on the head node
        inside = QuorProxy.remote(False, None)
        with d:
            pass
        worker = cluster.add_node(num_cpus=1, resources={"doomed": 1})
        cluster.wait_for_nodes()

        @ray.remote(num_cpus=0, resources={"doomed": 1}, max_retries=0)
        def hold(d, inside):
            with d:
                d["x"] = 99
                d.flush()
                ray.get(inside.set_nocache.remote(True), timeout=30)
                time.sleep(600)

        @ray.remote(num_cpus=0)
        def read(d):
            with d:
                return d["x"], time.time()

        hold.remote(d, inside)
        deadline = time.monotonic() + 120
        while not ray.get(inside.get_nocache.remote(), timeout=30):
            assert time.monotonic() < deadline
            time.sleep(0.1)
        cluster.remove_node(worker)
        removed = time.time()
        try:
            value, granted = ray.get(read.remote(d), timeout=120)
            print(f"served {value} after {granted - removed:.2f} s")
        except ray.exceptions.RayError as exc:
            print("clear error:", type(exc).__name__, exc)
        ray.shutdown()
        cluster.shutdown()
    """, timeout=300)
    print("\nholder's node removed:", out.strip().splitlines()[-1])
    assert "served 0 after" in out or "clear error" in out, out
