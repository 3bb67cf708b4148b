"""An in-process stand-in for Ray and the quorlib services.

Every remote call is recorded, in the order it was sent, as "name.method" in
``FakeRay.log`` (with its arguments in ``FakeRay.calls``). A call is named by
what it addresses: "lock0", "lock1", ... for control actors (a container's
lock), and "proxy0", "proxy1", ... in creation order for every value a
container keeps: its version record and a list's counts (cells of its control
actor, whose calls are the control's ``cell_<method>``, logged as
"proxyN.<method>"), its chunks (slots of the pool's hosts, "host0" and
"host1", which take chunks in turn) and a value with no owner (an actor of its
own). ``FakeRay.hops`` counts the calls by the actor that serves them.

Values cross the actor boundary by pickling, as with Ray, so a caller never
shares an object with an actor, and an argument that cannot be pickled fails
the call where it is sent. Failures can be injected per addressee and method,
and an addressee (a whole actor, or one slot or cell) can be killed;
``end_control`` frees a control's slots, as the hosts do once it ends. The
actors run the services' own state classes (``LockState``, ``ProxyState``,
``HostState``), so the double and the real actors cannot disagree about what
a call does.
"""

import collections
import importlib
import io
import itertools
import pickle
import threading
import types

from quorlib.lockstate import ControlState, HolderLostError
from quorlib.quorpool import HostState, actor_key
from quorlib.quorproxy import Cell, LostSlotError, ProxyState, Slot

_registry = {}  # actor id -> actor, so that handles survive pickling in-process
_actor_ids = itertools.count(1)  # never reused, unlike id(): clients key state by actor id
HOSTS = 2


class FakeRayError(Exception):
    """Stands in for ray.exceptions.RayError."""


class FakeActorDied(FakeRayError):
    """Stands in for ray.exceptions.RayActorError: the actor is dead."""


class FakeGetTimeoutError(FakeRayError, TimeoutError):
    pass


class FakeObjectRef:
    def __init__(self, resolve):
        self._resolve = resolve

    def result(self):
        return self._resolve()


def _resolved(value):
    return FakeObjectRef(lambda: value)


def _failed(exc):
    def resolve():
        raise exc
    return FakeObjectRef(resolve)


class _ArgumentPickler(pickle.Pickler):
    """Pickles a call's arguments as Ray would; a nested reference travels as
    itself."""

    def persistent_id(self, obj):
        return id(obj) if isinstance(obj, FakeObjectRef) else None


def _lookup_handle(actor_id):
    return _registry[actor_id].handle


class _Method:
    def __init__(self, actor, name):
        self._actor = actor
        self._name = name

    def remote(self, *args, **kwargs):
        return self._actor.invoke(self._name, args, kwargs)


class FakeHandle:
    def __init__(self, actor):
        self._actor = actor

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return _Method(self._actor, name)

    def __reduce__(self):
        return (_lookup_handle, (self._actor.actor_id,))

    def __repr__(self):
        return f"FakeHandle({self._actor.name})"

    def __eq__(self, other):
        return isinstance(other, FakeHandle) and other._actor is self._actor

    def __hash__(self):
        return hash(self._actor.actor_id)

    @property
    def name(self):
        return self._actor.name

    @property
    def _actor_id(self):
        return self._actor.actor_id


class FakeEndpoint:
    """What a call addresses: a whole actor, or one slot or cell of one."""

    def __init__(self, name):
        self.name = name
        self.dead = False
        self.failures = {}  # method -> [exception, remaining count or None]

    def fail(self, method, exc, times=None):
        """Makes `method` raise `exc` (for `times` calls, or until cleared)."""
        self.failures[method] = [exc, times]

    def clear_failures(self):
        self.failures.clear()

    def take_failure(self, method):
        failure = self.failures.get(method)
        if failure is None:
            return None
        exc, remaining = failure
        if remaining is not None:
            failure[1] -= 1
            if failure[1] <= 0:
                del self.failures[method]
        return exc


