"""kxd-sim --replay of written recordings, kxtap against a daemon played by the test, both tools on bad input."""
from __future__ import absolute_import, division, print_function

import io
import json
import os
import random
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from test_e2e import SIM, Sim, Tap, by_direction, frame, listening, run_tool, tool

from kxtest import s, scratch, sockets
from kxtools import pcapng


def big_endian_capture(packets, linktype=pcapng.LINKTYPE_USER0):
    """A big-endian pcapng file with timestamps in 2**-10 s, as another machine's tools may write one."""
    def block(btype, body):
        return struct.pack('>II', btype, len(body) + 12) + body + struct.pack('>I', len(body) + 12)

    out = block(0x0A0D0D0A, struct.pack('>IHHq', 0x1A2B3C4D, 1, 0, -1))
    out += block(1, struct.pack('>HHI', linktype, 0, 0) + struct.pack('>HH', 9, 1) + b'\x8a\0\0\0' + b'\0' * 4)
    for ticks, data, direction in packets:
        out += block(6, struct.pack('>IIIII', 0, ticks >> 32, ticks & 0xffffffff, len(data), len(data)) + data +
                     b'\0' * (-len(data) % 4) + struct.pack('>HHI', 2, 4, direction) + b'\0' * 4)
    return out


class Replay(unittest.TestCase):

    def replay(self, path, *options):
        sim = Sim(log=True, test=self, *(('--replay', path) + options))
        c = connect(sim.port)
        self.addCleanup(c.close)
        return sim, c

    def log(self, sim):
        self.assertEqual(sim.stop()[0], 0)
        return [line.split(': ', 2)[2] for line in sim.log_text().splitlines()]

    def test_pace_and_mismatches(self):
        tmp = scratch(self, 'kxreplay-')
        name = os.path.join(tmp, 'r.pcapng')
        version = frame(0x10001, b'\x60\x00' + b'\0' * 8 + s('') * 3)
        pong, ping, update = frame(0x1b100), frame(0x20528), frame(0x20002)
        with pcapng.Writer(name) as w:
            for t, data, direction in ((100.0, version, pcapng.INBOUND), (100.05, ping, pcapng.OUTBOUND),
                                       (100.35, pong, pcapng.INBOUND), (100.4, ping[:3], pcapng.OUTBOUND),
                                       (100.45, ping, pcapng.OUTBOUND), (100.46, pong, pcapng.INBOUND)):
                w.write(data, direction, t)

        # (options, what the client sends, least and most seconds to the first pong, log lines)
        cases = [([], [ping, ping], 0.25, 5, []),
                 (['--fast'], [update, ping, ping],
                  0, 0.2, ['frame 2: mismatched request 0x20002 where the recording has 0x20528',
                           'request 0x20528 beyond the recording'])]
        for options, requests, least, most, errors in cases:
            sim, c = self.replay(name, *options)
            self.assertEqual(recv_exactly(c, len(version)), version)
            t = time.time()
            c.sendall(requests[0])
            self.assertEqual(recv_exactly(c, len(pong)), pong)
            took = time.time() - t
            self.assertTrue(least <= took <= most, (options, took))
            c.sendall(b''.join(requests[1:]))
            self.assertEqual(recv_exactly(c, len(pong)), pong)
            c.close()
            time.sleep(0.1)
            self.assertEqual(self.log(sim), errors)

        # A client that sends nothing: the replay says what it waits for, then gives up.
        sim, c = self.replay(name, '--replay-timeout', '2')
        self.assertEqual(recv_exactly(c, len(version) + 1), version)   # then the end: the client is dropped
        self.assertEqual(self.log(sim), ['frame 2: waiting for request 0x20528',
                                         'frame 2: no request 0x20528 within 2 s: the client is dropped'])

        # A file of the other byte order; a file cut short, whose whole frames are replayed.
        be = os.path.join(tmp, 'be.pcapng')
        with open(be, 'wb') as f:
            f.write(big_endian_capture([(1024 * 7, version, pcapng.INBOUND), (1024 * 7 + 512, ping, pcapng.OUTBOUND),
                                        (1024 * 8, pong, pcapng.INBOUND)]))
        self.assertEqual([(p.time, p.direction, p.data) for p in pcapng.read(be)],
                         [(7.0, pcapng.INBOUND, version), (7.5, pcapng.OUTBOUND, ping), (8.0, pcapng.INBOUND, pong)])
        cut = os.path.join(tmp, 'cut')
        with open(name, 'rb') as f, open(cut, 'wb') as out:
            out.write(f.read()[:-5])
        for path, requests in ((be, ping), (cut, ping + ping)):
            sim, c = self.replay(path, '--fast')
            c.sendall(requests)
            self.assertEqual(recv_exactly(c, len(version + pong)), version + pong)
            c.close()
        self.assertEqual(sim.stop()[0], 0)
        self.assertTrue(re.search(r'cut: the file ends inside a block at offset \d+: replaying the 5 frames before it',
                                  sim.log_text()))

        # Files with nothing to replay: (name, content, the reason given).
        unusable = [('junk', b'\x00' * 40, 'not a pcapng file'),
                    ('empty', b'', 'the file is empty'),
                    ('ethernet', big_endian_capture([(0, version, pcapng.INBOUND)], linktype=1),
                     'link type 1 (Ethernet), expected 147 (USER0)'),
                    ('headers', big_endian_capture([]), 'no frames in the capture: nothing to replay'),
                    ('undirected', big_endian_capture([(0, version, 0), (1, ping, 0)]),
                     'no frame has a direction (from the daemon or to it): nothing to replay'),
                    ('requests', big_endian_capture([(0, ping, pcapng.OUTBOUND)]),
                     'no frame from the daemon: nothing to replay'),
                    ('huge', big_endian_capture([]) + struct.pack('>II', 6, 1 << 30) + b'\0' * 64,
                     'block of 1073741824 bytes at offset 60: longer than the 128 MiB a block may have')]
        for name, content, _ in unusable:
            with open(os.path.join(tmp, name), 'wb') as f:
                f.write(content)
        for args, rc, text in ([(['--fast'], 2, '--fast goes with --replay'),
                                (['--replay', os.path.join(tmp, 'none')], 1, 'No such file')] +
                               [(['--replay', os.path.join(tmp, name)], 1, '%s: %s' % (os.path.join(tmp, name), why))
                                for name, _, why in unusable]):
            status, out, err = run_tool(SIM, '--port', '0', *args, timeout=20)
            self.assertEqual((status, out), (rc, ''), args)
            self.assertIn(text, err)
            self.assertEqual(len(err.splitlines()), 1 + (rc == 2), err)   # (a usage error adds the --help hint)


