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
when it is gone, with status 1 when its session failed. The capture file and
the daemon's address are checked at start. SIGINT and SIGTERM stop kxtap
cleanly: every file is closed readable (SIGINT then ends it with status 130).
The first line on stdout names the listening address; a line follows for
every client recorded and closed.
"""
from __future__ import absolute_import, division, print_function

from kxtools import _cli
_guard = _cli.ImportGuard('kxtap')

import argparse  # noqa: E402
import errno  # noqa: E402
import os  # noqa: E402
import select  # noqa: E402
import signal  # noqa: E402
import socket  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

from kxtools import pcapng  # noqa: E402

CHUNK = 65536
HIGH_WATER = 1 << 20     # stop reading a side while this much waits for the other


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

    def want_read(self):
        return [h.src for h in self.halves if not h.eof and len(h.pending) < HIGH_WATER]

    def want_write(self):
        return [h.dst for h in self.halves if h.pending and not h.dead]

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
                now = time.time()
                if not data:
                    h.eof = True
                    h.framer.finish(now)
                    return
                h.framer.feed(data, now)
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


def parse_address(text):
    host, sep, port = text.rpartition(':')
    if not sep or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError('%r is not HOST:PORT' % text)
    return host or '127.0.0.1', int(port)


def numbered(path, n):
    root, ext = os.path.splitext(path)
    return '%s-%d%s' % (root, n, ext)


class Tap(object):
    def __init__(self, listen, connect, path, once=False, out=sys.stdout, err=sys.stderr):
        self.connect = connect
        self.path = path
        self.once = once
        self.out = out
        self.err = err
        self.relays = []
        self.accepted = 0
        self.stopping = False
        self.failure = None     # with --once: why the one session failed
        self.interrupted = False
        self.server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(listen)
        self.server.listen(16)
        self.server.setblocking(False)

    def fail(self, text):
        """A session failed: one line; with --once, the end of kxtap."""
        if self.once:
            self.failure = text
            self.stopping = True
        else:
            self.err.write('kxtap: %s\n' % text)

    def say(self, text):
        self.out.write(text + '\n')
        self.out.flush()

    def accept(self):
        try:
            client, addr = self.server.accept()
        except socket.error:
            return
        peer = '%s:%d' % addr[:2]
        try:
            daemon = socket.create_connection(self.connect, 10)
        except socket.error as e:
            self.fail('%s: cannot connect to %s:%d: %s' % (peer, self.connect[0], self.connect[1],
                                                            getattr(e, 'strerror', None) or e))
            client.close()
            return
        self.accepted += 1
        name = self.path if self.once else numbered(self.path, self.accepted)
        try:
            writer = pcapng.Writer(name, application='kxtap')
        except (IOError, OSError) as e:
            self.fail('%s: cannot write %s: %s' % (peer, name, getattr(e, 'strerror', None) or e))
            client.close()
            daemon.close()
            return
        for s in (client, daemon):
            s.setblocking(False)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.relays.append(Relay(client, daemon, writer, name, peer))
        self.say('recording %s to %s' % (peer, name))
        if self.once:
            self.server.close()
            self.server = None

    def reap(self):
        for r in [r for r in self.relays if r.closed]:
            self.relays.remove(r)
            self.say('closed %s: %d frames out, %d in' % (r.peer, r.up.framer.frames, r.down.framer.frames))

    def run(self, wake=None):
        while not self.stopping and (self.server is not None or self.relays):
            rlist = [wake] if wake is not None else []
            if self.server is not None:
                rlist.append(self.server)
            wlist = []
            for r in self.relays:
                rlist += r.want_read()
                wlist += r.want_write()
            try:
                readable, writable, _ = select.select(rlist, wlist, [], 1.0)
            except (select.error, OSError) as e:
                if e.args[0] == errno.EINTR:
                    continue
                raise
            if wake is not None and wake in readable:
                try:
                    os.read(wake, 512)
                except OSError:
                    pass
            for r in list(self.relays):
                try:
                    for s in readable:
                        if not r.closed:
                            r.on_readable(s)
                    for s in writable:
                        if not r.closed:
                            r.on_writable(s)
                    if not r.closed:
                        r.settle()
                except (IOError, OSError) as e:   # the capture file took no more
                    r.close(recording=False)
                    self.fail('%s: cannot write %s: %s' % (r.peer, r.name, getattr(e, 'strerror', None) or e))
            if self.server is not None and self.server in readable:
                self.accept()
            self.reap()
        self.close()

    def close(self):
        for r in self.relays:
            try:
                r.close()
            except (IOError, OSError) as e:
                self.fail('%s: cannot write %s: %s' % (r.peer, r.name, getattr(e, 'strerror', None) or e))
        self.reap()
        if self.server is not None:
            self.server.close()
            self.server = None


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
    """Fails at once when the daemon's address does not take a connection."""
    try:
        socket.create_connection(address, 5).close()
    except socket.error as e:
        raise _cli.Fatal('cannot connect to %s:%d: %s' % (address[0], address[1], getattr(e, 'strerror', None) or e))


def main(argv=None):
    return _cli.run('kxtap', lambda: _main(argv))


def _main(argv):
    p = _cli.parser('kxtap', 'Relay clients to the daemon and record every frame.')
    p.add_argument('--listen', type=parse_address, default='127.0.0.1:7831', metavar='HOST:PORT',
                   help='address to accept clients on (port 0 picks a free one)')
    p.add_argument('--connect', type=parse_address, default='127.0.0.1:7830', metavar='HOST:PORT',
                   help="the daemon's address, checked at start")
    p.add_argument('-w', '--write', required=True, metavar='FILE',
                   help='capture file; numbered per client unless --once')
    p.add_argument('--once', action='store_true',
                   help='serve one client, then exit (status 1 when its session fails)')
    args = p.parse_args(argv)

    check_target(args.write, args.once)
    check_daemon(args.connect)
    try:
        tap = Tap(args.listen, args.connect, args.write, args.once)
    except socket.error as e:
        raise _cli.Fatal('cannot listen on %s:%d: %s' % (args.listen[0], args.listen[1],
                                                        getattr(e, 'strerror', None) or e))
    host, port = tap.server.getsockname()[:2]
    tap.say('listening on %s:%d' % (host, port))

    # A signal sets the flag; the byte the interpreter writes to the pipe
    # wakes the select so that the loop ends between two whole records.
    rfd, wfd = os.pipe()
    for fd in (rfd, wfd):
        _nonblocking(fd)
    old_wakeup = signal.set_wakeup_fd(wfd)

    def stop(signum, frame):
        tap.stopping = True

    def interrupt(signum, frame):
        tap.stopping = tap.interrupted = True

    old = {signal.SIGINT: signal.signal(signal.SIGINT, interrupt),
           signal.SIGTERM: signal.signal(signal.SIGTERM, stop)}
    try:
        tap.run(rfd)
    finally:
        tap.close()
        for s, h in old.items():
            signal.signal(s, h)
        signal.set_wakeup_fd(old_wakeup)
        os.close(rfd)
        os.close(wfd)
    if tap.failure:
        raise _cli.Fatal(tap.failure)
    if tap.interrupted:     # every file is closed: now the usual Ctrl-C ending
        raise KeyboardInterrupt
    return 0


def _nonblocking(fd):
    import fcntl
    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)


_guard.release()


if __name__ == '__main__':
    sys.exit(main())
