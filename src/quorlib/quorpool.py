"""The shared pool of host actors that hold containers' chunks, and the keeper
that owns it: one of each per Ray job.

Note [Who keeps a container alive]
A container's life is its control actor's (the lock, the version record and a
list's counts, `quorlib.quorlock`). The keeper creates every control actor and
hands back its handle without keeping one, so Ray counts the control's
handles wherever they travel and ends it once no process holds one, whichever
process built the container: the keeper, detached, is the owner, and outlives
every user process. A control anchors itself at each host that holds one of
its chunks (a call it leaves pending there, whose reference the host awaits):
when the control ends, for any reason, the host's wait fails and the host
frees that control's slots. Nothing polls and nothing leases.

The keeper also keeps the liveness tokens of user processes (the pending
`hold` calls that lock actors await to learn of a holder's death) and the
pool: `hosts_per_node` hosts on each node, created and owned by the keeper,
reserving no CPU. It ends itself once no process, control actor or container
depends on it: at once when every job it served has ended, otherwise after
`KEEPER_LINGER_S` idle. Its end ends the hosts it owns.
"""

from __future__ import annotations

import asyncio
import collections
import itertools
import os
import pickle
import random
import threading
import time
from typing import Any

import ray

from quorlib import quorproxy

__all__ = ["HostState", "KeeperState", "QuorHost", "QuorKeeper", "configure", "keeper",
           "process_token", "place", "pool_status", "actor_key"]

KEEPER_NAME = "quorlib.keeper"
# Each registered process and control actor keeps one call pending on the keeper.
MAX_CONCURRENCY = 100_000
# Threads of a host: a call waiting for a slot's creation takes one.
HOST_THREADS = 32
# How long the keeper stays up with nothing depending on it, while a job it
# served may still create containers.
KEEPER_LINGER_S = 30.0
# How long a call waits for a slot (or cell) whose creation has not arrived:
# the creator's call and another process's can reach the actor in any order.
CREATION_WAIT_S = 60.0
# How long a host keeps the slots of a control that has not anchored there:
# the control died before it could, or its anchor is still on its way.
ANCHOR_GRACE_S = 60.0
# How long a process trusts its listing of the pool before asking again, when
# it places chunks for a control it did not make; and how long the keeper
# trusts its listing of the cluster's nodes.
POOL_LISTING_S = 2.0
NODES_READ_S = 2.0
# Controls (by key) a host remembers as ended: a slot created for one of them
# after its end is dropped at once.
ENDED_REMEMBERED = 10_000
# Pool listings a process keeps, for the controls it made last.
LISTINGS_REMEMBERED = 16


def _committed(requester_id: Any) -> int:
    """The commit a requester id names (0 for a plain id)."""
    return getattr(requester_id, "committed_epoch", 0) if isinstance(requester_id, tuple) else 0


def slot_name(owner: str, unique: str) -> str:
    """A slot's name carries its owner's key, so that a host can tell a slot
    freed with its ended owner from one whose creation is still on its way."""
    return f"{owner}/{unique}"


def owner_of(slot: str) -> str:
    return slot.partition("/")[0]


def actor_key(handle: Any) -> str:
    """The key by which hosts and the keeper know an actor: its id in hex."""
    actor_id = handle._actor_id
    return actor_id.hex() if hasattr(actor_id, "hex") else str(actor_id)


# -- hosts ----------------------------------------------------------------------


