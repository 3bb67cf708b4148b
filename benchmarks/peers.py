"""The systems quorlib is measured against, and the handles shared with Ray tasks.

Every peer does the same work as quorlib through the interface a user would
reach for first: one actor call, proxy call or Redis command per operation.
"""

from __future__ import annotations

import gc
import multiprocessing
import pickle
import shutil
import subprocess
import time
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable

import ray


# --------------------------------------------------------------------------- Ray actors

@ray.remote(num_cpus=0)
class DictActor:
    """A plain actor holding a dict: the obvious way to share one in Ray."""

    def __init__(self, initial: dict | None = None) -> None:
        self.d = dict(initial or {})

    def get(self, key):
        return self.d[key]

    def set(self, key, value) -> None:
        self.d[key] = value

    def incr(self, key, n: int = 1) -> int:
        value = self.d.get(key, 0) + n
        self.d[key] = value
        return value

    def items(self) -> list:
        return list(self.d.items())

    def ping(self) -> None:
        return None


@ray.remote(num_cpus=0)
class Barrier:
    """Releases every party at once, so that contended tasks start together
    and worker start-up stays out of the measured interval."""

    def __init__(self, parties: int) -> None:
        import asyncio
        self.parties = parties
        self.arrived = 0
        self.everyone = asyncio.Event()

    async def arrive(self) -> None:
        self.arrived += 1
        if self.arrived == self.parties:
            self.everyone.set()
        await self.everyone.wait()


class ShardedActors:
    """The same dict spread over several DictActors by key, without local
    copies: every operation is still one actor call, to the key's shard.
    Keys are ints, whose hash is the same in every process."""

    def __init__(self, actors: list) -> None:
        self.actors = actors

    def shard(self, key):
        return self.actors[hash(key) % len(self.actors)]

    def incr(self, key, n: int = 1) -> int:
        return ray.get(self.shard(key).incr.remote(key, n))

    def get(self, key):
        return ray.get(self.shard(key).get.remote(key))

    def set(self, key, value) -> None:
        ray.get(self.shard(key).set.remote(key, value))

    def items(self) -> list:
        out: list = []
        for part in ray.get([a.items.remote() for a in self.actors]):
            out.extend(part)
        return out


def make_sharded(n: int, initial: dict | None = None) -> ShardedActors:
    parts: list[dict] = [{} for _ in range(n)]
    for k, v in (initial or {}).items():
        parts[hash(k) % n][k] = v
    actors = [DictActor.remote(p) for p in parts]
    ray.get([a.ping.remote() for a in actors])
    return ShardedActors(actors)


def kill_actors(handles) -> None:
    for h in handles:
        try:
            ray.kill(h)
        except Exception:
            pass


def quor_actors(container) -> list:
    """Every actor behind a QuorDict or QuorList, read from its pickled form
    (the library never terminates them itself)."""
    args = container.__reduce__()[1]
    handles = [chunk.ref for chunk in args[0]] + [args[2], args[4]]
    if len(args) > 6:  # a list: its usage record carries two more proxies
        _, _, state = args[6].__reduce__()
        handles += [state[0], state[1]]
    return [h for h in handles if h is not None]


def drop_quor(container) -> None:
    """Frees a container and its actors. The container goes first, so that its
    finaliser meets live actors (it writes nothing when no copy is changed)."""
    handles = quor_actors(container)
    del container
    gc.collect()
    kill_actors(handles)


# --------------------------------------------------------------------------- Manager

@dataclass
class ManagerPeer:
    manager: Any
    authkey: bytes
    lock_blob: bytes = b""
    _dicts: list = field(default_factory=list)

    def new_dict(self, initial: dict | None = None):
        d = self.manager.dict(initial or {})
        self._dicts.append(d)
        return d

    def new_lock(self):
        return self.manager.Lock()

    def export(self, proxy) -> bytes:
        """A proxy as bytes that a Ray task can turn back into a live proxy
        with `import_proxy` (Ray workers are no children of the manager, so
        they need its authentication key)."""
        return pickle.dumps(proxy)

    def shutdown(self) -> None:
        self._dicts.clear()
        try:
            self.manager.shutdown()
        except Exception:
            pass


def import_proxy(authkey: bytes, blob: bytes):
    multiprocessing.current_process().authkey = authkey
    return pickle.loads(blob)


def _exit_with_parent() -> None:
    # A benchmark that dies without shutting the manager down (a crash in an
    # extension, a kill) must not leave its server behind.
    try:
        import ctypes
        import signal
        ctypes.CDLL(None, use_errno=True).prctl(1, int(signal.SIGTERM))  # PR_SET_PDEATHSIG
    except Exception:
        pass


def start_manager() -> ManagerPeer:
    from multiprocessing.managers import SyncManager
    # Forked before Ray starts any thread in this process.
    manager = SyncManager(ctx=multiprocessing.get_context("fork"))
    manager.start(_exit_with_parent)
    return ManagerPeer(manager, bytes(multiprocessing.current_process().authkey))


# --------------------------------------------------------------------------- Redis

REDIS_HOST = "127.0.0.1"


@dataclass
class RedisPeer:
    port: int
    client: Any
    started_here: bool

    def connect(self):
        import redis
        return redis.Redis(host=REDIS_HOST, port=self.port)

    def redis_dict(self, key: str, initial: dict | None = None):
        from pottery import RedisDict
        self.client.delete(key)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return RedisDict(initial or {}, redis=self.client, key=key)

    def redis_dict_contents(self, rd) -> dict:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # reading it whole is O(n), as intended here
            return dict(rd.to_dict())

    def shutdown(self) -> None:
        if self.started_here:
            try:
                self.client.shutdown(nosave=True)
            except Exception:
                pass


def start_redis(port: int, log: Callable[[str], None]) -> RedisPeer | None:
    """Connects to the server on 127.0.0.1:port, starting one with persistence
    off when none answers; None, with the reason logged, when neither works."""
    try:
        import redis
        import pottery  # noqa: F401
    except ImportError as e:
        log(f"redis peer skipped: {e} (run benchmarks/setup.sh)")
        return None
    client = redis.Redis(host=REDIS_HOST, port=port)
    try:
        client.ping()
        return RedisPeer(port, client, False)
    except redis.ConnectionError:
        pass
    server = shutil.which("redis-server")
    if server is None:
        log("redis peer skipped: no server answers and redis-server is not installed "
            "(run benchmarks/setup.sh)")
        return None
    subprocess.run([server, "--port", str(port), "--save", "", "--appendonly", "no",
                    "--daemonize", "yes", "--bind", REDIS_HOST],
                   check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(50):
        try:
            client.ping()
            log(f"started redis-server on {REDIS_HOST}:{port} (stopped again at the end)")
            return RedisPeer(port, client, True)
        except redis.ConnectionError:
            time.sleep(0.1)
    log(f"redis peer skipped: redis-server did not answer on {REDIS_HOST}:{port}")
    return None
