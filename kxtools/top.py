"""kxtop: a live summary of the appliance daemon, refreshed every second.

    kxtop [HOST:PORT] [--seconds 10] [--interval 1] [--batch]

Connects, logs in, subscribes to the host and connection tables, channel
statistics, shaping objects and firewall rules, waits for the first samples,
and shows the busiest hosts, the connection count, channel rates, shaping
objects and firewall hits until `q`, Ctrl-C or --seconds.

In a terminal it is a full-screen program (curses) that redraws in place at
the terminal's size and follows a resize. Without a terminal (piped), or with
--batch, it prints one plain frame per refresh. A connection that fails or is
lost ends it with one line on standard error and exit status 1; Ctrl-C with
one line and status 130. Host rows fill a terminal's height; a narrow one
loses the less important columns first; data that has not been updated for
a few intervals is marked stale in the title.
"""
from __future__ import division, print_function

from kxtools import _cli
_guard = _cli.ImportGuard('kxtop')

import argparse  # noqa: E402
import errno  # noqa: E402
import os  # noqa: E402
import select  # noqa: E402
import signal  # noqa: E402
import socket  # noqa: E402
import struct  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

try:
    import KXdv17_0 as kx
    from kxtools import client as kxclient
    from kxtools.messages import SERVICE_TABLE
except BaseException:   # a failed import leaves the SIGINT handling as it was
    _guard.release()
    raise

# The first frame waits for these, so that it shows rates rather than zeros;
# a daemon that sends some of them never is shown after FIRST_SAMPLES_WAIT.
SAMPLE_TYPES = (kx.PROTOCOL_SERVER_HOST_UPDATE, kx.PROTOCOL_SERVER_CHANNEL_STATS_DATA,
                kx.PROTOCOL_SERVER_SHAPING_OBJECT, kx.PROTOCOL_SERVER_FW_RULES)
FIRST_SAMPLES_WAIT = 5.0


Fatal = _cli.Fatal

# The data is shown as stale once nothing came from the daemon for this many
# refresh intervals (and at least STALE_LEAST seconds).
STALE_INTERVALS = 3
STALE_LEAST = 3.0
BATCH_HOSTS = 8     # host rows without a terminal height


def rate(bits):
    for unit in ('', 'k', 'M', 'G'):
        if abs(bits) < 1000:
            return '%5.1f %sb/s' % (bits, unit)
        bits /= 1000.0
    return '%5.1f Tb/s' % bits


def fit_columns(columns, width):
    """The columns of a table that fit in width, as (index, width) pairs.
    columns: (title, full width, least width, rank, left aligned); the first
    column has rank 0 and stays; the others go, highest rank first, until the
    rest fits at their least widths. The room left widens columns in order."""
    keep = list(range(len(columns)))

    def need(ix):
        return sum(columns[i][2] for i in ix) + len(ix) - 1
    while len(keep) > 1 and need(keep) > width:
        keep.remove(max(keep, key=lambda i: columns[i][3]))
    spare = max(0, width - need(keep))
    out = []
    for i in keep:
        grow = min(spare, columns[i][1] - columns[i][2])
        spare -= grow
        out.append((i, columns[i][2] + grow))
    return out


def table(columns, rows, width):
    """The header line and one line per row, in the columns that fit; a
    value cut to its column's width ends in '~'."""
    layout = fit_columns(columns, width)

    def line(cells):
        parts = []
        for i, w in layout:
            text = '%s' % (cells[i],)
            if len(text) > w:   # cut, and marked as cut
                text = text[:w - 1] + '~'
            parts.append(text.ljust(w) if columns[i][4] else text.rjust(w))
        return ' '.join(parts).rstrip()
    return [line([col[0] for col in columns])] + [line(r) for r in rows]


HOST_COLUMNS = (('top hosts', 40, 20, 0, True), ('in', 14, 10, 1, False), ('out', 14, 10, 2, False),
                ('conns', 6, 5, 3, False))
CHANNEL_COLUMNS = (('channel', 12, 8, 0, True), ('state', 8, 5, 3, True), ('in', 14, 10, 1, False),
                   ('out', 14, 10, 2, False))