class HostState:
    """The slots of one host and the controls they belong to, with no Ray in it.

    A slot is a chunk's ProxyState, created for an owner (a control actor's
    key). An owner is anchored once the host follows its life; its slots go
    when it ends. An owner that never anchors is ended by the host after a
    grace period (`expire`)."""

    def __init__(self) -> None:
        self.slots: dict[str, quorproxy.ProxyState] = {}
        self.owned: dict[str, set[str]] = {}   # owner -> its slots
        self.anchored: set[str] = set()
        self.created_at: dict[str, float] = {}  # unanchored owner -> when its first slot came
        self.ended: collections.OrderedDict[str, None] = collections.OrderedDict()

    def create(self, slot: str, value: Any, cache_class: type | None, owner: str,
               now: float) -> bool:
        """Returns False, keeping nothing, for an owner that has ended."""
        if owner in self.ended:
            return False
        directory = cache_class() if cache_class is not None else None
        self.slots[slot] = quorproxy.ProxyState(value, directory)
        self.owned.setdefault(owner, set()).add(slot)
        if owner not in self.anchored:
            self.created_at.setdefault(owner, now)
        return True

    def state(self, slot: str) -> quorproxy.ProxyState | None:
        return self.slots.get(slot)

    def freed(self, slot: str) -> bool:
        """Whether `slot` went with its owner (or will never be kept)."""
        return slot not in self.slots and owner_of(slot) in self.ended

    def anchor(self, owner: str) -> bool:
        """The host now follows `owner`'s life; False if it has ended."""
        if owner in self.ended:
            return False
        self.anchored.add(owner)
        self.created_at.pop(owner, None)
        return True

    def end(self, owner: str) -> int:
        """`owner` ended: its slots go. Returns how many."""
        slots = self.owned.pop(owner, set())
        for slot in slots:
            self.slots.pop(slot, None)
        self.anchored.discard(owner)
        self.created_at.pop(owner, None)
        self.ended[owner] = None
        while len(self.ended) > ENDED_REMEMBERED:
            self.ended.popitem(last=False)
        return len(slots)

    def expire(self, now: float, grace: float) -> list[str]:
        """Ends the owners that have not anchored within `grace`; returns them."""
        late = [o for o, since in self.created_at.items() if now - since >= grace]
        for owner in late:
            self.end(owner)
        return late

    def status(self) -> dict[str, int]:
        return {"slots": len(self.slots), "owners": len(self.owned),
                "anchored": len(self.anchored)}


class _Waiters:
    """Callers waiting for a name (a slot, a cell) to be created."""

    def __init__(self) -> None:
        self._events: dict[str, asyncio.Event] = {}

    def created(self, name: str) -> None:
        event = self._events.pop(name, None)
        if event is not None:
            event.set()

    async def wait(self, name: str, timeout: float) -> None:
        event = self._events.setdefault(name, asyncio.Event())
        try:
            await asyncio.wait_for(event.wait(), timeout)
        except asyncio.TimeoutError:
            pass


class _Anchors:
    """What an actor does with the tokens of those whose life it follows: a
    `hold` call left pending by each, and a watch on its reference that fails
    when the holder's process ends. `on_end(name)` runs once per name."""

    def __init__(self, on_end: Any) -> None:
        self._holds: dict[str, asyncio.Future] = {}
        self._watchers: dict[str, asyncio.Task] = {}
        self._on_end = on_end

    async def hold(self, name: str, grace: float) -> None:
        done = self._holds.get(name)
        if done is None:
            done = self._holds[name] = asyncio.get_running_loop().create_future()
        if name not in self._watchers:
            # A watch that never comes (its sender died in between) must not
            # keep this call pending for good.
            await asyncio.wait([done], timeout=grace)
            if not done.done() and name not in self._watchers:
                if self._holds.get(name) is done:
                    del self._holds[name]
                return
        await done

    def watch(self, name: str, token: Any) -> bool:
        """Starts following `name`; False if it is followed already."""
        if name in self._watchers:
            return False
        self._watchers[name] = asyncio.get_running_loop().create_task(self._watch(name, token))
        return True

    def following(self, name: str) -> bool:
        return name in self._watchers

    async def _watch(self, name: str, token: Any) -> None:
        try:
            await token
        except asyncio.CancelledError:
            raise
        except Exception:  # OwnerDiedError: the holder's process is gone
            pass
        # A token that resolves normally belongs to a hold that gave up
        # waiting for this watch: the holder cannot be followed either.
        self._watchers.pop(name, None)
        done = self._holds.pop(name, None)
        if done is not None and not done.done():
            done.set_result(None)
        self._on_end(name)


