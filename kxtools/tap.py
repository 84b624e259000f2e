"""kxtap: a recording proxy between a client and the daemon.

    kxtap --listen 127.0.0.1:7831 --connect 127.0.0.1:7830 -w session.pcapng [--once]

Accepts clients on the listening address, connects each to the daemon and
relays both directions byte for byte: the relay never changes, reorders or
drops a byte, whatever the bytes are. Beside the relay, each direction's
bytes are cut into protocol frames and every frame is recorded (see
kxtools.pcapng), whole even when it arrives in pieces. A frame cut short by
a disconnect, or a frame header with an impossible length (after which the
stream cannot be framed any more), is recorded as far as it came.

Several clients are served at once, each recorded in its own file numbered
from the given name (session-1.pcapng, session-2.pcapng, ...); with --once
only one client is served, recorded in the file as named, and kxtap exits
when it is gone, with status 1 when its session failed: the daemon could not
be reached, or ended the session before its client did (closed or broke the
connection, took no more bytes, stopped inside a frame). The capture file
and the daemon's address are checked at start. SIGINT and SIGTERM stop kxtap
cleanly: every file is closed readable (SIGINT then ends it with status
130). The first line on stdout names the listening address; a line follows
for every client recorded and closed. Failures are one line each on stderr.

One loop watches every socket through a selector, with no limit on their
number, and nothing in it waits: a connection to the daemon is made in the
background (--connect-timeout at most) while the other clients are relayed. A
client that comes when no descriptor is left is accepted on a descriptor
kept in reserve and closed at once, with its line.

Addresses are HOST:PORT, [V6ADDR]:PORT or HOST alone (kxtools._cli).
"""
from __future__ import absolute_import, division, print_function

from kxtools import _cli
_guard = _cli.ImportGuard('kxtap')

import errno  # noqa: E402
import os  # noqa: E402
import select  # noqa: E402
import signal  # noqa: E402
import socket  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

from kxtools import pcapng  # noqa: E402

try:
    from selectors import EVENT_READ, EVENT_WRITE, DefaultSelector as Selector
except ImportError:     # Python 2.7
    Selector = None
    EVENT_READ, EVENT_WRITE = 1, 2

CHUNK = 65536
HIGH_WATER = 1 << 20     # stop reading a side while this much waits for the other
DEFAULT_DAEMON_PORT = 7830
CONNECT_TIMEOUT = 10     # seconds a connection to the daemon may take
LINES_PER_SECOND = 20    # failure lines on stderr; more in one second are counted instead


if Selector is None:
    class _Key(object):
        def __init__(self, fileobj, events, data):
            self.fileobj, self.events, self.data = fileobj, events, data

    class Selector(object):
        """The part of selectors.DefaultSelector that kxtap uses, over
        poll() (which, unlike select(), takes descriptors of any number)."""

        def __init__(self):
            self._poll = select.poll()
            self._keys = {}     # fd -> _Key
            self._fds = {}      # fileobj -> fd: a socket closed while watched is still let go of

        def register(self, fileobj, events, data=None):
            fd = fileobj if isinstance(fileobj, int) else fileobj.fileno()
            self._keys[fd] = _Key(fileobj, events, data)
            self._fds[fileobj] = fd
            self._poll.register(fd, (select.POLLIN if events & EVENT_READ else 0) |
                                (select.POLLOUT if events & EVENT_WRITE else 0))

        def modify(self, fileobj, events, data=None):
            self.unregister(fileobj)
            self.register(fileobj, events, data)

        def unregister(self, fileobj):
            fd = self._fds.pop(fileobj)
            del self._keys[fd]
            self._poll.unregister(fd)

        def select(self, timeout=None):
            try:
                ready = self._poll.poll(None if timeout is None else timeout * 1000)
            except select.error as e:
                if e.args[0] == errno.EINTR:
                    return []
                raise
            out = []
            for fd, flags in ready:
                key = self._keys.get(fd)
                if key is None:
                    continue
                events = 0
                if flags & ~select.POLLOUT:     # readable, or an error or hang-up: both show it
                    events |= EVENT_READ
                if flags & ~select.POLLIN:
                    events |= EVENT_WRITE
                out.append((key, events & key.events))
            return out

        def close(self):
            self._keys.clear()
            self._fds.clear()


