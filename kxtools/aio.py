"""An asyncio client for the appliance daemon (Python 3.8 or later).

    import KXdv17_0 as kx
    from kxtools import aio

    async with aio.connect('127.0.0.1', 7830, 'demo', 'demo') as c:
        await c.update()                  # the tables, then their live updates
        async for event in c.events():    # one Event per message handled
            if event.table == 'hosts':
                ...

AsyncClient keeps the same tables as the blocking kxtools.client.KXClient
and fills them with the same handlers (kxtools.client.Session); only the
transport differs: the socket is watched by the event loop, so one loop
follows many appliances. follow() connects, logs in and reconnects with
backoff, yielding the events of one appliance forever; run one per
appliance (examples/fleet.py).

Every failure is a kxtools.errors exception: ConnectError, Timeout,
LoginRefused, ConnectionClosed, ProtocolError.
"""
import asyncio
import collections
import socket
from typing import Any, AsyncIterator, Awaitable, Callable, Deque, Generator, List, NamedTuple, Optional, Tuple

import KXdv17_0 as kx

from kxtools.client import Session, Stream
from kxtools.errors import ConnectError, ConnectionClosed, KXError, LoginRefused, ProtocolError, Timeout
from kxtools.messages import MESSAGES

__all__ = ['AsyncClient', 'Event', 'connect', 'follow', 'MESSAGE_NAMES']


class Event(NamedTuple):
    """One thing that happened on an AsyncClient.

    client  the AsyncClient
    type    the message type handled (an int), None for 'connected' and
            'disconnected' (follow() only)
    name    the message's constant name ('PROTOCOL_SERVER_HOST_UPDATE',
            kxtools.messages); 'connected' or 'disconnected'; the number
            in hex for a type the protocol definition does not know
    table   the client attribute the handler changed ('hosts', 'conns', ...),
            None for messages no handler keeps
    error   for 'disconnected': the KXError that ended the session"""
    client: 'AsyncClient'
    type: Optional[int]
    name: str
    table: Optional[str]
    error: Optional[KXError] = None


MESSAGE_NAMES = dict((n, m.name) for n, m in MESSAGES.items())
EVENTS_KEPT = 10000


