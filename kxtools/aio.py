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

A logged-in client pings an appliance that has sent no message for
`keepalive` seconds (10 by default) and closes it with a Timeout when
nothing comes back within `keepalive_timeout` seconds: a stopped appliance,
or one stuck in the middle of a frame, does not look alive for ever.

Every failure is a kxtools.errors exception: ConnectError, Timeout,
LoginRefused, ConnectionClosed, ProtocolError.
"""
import asyncio
import collections
import socket
from typing import Any, AsyncIterator, Awaitable, Callable, Deque, Generator, List, NamedTuple, Optional, Tuple

import KXdv17_0 as kx

from kxtools.client import _REQUEST_NUMBERS, Session, Stream
from kxtools.errors import ConnectError, ConnectionClosed, KXError, LoginRefused, ProtocolError, Timeout
from kxtools.messages import MESSAGES

__all__ = ['AsyncClient', 'Event', 'connect', 'follow', 'MESSAGE_NAMES']


class Event(NamedTuple):
    """One thing that happened on an AsyncClient.

    client  the AsyncClient
    type    the message type handled (an int), None for the events of
            follow(): 'connected', 'disconnected' and 'attempt_failed'
    name    the message's constant name ('PROTOCOL_SERVER_HOST_UPDATE',
            kxtools.messages), the number in hex for a type the protocol
            definition does not know; or the name of follow()'s event
    table   the client attribute the handler changed ('hosts', 'conns', ...),
            None for messages no handler keeps
    error   for 'disconnected' and 'attempt_failed': the KXError that ended
            the session or the attempt
    attempt for 'attempt_failed': how many attempts failed in a row (1 for
            the first failure after a session or at the start)"""
    client: 'AsyncClient'
    type: Optional[int]
    name: str
    table: Optional[str]
    error: Optional[KXError] = None
    attempt: int = 0


MESSAGE_NAMES = dict((n, m.name) for n, m in MESSAGES.items())
EVENTS_KEPT = 10000
KEEPALIVE = 10.0    # seconds without a message before a logged-in client pings
STABLE_AFTER = 30.0  # seconds a session must last before follow()'s backoff starts over
_PING = _REQUEST_NUMBERS['PING']


class AsyncClient(Session):
    """One connection to the daemon, driven by the running event loop.

    The tables (hosts, conns, views, ...) are those of the blocking client
    (docs/client.md). Request builders take the client as their connection
    object, as with KXClient: kx.channelsShow(c) queues the request and sends
    what the socket takes at once; await c.drain() (or use
    await c.request(kx.channelsShow)) to wait until it is all sent.
    record: a kxtools.pcapng.Writer (left open) that records every frame.

    keepalive: once logged in, the client pings the daemon after that many
    seconds without a message (None or 0: never); keepalive_timeout (None:
    the same as keepalive) is how long it then waits for any message before
    it closes the connection with a Timeout."""

    def __init__(self, host: str = '127.0.0.1', port: int = 7830, record: Any = None,
                 keepalive: Optional[float] = KEEPALIVE, keepalive_timeout: Optional[float] = None) -> None:
        Session.__init__(self)
        self.address: Tuple[str, int] = (host, port)
        self.keepalive: Optional[float] = keepalive or None
        self.keepalive_timeout: Optional[float] = keepalive_timeout or self.keepalive
        self._heard = 0.0                   # loop time of the last message received
        self._pinged: Optional[float] = None   # loop time of the keepalive ping waiting for an answer
        self._pings = 0                     # pings sent (by sync() and the keepalive)
        self._keepalive_timer: Any = None
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
        self._heard = self._loop.time()
        if self.keepalive:
            self._keepalive_timer = self._loop.call_later(self.keepalive, self._keepalive_check)

    def close(self, error: Optional[KXError] = None) -> None:
        """Closes the connection; error (a KXError) is what waiting calls and
        event streams then raise. Closing twice is harmless."""
        if self.closed:
            return
        self.closed = True
        self.error = error or ConnectionClosed('closed by this client', self.address)
        self._loop.remove_reader(self.sock.fileno())
        if self._keepalive_timer is not None:
            self._keepalive_timer.cancel()
            self._keepalive_timer = None
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
            msgs, still_open = self._take()
        except ProtocolError as e:
            self.close(e)
            return
        if msgs:
            self._heard = self._loop.time()
        if not still_open:
            self.close(ConnectionClosed('connection closed by the daemon', self.address))
        self._wake()

    def _send(self, m: Any) -> None:
        self.stream.queue(m)
        if m.type == _PING:
            self._pings += 1
        self._flush()

    def _keepalive_check(self) -> None:
        """The keepalive timer: pings a logged-in daemon that has been quiet
        for keepalive seconds, closes one that then stays quiet for
        keepalive_timeout seconds, and sets itself for the next check."""
        self._keepalive_timer = None
        if self.closed:
            return
        now = self._loop.time()
        quiet, wait = self.keepalive or 0.0, self.keepalive_timeout or 0.0
        if self._pinged is not None and self._heard < self._pinged:
            if now - self._pinged >= wait:
                partial = self.stream.inbuf.used()
                stuck = ' (stuck inside a frame after %d bytes of it)' % partial if partial else ''
                self.close(Timeout('no message for %.1fs, nor an answer to a keepalive ping within %gs%s' % (
                    now - self._heard, wait, stuck), self.address))
                return
            due = self._pinged + wait
        elif now - self._heard >= quiet and self.auth is not None:
            try:
                kx.ping(self)
            except KXError as e:   # the socket failed or the daemon does not read
                self.close(e)
                return
            self._pinged = now
            due = now + wait
        else:
            self._pinged = None
            due = max(self._heard + quiet, now + 0.001) if self.auth is not None else now + quiet
        self._keepalive_timer = self._loop.call_at(due, self._keepalive_check)

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
        await self.request(kx.ping)
        want = self._pings   # the keepalive's pings are answered in turn too
        await self.wait_for(lambda: self.pongs >= want, timeout)

    async def login(self, user: str, password: str, timeout: float = 10.0) -> None:
        """Waits for the version announcement and logs in. Raises
        LoginRefused when the daemon refuses, Timeout when it stays silent."""
        await self.wait_for(lambda: self.version is not None, timeout)
        refused = self._refused
        await self.request(kx.doAuth, user, password)
        await self.wait_for(lambda: self.auth is not None or self._refused > refused or self.closed, timeout)
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


def connect(host: str, port: int, user: str, password: str, timeout: float = 10.0, record: Any = None,
            keepalive: Optional[float] = KEEPALIVE, keepalive_timeout: Optional[float] = None) -> _Connect:
    """A logged-in AsyncClient: `c = await connect(...)` or
    `async with connect(...) as c:`. Raises ConnectError, Timeout (no
    version announcement or answer to the login) or LoginRefused.
    keepalive, keepalive_timeout: as AsyncClient's."""
    return _Connect(AsyncClient(host, port, record, keepalive, keepalive_timeout), user, password, timeout)