class _LineLimit(object):
    """Failure lines to a stream, at most LINES_PER_SECOND in a second: a
    storm of refused clients is counted, not written line by line."""

    def __init__(self, stream):
        self.stream = stream
        self.second = None
        self.written = 0
        self.held = 0

    def write(self, line):
        now = int(time.time())
        if now != self.second:
            self.flush()
            self.second, self.written = now, 0
        if self.written >= LINES_PER_SECOND:
            self.held += 1
            return
        self.written += 1
        self.stream.write(line)
        self.stream.flush()

    def flush(self):
        if self.held:
            self.stream.write('kxtap: %d more failure lines in the same second left out\n' % self.held)
            self.stream.flush()
            self.held = 0


def _listening(address):
    """A non-blocking socket listening on (host, port), IPv6 included."""
    family, type_, proto, sockaddr = resolve(address, passive=True)[0]
    server = socket.socket(family, type_, proto)
    try:
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind(sockaddr)
        server.listen(128)
        server.setblocking(False)
    except BaseException:
        server.close()
        raise
    return server


def _reserve():
    try:
        return os.open(os.devnull, os.O_RDONLY)
    except OSError:
        return None


def _drain(fd):
    try:
        os.read(fd, 512)
    except OSError:
        pass


class Framer(object):
    """Cuts one direction's bytes into frames and records them."""

    def __init__(self, writer, direction):
        self.writer = writer
        self.direction = direction
        self.buf = b''
        self.broken = False
        self.frames = 0

    def _record(self, data, when, comment=None):
        self.writer.write(data, self.direction, when, comment)
        self.frames += 1

    def feed(self, data, when):
        buf = self.buf + data
        pos = 0
        header = pcapng.FRAME_HEADER
        while not self.broken and len(buf) - pos >= header.size:
            length = header.unpack_from(buf, pos)[1]
            if length > pcapng.MAX_PAYLOAD:
                self.broken = True
                break
            end = pos + header.size + length
            if end > len(buf):
                break
            self._record(buf[pos:end], when)
            pos = end
        buf = buf[pos:]
        # Past a broken header the stream has no frames: its bytes are kept
        # in records as large as a record can be.
        while self.broken and len(buf) >= pcapng.MAX_RECORD:
            self._record(buf[:pcapng.MAX_RECORD], when, 'broken frame header: bytes as they came')
            buf = buf[pcapng.MAX_RECORD:]
        self.buf = buf

    def finish(self, when):
        """The direction has ended: what is left is recorded as it came."""
        if self.buf:
            self._record(self.buf, when, 'broken frame header: bytes as they came' if self.broken
                         else 'incomplete frame: the stream ended inside it')
        self.buf = b''


class Half(object):
    """One direction of a relayed connection: bytes read from src wait in
    `pending` until dst takes them."""

    def __init__(self, src, dst, framer):
        self.src = src
        self.dst = dst
        self.framer = framer
        self.pending = bytearray()
        self.eof = False        # src sent everything it will send
        self.dead = False       # dst takes nothing more
        self.shut = False       # dst's write side is shut down


