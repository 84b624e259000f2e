"""kxtop: a live summary of the appliance daemon, refreshed every second.

    kxtop --port 7830 [--seconds 10] [--interval 1] [--batch]

Connects, logs in, subscribes to the host and connection tables, channel
statistics, shaping objects and firewall rules, waits for the first samples,
and shows the busiest hosts, the connection count, channel rates, shaping
objects and firewall hits until `q`, Ctrl-C or --seconds.

In a terminal it is a full-screen program (curses) that redraws in place at
the terminal's size and follows a resize. Without a terminal (piped), or with
--batch, it prints one plain frame per refresh. A connection that fails or is
lost ends it with one line on standard error and exit status 1.
"""
from __future__ import division, print_function

import argparse
import errno
import math
import os
import select
import signal
import socket
import struct
import sys
import time

import KXdv17_0 as kx

from kxtools import client as kxclient

# The first frame waits for these, so that it shows rates rather than zeros;
# a daemon that sends some of them never is shown after FIRST_SAMPLES_WAIT.
SAMPLE_TYPES = (kx.PROTOCOL_SERVER_HOST_UPDATE, kx.PROTOCOL_SERVER_CHANNEL_STATS_DATA,
                kx.PROTOCOL_SERVER_SHAPING_OBJECT, kx.PROTOCOL_SERVER_FW_RULES)
FIRST_SAMPLES_WAIT = 5.0


class Fatal(Exception):
    """Ends kxtop with this one line on standard error and exit status 1."""


def rate(bits):
    for unit in ('', 'k', 'M', 'G'):
        if abs(bits) < 1000:
            return '%5.1f %sb/s' % (bits, unit)
        bits /= 1000.0
    return '%5.1f Tb/s' % bits


def summary(c, elapsed, width=78):
    lines = []
    name = c.version[2] if c.version else '?'
    lines.append('kxtop - %s - %d hosts, %d connections, %d context rows - %.0fs'
                 % (name, len(c.hosts), len(c.conns), len(c.sc_rows), elapsed))
    lines.append('')
    lines.append('%-40s %14s %14s %6s' % ('top hosts', 'in', 'out', 'conns'))
    busiest = sorted(c.hosts.values(), key=lambda h: -sum(getattr(h, 'speed', (0, 0))))[:8]
    for h in busiest:
        speed = getattr(h, 'speed', (0, 0))
        conns = getattr(h, 'connections', (0, 0))
        lines.append('%-40s %14s %14s %6d' % (h.addr[:40], rate(speed[0] * 8), rate(speed[1] * 8), sum(conns)))

    established = sum(1 for x in c.conns.values() if 'ESTABLISHED' in kx.resolve_engineflags(getattr(x, '_engineflags', 0)))
    by_service = {}
    names = c.strtables.get(2, {})
    for x in c.conns.values():
        svc = names.get(getattr(x, '_service_id', 0), '?')
        by_service[svc] = by_service.get(svc, 0) + 1
    top = sorted(by_service.items(), key=lambda kv: -kv[1])[:6]
    lines.append('')
    lines.append('connections: %d (%d established); by service: %s'
                 % (len(c.conns), established, ', '.join('%s %d' % kv for kv in top)))

    lines.append('')
    lines.append('%-12s %-8s %14s %14s' % ('channel', 'state', 'in', 'out'))
    for cid in sorted(c.channels):
        ch = c.channels[cid]
        r = ch.get('bytes(rate)', (0, 0))
        lines.append('%-12s %-8s %14s %14s' % (ch['name'], 'up' if ch['active'] else 'down', rate(r[0] * 8), rate(r[1] * 8)))

    lines.append('')
    lines.append('%-12s %14s %14s %8s %6s' % ('shaping', 'in', 'out', 'drops/s', 'conns'))
    for oid in sorted(c.shaping_objects):
        o = c.shaping_objects[oid]
        if 'in RX bps' not in o:
            continue
        lines.append('%-12s %14s %14s %8d %6d' % (o.get('name', oid), rate(o['in RX bps']), rate(o['out RX bps']),
                                                   o['in drops/s'] + o['out drops/s'], o['connections']))

    lines.append('')
    lines.append('%-20s %10s %8s' % ('firewall rule', 'hits', 'recent'))
    for rid, r in sorted(c.fw_rules.items(), key=lambda kv: -kv[1].get('hits', 0))[:7]:
        lines.append('%-20s %10d %8d' % (r['name'], r.get('hits', 0), r.get('hits_rate', 0)))
    return '\n'.join(l[:width] for l in lines)


def number_in(low, high, what):
    """An argparse type: a finite number of seconds in [low, high]."""
    def parse(text):
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError('%r is not a number' % text)
        if math.isnan(value) or not low <= value <= high:
            raise argparse.ArgumentTypeError('%s must be between %g and %g, not %s' % (what, low, high, text))
        return value
    return parse


def port_number(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError('the port must be a number from 1 to 65535, not %r' % text)
    return value


def parse_args(argv):
    p = argparse.ArgumentParser(prog='kxtop', description='Live summary of the appliance daemon.')
    p.add_argument('--host', default='127.0.0.1')
    p.add_argument('--port', type=port_number, default=7830)
    p.add_argument('--user', default='demo')
    p.add_argument('--password', default='demo')
    p.add_argument('--seconds', type=number_in(0, 1e7, 'the run time'), default=0,
                   help='stop after this long (default 0: until q or Ctrl-C)')
    p.add_argument('--interval', type=number_in(0.05, 3600, 'the interval'), default=1.0,
                   help='seconds between refreshes (default 1, from 0.05 to 3600)')
    p.add_argument('--batch', action='store_true',
                   help='print plain frames, as when the output is not a terminal')
    return p.parse_args(argv)


def reason(e):
    return getattr(e, 'strerror', None) or str(e) or e.__class__.__name__


def connect(args):
    """Connects, logs in, subscribes and waits for the first samples."""
    try:
        c = kxclient.KXClient(args.host, args.port)
    except (EnvironmentError, socket.error) as e:
        raise Fatal('cannot connect to %s:%d: %s' % (args.host, args.port, reason(e)))
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

    def draw(self, c, elapsed):
        try:
            sys.stdout.write('\n' + summary(c, elapsed) + '\n')
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

    def draw(self, c, elapsed):
        rows, cols = self.win.getmaxyx()
        self.win.erase()
        for y, line in enumerate(summary(c, elapsed, width=cols).split('\n')[:rows]):
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
    start = time.time()
    end = start + args.seconds if args.seconds else None
    next_draw = start
    while True:
        now = time.time()
        if end is not None and now >= end:
            return
        if now >= next_draw:
            screen.draw(c, now - start)
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
        if action == 'redraw':
            screen.draw(c, time.time() - start)


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
    args = parse_args(argv)
    c = None
    try:
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
            raise Fatal('connection to %s:%d lost: %s' % (args.host, args.port, reason(e)))
    except KeyboardInterrupt:
        pass
    except Fatal as e:
        sys.stderr.write('kxtop: %s\n' % e)
        return 1
    finally:
        if c is not None:
            goodbye(c)
    return 0


if __name__ == '__main__':
    sys.exit(main())