@ray.remote(num_cpus=0, max_concurrency=HOST_THREADS)  # type: ignore[call-overload]
class QuorHost:
    """Holds chunks in slots, each with a chunk proxy's commit bookkeeping.

    A threaded actor, which answers a call sooner than an asynchronous one;
    every slot operation runs under one condition, and a call that must wait
    for a slot's creation waits on it. The host follows each owner through a
    callback on the owner's token, so nothing stays pending here."""

    def __init__(self, node_id: str | None = None, keeper: Any = None) -> None:
        self._node_id = node_id
        self._state = HostState()
        self._changed = threading.Condition()
        self._expiry: threading.Timer | None = None
        if keeper is not None:
            # The keeper follows this host's life, to replace it when it dies.
            key = ray.get_runtime_context().get_actor_id()
            self._token = keeper.hold.remote(key)
            keeper.watch.remote(key, "host", [self._token])

    # -- slots ------------------------------------------------------------------

    def create(self, slot: str, value: Any, cache_class: type | None, owner: str) -> None:
        with self._changed:
            if self._state.create(slot, value, cache_class, owner, time.monotonic()):
                self._changed.notify_all()
                if owner not in self._state.anchored:
                    self._schedule_expiry()

    def get(self, slot: str, requester_id: Any) -> Any:
        with self._changed:
            return self._slot(slot, _committed(requester_id)).get(requester_id)

    def set(self, slot: str, requester_id: Any, value: Any) -> None:
        with self._changed:
            self._slot(slot, _committed(requester_id)).set(requester_id, value)

    def get_nocache(self, slot: str) -> Any:
        with self._changed:
            return self._slot(slot).value

    def set_nocache(self, slot: str, value: Any) -> None:
        with self._changed:
            self._slot(slot).value = value

    def rollback(self, slot: str, new_epoch: int, committed_epoch: int) -> int:
        with self._changed:
            return self._slot(slot, committed_epoch).rollback(new_epoch, committed_epoch)

    def install(self, slot: str, epoch: int, contents: bytes) -> None:
        """A chunk committed at `epoch`, written by its control actor once the
        lock has passed on (Note [The commit travels with the release])."""
        value = pickle.loads(contents)
        with self._changed:
            state = self._state.state(slot)
            if state is not None:
                state.install(epoch, value)
                self._changed.notify_all()

    def directory(self, slot: str) -> tuple[Any, Any] | None:
        with self._changed:
            d = self._slot(slot).directory
            return None if d is None else (d.last_reader, d.last_writer)

    def _slot(self, slot: str, committed: int = 0) -> quorproxy.ProxyState:
        """The slot's state, once it exists and holds the commit `committed`
        (a caller whose record names a commit that its control actor has yet
        to write here waits for it); the caller holds the condition."""
        deadline = time.monotonic() + CREATION_WAIT_S
        while ((state := self._state.state(slot)) is None or state.epoch < committed) \
                and not self._state.freed(slot):
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            self._changed.wait(remaining)
        if state is None:
            raise quorproxy.LostSlotError(
                f"host holds no slot {slot!r}: its container has ended (no process holds it "
                f"any more) or the slot's creation never arrived")
        return state

    # -- owners -------------------------------------------------------------------

    def watch(self, owner: str, token: list[Any]) -> None:
        """Follows `owner`'s life: `token` is [a reference owned by the owner
        that never resolves while it lives], nested so that Ray passes the
        reference itself. Its slots go when the reference fails."""
        with self._changed:
            if not self._state.anchor(owner):
                return
        token[0].future().add_done_callback(lambda _: self._owner_ended(owner))

    def _owner_ended(self, owner: str) -> None:
        with self._changed:
            self._state.end(owner)
            self._changed.notify_all()

    def _schedule_expiry(self) -> None:
        if self._expiry is None or not self._expiry.is_alive():
            self._expiry = threading.Timer(ANCHOR_GRACE_S / 4, self._expire)
            self._expiry.daemon = True
            self._expiry.start()

    def _expire(self) -> None:
        with self._changed:
            self._state.expire(time.monotonic(), ANCHOR_GRACE_S)
            self._expiry = None
            if self._state.created_at:
                self._schedule_expiry()

    def status(self) -> dict[str, Any]:
        with self._changed:
            return {"node_id": self._node_id, "pid": os.getpid(), **self._state.status()}


# -- the keeper -------------------------------------------------------------------