def recv_exactly(s, n):
    data, chunk = b'', b'-'
    while len(data) < n and chunk:
        chunk = s.recv(n - len(data))
        data += chunk
    return data


def connect(port):
    s = socket.create_connection(('127.0.0.1', port), 5)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    s.settimeout(5)
    return s


class Relay(unittest.TestCase):

    def setUp(self):
        self.dir = scratch(self, 'kxrelay-')
        self.daemon = sockets(self, True)[0]
        self.daemon.settimeout(5)
        self.tap = Tap(self.daemon.getsockname()[1], os.path.join(self.dir, 'relay.pcapng'))
        self.addCleanup(self.tap.kill)
        self.daemon.accept()[0].close()     # kxtap's check at start that the daemon answers

    def pair(self):
        c, d = connect(self.tap.port), self.daemon.accept()[0]
        d.settimeout(5)
        d.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for s in (c, d):
            self.addCleanup(s.close)
        self.assertTrue(self.tap.line().startswith('recording '))
        return c, d

    def recorded(self, n):
        packets = list(pcapng.read(os.path.join(self.dir, 'relay-%d.pcapng' % n)))
        return by_direction(packets, pcapng.OUTBOUND), by_direction(packets, pcapng.INBOUND), packets

    def test_a_daemon_slow_to_accept_holds_up_no_other_relay(self):
        self.tap.kill()
        self.tap = Tap(self.daemon.getsockname()[1], os.path.join(self.dir, 'relay.pcapng'), '--connect-timeout', '1')
        self.addCleanup(self.tap.kill)
        self.daemon.accept()[0].close()
        c, d = self.pair()
        self.daemon.listen(0)   # its queue full, the daemon's kernel answers no new connection
        while True:
            probe = socket.socket()
            self.addCleanup(probe.close)
            probe.settimeout(0.3)
            try:
                probe.connect(self.daemon.getsockname())
            except socket.timeout:
                break
        waiting = connect(self.tap.port)     # kxtap's connection for it waits on the daemon
        self.addCleanup(waiting.close)
        time.sleep(0.2)
        for n in range(3):
            t = time.time()
            c.sendall(frame(0x20528))
            self.assertEqual(recv_exactly(d, 6), frame(0x20528))
            d.sendall(frame(0x1b100))
            self.assertEqual(recv_exactly(c, 6), frame(0x1b100))
            self.assertLess(time.time() - t, 0.5, n)
        self.assertEqual(waiting.recv(10), b'')     # given up after a second
        self.assertEqual(self.tap.stop()[0], 0)

    def test_daemon_unreachable(self):
        self.daemon.close()     # nothing listens there any more
        for _ in range(2):
            c = connect(self.tap.port)
            self.assertEqual(c.recv(10), b'')
            c.close()
        self.assertIsNone(self.tap.proc.poll())
        self.assertEqual(self.tap.stop(), (0, ''))
        self.assertEqual(os.listdir(self.dir), [])


    def test_byte_for_byte(self):
        auth = frame(0x20001, struct.pack('>I', 5) + b'demo\0' + struct.pack('>I', 5) + b'demo\0')
        frames = [frame(0x20528), auth, frame(0x22002, b'\x00\x01' + struct.pack('>I', 6) + b'hosts\0')]
        rnd = random.Random(15)
        garbage = [bytes(bytearray(rnd.randrange(256) for _ in range(20000))) for _ in range(2)]

        # 1: every frame split in two at every byte, then a frame still pending when the tap is stopped.
        a, da = self.pair()
        for f in frames:
            for k in range(1, len(f)):
                a.sendall(f[:k])
                time.sleep(0.002)
                a.sendall(f[k:])
        a.sendall(auth[:9])
        split = [f for f in frames for _ in range(len(f) - 1)] + [auth[:9]]
        self.assertEqual(recv_exactly(da, len(b''.join(split))), b''.join(split))

        # 2: garbage from both sides at once, in pieces of any size.
        b, db = self.pair()
        for i in range(0, 20000, 1000):
            for src, g in ((b, garbage[0]), (db, garbage[1])):
                cut = rnd.randrange(1, 1000)
                src.sendall(g[i:i + cut])
                src.sendall(g[i + cut:i + 1000])
        self.assertEqual(recv_exactly(db, 20000), garbage[0])
        self.assertEqual(recv_exactly(b, 20000), garbage[1])

        # 3: a client, then a daemon, that disconnects in the middle of a frame.
        for client_quits in (True, False):
            c, dc = self.pair()
            quitter, other = (c, dc) if client_quits else (dc, c)
            quitter.sendall(auth + auth[:7])
            quitter.close()
            self.assertEqual(recv_exactly(other, 100), auth + auth[:7])
            other.close()
            self.assertTrue(self.tap.line().startswith('closed 127.0.0.1:'))

        rc, rest = self.tap.stop()
        self.assertEqual((rc, rest.count('closed 127.0.0.1:')), (0, 2))

        out, into, packets = self.recorded(1)
        self.assertEqual((out, into, packets[-1].comment), (split, [], 'incomplete frame: the stream ended inside it'))
        out, into, packets = self.recorded(2)
        self.assertEqual((b''.join(out), b''.join(into)), tuple(garbage))
        for p in packets:
            whole = p.frame() is not None
            self.assertEqual(p.comment is None, whole and len(p.data) <= 6 + pcapng.MAX_PAYLOAD)

        for n, recorded in ((3, ([auth, auth[:7]], [])), (4, ([], [auth, auth[:7]]))):
            out, into, packets = self.recorded(n)
            self.assertEqual((out, into, packets[-1].comment),
                             recorded + ('incomplete frame: the stream ended inside it',))

        # kxdissect reads every file, garbage included.
        for n in (1, 2, 3, 4):
            name = os.path.join(self.dir, 'relay-%d.pcapng' % n)
            count = len(list(pcapng.read(name)))
            rc, out, err = run_tool(*tool('kxdissect', '--json', name))
            decoded = [json.loads(line) for line in out.splitlines()]
            self.assertEqual((rc, len(decoded)), (0, count))
            self.assertTrue(all(f['hex'] for f in decoded if 'error' in f))
            if n == 1:
                self.assertEqual(decoded[-1]['error'], 'not a whole frame: 9 bytes, the header says 24')
                self.assertEqual([f['name'] for f in decoded[:5]], ['ping'] * 5)

        # A file cut short: the frames before the cut, then the error.
        name = os.path.join(self.dir, 'relay-1.pcapng')
        with open(name, 'r+b') as f:
            f.truncate(os.path.getsize(name) - 3)
        rc, out, err = run_tool(*tool('kxdissect', '--json', name))
        self.assertEqual((rc, len(out.splitlines())), (1, len(split) - 1))
        self.assertIn('the file ends inside a block', err)