class FakeActor(FakeEndpoint):
    def __init__(self, fake, name):
        super().__init__(name)
        self.fake = fake
        self.actor_id = next(_actor_ids)
        self.handle = FakeHandle(self)
        self.mutex = threading.Lock()
        _registry[self.actor_id] = self

    def addressee(self, method, args):
        """The endpoint a call addresses, and the method name it is logged by."""
        return self, method

    def invoke(self, method, args, kwargs):
        # As Ray does, a reference passed directly is resolved before the call
        # is sent; when it holds an error, the call fails with it and never
        # reaches the actor (nor the log).
        try:
            args = tuple(a.result() if isinstance(a, FakeObjectRef) else a for a in args)
        except BaseException as exc:  # an injected interrupt too: it is the call's outcome
            return _failed(exc)
        # As Ray does, an argument that cannot be serialised fails the call
        # where it is sent, with the repr of the whole argument.
        try:
            _ArgumentPickler(io.BytesIO()).dump((args, kwargs))
        except RecursionError:  # the caller's own stack is what ran out
            raise
        except Exception as exc:
            raise TypeError(f"Could not serialize the argument {args!r} for a task or actor "
                            f"{self.name}.{method}") from exc
        endpoint, logged = self.addressee(method, args)
        self.fake.record(endpoint.name, logged, args, kwargs, self.name)
        if self.dead or endpoint.dead:
            return _failed(FakeActorDied(f"actor {(self if self.dead else endpoint).name} died"))
        exc = endpoint.take_failure(logged)
        if exc is not None:
            return _failed(exc)
        impl = getattr(self, "do_" + method, None)
        if impl is None:
            return _failed(AttributeError(f"{self.name} has no method {method}"))
        with self.mutex:
            try:
                return impl(*args, **kwargs)
            except Exception as exc:  # a remote error surfaces at ray.get
                return _failed(exc)


def _copy(value):
    return pickle.loads(pickle.dumps(value))


class FakeProxy(FakeActor):
    """A value with an actor of its own: runs the real proxy's state machine;
    values are copied at the boundary."""

    def __init__(self, fake, name, value, cache_class):
        super().__init__(fake, name)
        self.state = ProxyState(_copy(value), cache_class() if cache_class is not None else None)
        self.cache_class = cache_class

    @property
    def value(self):
        return self.state.value

    @value.setter
    def value(self, value):
        self.state.value = value

    def do_get(self, requester_id):
        return _resolved(_copy(self.state.get(requester_id)))

    def do_set(self, requester_id, value):
        self.state.set(requester_id, _copy(value))
        return _resolved(None)

    def do_get_nocache(self):
        return _resolved(_copy(self.state.value))

    def do_set_nocache(self, value):
        self.state.value = _copy(value)
        return _resolved(None)

    def do_rollback(self, new_epoch, committed_epoch):
        return _resolved(self.state.rollback(new_epoch, committed_epoch))

    def do_swap(self, expected, value):
        self.state.swap(expected, _copy(value))
        return _resolved(None)

    def do_publish(self, epoch, value, *after):
        self.state.publish(epoch, _copy(value))
        return _resolved(None)

    def do_fence(self, epoch):
        return _resolved(_copy(self.state.fence(epoch)))


class FakeHeld(FakeEndpoint):
    """A slot of a host or a cell of a control actor, as tests see it."""

    def __init__(self, name, actor, key):
        super().__init__(name)
        self.actor = actor
        self.key = key

    @property
    def state(self):
        return self.actor.held_state(self.key)

    @property
    def value(self):
        return self.state.value

    @value.setter
    def value(self, value):
        self.state.value = value


