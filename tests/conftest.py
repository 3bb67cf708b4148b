"""Fixtures for the two test layers.

`fake` swaps Ray and the services for the recording double in every quorlib
module; `ray_cluster` starts one real local Ray for the whole session.
"""

import importlib
import os
import sys

import pytest

from fakeray import FakeRay, install

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
_CONTAINER_MODULES = ("quorlib.quorbase", "quorlib.quordict", "quorlib.quorlist")


class RecordingLock:
    """A threading.Lock whose acquire and release appear in the fake's log."""

    def __init__(self, fake):
        import threading
        self._lock = threading.Lock()
        self._fake = fake

    def acquire(self, blocking=True, timeout=-1):
        got = self._lock.acquire(blocking, timeout)
        if got:
            self._fake.record("local", "acquire", (), {})
        return got

    def release(self):
        self._fake.record("local", "release", (), {})
        self._lock.release()

    def locked(self):
        return self._lock.locked()

    __enter__ = acquire

    def __exit__(self, *exc):
        self.release()


@pytest.fixture
def fake(monkeypatch):
    """The recording double in place of ray, QuorProxy, QuorLock and the pool."""
    double = FakeRay()
    install(double, monkeypatch.setattr)
    for name in _CONTAINER_MODULES:
        module = importlib.import_module(name)
        if hasattr(module, "Lock"):
            monkeypatch.setattr(module, "Lock", lambda: RecordingLock(double))
    return double


@pytest.fixture(params=[True, False], ids=["carried", "too large to carry"])
def carry(request, monkeypatch):
    """Whether the lock carries committed chunks to later holders: once as
    built, once with every chunk too large to carry (fetched again instead)."""
    if not request.param:
        import quorlib.quorlock
        monkeypatch.setattr(quorlib.quorlock, "CARRY_CHUNK_BYTES", 0)
    return request.param


@pytest.fixture(scope="session")
def ray_cluster():
    """One small local Ray for every real-Ray test of the session."""
    ray = pytest.importorskip("ray")
    # Workers must import the test modules that define the remote functions.
    paths = [TESTS_DIR] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    os.environ["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))
    if not ray.is_initialized():
        ray.init(
            address="local",  # a Ray of its own, whatever else runs on the machine
            num_cpus=2,
            include_dashboard=False,
            object_store_memory=200 * 1024 * 1024,
            log_to_driver=True,
            configure_logging=False,
        )
    yield ray
    ray.shutdown()


@pytest.fixture
def real_ray(ray_cluster):
    """Per-test access to the session's Ray, with the modules' real bindings."""
    return ray_cluster


def _uses_ray(item):
    return "ray_cluster" in getattr(item, "fixturenames", ())


def pytest_collection_modifyitems(config, items):
    # Real-Ray tests carry the `real_ray` mark (deselect with -m "not real_ray")
    # and run last, sharing one cluster; fast protocol tests run first.
    for item in items:
        if _uses_ray(item):
            item.add_marker(pytest.mark.real_ray)
    items.sort(key=_uses_ray)


sys.path.insert(0, TESTS_DIR)