class KeeperState:
    """What the keeper knows, with no Ray in it: who depends on it (user
    processes and control actors, by name), the jobs it served, and how many
    hosts each node should have."""

    def __init__(self, hosts_per_node: int | None = None) -> None:
        self.hosts_per_node = hosts_per_node
        self.dependents: dict[str, str] = {}   # name -> "process" or "control"
        self.jobs: set[str] = set()
        self.idle_since: float | None = 0.0

    def hosts_wanted(self, node_cpus: float) -> int:
        """Hosts for a node: the configured number, or its CPUs, at least 2."""
        if self.hosts_per_node is not None:
            return max(1, self.hosts_per_node)
        return max(2, int(node_cpus))

    def configure(self, hosts_per_node: int | None) -> int | None:
        """A pool only grows: a larger size applies, a smaller one is ignored."""
        if hosts_per_node is not None and (self.hosts_per_node is None
                                           or hosts_per_node > self.hosts_per_node):
            self.hosts_per_node = hosts_per_node
        return self.hosts_per_node

    def arrive(self, name: str, kind: str, job_id: str | None, now: float) -> None:
        self.dependents[name] = kind
        if job_id:
            self.jobs.add(job_id)
        self.idle_since = None

    def leave(self, name: str, now: float) -> None:
        if self.dependents.pop(name, None) is not None and not self.dependents:
            self.idle_since = now

    def busy(self, now: float) -> None:
        """Something was asked of the keeper: it is not idle."""
        if not self.dependents:
            self.idle_since = now

    def should_end(self, now: float, linger: float, jobs_alive: bool) -> bool:
        if self.dependents or self.idle_since is None:
            return False
        return not jobs_alive or now - self.idle_since >= linger

    def status(self) -> dict[str, Any]:
        kinds = collections.Counter(self.dependents.values())
        return {"processes": kinds["process"], "controls": kinds["control"],
                "hosts_per_node": self.hosts_per_node, "jobs": sorted(self.jobs)}


def _node_rows() -> list[tuple[str, float]]:
    """(node id, CPUs) of every alive node."""
    return [(n["NodeID"], float(n.get("Resources", {}).get("CPU", 0)))
            for n in ray.nodes() if n.get("Alive")]


def _jobs_alive(jobs: set[str]) -> bool:
    """Whether any of `jobs` still runs. When Ray cannot tell, they are taken
    as alive: the keeper then ends after its linger."""
    if not jobs:
        return False
    try:
        gcs = ray._private.worker.global_worker.gcs_client
        table = gcs.get_all_job_info(timeout=10)
    except Exception:
        return True
    for job_id, info in table.items():
        key = job_id.hex() if hasattr(job_id, "hex") else str(job_id)
        if key in jobs and not info.is_dead:
            return True
    return False


