"""kxtop as a user meets it: in a pseudo-terminal (first frame, resize, q,
Ctrl-C), piped, and when the daemon cannot be reached, goes away or the
output is closed. The screen is rebuilt from kxtop's output by a small VT100
interpreter (TERM=vt100: the escape sequences curses sends are few)."""
from __future__ import print_function

import errno
import fcntl
import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import termios
import time
import unittest

from test_e2e import Sim

HERE = os.path.dirname(os.path.abspath(__file__))
KXTOP = [sys.executable, os.path.join(HERE, '..', '..', 'examples', 'kxtop.py')]
HEADER = '%-40s %14s %14s %6s' % ('top hosts', 'in', 'out', 'conns')


class Screen(object):
    """The cells of a VT100 after the bytes it was sent: cursor addressing and
    movement, erasing, scrolling regions, line feeds, automatic margins."""

    CSI = re.compile(r'\x1b\[([?0-9;]*)([A-Za-z])')

    def __init__(self, rows, cols):
        self.resize(rows, cols)

    def resize(self, rows, cols):
        self.rows, self.cols = rows, cols
        self.cells = [[' '] * cols for _ in range(rows)]
        self.y = self.x = 0
        self.top, self.bottom = 0, rows - 1
        self.wrap_pending = False
        self.saved = (0, 0)

    def text(self):
        return [''.join(r).rstrip() for r in self.cells]

    def move(self, y, x):
        self.y = max(0, min(self.rows - 1, y))
        self.x = max(0, min(self.cols - 1, x))
        self.wrap_pending = False

    def line_feed(self):
        if self.y == self.bottom:
            del self.cells[self.top]
            self.cells.insert(self.bottom, [' '] * self.cols)
        elif self.y < self.rows - 1:
            self.y += 1

    def reverse_index(self):
        if self.y == self.top:
            del self.cells[self.bottom]
            self.cells.insert(self.top, [' '] * self.cols)
        elif self.y > 0:
            self.y -= 1

    def put(self, ch):
        if self.wrap_pending:
            self.x = 0
            self.line_feed()
            self.wrap_pending = False
        self.cells[self.y][self.x] = ch
        if self.x == self.cols - 1:
            self.wrap_pending = True
        else:
            self.x += 1

    def csi(self, params, final):
        private = params.startswith('?')
        nums = [int(p) if p else 0 for p in params.lstrip('?').split(';')] if params.lstrip('?') else []
        n = nums[0] if nums and nums[0] else 1
        if private or final in 'mhlq':
            return
        if final in 'Hf':
            self.move((nums[0] if nums and nums[0] else 1) - 1, (nums[1] if len(nums) > 1 and nums[1] else 1) - 1)
        elif final == 'A':
            self.move(self.y - n, self.x)
        elif final == 'B':
            self.move(self.y + n, self.x)
        elif final == 'C':
            self.move(self.y, self.x + n)
        elif final == 'D':
            self.move(self.y, self.x - n)
        elif final == 'K':
            mode = nums[0] if nums else 0
            lo, hi = {0: (self.x, self.cols), 1: (0, self.x + 1), 2: (0, self.cols)}[mode]
            self.cells[self.y][lo:hi] = [' '] * (hi - lo)
        elif final == 'J':
            mode = nums[0] if nums else 0
            rows = {0: range(self.y + 1, self.rows), 1: range(0, self.y), 2: range(self.rows)}[mode]
            self.csi(str(mode if mode < 2 else 2), 'K')
            for r in rows:
                self.cells[r] = [' '] * self.cols
        elif final == 'r':
            self.top = (nums[0] if nums and nums[0] else 1) - 1
            self.bottom = (nums[1] if len(nums) > 1 and nums[1] else self.rows) - 1
            self.move(0, 0)
        else:
            raise AssertionError('unexpected escape sequence ESC[%s%s' % (params, final))

    def feed(self, data):
        i = 0
        while i < len(data):
            ch = data[i]
            if ch == '\x1b':
                m = self.CSI.match(data, i)
                if m:
                    self.csi(m.group(1), m.group(2))
                    i = m.end()
                    continue
                nxt = data[i + 1:i + 2]
                if nxt in ('(', ')'):
                    i += 3
                    continue
                if nxt == '7':
                    self.saved = (self.y, self.x)
                elif nxt == '8':
                    self.move(*self.saved)
                elif nxt == 'M':
                    self.reverse_index()
                elif nxt == 'D':
                    self.line_feed()
                elif nxt == 'E':
                    self.x = 0
                    self.line_feed()
                elif nxt not in ('=', '>'):
                    raise AssertionError('unexpected escape ESC %r' % nxt)
                i += 2
                continue
            if ch == '\r':
                self.move(self.y, 0)
            elif ch == '\n':
                self.wrap_pending = False
                self.line_feed()
            elif ch == '\b':
                self.move(self.y, self.x - 1)
            elif ch == '\t':
                self.move(self.y, (self.x // 8 + 1) * 8)
            elif ch >= ' ':
                self.put(ch)
            i += 1


class Terminal(object):
    """kxtop on a pseudo-terminal that is its controlling terminal."""

    def __init__(self, port, rows=24, cols=80, args=()):
        self.master, slave = os.openpty()
        self.set_size(rows, cols, slave)
        self.screen = Screen(rows, cols)
        self.raw = ''

        def child_setup():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)
        env = dict(os.environ, TERM='vt100')
        self.proc = subprocess.Popen(KXTOP + ['--port', str(port)] + list(args), stdin=slave, stdout=slave,
                                     stderr=slave, preexec_fn=child_setup, env=env, close_fds=True)
        os.close(slave)

    def set_size(self, rows, cols, fd=None):
        fcntl.ioctl(self.master if fd is None else fd, termios.TIOCSWINSZ, struct.pack('HHHH', rows, cols, 0, 0))

    def resize(self, rows, cols):
        """As a terminal window does: the new size, then SIGWINCH."""
        self.set_size(rows, cols)
        self.screen.resize(rows, cols)
        self.proc.send_signal(signal.SIGWINCH)

    def read(self, timeout):
        """Feeds what arrives within timeout to the screen; False at the end
        of the output (every slave descriptor closed)."""
        if not select.select([self.master], [], [], timeout)[0]:
            return True
        try:
            data = os.read(self.master, 65536)
        except OSError as e:  # EIO: the terminal has no process left
            if e.errno != errno.EIO:
                raise
            return False
        data = data.decode('utf-8', 'replace')
        self.raw += data
        self.screen.feed(data)
        return bool(data)

    def wait_screen(self, condition, timeout=15.0):
        deadline = time.time() + timeout
        while not condition(self.screen.text()):
            if time.time() > deadline or not self.read(0.05):
                raise AssertionError('screen never matched; it shows:\n' + '\n'.join(self.screen.text()))
        return self.screen.text()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        os.close(self.master)

    def finish(self, timeout=15.0):
        deadline = time.time() + timeout
        while self.proc.poll() is None and time.time() < deadline:
            self.read(0.05)
        while select.select([self.master], [], [], 0)[0] and self.read(0):
            pass
        if self.proc.poll() is None:
            self.kill()
            raise AssertionError('kxtop did not exit')
        os.close(self.master)
        return self.proc.returncode


def frame_complete(rows):
    return any(r.startswith('spare') for r in rows)


class KxtopTerminal(unittest.TestCase):

    def setUp(self):
        self.sim = Sim('--seed', '2', '--hosts', '12', '--interval', '20')

    def tearDown(self):
        self.sim.kill()

    def test_start_resize_quit(self):
        t = Terminal(self.sim.port, 24, 80, ['--interval', '0.3'])
        try:
            rows = t.wait_screen(frame_complete)
            # The first frame already has samples: rates, not zeros.
            self.assertTrue(rows[0].startswith('kxtop - '), rows)
            self.assertEqual(rows[2], HEADER.rstrip())
            busiest = rows[3].split()
            self.assertNotEqual(busiest[1:3], ['0.0', 'b/s'], rows)
            uplink = [r for r in rows if r.startswith('uplink')]
            self.assertEqual(len(uplink), 1, rows)
            self.assertNotIn('  0.0 b/s', uplink[0])

            # Narrower: the columns that fit, whole, at a narrower host column; then fewer columns.
            rate = r' +[0-9.]+ [kMG]?b/s'
            # (an address cut to the column ends in '~'; the title takes its short form)
            for rows_, cols, titles, host_row in (
                    (12, 50, ['top', 'hosts', 'in', 'out', 'conns'], re.compile(r'^[0-9a-f.:]+~?%s%s +\d+$' % (rate, rate))),
                    (15, 40, ['top', 'hosts', 'in'], re.compile(r'^[0-9a-f.:]+%s$' % rate))):
                t.resize(rows_, cols)
                rows = t.wait_screen(lambda rows: rows[2].split() == titles and host_row.match(rows[10]))
                self.assertTrue(re.match(r'^kxtop - \d+ hosts, \d+ conns - \d+s$', rows[0]), rows)
                for row in rows[3:11]:
                    self.assertTrue(host_row.match(row), rows)

            # Taller: every host fits (the simulator has about 12; a plain frame shows 8).
            t.resize(50, 100)
            rows = t.wait_screen(lambda rows: rows[2] == HEADER and any(r.startswith('firewall rule') for r in rows))
            self.assertEqual(len(rows), 50)
            hosts = rows.index('', 3) - 3
            self.assertGreater(hosts, 8, rows)
            self.assertEqual(hosts, int(rows[0].split(' hosts,')[0].rsplit(' ', 1)[1]), rows)
            os.write(t.master, b'q')
        except Exception:
            t.kill()
            raise
        rc = t.finish()
        self.assertEqual(rc, 0, t.raw[-2000:])
        self.assertNotIn('Traceback', t.raw)

    def test_ctrl_c_quits_quietly(self):
        t = Terminal(self.sim.port)
        try:
            t.wait_screen(frame_complete)
            os.write(t.master, b'\x03')
        except Exception:
            t.kill()
            raise
        rc = t.finish()
        self.assertEqual(rc, 130)
        self.assertTrue(t.raw.endswith('kxtop: interrupted\r\n'), t.raw[-200:])
        self.assertNotIn('Traceback', t.raw)


def closed_port():
    """A loopback port that refuses connections: bound, never listening."""
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    return s, s.getsockname()[1]


class KxtopSummary(unittest.TestCase):

    def test_rows_put_each_value_in_its_column(self):
        sys.path.insert(0, os.path.join(HERE, '..', '..'))
        from kxtools import top
        host = type('Host', (object,), {})()
        host.addr, host.speed, host.connections = '10.0.0.1', (1000, 2000), (3, 4)
        c = type('Client', (object,), {})()
        c.version, c.hosts, c.conns, c.sc_rows, c.strtables = (0, 0, 'kxd'), {1: host}, {}, {}, {}
        c.channels = {1: {'name': 'uplink', 'active': True, 'bytes(rate)': (5000, 6000)}}
        c.shaping_objects = {1: {'name': 'gold', 'in RX bps': 7000, 'out RX bps': 8000, 'in drops/s': 1,
                                 'out drops/s': 2, 'connections': 9}}
        c.fw_rules = {1: {'name': 'allow', 'hits': 10, 'hits_rate': 11}}
        rows = top.summary(c, 0, 100).split('\n')
        for want in [['10.0.0.1', '8.0', 'kb/s', '16.0', 'kb/s', '7'], ['uplink', 'up', '40.0', 'kb/s', '48.0', 'kb/s'],
                     ['gold', '7.0', 'kb/s', '8.0', 'kb/s', '3', '9'], ['allow', '10', '11']]:
            self.assertIn(want, [r.split() for r in rows], rows)


class KxtopErrors(unittest.TestCase):

    def kxtop(self, *args, **kw):
        p = subprocess.Popen(KXTOP + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)
        return p

    def test_failures_are_one_line(self):
        holder, refused = closed_port()
        self.addCleanup(holder.close)
        sim, sim2, sim3 = [Sim('--seed', '4', '--hosts', '10', '--interval', '20') for _ in range(3)]
        for s in (sim, sim2, sim3):
            self.addCleanup(s.kill)

        def first_frame(p):
            p.stdout.readline()

        def output_closed(p):
            p.stdout.readline()
            p.stdout.close()  # the reader of a pipe goes away

        def interrupted(p):
            p.stdout.readline()
            p.send_signal(signal.SIGINT)
        batch = ['--batch', '--interval', '0.1']
        # (arguments, what happens once it runs, exit status, the line on stderr)
        cases = [
            (['--interval', '0'], None, 2,
             'kxtop: error: argument --interval: the interval must be between 0.05 and 3600, not 0'),
            (['--interval', 'x'], None, 2, "kxtop: error: argument --interval: 'x' is not a number"),
            (['--seconds', 'nan'], None, 2,
             'kxtop: error: argument --seconds: the run time must be between 0 and 1e+07, not nan'),
            (['--port', '70000'], None, 2,
             "kxtop: error: argument --port: the port must be a number from 1 to 65535, not '70000'"),
            (['--port', str(refused), '--batch'], None, 1,
             'kxtop: cannot connect to 127.0.0.1:%d: Connection refused' % refused),
            (['--port', str(sim3.port), '--password', 'wrong'], None, 1, 'kxtop: login refused'),
            (['--port', str(sim.port)] + batch, lambda p: (first_frame(p), sim.stop()), 1,
             'kxtop: the daemon closed the connection'),
            (['--port', str(sim2.port)] + batch, output_closed, 1, 'kxtop: standard output closed'),
            (['--port', str(sim3.port)] + batch, interrupted, 130, 'kxtop: interrupted'),
        ]
        for args, action, rc, line in cases:
            p = self.kxtop(*args)
            if action:
                action(p)
            err = p.stderr.read().decode().splitlines()
            p.stdout.close()
            p.stderr.close()
            self.assertEqual((p.wait(), err[-1:]), (rc, [line]), args)
            if rc != 2:     # (argparse puts its usage before the line)
                self.assertEqual(len(err), 1, err)

    def test_stale_marker(self):
        sim = Sim('--seed', '4', '--hosts', '10', '--interval', '20')
        self.addCleanup(sim.kill)
        p = self.kxtop('--port', str(sim.port), '--batch', '--interval', '0.2')
        self.addCleanup(lambda: (p.kill(), p.wait(), p.stdout.close(), p.stderr.close()))
        titles = []

        def title():
            line = p.stdout.readline().decode()
            while not line.startswith('kxtop - '):
                line = p.stdout.readline().decode()
            titles.append(line)
            return line
        self.assertNotIn('STALE', title())
        sim.proc.send_signal(signal.SIGSTOP)
        try:
            deadline = time.time() + 10
            while 'STALE' not in title() and time.time() < deadline:
                pass
        finally:
            sim.proc.send_signal(signal.SIGCONT)
        self.assertTrue(re.match(r'^kxtop - STALE: no update for [3-5]s - ', titles[-1]), titles[-3:])
        while 'STALE' in title():
            pass
        self.assertGreater(len(titles), 15)   # frames went on every 0.2 s all along

    def test_version_and_help(self):
        out, err = self.kxtop('--version').communicate()
        self.assertTrue(re.match(r'^kxtop \d+\.\d+\.\d+\n$', out.decode()), out)
        help_text = ' '.join(self.kxtop('--help').communicate()[0].decode().split())
        for option, default in (('--host HOST', '127.0.0.1'), ('--port PORT', '7830'), ('--user USER', 'demo'),
                                ('--password PASSWORD', 'demo')):
            self.assertTrue(re.search(re.escape(option) + r' \w[^-]*\(default: %s\)' % re.escape(default), help_text),
                            (option, help_text))

if __name__ == '__main__':
    unittest.main()
