"""An in-process stand-in for Ray and the quorlib services.

Every remote call is recorded, in the order it was sent, as "actor.method"
in ``FakeRay.log`` (with its arguments in ``FakeRay.calls``). Actors are named
in creation order: "proxy0", "proxy1", ... for proxies and "lock0", ... for
locks. Values cross the actor boundary by pickling, as with Ray, so a caller
never shares an object with an actor. Failures can be injected per actor and
method, and an actor can be killed.
"""

import collections
import pickle
import threading

_registry = {}  # actor id -> actor, so that handles survive pickling in-process


class FakeActorDied(RuntimeError):
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


class FakeActor:
    def __init__(self, fake, name):
        self.fake = fake
        self.name = name
        self.actor_id = id(self)
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
    def __init__(self, fake, name, value, cache_class):
        super().__init__(fake, name)
        self.value = _copy(value)
        self.cache_class = cache_class

    def do_get(self, requester_id):
        return _resolved(_copy(self.value))

    def do_set(self, requester_id, value):
        self.value = _copy(value)
        return _resolved(None)

    def do_get_nocache(self):
        return _resolved(_copy(self.value))

    def do_set_nocache(self, value):
        self.value = _copy(value)
        return _resolved(None)


class FakeLock(FakeActor):
    """Blocks in ray.get until granted; waiters are served in order."""

    def __init__(self, fake, name):
        super().__init__(fake, name)
        self.cond = threading.Condition()
        self.held = False
        self.queue = collections.deque()

    def do_lock(self):
        ticket = object()
        with self.cond:
            self.queue.append(ticket)

        def wait():
            with self.cond:
                while self.held or self.queue[0] is not ticket:
                    if not self.cond.wait(timeout=30):
                        raise TimeoutError(f"{self.name}: lock not granted in 30 s (deadlock?)")
                self.queue.popleft()
                self.held = True

        return FakeObjectRef(wait)

    def do_unlock(self):
        with self.cond:
            if not self.held:
                raise RuntimeError("QuorLock.unlock called while the lock is not held")
            self.held = False
            self.cond.notify_all()
        return _resolved(None)

    def do_force_unlock(self):
        with self.cond:
            was_held, self.held = self.held, False
            self.cond.notify_all()
        return _resolved(was_held)

    def do_status(self):
        with self.cond:
            return _resolved((self.held, 0.0 if self.held else None, len(self.queue)))


class _ActorClass:
    def __init__(self, create):
        self._create = create

    def remote(self, *args, **kwargs):
        return self._create(*args, **kwargs)


class FakeRay:
    """Stands in for the `ray` module, `QuorProxy` and `QuorLock`."""

    def __init__(self):
        self.initialized = True
        self.log = []    # "actor.method" in sending order
        self.calls = []  # (actor, method, args, kwargs)
        self.actors = {}
        self._counts = collections.Counter()
        self._mutex = threading.Lock()
        self.QuorProxy = _ActorClass(self._new_proxy)
        self.QuorLock = _ActorClass(self._new_lock)

    # -- the `ray` module's surface -----------------------------------------
    def is_initialized(self):
        return self.initialized

    def get(self, ref):
        if isinstance(ref, list):
            return [r.result() for r in ref]
        return ref.result()

    def kill(self, handle, no_restart=True):
        self.actors[handle.name].dead = True

    # -- bookkeeping ----------------------------------------------------------
    def record(self, actor, method, args, kwargs):
        with self._mutex:
            self.log.append(f"{actor}.{method}")
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
            log, self.log = self.log, []
        return log