@ray.remote(num_cpus=0, max_concurrency=MAX_CONCURRENCY)  # type: ignore[call-overload]
class QuorKeeper:
    """Detached and named: one per Ray namespace, made by the first process that
    needs it. It owns every control actor and host it creates."""

    def __init__(self, hosts_per_node: int | None = None) -> None:
        self._state = KeeperState(hosts_per_node)
        self._anchors = _Anchors(self._ended)
        self._hosts: dict[str, list[Any]] = {}  # node id -> hosts on it
        self._pool_lock: asyncio.Lock | None = None
        self._nodes: list[tuple[str, float]] = []
        self._nodes_read = -NODES_READ_S
        self._reaper: asyncio.Task | None = None
        self._self: Any = None

    # -- dependents ------------------------------------------------------------------

    async def hold(self, name: str) -> None:
        """Pending while `name` (a user process, a control actor) lives."""
        await self._anchors.hold(name, KEEPER_LINGER_S * 2)

    async def watch(self, name: str, kind: str, token: list[Any], job_id: str | None = None) -> None:
        """Follows `name`'s life through `token` ([the reference of its `hold`
        call]). A user process or control actor depends on the keeper; a
        host is followed to be replaced when it dies."""
        if self._anchors.watch(name, token[0]) and kind != "host":
            self._state.arrive(name, kind, job_id, time.monotonic())
        self._start_reaper()

    def _ended(self, name: str) -> None:
        for hosts in self._hosts.values():
            hosts[:] = [h for h in hosts if actor_key(h) != name]
        self._state.leave(name, time.monotonic())

    # -- what the keeper makes ----------------------------------------------------------

    async def new_control(self, job_id: str | None = None,
                          hosts_per_node: int | None = None) -> list[Any]:
        """A new control actor, owned by the keeper, and the pool to place the
        container's chunks in. The control's handle comes back nested in a
        list and the keeper keeps none, so Ray counts the holders' handles."""
        from quorlib.quorlock import QuorControl

        if job_id:
            self._state.jobs.add(job_id)
        control = QuorControl.options(scheduling_strategy="SPREAD").remote(self._handle())
        return [control, await self.pool(hosts_per_node)]

    async def pool(self, hosts_per_node: int | None = None) -> list[tuple[str, Any]]:
        """Every host of every alive node, as (node id, handle), creating what a
        node lacks."""
        self._state.configure(hosts_per_node)
        self._state.busy(time.monotonic())
        self._start_reaper()
        if self._pool_lock is None:
            self._pool_lock = asyncio.Lock()
        async with self._pool_lock:
            if time.monotonic() - self._nodes_read > NODES_READ_S:
                self._nodes = await asyncio.get_running_loop().run_in_executor(None, _node_rows)
                self._nodes_read = time.monotonic()
            for node_id, cpus in self._nodes:
                hosts = self._hosts.setdefault(node_id, [])
                while len(hosts) < self._state.hosts_wanted(cpus):
                    on_node = ray.util.scheduling_strategies.NodeAffinitySchedulingStrategy(
                        node_id, soft=False)
                    hosts.append(QuorHost.options(scheduling_strategy=on_node).remote(
                        node_id, self._handle()))
        return [(node, host) for node, hosts in self._hosts.items() for host in hosts]

    async def status(self) -> dict[str, Any]:
        return {**self._state.status(), "pid": os.getpid(),
                "hosts": {node: len(hosts) for node, hosts in self._hosts.items()}}

    # -- the keeper's own end ---------------------------------------------------------------

    def _handle(self) -> Any:
        if self._self is None:
            self._self = ray.get_runtime_context().current_actor
        return self._self

    def _start_reaper(self) -> None:
        if self._reaper is None or self._reaper.done():
            self._reaper = asyncio.get_running_loop().create_task(self._reap())

    async def _reap(self) -> None:
        while True:
            await asyncio.sleep(1.0)
            now = time.monotonic()
            if self._state.dependents or self._state.idle_since is None:
                continue
            jobs_alive = await asyncio.get_running_loop().run_in_executor(
                None, _jobs_alive, set(self._state.jobs))
            if self._state.should_end(time.monotonic(), KEEPER_LINGER_S, jobs_alive):
                # Outside a call, exit_actor would end only this task: the
                # keeper asks Ray to end it, and with it the hosts it owns.
                ray.kill(self._handle(), no_restart=True)
                return


# -- the client's side ----------------------------------------------------------------


_client_mutex = threading.Lock()
_client: dict[str, Any] = {}  # this process's keeper handle, token and pool listing
_hosts_per_node: int | None = None


def configure(hosts_per_node: int | None = None) -> None:
    """Sets the pool's size per node (by default the node's CPUs, at least 2)
    for the keeper this process creates or reaches next; a pool only grows."""
    global _hosts_per_node
    if hosts_per_node is not None and hosts_per_node < 1:
        raise ValueError("hosts_per_node must be at least 1")
    with _client_mutex:
        _hosts_per_node = hosts_per_node
        _client.pop("listing", None)


def _fresh_client() -> dict[str, Any]:
    # A forked child or a new Ray session starts over.
    pid = os.getpid()
    session = _session()
    if _client.get("pid") != pid or _client.get("session") != session:
        _client.clear()
        _client.update(pid=pid, session=session)
    return _client


def _session() -> Any:
    try:
        return ray.get_runtime_context().get_job_id()
    except Exception:
        return None


def keeper() -> Any:
    """This job's keeper, made if there is none. It lives in a namespace of
    its own, named after the job: every process of the job finds it there,
    and it runs in the job's environment, so the hosts it makes can unpickle
    the job's values."""
    with _client_mutex:
        client = _fresh_client()
        handle = client.get("keeper")
        if handle is None:
            handle = QuorKeeper.options(name=KEEPER_NAME, namespace=f"quorlib-{_job_id()}",
                                        lifetime="detached",
                                        get_if_exists=True).remote(_hosts_per_node)
            client["keeper"] = handle
        return handle