class Relay(object):
    def __init__(self, client, daemon, writer, name, peer):
        self.client = client
        self.daemon = daemon
        self.writer = writer
        self.name = name
        self.peer = peer
        self.up = Half(client, daemon, Framer(writer, pcapng.OUTBOUND))
        self.down = Half(daemon, client, Framer(writer, pcapng.INBOUND))
        self.halves = (self.up, self.down)
        self.closed = False
        self.problem = None     # what went wrong on the daemon's side, if anything

    def events(self, sock):
        """What sock is to be watched for now: EVENT_READ, EVENT_WRITE or both."""
        mask = 0
        for h in self.halves:
            if h.src is sock and not h.eof and len(h.pending) < HIGH_WATER:
                mask |= EVENT_READ
            if h.dst is sock and h.pending and not h.dead:
                mask |= EVENT_WRITE
        return mask

    def trouble(self, text):
        if self.problem is None:
            self.problem = text

    def on_readable(self, sock):
        for h in self.halves:
            if h.src is sock and not h.eof:
                try:
                    data = sock.recv(CHUNK)
                except socket.error as e:
                    if e.args[0] in (errno.EAGAIN, errno.EWOULDBLOCK, errno.EINTR):
                        return
                    data = b''  # a reset ends the direction like a close
                    self.other(h).dead = True
                    if h is self.down:
                        self.trouble('the daemon broke the connection: %s' % _reason(e))
                now = time.time()
                if not data:
                    h.eof = True
                    if h is self.down and h.framer.buf:
                        self.trouble("the daemon's stream ended inside a frame")
                    elif h is self.down and not self.up.eof:
                        # The daemon ended the session under its client: stopped,
                        # killed or refusing it, which a client takes as a failure.
                        self.trouble('the daemon closed the connection')
                    h.framer.finish(now)
                    return
                h.framer.feed(data, now)
                if h is self.down and h.framer.broken:
                    self.trouble('the daemon sent a frame header with an impossible length')
                if not h.dead:
                    h.pending += data

    def on_writable(self, sock):
        for h in self.halves:
            if h.dst is sock and h.pending and not h.dead:
                try:
                    n = sock.send(bytes(h.pending[:CHUNK]))
                except socket.error as e:
                    if e.args[0] in (errno.EAGAIN, errno.EWOULDBLOCK, errno.EINTR):
                        return
                    # The receiver is gone: nothing more reaches it. Its
                    # sender is still read (and recorded) until it stops,
                    # so that closing it does not reset what it still receives.
                    h.dead = True
                    del h.pending[:]
                    if h is self.up:
                        self.trouble('the daemon took no more: %s' % _reason(e))
                    return
                del h.pending[:n]

    def other(self, h):
        return self.down if h is self.up else self.up

    def settle(self):
        """Passes on the end of a direction once its bytes are delivered;
        closes the relay when both directions are over."""
        for h in self.halves:
            if h.eof and not h.shut and (h.dead or not h.pending):
                h.shut = True
                if not h.dead:
                    try:
                        h.dst.shutdown(socket.SHUT_WR)
                    except socket.error:
                        pass
        if all(h.shut for h in self.halves):
            self.close()

    def close(self, recording=True):
        if self.closed:
            return
        self.closed = True
        now = time.time()
        try:
            if recording:
                for h in self.halves:
                    h.framer.finish(now)
        finally:
            self.client.close()
            self.daemon.close()
            try:
                self.writer.close()
            except (IOError, OSError):
                pass


class Connecting(object):
    """A client accepted, its connection to the daemon under way: the
    client's bytes wait in the kernel until it is made."""

    def __init__(self, client, peer, targets, deadline):
        self.client = client
        self.peer = peer
        self.targets = list(targets)    # addresses still to try, from getaddrinfo
        self.deadline = deadline
        self.sock = None
        self.error = None


def _reason(e):
    return getattr(e, 'strerror', None) or str(e) or e.__class__.__name__


def _out_of_descriptors(e):
    return getattr(e, 'errno', None) in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM)


def numbered(path, n):
    root, ext = os.path.splitext(path)
    return '%s-%d%s' % (root, n, ext)


def resolve(address, passive=False):
    """getaddrinfo's stream addresses for (host, port): resolved once, at
    start, so that no lookup ever holds up the relays."""
    try:
        return [ai[:3] + (ai[4],) for ai in socket.getaddrinfo(address[0], address[1], 0, socket.SOCK_STREAM, 0,
                                                               socket.AI_PASSIVE if passive else 0)]
    except socket.gaierror as e:
        raise socket.error(e.args[0], _reason(e))


