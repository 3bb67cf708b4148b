"""Containers over a cluster of several nodes, simulated on this machine.

The cluster runs in a child process (tests/multinode_run.py) so that it never
meets the session's own Ray; the child bounds every remote wait and its whole
run, and this test bounds the child."""

import json
import os
import signal
import subprocess
import sys

import pytest

pytestmark = pytest.mark.real_ray

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def run():
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAY_ADDRESS")}
    # The child imports the quorlib this session imported (a build in the source
    # folder or the installed package), not whatever a source folder holds.
    import quorlib
    paths = [os.path.dirname(os.path.dirname(os.path.abspath(quorlib.__file__))), TESTS_DIR]
    env["PYTHONPATH"] = os.pathsep.join(paths + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    child = subprocess.Popen([sys.executable, os.path.join(TESTS_DIR, "multinode_run.py")],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                             start_new_session=True)
    try:
        out, err = child.communicate(timeout=540)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)   # the child's own Ray processes go with it
        child.communicate()
        pytest.fail("the multi-node run did not finish")
    assert child.returncode == 0, err[-4000:]
    # Ray may print warnings of its own after the run's one JSON line.
    return json.loads([line for line in out.splitlines() if line.startswith("{")][-1])


def test_nothing_is_left_once_the_job_has_ended(run):
    # Its containers' control actors, the pool's hosts and the keeper.
    assert run["gone_after"] is not None and run["gone_after"] < 60


def test_every_node_has_its_hosts(run):
    # Nodes of one CPU each: the pool's default of two hosts per node.
    assert run["hosts"] == {node: 2 for node in [run["head"], *run["workers"]]}


@pytest.mark.parametrize("container", ["dict", "list"])
def test_chunks_of_one_container_spread_over_the_nodes(run, container):
    # The hosts are taken node by node in turn: six chunks, each node twice.
    placed = run["placed"][container]
    assert sorted(placed) == sorted([run["head"], *run["workers"]] * 2)


def test_containers_work_from_every_node(run):
    workers = run["workers"]
    # Each task ran on the node it was pinned to and saw the head's contents.
    assert [node for node, _, _ in run["replies"]] == workers
    assert [seen for _, seen, _ in run["replies"]] == [sum(range(20))] * len(workers)
    assert [first for _, _, first in run["replies"]] == [0] * len(workers)
    tags = [f"from-{n}" for n in range(len(workers))]
    assert run["read"]["total"] == len(workers)
    assert run["read"]["tags"] == dict(zip(tags, workers))
    assert run["read"]["length"] == 21 + len(workers)
    assert run["read"]["list"][:12] == list(range(12))
    assert sorted(run["read"]["list"][12:]) == tags
