"""Pieces shared by the model-based and bad-input tests (this module holds no
tests): the recording double installed by hand, run-length settings, outcome
capture, and checks of the remote call log.

A hypothesis state machine cannot use a function-scoped fixture (one double
would then serve every example), so each example installs a fresh double
itself and puts the modules' own bindings back in its teardown.
"""

import os

from hypothesis import HealthCheck, settings

from fakeray import FakeRay, install, restore


class InstalledFake:
    """A FakeRay bound into the quorlib modules until `restore()`."""

    def __init__(self):
        self.fake = FakeRay()
        self._saved = install(self.fake)

    def restore(self):
        restore(self._saved)


def _env_int(name, default):
    value = os.environ.get(name)
    return int(value) if value else default


def model_settings(examples, steps):
    """CI-sized defaults; QUORLIB_MODEL_EXAMPLES and QUORLIB_MODEL_STEPS lengthen a run."""
    return settings(
        max_examples=_env_int("QUORLIB_MODEL_EXAMPLES", examples),
        stateful_step_count=_env_int("QUORLIB_MODEL_STEPS", steps),
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much,
                               HealthCheck.data_too_large],
    )


def outcome(call, *args, **kwargs):
    """("ok", result) or ("raised", exception type, message): comparable between
    the container and its model."""
    try:
        return ("ok", call(*args, **kwargs))
    except Exception as exc:  # the model decides which exceptions are right
        return ("raised", type(exc), str(exc))


OUT_OF_RANGE = "list index out of range"
INT_REQUIRED = "an integer is required"
INT_TOO_LARGE = "value too large to convert to int"


def as_int32(value):
    """The modules' integer conversion, for the models."""
    if isinstance(value, int):
        converted = int(value)
    elif isinstance(value, float):
        converted = int(value)  # truncates; nan and inf raise like the modules do
    else:
        raise TypeError(INT_REQUIRED)
    if not -2 ** 31 <= converted < 2 ** 31:
        raise OverflowError(INT_TOO_LARGE)
    return converted


class LockDiscipline:
    """Follows the call log of one container and fails on any write to a proxy
    (chunk, version record or usage value) made while its shared lock is free."""

    WRITES = ("set", "set_nocache", "publish", "rollback")

    def __init__(self, fake, lock_name):
        self.fake = fake
        self.lock_name = lock_name
        self.held = False

    def check(self):
        for entry in self.fake.take_log():
            actor, method = entry.split(".", 1)
            if actor == self.lock_name:
                if method == "acquire":
                    assert not self.held, "lock requested twice without a release"
                    self.held = True
                elif method == "release":
                    assert self.held, "release without an acquire"
                    self.held = False
            elif method in self.WRITES:
                assert self.held, f"{entry} while the shared lock was free"
        assert not self.held, "shared lock still held between blocks"
        assert not self.fake.actor(self.lock_name).held
