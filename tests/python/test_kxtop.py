"""kxtop as a user meets it: in a pseudo-terminal, piped, and when the daemon or the output goes away."""
import errno
import fcntl
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

from kxtest import sockets
from test_capture import failures
from test_e2e import EXAMPLES, Sim

KXTOP = [sys.executable, os.path.join(EXAMPLES, 'kxtop.py')]
HEADER = '%-40s %14s %14s %6s' % ('top hosts', 'in', 'out', 'conns')


class Screen(object):
    """The rows a terminal shows; kxtop's terminal description offers cursor addressing and erasing only."""

    TOKEN = re.compile(r'\x1b\[(\d*);?(\d*)([HJK])|[^\x1b]')
    PARTIAL = re.compile(r'\x1b(\[[\d;]*)?$')

    def __init__(self, rows, cols):
        self.cells = [[' '] * cols for _ in range(rows)]
        self.y = self.x = 0
        self.rest = ''

    def text(self):
        return [''.join(r).rstrip() for r in self.cells]

    def feed(self, data):
        data, pos = self.rest + data, 0
        while pos < len(data):
            m = self.TOKEN.match(data, pos)
            if m is None:
                if self.PARTIAL.match(data, pos):   # the rest of the sequence comes with the next read
                    break
                raise AssertionError('unexpected output %r' % data[pos:pos + 20])
            y, x, op = m.groups()
            row = self.cells[min(self.y, len(self.cells) - 1)]
            if op == 'H':
                self.y, self.x = int(y or 1) - 1, int(x or 1) - 1
            elif op:
                row[self.x:] = [' '] * (len(row) - self.x)
                if op == 'J':
                    self.cells[self.y + 1:] = [[' '] * len(row) for _ in self.cells[self.y + 1:]]
            elif m.group(0) == '\r':
                self.x = 0
            elif m.group(0) == '\n':
                self.y += 1
            else:
                row[min(self.x, len(row) - 1)] = m.group(0)
                self.x = min(self.x + 1, len(row) - 1)
            pos = m.end()
        self.rest = data[pos:]


class Terminal(object):

    def __init__(self, port, terminfo, rows=24, cols=80, args=()):
        self.master, slave = os.openpty()
        self.set_size(rows, cols, slave)
        self.screen = Screen(rows, cols)
        self.raw = ''

        def child_setup():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)
        env = dict(os.environ, TERM='kxtest', TERMINFO=terminfo)
        self.proc = subprocess.Popen(KXTOP + ['--port', str(port)] + list(args), stdin=slave, stdout=slave,
                                     stderr=slave, preexec_fn=child_setup, env=env, close_fds=True)
        os.close(slave)

    def set_size(self, rows, cols, fd=None):
        fcntl.ioctl(self.master if fd is None else fd, termios.TIOCSWINSZ, struct.pack('HHHH', rows, cols, 0, 0))

    def resize(self, rows, cols):
        self.set_size(rows, cols)
        self.screen = Screen(rows, cols)
        self.proc.send_signal(signal.SIGWINCH)

    def read(self, timeout):
        """Feeds what arrives within timeout to the screen; False at the end of the output."""
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

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        os.close(self.master)

    def finish(self, timeout=15.0):
        deadline = time.time() + timeout
        while self.read(0.05):  # to the end of the output: kxtop holds the terminal's only other end
            assert time.time() < deadline, 'kxtop did not exit'
        return self.proc.wait()


def frame_complete(rows):
    return any(r.startswith('spare') for r in rows)


class KxtopTerminal(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.terminfo = tempfile.mkdtemp(prefix='kxtop-terminfo-')
        source = os.path.join(cls.terminfo, 'kxtest.src')
        with open(source, 'w') as f:
            f.write('kxtest|cursor addressing and erasing only,\n'
                    '\tcols#80, lines#24, clear=\\E[H\\E[J, cup=\\E[%i%p1%d;%p2%dH, el=\\E[K, ed=\\E[J,\n')
        subprocess.check_call(['tic', '-o', cls.terminfo, source])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.terminfo)

    def terminal(self, *args):
        sim = Sim('--seed', '2', '--hosts', '12', '--interval', '20', test=self)
        t = Terminal(sim.port, self.terminfo, *args)
        self.addCleanup(t.close)
        return t

    def test_start_resize_quit(self):
        t = self.terminal(24, 80, ['--interval', '0.3'])
        rows = t.wait_screen(frame_complete)
        # The first frame already has samples: rates, not zeros.
        self.assertTrue(rows[0].startswith('kxtop - '), rows)
        self.assertEqual(rows[2], HEADER.rstrip())
        self.assertNotEqual(rows[3].split()[1:3], ['0.0', 'b/s'], rows)    # the busiest host
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
        rc = t.finish()
        self.assertEqual(rc, 0, t.raw[-2000:])
        self.assertNotIn('Traceback', t.raw)

    def test_ctrl_c_quits_quietly(self):
        t = self.terminal()
        t.wait_screen(frame_complete)
        os.write(t.master, b'\x03')
        rc = t.finish()
        self.assertEqual(rc, 130)
        self.assertTrue(t.raw.endswith('kxtop: interrupted\r\n'), t.raw[-200:])
        self.assertNotIn('Traceback', t.raw)