class Descriptors(unittest.TestCase):
    """kxtap with more clients than select() can watch, and with too few descriptors for a new client."""

    def start(self, limit):
        """kxtap under a descriptor limit, with its daemon (played by the test) and its stdout unbuffered."""
        import resource
        self.dir = scratch(self, 'kxcrowd-')
        daemon = sockets(self, True)[0]
        daemon.listen(4096)
        daemon.settimeout(10)
        p = subprocess.Popen(tool('kxtap', '--listen', '127.0.0.1:0', '--connect',
                                  '127.0.0.1:%d' % daemon.getsockname()[1], '-w', os.path.join(self.dir, 'c.pcapng')),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0, close_fds=True,
                             preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit)))
        self.addCleanup(lambda: (p.poll() is None and p.kill(), p.wait(), p.stdout.close(), p.stderr.close()))
        self.tap_port = listening(p.stdout)
        daemon.accept()[0].close()      # the check at start
        return p, daemon

    def relayed(self, p, daemon, c):
        """c's bytes reach the daemon and the daemon's reach c."""
        self.assertTrue(p.stdout.readline().startswith(b'recording '))
        d = daemon.accept()[0]
        self.addCleanup(d.close)
        d.settimeout(10)
        c.sendall(frame(0x20528))
        self.assertEqual(recv_exactly(d, 6), frame(0x20528))
        d.sendall(frame(0x1b100))
        self.assertEqual(recv_exactly(c, 6), frame(0x1b100))

    def stopped(self, p):
        p.send_signal(signal.SIGTERM)
        out, err = p.communicate()
        self.assertEqual((p.returncode, err), (0, b''))
        return out.decode()

    def test_more_clients_than_select_takes(self):
        import resource
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        want = 8192 if hard == resource.RLIM_INFINITY else min(hard, 8192)
        if want < 4000:
            self.skipTest('the descriptor limit cannot be raised to 4000 here')
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        p, daemon = self.start(want)
        idle = []
        for _ in range(1100):   # three descriptors each in kxtap: the client's, the daemon's, the file's
            idle.append(connect(self.tap_port))
            self.addCleanup(idle[-1].close)
            self.assertTrue(p.stdout.readline().startswith(b'recording '))
        for _ in idle:
            self.addCleanup(daemon.accept()[0].close)
        c = connect(self.tap_port)
        self.addCleanup(c.close)
        self.relayed(p, daemon, c)
        if os.path.isdir('/proc/%d/fd' % p.pid):
            self.assertGreater(len(os.listdir('/proc/%d/fd' % p.pid)), 3300)
        self.assertEqual(self.stopped(p).count('closed 127.0.0.1:'), 1101)

    def test_clients_refused_when_descriptors_run_out(self):
        p, daemon = self.start(20)
        served, refused = [], []
        while len(refused) < 4:
            c = connect(self.tap_port)
            self.addCleanup(c.close)
            ready = select.select([p.stdout, c], [], [], 10)[0]
            self.assertTrue(ready)
            if c in ready:      # closed at once, with its line
                self.assertEqual(c.recv(10), b'')
                line = p.stderr.readline().decode()
                self.assertTrue(re.match(r'^kxtap: 127\.0\.0\.1:%d: refused: no descriptor left for it '
                                         r'\(Too many open files\)\n$' % c.getsockname()[1], line), line)
                refused.append(c)
            else:
                self.assertTrue(p.stdout.readline().startswith(b'recording '))
                served.append((c, daemon.accept()[0]))
            self.assertLess(len(served), 10)
        self.assertTrue(served)
        for pair in served:     # the descriptors come back, and the next client is served
            [s.close() for s in pair]
            self.assertTrue(p.stdout.readline().startswith(b'closed '))
        c = connect(self.tap_port)
        self.addCleanup(c.close)
        self.relayed(p, daemon, c)
        self.stopped(p)


