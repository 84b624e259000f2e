"""Recording, decoding and replaying sessions: kxtap between the example
client and kxd-sim, the client's own record= option, tcpdump and kxdissect
on the files, kxd-sim --replay of a recording to a fresh client, and the
relay's byte-for-byte promise against a daemon played by the test."""
from __future__ import absolute_import, division, print_function

import json
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from test_e2e import SIM, Sim, plain

import KXdv17_0 as kx
from kxtools import client as kxclient
from kxtools import pcapng

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'examples')
FRAME = struct.Struct('>IH')


def frame(mtype, payload=b''):
    return FRAME.pack(mtype, len(payload)) + payload


def tool(name, *args):
    return [sys.executable, os.path.join(EXAMPLES, name + '.py')] + list(args)


def run_tool(*cmd):
    """(exit status, stdout, stderr) of a command run to its end. The usual
    capture tools are not ours: a sanitizer build's preloaded runtimes
    (LD_PRELOAD) are for our interpreter only (tcpdump hangs under them)."""
    env = None
    if cmd[0] != sys.executable:
        env = dict((k, v) for k, v in os.environ.items() if k != 'LD_PRELOAD')
    p = subprocess.Popen(list(cmd), stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, env=env)
    out, err = p.communicate()
    return p.returncode, out, err


def which(name):
    for d in os.environ.get('PATH', '').split(os.pathsep) + ['/usr/sbin', '/usr/bin']:
        if os.access(os.path.join(d, name), os.X_OK):
            return os.path.join(d, name)
    return None


class Tap(object):
    """One kxtap process; its stdout lines are read as they come."""

    def __init__(self, daemon_port, path, *args):
        self.proc = subprocess.Popen(tool('kxtap', '--listen', '127.0.0.1:0', '--connect',
                                          '127.0.0.1:%d' % daemon_port, '-w', path) + list(args),
                                     stdout=subprocess.PIPE, universal_newlines=True, close_fds=True)
        line = self.proc.stdout.readline()
        assert line.startswith('listening on 127.0.0.1:'), line
        self.port = int(line.strip().rsplit(':', 1)[1])

    def line(self):
        return self.proc.stdout.readline().strip()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        rest = self.proc.stdout.read()
        return self.proc.wait(), rest

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()


class CountingClient(kxclient.KXClient):
    """The example client, counting the requests it sends by type."""

    def __init__(self, *args, **kw):
        self.sent = {}
        kxclient.KXClient.__init__(self, *args, **kw)

    def writeMsg(self, m):
        self.sent[m.type] = self.sent.get(m.type, 0) + 1
        kxclient.KXClient.writeMsg(self, m)


VIEWS = [(3, [(1, True, kx.PROTOCOL_VIEW_FILTER_TYPE_SMALL_INTS, [6, 17]),
              (4, True, kx.PROTOCOL_VIEW_FILTER_TYPE_HOSTS, ['10.0.0.0/8', '2001:db8::/32'])], [(5, 'server')]),
         (4, [(2, True, kx.PROTOCOL_VIEW_FILTER_TYPE_SERVICES, ['http', 'dns'])], [(2, '')])]
VCRC = {'protocol': 6, 'serverport': 22, 'clientip': '10.1.2.3', 'service': 'ssh',
        'properties': [('user', 'alice')]}


def session(c, frozen):
    """The scripted session: the same requests in the same order whether the
    daemon is live or replayed; frozen() returns once the network stops changing."""
    assert c.login('demo', 'demo')
    kx.requestUpdate(c)
    c.wait_for(lambda: c.update_done)
    kx.createViewByName(c, 1, 'hosts')
    for vid, filters, fields in VIEWS:
        kx.createView(c, vid, filters, fields)
    kx.channelsShow(c)
    kx.shapingobjectShow(c)
    kx.fwrulesShow(c)
    frozen()
    c.sync()
    c.host_show(min(c.hosts))
    c.host_find('192.0.2.99')
    kx.scRowQuery(c, min(c.sc_rows))
    kx.bgpDump(c)
    kx.drdlStatsDump(c)
    kx.vcrcTest(c, 2, VCRC)
    kx.fwlog_query(c, kx.PROTOCOL_FWRULE_QTYPE_OFFSETS, 0, -1, False, False)
    kx.setDebug(c, 20, '7')
    kx.injectPacket(c, 'eth1', b'\x00\x01packet')
    c.writeMsg(kxclient.KXMsgv17_0.newMsg(0x2fff0))
    kx.channelsHide(c)
    kx.shapingobjectHide(c)
    kx.fwrulesHide(c)
    c.sync()