async def follow(host: str, port: int, user: str, password: str,
                 setup: Optional[Callable[[AsyncClient], Awaitable[object]]] = None, timeout: float = 10.0,
                 backoff: float = 1.0, max_backoff: float = 60.0, keepalive: Optional[float] = KEEPALIVE,
                 keepalive_timeout: Optional[float] = None, stable_after: float = STABLE_AFTER
                 ) -> AsyncIterator[Event]:
    """Follows one appliance for ever: an async generator of Events.

    It connects and logs in, awaits setup(client) (to send the requests the
    caller wants: client.update(), subscriptions), yields an Event named
    'connected' and then every event of the session; when that session
    ends (any KXError) it yields one Event named 'disconnected' carrying the
    error. An attempt that fails before 'connected' (connect, login or
    setup) yields an Event named 'attempt_failed' instead, with the error
    and the number of attempts failed in a row. Before each new attempt it
    waits backoff seconds, doubled after each failure up to max_backoff;
    the pause goes back to backoff only after a session that lasted
    stable_after seconds, so an appliance that fails right after the login
    is retried less and less often. Stop it by leaving the async for loop
    or cancelling its task. keepalive, keepalive_timeout: as AsyncClient's;
    an appliance that stops answering ends its session with a Timeout."""
    delay = backoff
    failed = 0
    loop = asyncio.get_running_loop()
    while True:
        c = AsyncClient(host, port, keepalive=keepalive, keepalive_timeout=keepalive_timeout)
        stream = c.events()
        up_since = None
        try:
            await c.open(timeout)
            await c.login(user, password, timeout)
            if setup is not None:
                await setup(c)
            up_since = loop.time()
            failed = 0
            yield Event(c, None, 'connected', None)
            async for event in stream:
                yield event
        except KXError as e:
            c.close(e)
            if up_since is None:
                failed += 1
                yield Event(c, None, 'attempt_failed', None, e, failed)
            else:
                yield Event(c, None, 'disconnected', None, e)
        finally:
            stream.close()
            c.close()
        if up_since is not None and loop.time() - up_since >= stable_after:
            delay = backoff
        await asyncio.sleep(delay)
        delay = min(delay * 2, max_backoff)