def run_rusage(cmd, reader_gone=False):
    """(status, stdout, stderr, resource usage) of a run; with reader_gone, its output is a pipe already closed."""
    r, w = os.pipe()
    if reader_gone:
        os.close(r)
    err = tempfile.TemporaryFile()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop('PYTHONUNBUFFERED', None)   # output buffered, as a user's is: flushed again at exit
    p = subprocess.Popen(cmd, stdout=w, stderr=err, env=env, close_fds=True)
    os.close(w)
    out = b''
    if not reader_gone:
        with os.fdopen(r, 'rb') as f:
            out = f.read()
    status, usage = os.wait4(p.pid, 0)[1:]
    p.returncode = os.WEXITSTATUS(status)
    err.seek(0)
    with err:
        return p.returncode, out, err.read(), usage


def failures(test, cases):
    """cases: (command, action on the process or None, exit status, its one stderr line or that line's pattern)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for cmd, action, rc, line in cases:
        p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, env=env,
                             close_fds=True)
        test.addCleanup(lambda p=p: (p.poll() is None and p.kill(), p.wait(), p.stdout.close(), p.stderr.close()))
        if action:
            action(p)
        err = p.stderr.read().splitlines()
        test.assertEqual(p.wait(), rc, (cmd, err))
        test.assertTrue(err[-1] == line if isinstance(line, str) else line.match(err[-1]), (cmd, err))
        if rc != 2:     # (argparse puts its usage before the line)
            test.assertEqual(len(err), 1, err)


class ToolLines(unittest.TestCase):

    def setUp(self):
        self.dir = scratch(self, 'kxlines-')

    def path(self, name, data=None):
        name = os.path.join(self.dir, name)
        if data is not None:
            with open(name, 'wb') as f:
                f.write(data)
        return name

    def test_kxdissect(self):
        ethernet = big_endian_capture([(1, b'\0' * 60, pcapng.INBOUND)]).replace(
            struct.pack('>HHI', 147, 0, 0), struct.pack('>HHI', 1, 0, 0))
        header_only = big_endian_capture([])
        fifo = self.path('fifo')
        os.mkfifo(fifo)
        # A module that kxdissect imports, made slow: Ctrl-C while the tool loads.
        slow = self.path('slow')
        os.mkdir(slow)
        self.path('slow/KXMsgv17_0.py',
                  b'import sys, time\nsys.stdout.write("loading\\n")\nsys.stdout.flush()\ntime.sleep(30)\n')
        def interrupt_after(wait):
            return lambda p: (wait(p), p.send_signal(signal.SIGINT))
        cases = [
            (tool('kxdissect', self.path('empty', b'')), None, 1, 'kxdissect: %s: the file is empty'
             % self.path('empty')),
            (tool('kxdissect', self.path('eth', ethernet)), None, 1,
             'kxdissect: %s: link type 1 (Ethernet), expected 147 (USER0)' % self.path('eth')),
            (tool('kxdissect', self.path('none')), None, 1,
             'kxdissect: %s: No such file or directory' % self.path('none')),
            (tool('kxdissect', self.path('junk', b'\0' * 40)), None, 1,
             'kxdissect: %s: not a pcapng file' % self.path('junk')),
            (tool('kxdissect', self.path('header', header_only)), None, 0,
             'kxdissect: %s: no frames in the capture' % self.path('header')),
            (tool('kxdissect', '-Y', 'bogus', fifo), None, 2,
             "kxdissect: error: argument -Y: unknown message type 'bogus'"),
            # waiting for a writer of the pipe, or still importing as a console script: the same ending
            (tool('kxdissect', fifo), interrupt_after(lambda p: time.sleep(1.5)), 130, 'kxdissect: interrupted'),
            ([sys.executable, '-c', 'import sys; sys.path.insert(0, %r); from kxtools.dissect import main; '
              'sys.exit(main())' % slow, fifo], interrupt_after(lambda p: p.stdout.readline()), 130,
             'kxdissect: interrupted'),
        ]
        failures(self, cases)
        out = run_tool(*tool('kxdissect', '--version'))[1]
        self.assertTrue(re.match(r'^kxdissect \d+\.\d+\.\d+\n$', out), out)

    def test_kxdissect_hostile_captures(self):
        """In every mode: a 1 GiB block is refused unread, a comment's control characters are escaped, and a
        reader that went away ends the tool quietly."""
        header = io.BytesIO()
        pcapng.Writer(header).close()
        huge = self.path('huge', header.getvalue() + struct.pack('<II', 6, 1 << 30))
        with open(huge, 'r+b') as f:
            f.truncate(len(header.getvalue()) + (1 << 30))   # sparse: no disk taken
        comment = u'\x1b[2J\nfake line\x9b\x07'
        hostile = self.path('comment')
        with pcapng.Writer(hostile) as w:
            w.write(frame(0x20528), pcapng.OUTBOUND, comment=comment)
            w.write(frame(0x1b100), pcapng.INBOUND)
        too_long = 'kxdissect: %s: block of %d bytes at offset %d: longer than the 128 MiB a block may have' % (
            huge, 1 << 30, len(header.getvalue()))
        for mode in ([], ['--json'], ['--summary'], ['--summary', '--json']):
            rc, out, err, usage = run_rusage(tool('kxdissect', *mode + [huge]))
            self.assertEqual((rc, out, err), (1, b'', too_long.encode() + b'\n'), mode)
            self.assertLess(usage.ru_maxrss, 300 << 10, mode)    # (kilobytes)

            rc, out, err, _ = run_rusage(tool('kxdissect', *mode + [hostile]))
            self.assertEqual((rc, err), (0, b''), mode)
            self.assertFalse(re.search(b'\x1b|\xc2\x9b|\x07|^fake', out, re.M), (mode, out))
            if mode == ['--json']:
                self.assertEqual(json.loads(out.splitlines()[0].decode())['comment'], comment)
            elif not mode:
                self.assertIn(b'# \\x1b[2J\\x0afake line\\x9b\\x07\n', out)

            self.assertEqual(run_rusage(tool('kxdissect', *mode + [hostile]), reader_gone=True)[:3], (0, b'', b''), mode)

    def test_kxtap(self):
        daemon, holder = sockets(self, True, False)     # the holder refuses
        port, refused = daemon.getsockname()[1], holder.getsockname()[1]

        def daemon_gone_then_client(p):
            tap_port = listening(p.stdout)
            daemon.accept()[0].close()      # the check at start
            daemon.close()
            socket.create_connection(('127.0.0.1', tap_port), 5).close()

        def daemon_ends_session(reset):
            def action(p):
                tap_port = listening(p.stdout)
                daemon.accept()[0].close()      # the check at start
                c = socket.create_connection(('127.0.0.1', tap_port), 5)
                d = daemon.accept()[0]
                c.sendall(frame(0x20528))
                p.stdout.readline()
                if reset:
                    select.select([d], [], [], 5)
                else:
                    recv_exactly(d, 6)
                d.close()       # with the frame unread: a reset, as when the daemon is killed
                c.recv(10)
                c.close()
            return action

        def output_closed(p):
            tap_port = listening(p.stdout)
            daemon.accept()[0].close()      # the check at start
            p.stdout.close()
            c = socket.create_connection(('127.0.0.1', tap_port), 5)
            d = daemon.accept()[0]
            c.sendall(frame(0x20528))
            recv_exactly(d, 6)
            c.close()
            recv_exactly(d, 1)      # the client's end, passed on
            d.close()
            time.sleep(0.2)
            p.send_signal(signal.SIGTERM)

        def tap(*args):
            return tool('kxtap', '--listen', '127.0.0.1:0', *args)
        target = self.path('t.pcapng')
        cases = [
            (tap('-w', '/nonexistent/x.pcapng', '--once', '--connect', '127.0.0.1:%d' % port), None, 1,
             'kxtap: cannot write /nonexistent/x.pcapng: No such file or directory'),
            (tap('-w', target, '--connect', '127.0.0.1:%d' % refused), None, 1,
             'kxtap: cannot connect to 127.0.0.1:%d: Connection refused' % refused),
            (tap('-w', target, '--connect', 'nohost.invalid:7830'), None, 1,
             re.compile(r'^kxtap: cannot connect to nohost\.invalid:7830: .')),
            (tap('-w', target, '--connect', '[::1'), None, 2,
             "kxtap: error: argument --connect: '[::1' is not HOST:PORT or [V6ADDR]:PORT"),
            (tap('-w', target, '--connect', '127.0.0.1:%d' % port),
             lambda p: (listening(p.stdout), daemon.accept()[0].close(), p.send_signal(signal.SIGINT)), 130,
             'kxtap: interrupted'),
            (tap('-w', os.path.join(scratch(self, 'kxout-'), 't.pcapng'), '--connect', '127.0.0.1:%d' % port),
             output_closed, 0,
             'kxtap: standard output: Broken pipe; relaying goes on without its lines'),
            # --once: the one client's session fails, and kxtap ends with it.
            (tap('-w', os.path.join(scratch(self, 'kxonce-'), 'once.pcapng'), '--once', '--connect',
                 '127.0.0.1:%d' % port), daemon_ends_session(True), 1,
             re.compile(r'^kxtap: 127\.0\.0\.1:\d+: the daemon broke the connection: Connection reset by peer$')),
            (tap('-w', os.path.join(scratch(self, 'kxonce-'), 'once.pcapng'), '--once', '--connect',
                 '127.0.0.1:%d' % port), daemon_ends_session(False), 1,
             re.compile(r'^kxtap: 127\.0\.0\.1:\d+: the daemon closed the connection$')),
            (tap('-w', target, '--once', '--connect', '127.0.0.1:%d' % port), daemon_gone_then_client, 1,
             re.compile(r'^kxtap: 127\.0\.0\.1:\d+: cannot connect to 127\.0\.0\.1:%d: Connection refused$' % port)),
        ]
        failures(self, cases)
        self.assertEqual(os.listdir(self.dir), [])