SHAPING_COLUMNS = (('shaping', 12, 8, 0, True), ('in', 14, 10, 1, False), ('out', 14, 10, 2, False),
                   ('drops/s', 8, 7, 3, False), ('conns', 6, 5, 4, False))
FIREWALL_COLUMNS = (('firewall rule', 20, 13, 0, True), ('hits', 10, 8, 1, False), ('recent', 8, 6, 2, False))


def title_line(c, elapsed, width, stale=None):
    """The first line: the longest of its forms that fits in width, with
    the stale marker in each."""
    name = c.version[2] if c.version else '?'
    counts = (len(c.hosts), len(c.conns), len(c.sc_rows))
    bodies = ['%s - %d hosts, %d connections, %d context rows - %.0fs' % ((name,) + counts + (elapsed,)),
              '%d hosts, %d connections, %d context rows - %.0fs' % (counts + (elapsed,)),
              '%d hosts, %d conns - %.0fs' % (counts[:2] + (elapsed,)),
              '%d hosts, %d conns' % counts[:2]]
    marks = ['STALE: no update for %.0fs - ' % stale, 'STALE %.0fs - ' % stale] if stale is not None else ['']
    forms = ['kxtop - ' + mark + body for mark in marks for body in bodies]
    return next((f for f in forms if len(f) <= width), forms[-1])


def summary(c, elapsed, width=78, height=None, stale=None):
    """The frame as text: at most width columns; with a height, as many host
    rows as fit; with stale (seconds since the last update), a marker."""
    established = sum(1 for x in c.conns.values() if 'ESTABLISHED' in kx.resolve_engineflags(getattr(x, '_engineflags', 0)))
    by_service = {}
    names = c.strtables.get(SERVICE_TABLE, {})
    for x in c.conns.values():
        svc = names.get(getattr(x, '_service_id', 0), '?')
        by_service[svc] = by_service.get(svc, 0) + 1
    top = sorted(by_service.items(), key=lambda kv: -kv[1])[:6]
    rest = ['', 'connections: %d (%d established); by service: %s'
            % (len(c.conns), established, ', '.join('%s %d' % kv for kv in top)), '']

    rows = []
    for cid in sorted(c.channels):
        ch = c.channels[cid]
        r = ch.get('bytes(rate)', (0, 0))
        rows.append((ch['name'], 'up' if ch['active'] else 'down', rate(r[0] * 8), rate(r[1] * 8)))
    rest += table(CHANNEL_COLUMNS, rows, width) + ['']

    rows = []
    for oid in sorted(c.shaping_objects):
        o = c.shaping_objects[oid]
        if 'in RX bps' in o:
            rows.append((o.get('name', oid), rate(o['in RX bps']), rate(o['out RX bps']),
                         o['in drops/s'] + o['out drops/s'], o['connections']))
    rest += table(SHAPING_COLUMNS, rows, width) + ['']

    rows = [(r['name'], r.get('hits', 0), r.get('hits_rate', 0))
            for rid, r in sorted(c.fw_rules.items(), key=lambda kv: -kv[1].get('hits', 0))[:7]]
    rest += table(FIREWALL_COLUMNS, rows, width)

    head = [title_line(c, elapsed, width, stale), '']
    # A terminal's height goes to the host rows: those that the other lines
    # leave, and at least as many as a plain frame has (or as fit at all).
    count = BATCH_HOSTS
    if height is not None:
        count = max(min(BATCH_HOSTS, height - len(head) - 1), height - len(head) - 1 - len(rest))
    busiest = sorted(c.hosts.values(), key=lambda h: -sum(getattr(h, 'speed', (0, 0))))[:count]
    rows = [(h.addr, rate(getattr(h, 'speed', (0, 0))[0] * 8), rate(getattr(h, 'speed', (0, 0))[1] * 8),
             sum(getattr(h, 'connections', (0, 0)))) for h in busiest]
    lines = head + table(HOST_COLUMNS, rows, width) + rest
    return '\n'.join(l[:width] for l in lines)