class KxtopSummary(unittest.TestCase):

    def test_rows_put_each_value_in_its_column(self):
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

    def kxtop(self, *args):
        return subprocess.Popen(KXTOP + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def test_failures_are_one_line(self):
        refused = sockets(self, False)[0].getsockname()[1]
        sim, sim2, sim3 = [Sim('--seed', '4', '--hosts', '10', '--interval', '20', test=self) for _ in range(3)]
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
            (['127.0.0.1:%d' % refused, '--batch'], None, 1,
             'kxtop: cannot connect to 127.0.0.1:%d: Connection refused' % refused),
            (['--port', str(sim3.port), '--password', 'wrong'], None, 1, 'kxtop: login refused'),
            (['--port', str(sim.port)] + batch, lambda p: (p.stdout.readline(), sim.stop()), 1,
             'kxtop: the daemon closed the connection'),
            (['--port', str(sim2.port)] + batch, lambda p: (p.stdout.readline(), p.stdout.close()), 1,
             'kxtop: standard output closed'),
            (['--port', str(sim3.port)] + batch, lambda p: (p.stdout.readline(), p.send_signal(signal.SIGINT)), 130,
             'kxtop: interrupted'),
        ]
        failures(self, [(KXTOP + args, action, rc, line) for args, action, rc, line in cases])

    def test_one_way_to_name_the_daemon(self):
        from kxtools import top
        try:
            from StringIO import StringIO
        except ImportError:
            from io import StringIO
        # (arguments, (host, port) or the end of the usage error)
        cases = [
            ([], ('127.0.0.1', 7830)), (['h'], ('h', 7830)), (['h:1'], ('h', 1)), ([':9'], ('127.0.0.1', 9)),
            (['[::1]:9'], ('::1', 9)), (['[::1]'], ('::1', 7830)), (['::1'], ('::1', 7830)),
            (['--host', 'h', '--port', '9'], ('h', 9)), (['--host', '[fe80::1]:9'], ('fe80::1', 9)),
            (['h:9', '--port', '9'], ('h', 9)), (['--port', '9'], ('127.0.0.1', 9)),
            (['h:9', '--host', 'h'], 'the address given twice: h:9 and --host h'),
            (['h:9', '--port', '8'], 'two ports: h:9 and --port 8'),
            (['h:0'], "bad port in 'h:0': not from 1 to 65535"), (['h:x'], "bad port in 'h:x': not a number"),
            (['[::1]x'], "'[::1]x' is not HOST:PORT or [V6ADDR]:PORT"), (['[]:9'], "no host in '[]:9'"),
        ]
        for argv, want in cases:
            err, sys.stderr = sys.stderr, StringIO()
            try:
                args = top.parse_args(argv)
                got = (args.host, args.port)
            except SystemExit:
                got = sys.stderr.getvalue().strip().split('kxtop: error: ')[-1]
            finally:
                sys.stderr = err
            self.assertEqual(got, want, argv)

    def test_stale_marker(self):
        sim = Sim('--seed', '4', '--hosts', '10', '--interval', '20', test=self)
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

    def test_help_gives_the_defaults(self):
        # (--version, the tools' shared option: test_capture's kxdissect)
        help_text = ' '.join(self.kxtop('--help').communicate()[0].decode().split())
        for option, default in (('--host HOST', '127.0.0.1'), ('--port PORT', '7830'), ('--user USER', 'demo'),
                                ('--password PASSWORD', 'demo')):
            self.assertTrue(re.search(re.escape(option) + r' \w[^-]*\(default: %s\)' % re.escape(default), help_text),
                            (option, help_text))

if __name__ == '__main__':
    unittest.main()
