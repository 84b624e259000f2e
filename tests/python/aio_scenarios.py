"""The coroutines of test_client's Fleet (Python 3 syntax; imported only under Python 3.8 or later)."""
import asyncio

from kxtools import aio


async def session(port, password, during=None, timeout=10.0):
    """Logs in, takes the tables, calls during(client) and then follows the
    events until the connection ends; returns (client, tables changed,
    error), or raises what connecting or logging in raised."""
    async with aio.connect('127.0.0.1', port, 'demo', password, timeout=timeout) as c:
        events = c.events()
        await c.update()
        await c.sync()
        if during is not None:
            during(c)
            tables = set()
            try:
                async for event in events:
                    tables.add(event.table)
            except aio.KXError as e:
                return c, tables, e
        return c, None, None


async def follow_until(port, disconnects, on_connected):
    """follow() one appliance (backoff 0.05 s) until it has been disconnected
    `disconnects` times; returns the names of the events and the errors."""
    names, errors = [], []

    async def setup(c):
        await c.update()

    async for event in aio.follow('127.0.0.1', port, 'demo', 'demo', setup=setup, timeout=10.0, backoff=0.05):
        if event.name in ('connected', 'disconnected'):
            names.append(event.name)
        if event.name == 'connected':
            on_connected(event.client)
        if event.error is not None:
            errors.append(event.error)
            if len(errors) == disconnects:
                return names, errors


def run(*coroutines):
    """Runs the coroutines at once on one loop; their results or exceptions."""
    async def together():
        return await asyncio.gather(*coroutines, return_exceptions=True)
    return asyncio.run(together())
