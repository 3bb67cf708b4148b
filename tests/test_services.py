"""The lock and proxy actors' own logic, run in-process without Ray."""

import asyncio

import pytest

from quorlib.quorlock import QuorLock
from quorlib.quorproxy import QuorCacheDirMSI, QuorProxy, gen_quor_id

LockImpl = QuorLock.__ray_actor_class__
ProxyImpl = QuorProxy.__ray_actor_class__


def test_actors_reserve_no_cpu():
    # A default container has 34 actors; a 2-core machine must hold them.
    assert QuorLock._default_options.get("num_cpus") == 0
    assert QuorProxy._default_options.get("num_cpus") == 0


def test_lock_serves_waiters_in_order_and_survives_cancellation():
    async def scenario():
        lock = LockImpl()
        order = []
        await lock.lock()

        async def waiter(name):
            await lock.lock()
            order.append(name)

        tasks = [asyncio.create_task(waiter(n)) for n in "abc"]
        await asyncio.sleep(0)
        tasks[1].cancel()          # b gives up while waiting
        await asyncio.sleep(0)
        assert (await lock.status())[0] is True
        await lock.unlock()        # -> a
        await asyncio.sleep(0)
        await lock.unlock()        # -> c (b was cancelled)
        await asyncio.sleep(0)
        await lock.unlock()
        assert order == ["a", "c"]
        assert (await lock.status()) == (False, None, 0)
        with pytest.raises(RuntimeError):
            await lock.unlock()
        await lock.lock()
        assert await lock.force_unlock() is True
        assert await lock.force_unlock() is False

    asyncio.run(scenario())


def test_proxy_stores_whole_values_and_records_requesters():
    proxy = ProxyImpl({"a": 1}, QuorCacheDirMSI)
    assert proxy.get("r1") == {"a": 1}
    proxy.set("w1", {"b": 2})
    assert proxy.get_nocache() == {"b": 2}
    proxy.set_nocache([1])
    assert proxy.get("r2") == [1] and proxy.directory() == ("r2", "w1")
    assert ProxyImpl(0).directory() is None


def test_requester_ids_are_unique():
    ids = {gen_quor_id() for _ in range(1000)}
    assert len(ids) == 1000