def forget_keeper() -> None:
    """The keeper this process knew has ended: the next use makes or finds another."""
    with _client_mutex:
        for key in ("keeper", "token", "listing"):
            _client.pop(key, None)


def _job_id() -> str | None:
    try:
        return ray.get_runtime_context().get_job_id()
    except Exception:
        return None


def process_token(name: str) -> Any:
    """This process's liveness token: the reference of a call it leaves
    pending on the keeper, which fails only when the process dies. Made once
    per process and keeper."""
    handle = keeper()
    with _client_mutex:
        client = _fresh_client()
        token = client.get("token")
        if token is None or client.get("token_of") is not handle:
            token = handle.hold.remote(name)
            handle.watch.remote(name, "process", [token], _job_id())
            client.update(token=token, token_of=handle)
        return token


def renew_token_if_failed() -> None:
    """A token that has finished (its keeper ended, or its watch never came)
    no longer tells anyone of this process's death: the next one is new."""
    with _client_mutex:
        token = _fresh_client().get("token")
    if token is None:
        return
    ready, _ = ray.wait([token], timeout=0)
    if ready:
        forget_keeper()


def new_control() -> Any:
    """A control actor owned by the keeper (Note [Who keeps a container alive]).
    The keeper's answer also lists the pool as it is now: the new
    container's chunks are placed from it."""
    for attempt in (1, 2):
        handle = keeper()
        try:
            control, rows = ray.get(handle.new_control.remote(_job_id(), _hosts_per_node),
                                    timeout=120)
            break
        except ray.exceptions.RayActorError:
            forget_keeper()  # ended by itself between two uses: make another
            if attempt == 2:
                raise
    with _client_mutex:
        listings = _fresh_client().setdefault("by_control", collections.OrderedDict())
        listings[actor_key(control)] = _interleave(rows)
        while len(listings) > LISTINGS_REMEMBERED:
            listings.popitem(last=False)
    return control


def _listing() -> list[Any]:
    with _client_mutex:
        client = _fresh_client()
        listing = client.get("listing")
        if listing is not None and time.monotonic() - listing[0] < POOL_LISTING_S:
            return listing[1]
    for attempt in (1, 2):
        handle = keeper()
        try:
            rows = ray.get(handle.pool.remote(_hosts_per_node), timeout=120)
            break
        except ray.exceptions.RayActorError:
            forget_keeper()
            if attempt == 2:
                raise
    hosts = _interleave(rows)
    with _client_mutex:
        client = _fresh_client()
        client["listing"] = (time.monotonic(), hosts)
    return hosts


def _interleave(rows: list[tuple[str, Any]]) -> list[Any]:
    """The hosts ordered node by node in turn, so that consecutive chunks go to
    different nodes first and to different hosts of a node next."""
    by_node: dict[str, list[Any]] = {}
    for node, host in rows:
        by_node.setdefault(node, []).append(host)
    columns = [by_node[node] for node in sorted(by_node)]
    return [column[i] for i in range(max(map(len, columns), default=0))
            for column in columns if i < len(column)]


def place(owner: Any) -> Any:
    """The host for a new chunk of `owner`'s container: the pool's hosts in
    turn, as listed when the control actor was made (or listed afresh)."""
    with _client_mutex:
        hosts = _fresh_client().get("by_control", {}).get(actor_key(owner))
    if hosts is None:
        hosts = _listing()
    if not hosts:
        raise RuntimeError("the quorlib pool has no host: no Ray node is alive")
    with _client_mutex:
        # Processes start at different hosts, so that small containers made by
        # many processes share the pool out too.
        turns = _fresh_client().setdefault("turn", itertools.count(random.randrange(1 << 16)))
        turn = next(turns)
    return hosts[turn % len(hosts)]


def pool_status() -> dict[str, Any]:
    """The keeper's view: processes and control actors depending on it, jobs,
    hosts per node; and each host's slots and owners."""
    handle = keeper()
    status = ray.get(handle.status.remote(), timeout=60)
    rows = ray.get(handle.pool.remote(), timeout=60)
    status["host_status"] = ray.get([host.status.remote() for _, host in rows], timeout=60)
    return status
