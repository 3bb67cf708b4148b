"""The lock actor shared by every copy of one container.

``lock`` returns once the caller holds the lock; waiters are served in the
order their requests reached the actor; ``unlock`` hands the lock to the next
waiter. The actor is asynchronous so that waiting callers do not block the
``unlock`` that frees them.
"""

import asyncio
import collections
import time

import ray

__all__ = ["QuorLock"]


@ray.remote(num_cpus=0)
class QuorLock:
    def __init__(self):
        self._held = False
        self._since = None
        self._waiters = collections.deque()

    async def lock(self):
        if not self._held and not self._waiters:
            self._take()
            return
        granted = asyncio.get_running_loop().create_future()
        self._waiters.append(granted)
        try:
            await granted
        except asyncio.CancelledError:
            # A cancelled waiter that was granted the lock in the meantime
            # must pass it on, or nobody would ever release it.
            if granted.done() and not granted.cancelled():
                self._pass_on()
            raise

    async def unlock(self):
        if not self._held:
            raise RuntimeError("QuorLock.unlock called while the lock is not held")
        self._pass_on()

    async def force_unlock(self):
        """Operators' way out when a holder died inside its locked block:
        releases the lock as if its holder had. Returns whether it was held."""
        was_held = self._held
        if was_held:
            self._pass_on()
        return was_held

    async def status(self):
        """(held, seconds held so far or None, number of waiters)."""
        held_for = time.monotonic() - self._since if self._held else None
        return self._held, held_for, sum(not w.done() for w in self._waiters)

    def _take(self):
        self._held = True
        self._since = time.monotonic()

    def _pass_on(self):
        while self._waiters:
            granted = self._waiters.popleft()
            if not granted.done():
                granted.set_result(None)
                self._since = time.monotonic()
                return
        self._held = False
        self._since = None
