"""The coroutines of test_client's Fleet (Python 3 syntax; imported only under Python 3.8 or later)."""
import asyncio

import KXdv17_0 as kx
from test_e2e import FRAME, frame
from kxtools import aio, client

PING = client._REQUEST_NUMBERS['PING']


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
        if event.type is None:
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



async def answers_pings(writer):
    await asyncio.sleep(3600)


async def out_of_order(writer):
    writer.write(frame(kx.PROTOCOL_SERVER_FWLOG_ENTRY_END))
    await asyncio.sleep(3600)


async def trickle(writer):
    """Starts the longest frame there is and sends it a byte at a time."""
    writer.write(FRAME.pack(kx.PROTOCOL_SERVER_HOST_ADD, 32768))
    while True:
        writer.write(b'\0')
        await asyncio.sleep(0.05)


async def fake_appliance(behaviour, version, auth):
    """A fake appliance on a loopback port: it announces `version`, answers
    the login with `auth` and every ping with a pong, and once logged in runs
    behaviour(writer). Returns the server."""
    async def serve(reader, writer):
        writer.write(frame(kx.PROTOCOL_SERVER_VERSION, version))
        task = None
        try:
            while True:
                mtype, length = FRAME.unpack(await reader.readexactly(FRAME.size))
                await reader.readexactly(length)
                if mtype == PING:
                    writer.write(frame(kx.PROTOCOL_SERVER_PONG))
                elif task is None:
                    writer.write(frame(kx.PROTOCOL_SERVER_AUTHENTICATION_OK, auth))
                    task = asyncio.ensure_future(behaviour(writer))
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            if task is not None:
                task.cancel()
            writer.close()
    return await asyncio.start_server(serve, '127.0.0.1', 0)


async def follow_fleet(seconds, targets, fake=None, **kw):
    """follow() every (name, port or fake appliance behaviour, on_connected)
    at once for `seconds` (fake: the version and login answer payloads of
    the fake appliances); returns {name: [(loop time, event name, error,
    attempt)]} of the events that are not messages, and the contexts the
    loop's exception handler was given."""
    loop = asyncio.get_running_loop()
    problems = []
    loop.set_exception_handler(lambda loop, context: problems.append(context))
    seen = {}

    async def one(name, port, on_connected):
        async for event in aio.follow('127.0.0.1', port, 'demo', 'demo', timeout=2.0, **kw):
            if event.type is None:
                seen[name].append((loop.time(), event.name, event.error, event.attempt))
            if event.name == 'connected' and on_connected is not None:
                on_connected(event.client)
    tasks, servers = [], []
    for name, port, on_connected in targets:
        if callable(port):
            servers.append(await fake_appliance(port, *fake))
            port = servers[-1].sockets[0].getsockname()[1]
        seen[name] = []
        tasks.append(asyncio.ensure_future(one(name, port, on_connected)))
    await asyncio.sleep(seconds)
    for t in tasks:
        t.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    for server in servers:
        server.close()
        await server.wait_closed()
    return seen, problems
