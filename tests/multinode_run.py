"""Run by test_multinode.py in a process of its own: a three-node cluster on
this machine (ray.cluster_utils), one dictionary and one list made on the
head, a task on every other node that changes both, and the driver reading
the result back. Prints one JSON line: the pool's hosts per node, where each
container's chunks live and what the driver read. Never imported by pytest (no test_ prefix), so
it cannot meet the session's own Ray."""

import json
import os
import signal
import sys
import time

import ray
from ray.cluster_utils import Cluster
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

from quorlib import quorpool
from quorlib.quordict import QuorDict
from quorlib.quorlist import QuorList

WAIT = 120          # seconds for any one remote wait
DEADLINE = 420      # the whole run, cluster start and stop included
WORKER_NODES = 2
CHUNKS = 6


class Overdue(Exception):
    pass


def _overdue(signum, frame):
    raise Overdue(f"multi-node run still going after {DEADLINE} s")


def chunk_nodes(container):
    """The node of every chunk's host, in chunk order."""
    handles = container.__reduce__()[1][0]
    return [s["node_id"] for s in ray.get([h.ref.host.status.remote() for h in handles],
                                           timeout=WAIT)]


def quorlib_processes():
    titles = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                titles.append(f.read().split(b"\0")[0].decode(errors="replace"))
        except OSError:
            continue
    return [t for t in titles if t.startswith("ray::Quor")]


def wait_for_no_quorlib_process():
    """Seconds until no quorlib actor process is left, or None after WAIT."""
    started = time.monotonic()
    while quorlib_processes():
        if time.monotonic() - started > WAIT:
            return None
        time.sleep(0.5)
    return time.monotonic() - started


@ray.remote(num_cpus=0)
def change_from(d, lst, tag):
    node = ray.get_runtime_context().get_node_id()
    with d:
        d[tag] = node
        d["total"] = d["total"] + 1
        seen = sum(d[f"k{i}"] for i in range(20))
    with lst:
        lst.append(tag)
        first = lst[0]
    return node, seen, first


def main():
    signal.signal(signal.SIGALRM, _overdue)
    signal.alarm(DEADLINE)
    cluster = Cluster(initialize_head=True,
                      head_node_args={"num_cpus": 1, "object_store_memory": 80 << 20,
                                      "include_dashboard": False})
    try:
        workers = [cluster.add_node(num_cpus=1, object_store_memory=80 << 20)
                   for _ in range(WORKER_NODES)]
        cluster.wait_for_nodes(timeout=WAIT)
        ray.init(address=cluster.address, log_to_driver=False, configure_logging=False)
        head = ray.get_runtime_context().get_node_id()
        d = QuorDict({**{f"k{i}": i for i in range(20)}, "total": 0}, CHUNKS)
        lst = QuorList(CHUNKS, list(range(12)))
        placed = {"dict": chunk_nodes(d), "list": chunk_nodes(lst)}
        hosts = quorpool.pool_status()["hosts"]
        tags = [f"from-{n}" for n in range(WORKER_NODES)]
        calls = [change_from.options(scheduling_strategy=NodeAffinitySchedulingStrategy(
                     node_id=w.node_id, soft=False)).remote(d, lst, tag)
                 for w, tag in zip(workers, tags)]
        replies = ray.get(calls, timeout=WAIT)
        with d:
            read = {"total": d["total"], "tags": {t: d[t] for t in tags}, "length": len(d)}
        with lst:
            read["list"] = list(lst)
        del d, lst
        # The job ends: its containers, control actors, pool and keeper go.
        ray.shutdown()
        gone_after = wait_for_no_quorlib_process()
        print(json.dumps({"head": head, "workers": [w.node_id for w in workers], "hosts": hosts,
                          "placed": placed, "replies": replies, "read": read,
                          "gone_after": gone_after}))
    finally:
        signal.alarm(0)
        ray.shutdown()
        cluster.shutdown()


if __name__ == "__main__":
    sys.exit(main())