class Tap(object):
    """The relay loop: every socket is watched by one selector (no ceiling
    on the number of descriptors), and nothing in it blocks: connections to
    the daemon are made without waiting, each with its own deadline."""

    def __init__(self, listen, connect, path, once=False, out=sys.stdout, err=sys.stderr, targets=None,
                 connect_timeout=CONNECT_TIMEOUT):
        self.connect = connect
        self.connect_timeout = connect_timeout
        self.targets = targets or resolve(connect)
        self.path = path
        self.once = once
        self.out = out
        self.err = err
        self.relays = set()
        self.connecting = set()
        self.watched = {}           # socket -> the events the selector watches it for
        self.accepted = 0
        self.stopping = False
        self.failure = None     # with --once: why the one session failed
        self.lines = _LineLimit(err)
        self.selector = None
        self.server = None
        self.reserve = None     # a descriptor kept back to turn clients away with when none is left
        self.accept_resumes = None
        try:
            self.server = _listening(listen)
            self.selector = Selector()
            self.watch(self.server, EVENT_READ)
            self.reserve = _reserve()
        except BaseException:
            self.close()
            raise

    def fail(self, text):
        """A session failed: one line; with --once, the end of kxtap."""
        if self.once:
            self.failure = text
            self.stopping = True
        else:
            self.lines.write('kxtap: %s\n' % text)

    def say(self, text):
        if self.out is None:
            return
        try:
            self.out.write(text + '\n')
            self.out.flush()
        except (IOError, OSError) as e:   # (a closed pipe): the relays matter more than the lines
            self.out = None
            self.lines.write('kxtap: standard output: %s; relaying goes on without its lines\n' % _reason(e))

    def watch(self, sock, events, owner=None):
        """Has the selector watch sock for events (0: not at all), on behalf
        of owner (a Relay or a Connecting)."""
        old = self.watched.get(sock, 0)
        if events == old:
            return
        if not events:
            self.selector.unregister(sock)
            del self.watched[sock]
        elif old:
            self.selector.modify(sock, events, owner)
        else:
            self.selector.register(sock, events, owner)
        if events:
            self.watched[sock] = events

    def forget(self, *socks):
        for sock in socks:
            if sock is not None and sock in self.watched:
                self.watch(sock, 0)

    def accept(self):
        for _ in range(64):     # a few at a time, so that the relays are served between them
            if self.server is None:
                return
            try:
                client, addr = self.server.accept()
            except socket.error as e:
                if _out_of_descriptors(e):
                    self.turn_away(e)
                return
            peer = _cli.host_port(*addr[:2])
            self.connect_daemon(Connecting(client, peer, self.targets, time.time() + self.connect_timeout))
            if self.once:
                self.forget(self.server)
                self.server.close()
                self.server = None

    def turn_away(self, e):
        """No descriptor for a new client: the reserved one is given up to
        accept it and close it at once, with a line, so that the client is not
        left waiting and the listening socket does not stay readable. Without
        a reserve, accepting pauses for a second."""
        if self.reserve is not None:
            os.close(self.reserve)
            self.reserve = None
            try:
                client, addr = self.server.accept()
            except socket.error:
                client = None
            if client is not None:
                client.close()
                self.refused(_cli.host_port(*addr[:2]), e)
            self.reserve = _reserve()
            if client is not None:
                return
        self.fail('cannot accept a client: %s; accepting again in 1 s' % _reason(e))
        self.forget(self.server)
        self.accept_resumes = time.time() + 1.0

    def refused(self, peer, e):
        self.fail('%s: refused: no descriptor left for it (%s)' % (peer, _reason(e)))

    def connect_daemon(self, c):
        """Starts (or goes on to) the next of the daemon's addresses."""
        while c.targets:
            family, type_, proto, address = c.targets.pop(0)
            try:
                c.sock = socket.socket(family, type_, proto)
            except socket.error as e:
                if _out_of_descriptors(e):
                    c.client.close()
                    self.refused(c.peer, e)
                    return
                c.error = e
                continue
            c.sock.setblocking(False)
            err = c.sock.connect_ex(address)
            if err in (0, errno.EINPROGRESS, errno.EWOULDBLOCK, errno.EAGAIN):
                self.connecting.add(c)
                self.watch(c.sock, EVENT_WRITE, c)
                return
            c.error = socket.error(err, os.strerror(err))
            c.sock.close()
            c.sock = None
        self.connect_failed(c)

    def connect_failed(self, c):
        self.fail('%s: cannot connect to %s: %s' % (c.peer, _cli.host_port(*self.connect), _reason(c.error)))
        c.client.close()

    def on_connected(self, c):
        """The daemon's socket of c is writable: connected, or refused."""
        self.connecting.discard(c)
        self.forget(c.sock)
        err = c.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        if err:
            c.error = socket.error(err, os.strerror(err))
            c.sock.close()
            c.sock = None
            return self.connect_daemon(c)
        name = self.path if self.once else numbered(self.path, self.accepted + 1)
        try:
            writer = pcapng.Writer(name, application='kxtap')
        except (IOError, OSError) as e:
            c.client.close()
            c.sock.close()
            if _out_of_descriptors(e):
                return self.refused(c.peer, e)
            return self.fail('%s: cannot write %s: %s' % (c.peer, name, _reason(e)))
        self.accepted += 1
        for s in (c.client, c.sock):
            s.setblocking(False)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        r = Relay(c.client, c.sock, writer, name, c.peer)
        self.relays.add(r)
        self.say('recording %s to %s' % (c.peer, name))
        self.update(r)

    def update(self, r):
        """After r's sockets were served: closes it once over, otherwise
        watches its sockets for what it waits for now."""
        try:
            if not r.closed:
                r.settle()
        except (IOError, OSError) as e:
            self.file_failed(r, e)
        if r.closed:
            self.forget(r.client, r.daemon)
            self.reap(r)
            return
        for sock in (r.client, r.daemon):
            self.watch(sock, r.events(sock), r)

    def reap(self, r):
        self.relays.discard(r)
        self.say('closed %s: %d frames out, %d in' % (r.peer, r.up.framer.frames, r.down.framer.frames))
        if r.problem:
            if self.once:
                self.failure = self.failure or '%s: %s' % (r.peer, r.problem)
            else:
                self.fail('%s: %s' % (r.peer, r.problem))

    def timeout(self, now):
        """Seconds until the next deadline: a connection attempt's, or the
        end of a pause in accepting."""
        ends = [c.deadline for c in self.connecting]
        if self.accept_resumes is not None:
            ends.append(self.accept_resumes)
        if self.lines.held:
            ends.append(self.lines.second + 1)
        return max(0.0, min(ends) - now) if ends else None

    def expire(self, now):
        for c in [c for c in self.connecting if c.deadline <= now]:
            self.connecting.discard(c)
            self.forget(c.sock)
            c.sock.close()
            c.error = socket.error(errno.ETIMEDOUT, 'timed out after %g s' % self.connect_timeout)
            self.connect_failed(c)
        if self.lines.held and now >= self.lines.second + 1:
            self.lines.flush()
        if self.accept_resumes is not None and self.accept_resumes <= now and self.server is not None:
            self.accept_resumes = None
            self.watch(self.server, EVENT_READ)

    def run(self, wake=None):
        if wake is not None:
            self.selector.register(wake, EVENT_READ)
        try:
            while not self.stopping and (self.server is not None or self.relays or self.connecting):
                ready = self.selector.select(self.timeout(time.time()))
                # Clients first: when a client and its daemon both closed,
                # the client's end is seen first, and the session ended well.
                ready.sort(key=lambda event: not (isinstance(event[0].data, Relay) and
                                                  event[0].fileobj is event[0].data.client))
                touched = set()
                for key, events in ready:
                    owner = key.data
                    if key.fileobj is wake:
                        _drain(wake)
                    elif key.fileobj is self.server:
                        self.accept()
                    elif isinstance(owner, Connecting):
                        if owner in self.connecting:
                            self.on_connected(owner)
                    elif owner is not None and not owner.closed:
                        self.serve(owner, key.fileobj, events)
                        touched.add(owner)
                for r in touched:
                    if r in self.relays:
                        self.update(r)
                self.expire(time.time())
        finally:
            if wake is not None and self.selector is not None:
                self.selector.unregister(wake)

    def serve(self, r, sock, events):
        try:
            if events & EVENT_READ:
                r.on_readable(sock)
            if events & EVENT_WRITE and not r.closed:
                r.on_writable(sock)
        except (IOError, OSError) as e:
            self.file_failed(r, e)

    def file_failed(self, r, e):
        """r's capture file took no more: the session ends with a line."""
        self.forget(r.client, r.daemon)
        r.close(recording=False)
        self.fail('%s: cannot write %s: %s' % (r.peer, r.name, _reason(e)))

    def close(self):
        """Ends every session (each file closed readable) and lets go of every descriptor."""
        for r in list(self.relays):
            self.forget(r.client, r.daemon)
            try:
                r.close()
            except (IOError, OSError) as e:
                self.fail('%s: cannot write %s: %s' % (r.peer, r.name, _reason(e)))
            self.reap(r)
        for c in list(self.connecting):
            self.connecting.discard(c)
            self.forget(c.sock)
            c.sock.close()
            c.client.close()
        if self.server is not None:
            self.forget(self.server)
            self.server.close()
            self.server = None
        if self.selector is not None:
            self.selector.close()
            self.selector = None
        if self.reserve is not None:
            os.close(self.reserve)
            self.reserve = None
        self.lines.flush()