TABLES = ('version', 'auth', 'features', 'xfb_names', 'strtables', 'sc_schemata', 'sc_rows', 'view_filters',
          'view_fields', 'views', 'view_errors', 'channel_info', 'channels', 'shaping_objects', 'shaping_rules',
          'fw_rules', 'fwlog_results', 'bgp_entries', 'bgp_paths', 'bgp_done', 'sysdiag', 'vcrc_results',
          'host_find_results', 'not_available', 'refusals', 'pongs', 'counts')


def read_all(path):
    return list(pcapng.read(path))


def by_direction(packets, direction):
    return [p.data for p in packets if p.direction == direction]


class Recording(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='kxcapture-')
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            p.kill()
        shutil.rmtree(self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def test_record_dissect_replay(self):
        sim = Sim('--seed', '7', '--hosts', '30', '--interval', '25', '--ticks', '12')
        self.procs.append(sim)
        tap = Tap(sim.port, self.path('session.pcapng'), '--once')
        self.procs.append(tap)
        c = CountingClient('127.0.0.1', tap.port, record=self.path('direct.pcapng'))
        port = c.sock.getsockname()[1]
        self.assertEqual(tap.line(), 'recording 127.0.0.1:%d to %s' % (port, self.path('session.pcapng')))
        session(c, lambda: sim.wait_line(b'frozen', [c]))
        c.close()
        # --once: the tap is gone once the client and the daemon are
        self.assertEqual(tap.proc.wait(), 0)
        sent, received = sum(c.sent.values()), sum(c.counts.values())
        self.assertEqual(tap.line(), 'closed 127.0.0.1:%d: %d frames out, %d in' % (port, sent, received))
        self.assertEqual(sim.stop()[0], 0)

        # The tap's file and the client's own: the same frames each way, whole.
        tapped, direct = read_all(self.path('session.pcapng')), read_all(self.path('direct.pcapng'))
        self.assertEqual(len(tapped), sent + received)
        for d in (pcapng.INBOUND, pcapng.OUTBOUND):
            self.assertEqual(by_direction(tapped, d), by_direction(direct, d))
        self.assertTrue(all(p.frame() is not None and p.comment is None for p in tapped))
        self.assertEqual(sorted(p.time for p in tapped), [p.time for p in tapped])

        # The usual tools read the file.
        tcpdump = which('tcpdump')
        self.assertTrue(tcpdump, 'tcpdump is missing: scripts/bootstrap installs it')
        for name in ('session.pcapng', 'direct.pcapng'):
            rc, out, err = run_tool(tcpdump, '--count', '-r', self.path(name))
            self.assertEqual((rc, out.strip()), (0, '%d packets' % (sent + received)), err)

        # kxdissect decodes every frame; its counts per type are the client's.
        rc, out, err = run_tool(*tool('kxdissect', '--json', self.path('session.pcapng')))
        self.assertEqual((rc, err), (0, ''))
        frames = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(len(frames), len(tapped))
        self.assertEqual([f for f in frames if 'error' in f], [])
        for direction, want in (('in', c.counts), ('out', c.sent)):
            got = {}
            for f in frames:
                if f['direction'] == direction:
                    got[f['type']] = got.get(f['type'], 0) + 1
            self.assertEqual(got, want, direction)
        requests = dict((f['name'], f['content']) for f in frames if f['direction'] == 'out')
        self.assertEqual(requests['doAuth'], {'user': 'demo', 'password': 'demo'})
        views = [f['content'] for f in frames if f['name'] == 'createView']
        self.assertEqual([(v['viewid'], [(x['filter'], x['values']) for x in v['filters']],
                           [(x['field'], x['argument']) for x in v['fields']]) for v in views],
                         [(vid, [(x[0], x[3]) for x in filters], fields) for vid, filters, fields in VIEWS])
        self.assertEqual(dict((k, v) for k, v in requests['vcrcTest'].items() if k not in ('test_id', 'mask')),
                         dict(VCRC, properties=[{'name': 'user', 'value': 'alice'}]))
        self.assertEqual(requests['injectPacket'], {'iface': 'eth1', 'data': {'hex': '00017061636b6574'}})
        self.assertEqual(requests['fwlog_query'], {'qtype': 2, 's': 0, 'e': -1, 'clear': 0, 'no_reverse': 0})
        added = {}
        for f in frames:
            if f['name'] == 'PROTOCOL_SERVER_HOST_ADD':
                added.update(f['content']['added'])
        self.assertTrue(set(str(h) for h in c.hosts) <= set(added))
        self.assertEqual(added[str(min(c.hosts))]['addr'], c.hosts[min(c.hosts)].addr)

        # -Y and --summary
        rc, out, err = run_tool(*tool('kxdissect', '--json', '-Y', 'HOST_ADD,doAuth,0x1b100',
                                           self.path('session.pcapng')))
        self.assertEqual(sorted(set(json.loads(line)['type'] for line in out.splitlines())),
                         [kx.PROTOCOL_SERVER_HOST_ADD, kx.PROTOCOL_SERVER_PONG, 0x20001])
        rc, out, err = run_tool(*tool('kxdissect', '--summary', '--json', self.path('session.pcapng')))
        summary = json.loads(out)
        self.assertEqual(sum(r['frames'] for r in summary), len(tapped))
        self.assertEqual(sum(r['bytes'] for r in summary), sum(len(p.data) for p in tapped))

        # The capture replayed to a fresh client: the same tables, field by field.
        replay = Sim('--replay', self.path('session.pcapng'), '--fast')
        self.procs.append(replay)
        fresh = kxclient.KXClient('127.0.0.1', replay.port)
        session(fresh, lambda: None)
        self.assertEqual(replay.stop()[0], 0)
        self.assertEqual(sorted(fresh.hosts), sorted(c.hosts))
        for hid, h in c.hosts.items():
            self.assertEqual(vars(fresh.hosts[hid]), vars(h), 'host %s' % hid)
        self.assertEqual(sorted(fresh.conns), sorted(c.conns))
        for cid, x in c.conns.items():
            self.assertEqual(vars(fresh.conns[cid]), vars(x), 'connection %s' % cid)
        for name in TABLES:
            self.assertEqual(plain(getattr(fresh, name)), plain(getattr(c, name)), name)


def big_endian_capture(packets):
    """A pcapng file written big-endian with a binary timestamp resolution
    (2**-10 s), as another machine's tools may write one: (ticks, data, direction)."""
    def block(btype, body):
        return struct.pack('>II', btype, len(body) + 12) + body + struct.pack('>I', len(body) + 12)

    def pad(b):
        return b + b'\0' * (-len(b) % 4)
    out = block(0x0A0D0D0A, struct.pack('>IHHq', 0x1A2B3C4D, 1, 0, -1))
    out += block(1, struct.pack('>HHI', 147, 0, 0) + struct.pack('>HH', 9, 1) + b'\x8a\0\0\0' + b'\0' * 4)
    for ticks, data, direction in packets:
        out += block(6, struct.pack('>IIIII', 0, ticks >> 32, ticks & 0xffffffff, len(data), len(data)) + pad(data) +
                     struct.pack('>HHI', 2, 4, direction) + b'\0' * 4)
    return out


class Replay(unittest.TestCase):
    """kxd-sim --replay of a small written recording: the pace, and what a
    client that strays from the recording gets."""

    def test_pace_and_mismatches(self):
        tmp = tempfile.mkdtemp(prefix='kxreplay-')
        self.addCleanup(shutil.rmtree, tmp)
        name = os.path.join(tmp, 'r.pcapng')
        version = frame(0x10001, b'\x60\x00' + b'\0' * 8 + struct.pack('>I', 1) + b'\0' + struct.pack('>I', 1) +
                        b'\0' + struct.pack('>I', 1) + b'\0')
        pong, ping, update = frame(0x1b100), frame(0x20528), frame(0x20002)
        with pcapng.Writer(name) as w:
            for t, data, direction in ((100.0, version, pcapng.INBOUND), (100.05, ping, pcapng.OUTBOUND),
                                       (100.35, pong, pcapng.INBOUND), (100.4, ping[:3], pcapng.OUTBOUND),
                                       (100.45, ping, pcapng.OUTBOUND), (100.46, pong, pcapng.INBOUND)):
                w.write(data, direction, t)

        # (options, what the client sends, least and most seconds to the first pong, stderr lines)
        cases = [([], [ping, ping], 0.25, 5, []),
                 (['--fast'], [ping, ping], 0, 0.2, []),
                 (['--fast'], [update, ping, ping],
                  0, 0.2, ['frame 2: request 0x20002 where the recording has 0x20528',
                           'request 0x20528 beyond the recording'])]
        for options, requests, least, most, errors in cases:
            p = subprocess.Popen([SIM, '--port', '0', '--replay', name, '--quiet'] + options,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
            try:
                port = int(p.stdout.readline().strip().rsplit(':', 1)[1])
                c = connect(port)
                self.assertEqual(recv_exactly(c, len(version)), version)
                t = time.time()
                c.sendall(requests[0])
                self.assertEqual(recv_exactly(c, len(pong)), pong)
                took = time.time() - t
                self.assertTrue(least <= took <= most, (options, took))
                for r in requests[1:]:
                    c.sendall(r)
                self.assertEqual(recv_exactly(c, len(pong)), pong)
                c.close()
                time.sleep(0.1)
            finally:
                p.send_signal(signal.SIGTERM)
                out, err = p.communicate()
            self.assertEqual(p.returncode, 0)
            self.assertEqual([line.split(': ', 2)[2] for line in err.splitlines()], errors)

        # A file of the other byte order, timestamps in 1/1024 s.
        be = os.path.join(tmp, 'be.pcapng')
        with open(be, 'wb') as f:
            f.write(big_endian_capture([(1024 * 7, version, pcapng.INBOUND), (1024 * 7 + 512, ping, pcapng.OUTBOUND),
                                        (1024 * 8, pong, pcapng.INBOUND)]))
        self.assertEqual([(p.time, p.direction, p.data) for p in pcapng.read(be)],
                         [(7.0, pcapng.INBOUND, version), (7.5, pcapng.OUTBOUND, ping), (8.0, pcapng.INBOUND, pong)])
        p = subprocess.Popen([SIM, '--port', '0', '--replay', be, '--fast', '--quiet'], stdout=subprocess.PIPE,
                             universal_newlines=True)
        try:
            c = connect(int(p.stdout.readline().strip().rsplit(':', 1)[1]))
            c.sendall(ping)
            self.assertEqual(recv_exactly(c, len(version + pong)), version + pong)
            c.close()
        finally:
            p.send_signal(signal.SIGTERM)
            p.communicate()
        if which('tcpdump'):
            self.assertEqual(run_tool(which('tcpdump'), '--count', '-r', be)[1].strip(), '3 packets')

        with open(os.path.join(tmp, 'junk'), 'wb') as f:
            f.write(b'\x00' * 40)
        with open(name, 'rb') as f:
            cut = f.read()[:-5]
        with open(os.path.join(tmp, 'cut'), 'wb') as f:
            f.write(cut)
        for args, rc, text in ((['--fast'], 2, '--fast goes with --replay'),
                               (['--replay', os.path.join(tmp, 'none')], 1, 'No such file'),
                               (['--replay', os.path.join(tmp, 'junk')], 1, 'not a pcapng file'),
                               (['--replay', os.path.join(tmp, 'cut')], 1, 'bad block length')):
            status, out, err = run_tool(SIM, '--port', '0', *args)
            self.assertEqual((status, out), (rc, ''), args)
            self.assertIn(text, err)


def recv_exactly(s, n):
    data = b''
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def connect(port):
    s = socket.create_connection(('127.0.0.1', port), 5)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    s.settimeout(5)
    return s


class Relay(unittest.TestCase):
    """kxtap between clients and a daemon played by the test: what one side
    sends, the other receives, byte for byte, and the recording holds the
    same bytes, cut into whole frames where the stream has frames."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='kxrelay-')
        self.daemon = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.daemon.bind(('127.0.0.1', 0))
        self.daemon.listen(8)
        self.daemon.settimeout(5)
        self.tap = Tap(self.daemon.getsockname()[1], os.path.join(self.dir, 'relay.pcapng'))
        self.sockets = [self.daemon]

    def tearDown(self):
        self.tap.kill()
        for s in self.sockets:
            s.close()
        shutil.rmtree(self.dir)

    def pair(self):
        """A client connected through the tap, and the daemon's end of it."""
        c = connect(self.tap.port)
        d = self.daemon.accept()[0]
        d.settimeout(5)
        d.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sockets += [c, d]
        self.assertTrue(self.tap.line().startswith('recording '))
        return c, d

    def recorded(self, n):
        packets = read_all(os.path.join(self.dir, 'relay-%d.pcapng' % n))
        return by_direction(packets, pcapng.OUTBOUND), by_direction(packets, pcapng.INBOUND), packets

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
        up_frames = [frame(0x20528), auth, frame(0x22002, b'\x00\x01' + struct.pack('>I', 6) + b'hosts\0')]
        down_frames = [frame(0x10001, b'\x60\x00' + b'v' * 20), frame(0x1b100), frame(0x10009, b'x' * 9)]
        rnd = random.Random(15)
        garbage = [bytes(bytearray(rnd.randrange(256) for _ in range(20000))) for _ in range(2)]

        # 1: every frame split in two at every byte, each way.
        a, da = self.pair()
        up = down = b''
        for frames, src, dst in ((up_frames, a, da), (down_frames, da, a)):
            stream = b''
            for f in frames:
                for k in range(1, len(f)):
                    src.sendall(f[:k])
                    time.sleep(0.002)
                    src.sendall(f[k:])
                    stream += f
            self.assertEqual(recv_exactly(dst, len(stream)), stream)
            if src is a:
                up = stream
            else:
                down = stream
        a.sendall(auth[:9])         # pending when the tap is stopped
        self.assertEqual(recv_exactly(da, 9), auth[:9])

        # 2: garbage from both sides at once, in pieces of any size.
        b, db = self.pair()
        for i in range(0, 20000, 1000):
            for src, g in ((b, garbage[0]), (db, garbage[1])):
                cut = rnd.randrange(1, 1000)
                src.sendall(g[i:i + cut])
                src.sendall(g[i + cut:i + 1000])
        self.assertEqual(recv_exactly(db, 20000), garbage[0])
        self.assertEqual(recv_exactly(b, 20000), garbage[1])

        # 3: a client that disconnects in the middle of a frame, then a
        # daemon that does; the other side gets the bytes, then the end.
        for client_quits in (True, False):
            c, dc = self.pair()
            quitter, other = (c, dc) if client_quits else (dc, c)
            quitter.sendall(auth + auth[:7])
            quitter.close()
            self.assertEqual(recv_exactly(other, 100), auth + auth[:7])
            other.close()
            self.assertTrue(self.tap.line().startswith('closed 127.0.0.1:'))

        rc, rest = self.tap.stop()
        self.assertEqual(rc, 0)
        self.assertEqual(rest.count('closed 127.0.0.1:'), 2)

        out, into, packets = self.recorded(1)
        self.assertEqual(out[:-1], [f for f in up_frames for _ in range(len(f) - 1)])
        self.assertEqual(out[-1], auth[:9])
        self.assertEqual(packets[-1].comment, 'incomplete frame: the stream ended inside it')
        self.assertEqual(into, [f for f in down_frames for _ in range(len(f) - 1)])
        self.assertEqual((b''.join(out), b''.join(into)), (up + auth[:9], down))

        out, into, packets = self.recorded(2)
        self.assertEqual((b''.join(out), b''.join(into)), tuple(garbage))
        for p in packets:
            whole = p.frame() is not None
            self.assertEqual(p.comment is None, whole and len(p.data) <= 6 + pcapng.MAX_PAYLOAD)

        for n, direction in ((3, pcapng.OUTBOUND), (4, pcapng.INBOUND)):
            out, into, packets = self.recorded(n)
            self.assertEqual(by_direction(packets, direction), [auth, auth[:7]])
            self.assertEqual(by_direction(packets, 3 - direction), [])
            self.assertEqual(packets[-1].comment, 'incomplete frame: the stream ended inside it')

        # The usual tools and kxdissect read every file, garbage included.
        for n in (1, 2, 3, 4):
            name = os.path.join(self.dir, 'relay-%d.pcapng' % n)
            count = len(read_all(name))
            if which('tcpdump'):
                self.assertEqual(run_tool(which('tcpdump'), '--count', '-r', name)[1].strip(), '%d packets' % count)
            rc, out, err = run_tool(*tool('kxdissect', '--json', name))
            frames = [json.loads(line) for line in out.splitlines()]
            self.assertEqual((rc, len(frames)), (0, count))
            for f in frames:
                if 'error' in f:
                    self.assertTrue(f['hex'])
            if n == 1:
                self.assertEqual(frames[-1]['error'], 'not a whole frame: 9 bytes, the header says 24')
                self.assertEqual([f['name'] for f in frames[:5]], ['ping'] * 5)

        # A file cut short: the frames before the cut, then the error.
        name = os.path.join(self.dir, 'relay-1.pcapng')
        count = len(read_all(name))
        with open(name, 'rb') as f:
            data = f.read()
        with open(name, 'wb') as f:
            f.write(data[:-3])
        rc, out, err = run_tool(*tool('kxdissect', '--json', name))
        self.assertEqual(rc, 1)
        self.assertIn('the file ends inside a block', err)
        self.assertEqual(len(out.splitlines()), count - 1)