class AsyncClient(Session):
    """One connection to the daemon, driven by the running event loop.

    The tables (hosts, conns, views, ...) are those of the blocking client
    (docs/client.md). Request builders take the client as their connection
    object, as with KXClient: kx.channelsShow(c) queues the request and sends
    what the socket takes at once; await c.drain() (or use
    await c.request(kx.channelsShow)) to wait until it is all sent.
    record: a kxtools.pcapng.Writer (left open) that records every frame."""

    def __init__(self, host: str = '127.0.0.1', port: int = 7830, record: Any = None) -> None:
        Session.__init__(self)
        self.address: Tuple[str, int] = (host, port)
        self.error: Optional[KXError] = None   # the KXError that closed the connection
        self.sock: Any = None
        self.stream: Any = None
        self._record = record
        self._loop: Any = None
        self._wakeup: Optional[asyncio.Future] = None   # resolved whenever something changed
        self._queues: List[Deque[Event]] = []          # the deques of the open event streams
        self._writing = False

    async def __aenter__(self) -> 'AsyncClient':
        return self

    async def __aexit__(self, *exc: object) -> None:
        self.close()

    async def open(self, timeout: float = 10.0) -> None:
        """Connects. Raises ConnectError when the connection cannot be made
        within timeout seconds."""
        self._loop = asyncio.get_running_loop()
        try:
            infos = await self._loop.getaddrinfo(self.address[0], self.address[1], type=socket.SOCK_STREAM)
        except OSError as e:
            raise ConnectError('cannot connect: %s' % (e.strerror or e), self.address, e.errno, e.strerror)
        error = None
        for family, kind, proto, _, addr in infos:
            sock = socket.socket(family, kind, proto)
            sock.setblocking(False)
            try:
                await asyncio.wait_for(self._loop.sock_connect(sock, addr), timeout)
            except (OSError, asyncio.TimeoutError) as e:
                sock.close()
                error = e
                continue
            self.sock = sock
            break
        else:
            errno = getattr(error, 'errno', None)
            text = getattr(error, 'strerror', None) or 'timed out'
            raise ConnectError('cannot connect: %s' % text, self.address, errno, text)
        self.stream = Stream(self.sock, self._record, self.address)
        self.closed = False
        self._loop.add_reader(self.sock.fileno(), self._readable)

    def close(self, error: Optional[KXError] = None) -> None:
        """Closes the connection; error (a KXError) is what waiting calls and
        event streams then raise. Closing twice is harmless."""
        if self.closed:
            return
        self.closed = True
        self.error = error or ConnectionClosed('closed by this client', self.address)
        self._loop.remove_reader(self.sock.fileno())
        if self._writing:
            self._loop.remove_writer(self.sock.fileno())
        self.sock.close()
        self._wake()

    # ---- the transport --------------------------------------------------------

    def _wake(self) -> None:
        if self._wakeup is not None:
            if not self._wakeup.done():
                self._wakeup.set_result(None)
            self._wakeup = None

    async def _changed(self, timeout: Optional[float] = None) -> None:
        """Waits until the next batch of messages, a write or the close."""
        if self._wakeup is None:
            self._wakeup = self._loop.create_future()
        await asyncio.wait_for(asyncio.shield(self._wakeup), timeout)

    def _readable(self) -> None:
        try:
            msgs, still_open = self.stream.receive()
            self._dispatch_all(msgs)
        except ProtocolError as e:
            self.close(e)
            return
        if not still_open:
            self.close(ConnectionClosed('connection closed by the daemon', self.address))
        self._wake()

    def _send(self, m: Any) -> None:
        self.stream.queue(m)
        self._flush()

    def _flush(self) -> None:
        try:
            left = self.stream.flush()
        except ConnectionClosed as e:
            self.close(e)
            raise
        if left and not self._writing:
            self._loop.add_writer(self.sock.fileno(), self._writable)
        elif not left and self._writing:
            self._loop.remove_writer(self.sock.fileno())
        self._writing = bool(left)

    def _writable(self) -> None:
        try:
            self._flush()
        except ConnectionClosed:
            return
        if not self._writing:
            self._wake()

    def dispatch(self, m: Any) -> None:
        """As Session.dispatch; then queues an Event for each open event stream."""
        Session.dispatch(self, m)
        if self._queues:
            known = MESSAGES.get(m.type)
            event = Event(self, m.type, MESSAGE_NAMES.get(m.type, '0x%x' % m.type), known.table if known else None)
            for q in self._queues:
                q.append(event)

    # ---- waiting ------------------------------------------------------------------

    async def wait_for(self, condition: Callable[[], object], timeout: float = 10.0) -> None:
        """Waits until condition() holds. Raises Timeout after timeout
        seconds, the closing error when the connection closes first."""
        deadline = asyncio.get_running_loop().time() + timeout
        while not condition():
            if self.closed:
                raise self.error or ConnectionClosed('the connection is not open', self.address)
            left = deadline - self._loop.time()
            try:
                if left <= 0:
                    raise asyncio.TimeoutError
                await self._changed(left)
            except asyncio.TimeoutError:
                raise Timeout('timed out waiting for the daemon', self.address) from None

    async def drain(self, timeout: float = 10.0) -> None:
        """Waits until every queued request is written to the socket."""
        await self.wait_for(lambda: not self._writing, timeout)

    async def request(self, builder: Callable[..., None], *args: Any, timeout: float = 10.0) -> None:
        """Sends one request, builder(self, *args) (a KXdv17_0 request
        builder), and waits until it is written."""
        if self.closed:
            raise self.error or ConnectionClosed('the connection is not open', self.address)
        builder(self, *args)
        await self.drain(timeout)

    async def sync(self, timeout: float = 10.0) -> None:
        """Pings and waits for the answer: everything the daemon sent before
        it has been handled when this returns."""
        want = self.pongs + 1
        await self.request(kx.ping)
        await self.wait_for(lambda: self.pongs >= want, timeout)

    async def login(self, user: str, password: str, timeout: float = 10.0) -> None:
        """Waits for the version announcement and logs in. Raises
        LoginRefused when the daemon refuses, Timeout when it stays silent."""
        await self.wait_for(lambda: self.version is not None, timeout)
        refused = len(self.refusals)
        await self.request(kx.doAuth, user, password)
        await self.wait_for(lambda: self.auth is not None or len(self.refusals) > refused or self.closed, timeout)
        if self.auth is None:
            error = LoginRefused('login refused for user %r' % user, self.address)
            self.close(error)
            self.error = error
            raise error

    async def update(self, timeout: float = 30.0) -> None:
        """Asks for the tables and their live updates (kx.requestUpdate) and
        waits until the daemon has sent the tables."""
        await self.request(kx.requestUpdate)
        await self.wait_for(lambda: self.update_done, timeout)

    def events(self) -> '_EventStream':
        """An async iterator over the Events of this client from now on. It
        ends by raising the closing error (ConnectionClosed, ProtocolError)
        once the events before the close are taken. A consumer that lags
        more than EVENTS_KEPT events behind loses the oldest ones; the
        tables are complete regardless."""
        return _EventStream(self)