def check_target(path, once):
    """Fails at once when the capture file (the first of the numbered ones
    without --once) cannot be created or written."""
    name = path if once else numbered(path, 1)
    existed = os.path.exists(name)
    try:
        with open(name, 'ab'):
            pass
    except (IOError, OSError) as e:
        raise _cli.Fatal('cannot write %s: %s' % (name, e.strerror or e))
    if not existed:
        os.remove(name)


def check_daemon(address):
    """Fails at once when the daemon's address does not take a connection;
    returns its resolved addresses."""
    try:
        targets = resolve(address)
        for n, (family, type_, proto, sockaddr) in enumerate(targets):
            sock = socket.socket(family, type_, proto)
            try:
                sock.settimeout(5)
                sock.connect(sockaddr)
                return targets
            except socket.error:
                if n == len(targets) - 1:
                    raise
            finally:
                sock.close()
    except socket.error as e:
        raise _cli.Fatal('cannot connect to %s: %s' % (_cli.host_port(*address), _reason(e)))


def main(argv=None):
    return _cli.run('kxtap', lambda: _main(argv))


def _main(argv):
    p = _cli.parser('kxtap', 'Relay clients to the daemon and record every frame.')
    p.add_argument('--listen', type=_cli.address(7831, lowest=0), default='127.0.0.1:7831', metavar='HOST:PORT',
                   help='address to accept clients on: HOST:PORT, [V6ADDR]:PORT or HOST (port 0 picks a free one)')
    p.add_argument('--connect', type=_cli.address(DEFAULT_DAEMON_PORT), default='127.0.0.1:%d' % DEFAULT_DAEMON_PORT,
                   metavar='HOST:PORT', help="the daemon's address, checked at start: HOST:PORT, [V6ADDR]:PORT or "
                   "HOST (port %d)" % DEFAULT_DAEMON_PORT)
    p.add_argument('-w', '--write', required=True, metavar='FILE',
                   help='capture file; numbered per client unless --once')
    p.add_argument('--connect-timeout', type=_cli.number_in(0.1, 3600, 'the time'), default=CONNECT_TIMEOUT, metavar='SECONDS',
                   help="how long a client's connection to the daemon may take")
    p.add_argument('--once', action='store_true',
                   help='serve one client, then exit (status 1 when its session fails)')
    args = p.parse_args(argv)

    check_target(args.write, args.once)
    targets = check_daemon(args.connect)

    # A signal sets the flag; the byte the interpreter writes to the pipe
    # wakes the selector so that the loop ends between two whole records.
    # The handlers are in place before the listening socket exists, so that
    # an interrupt at any moment still closes it and every file.
    caught, made = [], []

    def on_signal(signum, frame):
        caught.append(signum)
        for tap in made:
            tap.stopping = True

    old = {}
    old_wakeup = None
    rfd, wfd = os.pipe()
    try:
        for fd in (rfd, wfd):
            _nonblocking(fd)
        old_wakeup = signal.set_wakeup_fd(wfd)
        for signum in (signal.SIGINT, signal.SIGTERM):
            old[signum] = signal.signal(signum, on_signal)
        try:
            made.append(Tap(args.listen, args.connect, args.write, args.once, targets=targets,
                            connect_timeout=args.connect_timeout))
        except socket.error as e:
            raise _cli.Fatal('cannot listen on %s: %s' % (_cli.host_port(*args.listen), _reason(e)))
        tap = made[0]
        try:
            if not caught:
                tap.say('listening on %s' % _cli.host_port(*tap.server.getsockname()[:2]))
                tap.run(rfd)
        finally:
            tap.close()
    finally:
        for signum, handler in old.items():
            signal.signal(signum, handler)
        if old_wakeup is not None:
            signal.set_wakeup_fd(old_wakeup)
        os.close(rfd)
        os.close(wfd)
    if tap.failure:
        raise _cli.Fatal(tap.failure)
    if signal.SIGINT in caught:     # every file is closed: now the usual Ctrl-C ending
        raise KeyboardInterrupt
    return 0


def _nonblocking(fd):
    import fcntl
    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)


_guard.release()


if __name__ == '__main__':
    sys.exit(main())
