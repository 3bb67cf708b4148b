"""An in-process stand-in for Ray and the quorlib services.

Every remote call is recorded, in the order it was sent, as "actor.method"
in ``FakeRay.log`` (with its arguments in ``FakeRay.calls``). Actors are named
in creation order: "proxy0", "proxy1", ... for proxies and "lock0", ... for
locks. Values cross the actor boundary by pickling, as with Ray, so a caller
never shares an object with an actor. Failures can be injected per actor and
method, and an actor can be killed. Lock and proxy actors run the services'
own state classes (``LockState``, ``ProxyState``), so the double and the real
actors cannot disagree about what a call does.
"""

import collections
import io
import itertools
import pickle
import threading
import types

from quorlib.quorlock import HolderLostError, LockState
from quorlib.quorproxy import ProxyState

_registry = {}  # actor id -> actor, so that handles survive pickling in-process
_actor_ids = itertools.count(1)  # never reused, unlike id(): clients key state by actor id


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

    @property
    def name(self):
        return self._actor.name

    @property
    def _actor_id(self):
        return self._actor.actor_id


class FakeActor:
    def __init__(self, fake, name):
        self.fake = fake
        self.name = name
        self.actor_id = next(_actor_ids)
        self.handle = FakeHandle(self)
        self.dead = False
        self.failures = {}  # method -> [exception, remaining count or None]
        self.mutex = threading.Lock()
        _registry[self.actor_id] = self

    def fail(self, method, exc, times=None):
        """Makes `method` raise `exc` (for `times` calls, or until cleared)."""
        self.failures[method] = [exc, times]

    def clear_failures(self):
        self.failures.clear()

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
        except Exception as exc:
            raise TypeError(f"Could not serialize the argument {args!r} for a task or actor "
                            f"{self.name}.{method}") from exc
        self.fake.record(self.name, method, args, kwargs)
        if self.dead:
            return _failed(FakeActorDied(f"actor {self.name} died"))
        failure = self.failures.get(method)
        if failure is not None:
            exc, remaining = failure
            if remaining is not None:
                failure[1] -= 1
                if failure[1] <= 0:
                    del self.failures[method]
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
    """Runs the real proxy's state machine; values are copied at the boundary."""

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

    def do_publish(self, epoch, value, *after):
        self.state.publish(epoch, _copy(value))
        return _resolved(None)

    def do_fence(self, epoch):
        return _resolved(_copy(self.state.fence(epoch)))


class FakeLock(FakeActor):
    """Runs the real lock's state machine; ray.get of an acquire blocks until
    granted. `lose(ticket)` is what the real lock does when that ticket's
    process dies (its token fails)."""

    def __init__(self, fake, name):
        super().__init__(fake, name)
        self.cond = threading.Condition()
        self.state = LockState()
        self.outcomes = {}   # ticket -> the grant tuple, or the exception to raise

    @property
    def held(self):
        return self.state.holder is not None

    def _deliver(self, entry):
        if entry is not None:
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

    def do_hold(self, process):
        def wait():
            with self.cond:
                while process in self.state.processes:
                    if not self.cond.wait(timeout=30):
                        raise TimeoutError(f"{self.name}: {process!r} still registered after 30 s")
        return FakeObjectRef(wait)

    def do_acquire(self, ticket, process=None, task_id=None, registration=(), record_key=None,
                   copies=None):
        with self.cond:
            if registration:
                self.state.register(process, registration[1])
            granted = self.state.request(ticket, process, task_id, record_key, copies)
        return _resolved(granted.grant) if granted is not None else self._waiter(ticket)

    def do_release(self, ticket, aborted=False, record_key=None, record=None, chunks=None,
                   *after):
        with self.cond:
            self._deliver(self.state.release(ticket, aborted, record_key, record, chunks))
            self.cond.notify_all()
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
        self.log = []    # "actor.method" in sending order
        self.events = []  # the same, with "wait" for each ray.get: shows what went out in waves
        self.calls = []  # (actor, method, args, kwargs)
        self.actors = {}
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

    def get_runtime_context(self):
        return FakeContext()

    def kill(self, handle, no_restart=True):
        self.actors[handle.name].dead = True

    # -- bookkeeping ----------------------------------------------------------
    def record(self, actor, method, args, kwargs):
        with self._mutex:
            self.log.append(f"{actor}.{method}")
            self.events.append(f"{actor}.{method}")
            self.calls.append((actor, method, args, kwargs))

    def _name(self, kind):
        with self._mutex:
            n = self._counts[kind]
            self._counts[kind] += 1
        return f"{kind}{n}"

    def _new_proxy(self, value, cache_class=None):
        actor = FakeProxy(self, self._name("proxy"), value, cache_class)
        self.actors[actor.name] = actor
        self.record(actor.name, "create", (value, cache_class), {})
        return actor.handle

    def _new_lock(self):
        actor = FakeLock(self, self._name("lock"))
        self.actors[actor.name] = actor
        self.record(actor.name, "create", (), {})
        return actor.handle

    def actor(self, handle_or_name):
        name = handle_or_name if isinstance(handle_or_name, str) else handle_or_name.name
        return self.actors[name]

    def value(self, handle_or_name):
        """The value a proxy holds now, as another process would read it."""
        return _copy(self.actor(handle_or_name).value)

    def take_log(self):
        """The log so far, cleared: for asserting one step at a time."""
        with self._mutex:
            log, self.log, self.events = self.log, [], []
        return log