def port_number(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError('the port must be a number from 1 to 65535, not %r' % text)
    return value


class _Given(argparse.Action):
    """Stores the value and notes that the option was given (its default
    shows in the help, so it cannot tell by itself)."""

    def __call__(self, parser, namespace, values, option_string=None):
        setattr(namespace, self.dest, values)
        namespace.given = getattr(namespace, 'given', ()) + (self.dest,)


def parse_args(argv):
    p = _cli.parser('kxtop', 'Live summary of the appliance daemon.')
    p.add_argument('address', nargs='?', metavar='HOST:PORT',
                   help="the daemon's address: HOST:PORT, [V6ADDR]:PORT or HOST (default 127.0.0.1:7830)")
    p.add_argument('--host', action=_Given, default='127.0.0.1',
                   help="the daemon's address, as HOST:PORT takes it")
    p.add_argument('--port', action=_Given, type=port_number, default=7830,
                   help="the daemon's port (1 to 65535), where the address gives none")
    p.add_argument('--user', default='demo', help='the user name to log in with')
    p.add_argument('--password', default='demo', help='the password to log in with')
    p.add_argument('--seconds', type=_cli.number_in(0, 1e7, 'the run time'), default=0,
                   help='stop after this long (default 0: until q or Ctrl-C)')
    p.add_argument('--interval', type=_cli.number_in(0.05, 3600, 'the interval'), default=1.0,
                   help='seconds between refreshes, from 0.05 to 3600; the data is marked stale after %d '
                   'intervals without an update' % STALE_INTERVALS)
    p.add_argument('--batch', action='store_true',
                   help='print plain frames, as when the output is not a terminal')
    args = p.parse_args(argv)
    given = getattr(args, 'given', ())
    if args.address is not None and 'host' in given:
        p.error('the address given twice: %s and --host %s' % (args.address, args.host))
    text = args.host if args.address is None else args.address
    try:
        args.host, port = _cli.split_address(text, None, 1)
    except ValueError as e:
        p.error(str(e))
    if port is not None and 'port' in given and port != args.port:
        p.error('two ports: %s and --port %d' % (text, args.port))
    args.port = args.port if port is None else port
    return args


def reason(e):
    return getattr(e, 'strerror', None) or str(e) or e.__class__.__name__


def connect(args):
    """Connects, logs in, subscribes and waits for the first samples."""
    try:
        c = kxclient.KXClient(args.host, args.port)
    except (EnvironmentError, socket.error) as e:
        raise Fatal('cannot connect to %s: %s' % (_cli.host_port(args.host, args.port), reason(e)))
    if not c.login(args.user, args.password):
        c.close()
        raise Fatal('login refused')
    kx.requestUpdate(c)
    kx.channelsShow(c)
    kx.shapingobjectShow(c)
    kx.fwrulesShow(c)
    c.wait_for(lambda: c.update_done)
    before = dict((t, c.counts.get(t, 0)) for t in SAMPLE_TYPES)
    deadline = time.time() + FIRST_SAMPLES_WAIT
    while not all(c.counts.get(t, 0) > n for t, n in before.items()) and time.time() < deadline:
        if c.closed:
            raise kxclient.ProtocolError('the daemon closed the connection')
        c.pump(0.05)
    return c


class PlainScreen(object):
    """Frames as plain text on standard output, one after the other."""

    def inputs(self):
        return []

    def poll(self):
        return None

    def draw(self, c, elapsed, stale=None):
        try:
            sys.stdout.write('\n' + summary(c, elapsed, stale=stale) + '\n')
            sys.stdout.flush()
        except IOError as e:
            if e.errno != errno.EPIPE:
                raise
            # Nothing more can be shown; keep the interpreter's final flush quiet.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
            raise Fatal('standard output closed')

    def close(self):
        pass


class CursesScreen(object):
    """The full-screen view: redraws in place at the terminal's size, follows
    a resize (SIGWINCH), reads `q` without waiting for Enter."""

    def __init__(self):
        import curses
        self.curses = curses
        self.win = curses.initscr()
        self.resized = False
        self.old_winch = None
        try:
            curses.noecho()
            curses.cbreak()
            self.win.keypad(True)
            self.win.nodelay(True)
            try:
                curses.curs_set(0)
            except curses.error:
                pass
            self.old_winch = signal.signal(signal.SIGWINCH, self._on_winch)
        except Exception:
            self.close()
            raise

    def _on_winch(self, signum, frame):
        self.resized = True

    def inputs(self):
        return [sys.stdin]

    def poll(self):
        """'quit' for q, 'redraw' after a resize, else None."""
        action = None
        if self.resized:
            self.resized = False
            try:
                rows, cols = struct.unpack('hhhh', fcntl_winsize())[:2]
                self.curses.resizeterm(rows, cols)
            except (IOError, self.curses.error):
                pass
            self.win.clear()  # the next refresh repaints every cell
            action = 'redraw'
        while True:
            ch = self.win.getch()
            if ch == -1:
                return action
            if ch in (ord('q'), ord('Q')):
                return 'quit'
            if ch == self.curses.KEY_RESIZE:
                action = 'redraw'

    def draw(self, c, elapsed, stale=None):
        rows, cols = self.win.getmaxyx()
        self.win.erase()
        for y, line in enumerate(summary(c, elapsed, width=cols, height=rows, stale=stale).split('\n')[:rows]):
            try:
                # The bottom-right cell cannot be written without scrolling.
                self.win.addnstr(y, 0, line, cols - 1 if y == rows - 1 else cols)
            except self.curses.error:
                pass
        self.win.refresh()

    def close(self):
        if self.old_winch is not None:
            signal.signal(signal.SIGWINCH, self.old_winch)
        try:
            self.win.keypad(False)
            self.curses.nocbreak()
            self.curses.echo()
        finally:
            self.curses.endwin()


def fcntl_winsize():
    import fcntl
    import termios
    return fcntl.ioctl(sys.stdout.fileno(), termios.TIOCGWINSZ, b'\0' * 8)


def open_screen(args):
    if args.batch or not (sys.stdout.isatty() and sys.stdin.isatty()):
        return PlainScreen()
    try:
        return CursesScreen()
    except Exception:  # no usable terminal description (TERM): plain frames
        return PlainScreen()


def run(c, args, screen):
    """Draws every --interval until q, --seconds, or the connection ends."""
    start = last_update = time.time()
    end = start + args.seconds if args.seconds else None
    next_draw = start
    stale_after = max(STALE_INTERVALS * args.interval, STALE_LEAST)

    def draw(now):
        quiet = now - last_update
        screen.draw(c, now - start, quiet if quiet >= stale_after else None)
    while True:
        now = time.time()
        if end is not None and now >= end:
            return
        if now >= next_draw:
            draw(now)
            next_draw = max(next_draw + args.interval, now)
        wake = min(next_draw, end) if end is not None else next_draw
        try:
            ready = select.select([c.sock] + screen.inputs(), [], [], max(0.0, min(wake - time.time(), 0.2)))[0]
        except (select.error, OSError) as e:
            if e.args[0] != errno.EINTR:
                raise
            ready = []
        action = screen.poll()
        if action == 'quit':
            return
        if c.sock in ready:
            c.pump(0)
            if c.closed:
                raise Fatal('the daemon closed the connection')
            last_update = time.time()
        if action == 'redraw':
            draw(time.time())


def goodbye(c):
    """Unsubscribes when the connection still works, then closes it."""
    if c.closed:
        return
    try:
        kx.channelsHide(c)
        kx.shapingobjectHide(c)
        kx.fwrulesHide(c)
    except (EnvironmentError, kxclient.ProtocolError):
        pass
    c.close()


def main(argv=None):
    return _cli.run('kxtop', lambda: _main(argv))


def _main(argv):
    args = parse_args(argv)
    c = None
    try:
        c = connect(args)
        screen = open_screen(args)
        try:
            run(c, args, screen)
        finally:
            screen.close()
    except kxclient.ProtocolError as e:
        raise Fatal(str(e))
    except (EnvironmentError, socket.error) as e:
        raise Fatal('connection to %s lost: %s' % (_cli.host_port(args.host, args.port), reason(e)))
    finally:
        if c is not None:
            goodbye(c)
    return 0


_guard.release()


if __name__ == '__main__':
    sys.exit(main())