class _EventStream(object):

    def __init__(self, client: AsyncClient) -> None:
        self.client = client
        self.queue: Deque[Event] = collections.deque(maxlen=EVENTS_KEPT)
        client._queues.append(self.queue)

    def __aiter__(self) -> '_EventStream':
        return self

    async def __anext__(self) -> Event:
        c = self.client
        while not self.queue:
            if c.closed:
                self.close()
                raise c.error or ConnectionClosed('the connection is not open', c.address)
            await c._changed()
        return self.queue.popleft()

    def close(self) -> None:
        if self.queue in self.client._queues:
            self.client._queues.remove(self.queue)


class _Connect(object):
    """What connect() returns: awaitable, and an async context manager that
    closes the client on leaving."""

    def __init__(self, client: AsyncClient, user: str, password: str, timeout: float) -> None:
        self.client, self.user, self.password, self.timeout = client, user, password, timeout

    async def _open(self) -> AsyncClient:
        try:
            await self.client.open(self.timeout)
            await self.client.login(self.user, self.password, self.timeout)
        except BaseException:
            self.client.close()
            raise
        return self.client

    def __await__(self) -> Generator[Any, None, AsyncClient]:
        return self._open().__await__()

    async def __aenter__(self) -> AsyncClient:
        return await self._open()

    async def __aexit__(self, *exc: object) -> None:
        self.client.close()


def connect(host: str, port: int, user: str, password: str, timeout: float = 10.0, record: Any = None) -> _Connect:
    """A logged-in AsyncClient: `c = await connect(...)` or
    `async with connect(...) as c:`. Raises ConnectError, Timeout (no
    version announcement or answer to the login) or LoginRefused."""
    return _Connect(AsyncClient(host, port, record), user, password, timeout)


async def follow(host: str, port: int, user: str, password: str,
                 setup: Optional[Callable[[AsyncClient], Awaitable[object]]] = None, timeout: float = 10.0,
                 backoff: float = 1.0, max_backoff: float = 60.0) -> AsyncIterator[Event]:
    """Follows one appliance for ever: an async generator of Events.

    It connects and logs in, awaits setup(client) (to send the requests the
    caller wants: client.update(), subscriptions), yields an Event named
    'connected' and then every event of the session. When the session
    fails (any KXError, raised by the connection or by setup) it yields an
    Event named 'disconnected' carrying the error, waits backoff seconds
    (doubled after each failure up to max_backoff, back to backoff after a
    successful connect) and starts again with a new client. Stop it by
    leaving the async for loop or cancelling its task."""
    delay = backoff
    while True:
        c = AsyncClient(host, port)
        stream = c.events()
        try:
            await c.open(timeout)
            await c.login(user, password, timeout)
            if setup is not None:
                await setup(c)
            delay = backoff
            yield Event(c, None, 'connected', None)
            async for event in stream:
                yield event
        except KXError as e:
            c.close(e)
            yield Event(c, None, 'disconnected', None, e)
        finally:
            stream.close()
            c.close()
        await asyncio.sleep(delay)
        delay = min(delay * 2, max_backoff)