class FakeHost(FakeActor):
    """A pool host: runs the real HostState; calls are logged by slot."""

    SLOT_METHODS = ("create", "get", "set", "get_nocache", "set_nocache", "rollback", "directory",
                    "install")

    def __init__(self, fake, name):
        super().__init__(fake, name)
        self.state = HostState()
        self.slots = {}  # slot name -> FakeHeld

    def addressee(self, method, args):
        if method in self.SLOT_METHODS and args and args[0] in self.slots:
            return self.slots[args[0]], method
        return self, method

    def held_state(self, slot):
        state = self.state.state(slot)
        if state is None:
            raise LostSlotError(f"host holds no slot {slot!r}")
        return state

    def do_create(self, slot, value, cache_class, owner):
        self.state.create(slot, _copy(value), cache_class, owner, 0.0)
        self.state.anchor(owner)
        return _resolved(None)

    def do_get(self, slot, requester_id):
        return _resolved(_copy(self.held_state(slot).get(requester_id)))

    def do_set(self, slot, requester_id, value):
        self.held_state(slot).set(requester_id, _copy(value))
        return _resolved(None)

    def do_get_nocache(self, slot):
        return _resolved(_copy(self.held_state(slot).value))

    def do_set_nocache(self, slot, value):
        self.held_state(slot).value = _copy(value)
        return _resolved(None)

    def do_rollback(self, slot, new_epoch, committed_epoch):
        return _resolved(self.held_state(slot).rollback(new_epoch, committed_epoch))

    def do_install(self, slot, epoch, contents):
        state = self.state.state(slot)
        if state is not None:
            state.install(epoch, pickle.loads(contents))
        return _resolved(None)

    def do_directory(self, slot):
        d = self.held_state(slot).directory
        return _resolved(None if d is None else (d.last_reader, d.last_writer))


class FakeLock(FakeActor):
    """A control actor: runs the real lock's state machine and keeps cells;
    ray.get of an acquire blocks until granted. `lose(ticket)` is what the real
    lock does when that ticket's process dies (its token fails)."""

    def __init__(self, fake, name):
        super().__init__(fake, name)
        self.cond = threading.Condition()
        self.state = ControlState()
        self.outcomes = {}   # ticket -> the grant, or the exception to raise
        self.cells = self.state.cells  # cell name -> ProxyState
        self.cell_names = {}  # cell name -> FakeHeld

    @property
    def held(self):
        return bool(self.state.holders)

    def addressee(self, method, args):
        if method.startswith("cell_") and args and args[0] in self.cell_names:
            return self.cell_names[args[0]], method[len("cell_"):]
        return self, method

    def held_state(self, cell):
        return self.cells[cell]

    def _deliver(self, granted):
        for entry in granted:
            self.outcomes[entry.ticket] = entry.grant
        self.cond.notify_all()

    def _waiter(self, ticket):
        def wait():
            with self.cond:
                while ticket not in self.outcomes:
                    if not self.cond.wait(timeout=30):
                        raise TimeoutError(f"{self.name}: lock not granted in 30 s (deadlock?)")
                outcome = self.outcomes.pop(ticket)
            if isinstance(outcome, BaseException):
                raise outcome
            return outcome
        return FakeObjectRef(wait)

    def do_acquire(self, request):
        with self.cond:
            if request.registration is not None:
                self.state.register(request.process, request.registration.info)
            granted = self.state.request(request.ticket, request.process, request.task_id,
                                         request.record_key, request.copies, request.scope)
        return _resolved(granted.grant) if granted is not None else self._waiter(request.ticket)

    def do_release(self, message, *after):
        with self.cond:
            nxt, writes = self.state.end_block(message)
            if message.commit is not None:
                self.fake.commits.append(message)
            self._deliver(nxt)
            self.cond.notify_all()
        for index, slot, epoch, contents in writes:  # after the lock has passed on, as the actor does
            try:
                slot.host.install.remote(slot.name, epoch, contents).result()
            except Exception:
                pass  # not waited for by the actor: a lost host loses the chunk
        return _resolved(None)

    def do_withdraw(self, ticket):
        with self.cond:
            self.outcomes.pop(ticket, None)
            self._deliver(self.state.withdraw(ticket))
            self.cond.notify_all()
        return _resolved(None)

    def do_force_unlock(self, holder=None):
        with self.cond:
            released, nxt = self.state.force(holder)
            self._deliver(nxt)
            self.cond.notify_all()
        return _resolved(released)

    def do_status(self):
        with self.cond:
            return _resolved(self.state.status())

    def do_anchor_at(self, host):
        return _resolved(None)

    def do_cell_create(self, name, value):
        self.cells[name] = ProxyState(_copy(value))
        return _resolved(None)

    def do_cell_get_nocache(self, name):
        return _resolved(_copy(self.cells[name].value))

    def do_cell_set_nocache(self, name, value):
        self.cells[name].value = _copy(value)
        return _resolved(None)

    def do_cell_swap(self, name, expected, value):
        self.cells[name].swap(expected, _copy(value))
        return _resolved(None)

    def do_cell_publish(self, name, epoch, value, *after):
        self.cells[name].publish(epoch, _copy(value))
        return _resolved(None)

    def do_cell_fence(self, name, epoch):
        return _resolved(_copy(self.cells[name].fence(epoch)))

    def lose(self, ticket):
        """As if the ticket's process had died, while other tickets of this
        (the only) process live on."""
        with self.cond:
            if ticket not in self.outcomes and self.state.knows(ticket) \
                    and not self.state.is_holder(ticket):
                self.outcomes[ticket] = HolderLostError(f"lock ticket {ticket!r}: its process died")
            self._deliver(self.state.drop(ticket))
            self.cond.notify_all()


class FakeContext:
    """The driver's runtime context, as far as holder_info reads it."""

    def get_worker_id(self):
        return "worker-driver"

    def get_task_id(self):
        return None

    def get_actor_id(self):
        return None

    def get_node_id(self):
        return "node-0"

    def get_job_id(self):
        return "01000000"


class _ActorClass:
    def __init__(self, create):
        self._create = create

    def remote(self, *args, **kwargs):
        return self._create(*args, **kwargs)


class FakeRay:
    """Stands in for the `ray` module, `QuorProxy` and `QuorLock`."""

    SCRIPT_MODE = 0
    exceptions = types.SimpleNamespace(RayError=FakeRayError, RayActorError=FakeActorDied,
                                       GetTimeoutError=FakeGetTimeoutError)

    def __init__(self):
        self.initialized = True
        self.log = []    # "name.method" in sending order
        self.events = []  # the same, with "wait" for each ray.get: shows what went out in waves
        self.calls = []  # (name, method, args, kwargs)
        self.hops = collections.Counter()  # actor name -> calls it served
        self.commits = []  # the releases that carried a commit (see take_commits)
        self.actors = {}  # name -> every addressee: actors, slots and cells
        self.hosts = []
        self._turn = itertools.count()
        self._counts = collections.Counter()
        self._mutex = threading.Lock()
        self.QuorProxy = _ActorClass(self._new_proxy)
        self.QuorLock = _ActorClass(self._new_lock)

    # -- the `ray` module's surface -----------------------------------------
    def is_initialized(self):
        return self.initialized

    def get(self, ref, timeout=None):
        with self._mutex:
            self.events.append("wait")
        if isinstance(ref, list):
            return [r.result() for r in ref]
        return ref.result()

    def wait(self, refs, num_returns=1, timeout=None):
        return [], list(refs)  # what the double hands out as pending never finishes

    def get_runtime_context(self):
        return FakeContext()

    def kill(self, handle, no_restart=True):
        self.actor(handle).dead = True

    def end_control(self, handle):
        """What the hosts do a moment after a control actor ends: free its slots."""
        for host in self.hosts:
            host.state.end(actor_key(handle))

    # -- the pool's client surface ----------------------------------------------
    def process_token(self, name):
        return FakeObjectRef(lambda: None)

    def renew_token_if_failed(self):
        pass

    # -- bookkeeping ----------------------------------------------------------
    def record(self, name, method, args, kwargs, actor=None):
        with self._mutex:
            self.log.append(f"{name}.{method}")
            self.events.append(f"{name}.{method}")
            self.calls.append((name, method, args, kwargs))
            self.hops[actor or name] += 1

    def _name(self, kind):
        with self._mutex:
            n = self._counts[kind]
            self._counts[kind] += 1
        return f"{kind}{n}"

    def _new_proxy(self, value, cache_class=None, owner=None):
        name = self._name("proxy")
        if owner is None:
            actor = FakeProxy(self, name, value, cache_class)
            self.actors[name] = actor
            self.record(name, "create", (value, cache_class), {})
            return actor.handle
        if cache_class is None:
            lock = self.actor(owner)
            lock.cell_names[name] = self.actors[name] = FakeHeld(name, lock, name)
            owner.cell_create.remote(name, value)
            return Cell(owner, name)
        host = self._place()
        host.slots[name] = self.actors[name] = FakeHeld(name, host, name)
        host.handle.create.remote(name, value, cache_class, actor_key(owner))
        return Slot(host.handle, name)

    def _place(self):
        while len(self.hosts) < HOSTS:
            host = FakeHost(self, f"host{len(self.hosts)}")
            self.hosts.append(host)
            self.actors[host.name] = host
        return self.hosts[next(self._turn) % len(self.hosts)]

    def _new_lock(self):
        actor = FakeLock(self, self._name("lock"))
        self.actors[actor.name] = actor
        self.record(actor.name, "create", (), {})
        return actor.handle

    def actor(self, handle_or_name):
        """The addressee a name, handle, slot or cell names."""
        if isinstance(handle_or_name, str):
            return self.actors[handle_or_name]
        if isinstance(handle_or_name, (Slot, Cell)):
            return self.actors[handle_or_name.name]
        return self.actors[handle_or_name.name]

    def value(self, handle_or_name):
        """The value a proxy, slot or cell holds now, as another process would read it."""
        return _copy(self.actor(handle_or_name).value)

    def take_commits(self):
        """The releases that carried a commit so far, cleared."""
        with self._mutex:
            commits, self.commits = self.commits, []
        return commits

    def registrations(self, lock_name):
        """How many acquires sent to `lock_name` carried their process's registration."""
        return sum(1 for name, method, args, _ in self.calls
                   if name == lock_name and method == "acquire" and args[0].registration)

    def take_log(self):
        """The log so far, cleared: for asserting one step at a time."""
        with self._mutex:
            log, self.log, self.events = self.log, [], []
            self.hops.clear()
        return log

    # -- installing the double ---------------------------------------------------
    def bindings(self):
        """(module, attribute, value) for every name the double replaces."""
        containers = {"ray": self, "QuorProxy": self.QuorProxy, "QuorLock": self.QuorLock}
        return [
            *((m, name, value) for m in ("quorlib.quorbase", "quorlib.quordict",
                                          "quorlib.quorlist", "quorlib.admin")
              for name, value in containers.items()),
            ("quorlib.quorlock", "ray", self),
            ("quorlib.quorblock", "ray", self),
            ("quorlib.quorpool", "ray", self),
            ("quorlib.quorpool", "process_token", self.process_token),
            ("quorlib.quorpool", "renew_token_if_failed", self.renew_token_if_failed),
        ]


def install(fake, setattr_=None):
    """Binds `fake` into the quorlib modules; returns what to put back (see
    `restore`). `setattr_` (monkeypatch.setattr) may do the binding instead."""
    saved = []
    for module_name, name, value in fake.bindings():
        module = importlib.import_module(module_name)
        if not hasattr(module, name):
            continue
        saved.append((module, name, getattr(module, name)))
        (setattr_ or setattr)(module, name, value)
    return saved


def restore(saved):
    while saved:
        module, name, value = saved.pop()
        setattr(module, name, value)
