"""Recording, decoding and replaying sessions: kxtap between the example
client and kxd-sim, the client's own record= option, tcpdump, kxdissect and
tshark with the generated dissector (kxtools/kx.lua) on the files, kxd-sim
--replay of a recording to a fresh client, and the relay's byte-for-byte
promise against a daemon played by the test."""
from __future__ import absolute_import, division, print_function

import json
import os
import random
import re
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

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..')
sys.path.insert(0, os.path.join(TOP, 'protocol'))
import gen_lua  # noqa: E402

EXAMPLES = os.path.join(TOP, 'examples')
LUA = os.path.join(TOP, 'kxtools', 'kx.lua')
FRAME = struct.Struct('>IH')
# Frame fields compared on their own; every other kx.* field is a request field.
HEADER_FIELDS = ('kx.type', 'kx.length', 'kx.name', 'kx.request', 'kx.direction', 'kx.payload', 'kx.item')
# The usual capture tools are not ours: a sanitizer build's preloaded runtimes
# (LD_PRELOAD) are for our interpreter only (tcpdump hangs under them).
TOOL_ENV = dict((k, v) for k, v in os.environ.items() if k != 'LD_PRELOAD')


def frame(mtype, payload=b''):
    return FRAME.pack(mtype, len(payload)) + payload


def tool(name, *args):
    return [sys.executable, os.path.join(EXAMPLES, name + '.py')] + list(args)


def run_tool(*cmd):
    """(exit status, stdout, stderr) of a command run to its end."""
    env = None if cmd[0] == sys.executable else TOOL_ENV
    p = subprocess.Popen(list(cmd), stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, env=env)
    out, err = p.communicate()
    return p.returncode, out, err


def console_script(name, first_path, *args):
    """The command an installed console script runs: kxtools.<name>'s main,
    imported in the script itself (with first_path first on sys.path)."""
    return [sys.executable, '-c', 'import sys; sys.path.insert(0, %r); from kxtools.%s import main; sys.exit(main())'
            % (first_path, name)] + list(args)


def which(name):
    for d in os.environ.get('PATH', '').split(os.pathsep) + ['/usr/sbin', '/usr/bin']:
        if os.access(os.path.join(d, name), os.X_OK):
            return os.path.join(d, name)
    return None


TSHARK = which('tshark')


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


def loopback_capture(path, port):
    """tshark capturing the daemon's port on lo into path, once it has
    started; None where that is not permitted (or not needed)."""
    if not TSHARK or sys.version_info < (3,):
        return None
    dump = subprocess.Popen([TSHARK, '-i', 'lo', '-w', path, '-f', 'tcp port %d' % port],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=TOOL_ENV)
    deadline = time.time() + 20
    line = b''
    while b'Capture started' not in line and time.time() < deadline and dump.poll() is None:
        line = dump.stderr.readline()
    if b'Capture started' in line:
        return dump
    dump.kill()
    sys.stderr.write('capturing on lo is not permitted here: %s\n' % (line + dump.stderr.read()).decode()[-300:])
    dump.wait()
    return None


def flatten(prefix, value, out):
    """kxdissect's request content as {field name: [values in wire order]},
    named as the dissector names its fields."""
    if isinstance(value, dict) and set(value) == set(['hex']):
        out.setdefault(prefix, []).append(value['hex'])
    elif isinstance(value, dict):
        for k, v in value.items():
            flatten('%s.%s' % (prefix, k), v, out)
    elif isinstance(value, list):
        out.setdefault(prefix + '.count', []).append(str(len(value)))
        for item in value:
            flatten(prefix, item, out)
    elif isinstance(value, str) and ':' in value and '/' not in value:
        out.setdefault(prefix + '_ipv6', []).append(value)
    else:
        out.setdefault(prefix, []).append(str(value))
    return out


def tshark_frames(path, *options):
    """Every kx PDU tshark shows, in order: (request?, type, length, name, {field: [values]})."""
    cmd = [TSHARK, '-r', path, '-X', 'lua_script:' + LUA, '-T', 'json', '-J', 'kx'] + list(options)
    rc, out, err = run_tool(*cmd)
    assert rc == 0 and 'Lua Error' not in out + err, (out[-2000:], err)
    pdus = []

    def objects(value):
        """tshark writes a repeated key once, with an array of the values."""
        many = isinstance(value, list) and value and not isinstance(value[0], tuple)
        return value if many else [value]

    def fields(pairs, acc):
        for key, value in pairs:
            for v in objects(value):
                if isinstance(v, list):
                    fields(v, acc)
                elif key.startswith('kx.'):
                    acc.setdefault(key, []).append(v)
        return acc

    for packet in json.loads(out, object_pairs_hook=list):
        for key, value in dict(dict(packet)['_source'])['layers']:
            for layer in objects(value) if key == 'kx' else []:
                f = fields(layer, {})
                request = f.pop('kx.direction') == ['request']
                head = [f.pop(k, [None])[0] for k in ('kx.type', 'kx.length', 'kx.name')]
                for k in HEADER_FIELDS:
                    f.pop(k, None)
                f = dict((k, [v.replace(':', '') if k.endswith('.data') else v for v in vs]) for k, vs in f.items())
                pdus.append((request, int(head[0], 16), int(head[1]), head[2], f))
    return pdus


def expected_frames(path):
    """What tshark should show of path: kxdissect's frames in the same shape."""
    rows = []
    for d in [json.loads(line) for line in run_tool(*tool('kxdissect', '--json', path))[1].splitlines()]:
        request = d['direction'] == 'out'
        fields = flatten('kx.' + d['name'], d['content'], {}) if request and isinstance(d.get('content'), dict) else {}
        rows.append((request, d['type'], d['length'], d['name'], fields))
    return rows


def read_all(path):
    return list(pcapng.read(path))


def by_direction(packets, direction):
    return [p.data for p in packets if p.direction == direction]


class Recording(unittest.TestCase):
    """One scripted session through kxtap, recorded by the client as well and,
    where tshark may capture, on the loopback; each test checks one reading
    of the recordings."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix='kxcapture-')
        cls.procs = []
        try:
            cls.record()
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for p in cls.procs:
            p.kill()
        shutil.rmtree(cls.dir)

    @classmethod
    def path(cls, name):
        return os.path.join(cls.dir, name)

    @classmethod
    def record(cls):
        sim = Sim('--seed', '7', '--hosts', '30', '--interval', '25', '--ticks', '12')
        cls.procs.append(sim)
        tap = Tap(sim.port, cls.path('session.pcapng'), '--once')
        cls.procs.append(tap)
        cls.loopback = loopback_capture(cls.path('lo.pcapng'), sim.port)   # after the tap's check at start
        c = cls.c = CountingClient('127.0.0.1', tap.port, record=cls.path('direct.pcapng'))
        port = c.sock.getsockname()[1]
        cls.tap_lines = [tap.line()]
        session(c, lambda: sim.wait_line(b'frozen', [c]))
        c.close()
        # --once: the tap is gone once the client and the daemon are
        cls.tap_lines += [tap.proc.wait(), tap.line(), port]
        cls.sim_rc = sim.stop()[0]
        if cls.loopback:
            time.sleep(1.0)
            cls.loopback.terminate()
            cls.loopback.wait()
        cls.tapped = read_all(cls.path('session.pcapng'))

    def test_recordings(self):
        """The tap's file and the client's own: the same frames each way,
        whole, and the usual tools read them."""
        c, tapped = self.c, self.tapped
        sent, received = sum(c.sent.values()), sum(c.counts.values())
        first, rc, last, port = self.tap_lines
        self.assertEqual((first, rc, last, self.sim_rc),
                         ('recording 127.0.0.1:%d to %s' % (port, self.path('session.pcapng')), 0,
                          'closed 127.0.0.1:%d: %d frames out, %d in' % (port, sent, received), 0))
        direct = read_all(self.path('direct.pcapng'))
        self.assertEqual(len(tapped), sent + received)
        for d in (pcapng.INBOUND, pcapng.OUTBOUND):
            self.assertEqual(by_direction(tapped, d), by_direction(direct, d))
        self.assertTrue(all(p.frame() is not None and p.comment is None for p in tapped))
        self.assertEqual(sorted(p.time for p in tapped), [p.time for p in tapped])
        tcpdump = which('tcpdump')
        self.assertTrue(tcpdump, 'tcpdump is missing: scripts/bootstrap installs it')
        for name in ('session.pcapng', 'direct.pcapng'):
            rc, out, err = run_tool(tcpdump, '--count', '-r', self.path(name))
            self.assertEqual((rc, out.strip()), (0, '%d packets' % (sent + received)), err)

    def test_kxdissect(self):
        """kxdissect decodes every frame; its counts per type are the client's."""
        c, tapped = self.c, self.tapped
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
        # Server frames with their fields named, and flag words with their bits' names.
        server = dict((f['name'], f['content']) for f in frames if f['direction'] == 'in')
        self.assertEqual(server['PROTOCOL_SERVER_VERSION']['protocol_version'], c.version[0])
        features = server['PROTOCOL_SERVER_FEATURES']
        self.assertEqual((features['mask'], sum(getattr(kx, 'FEATURES_' + n) for n in features['features'])),
                         (c.features, c.features))
        self.assertIn('ESTABLISHED', [n for f in frames if f['name'] == 'PROTOCOL_SERVER_CONN_UPDATE'
                                      for part in ('added', 'changed') for r in f['content'].get(part, {}).values()
                                      for n in r.get('_engineflags_names', ())])
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

    def test_replay(self):
        """The capture replayed to a fresh client: the same tables."""
        c = self.c
        replay = Sim('--replay', self.path('session.pcapng'), '--fast')
        self.addCleanup(replay.kill)
        fresh = kxclient.KXClient('127.0.0.1', replay.port)
        session(fresh, lambda: None)
        self.assertEqual(replay.stop()[0], 0)
        for name in ('hosts', 'conns'):
            self.assertEqual(*[dict((k, vars(v)) for k, v in getattr(x, name).items()) for x in (fresh, c)])
        for name in TABLES:
            self.assertEqual(plain(getattr(fresh, name)), plain(getattr(c, name)), name)

    @unittest.skipIf(sys.version_info < (3,), 'tshark\'s JSON is read with Python 3; the dissector is the same')
    def test_tshark(self):
        """tshark with the generated dissector shows every frame of the tap's
        file, and of the loopback capture, as kxdissect does."""
        self.assertTrue(TSHARK, 'tshark is missing: scripts/bootstrap installs it')
        cases = [(tshark_frames(self.path('session.pcapng')), expected_frames(self.path('session.pcapng')))]
        if self.loopback:   # (where capturing on lo is permitted)
            cases.append((tshark_frames(self.path('lo.pcapng'), '-o', 'kx.tcp_port:%d' % self.procs[0].port),
                          expected_frames(self.path('direct.pcapng'))))
        self.assertEqual([r[1:4] for r in cases[0][0]], [r[1:4] for r in cases[0][1]])  # the tap's order
        for got, want in cases:     # (each direction in order: the loopback may interleave them otherwise)
            self.assertGreater(len(want), 50)
            for request in (True, False):
                self.assertEqual([r for r in got if r[0] == request], [r for r in want if r[0] == request])

    def test_generated_lua_is_current(self):
        with open(LUA) as f:
            self.assertEqual(f.read(), gen_lua.generate(), 'kxtools/kx.lua is stale: run protocol/gen_lua.py')


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

    def replay(self, path, *options):
        """A kxd-sim replaying path, and a socket connected to it."""
        sim = Sim(log=True, *(('--replay', path) + options))
        self.addCleanup(sim.kill)
        return sim, connect(sim.port)

    def log(self, sim):
        """The replay's log lines after the peer's name, once it stopped."""
        self.assertEqual(sim.stop()[0], 0)
        return [line.split(': ', 2)[2] for line in sim.log_text().splitlines()]

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

        # (options, what the client sends, least and most seconds to the first pong, log lines)
        cases = [([], [ping, ping], 0.25, 5, []),
                 (['--fast'], [ping, ping], 0, 0.2, []),
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

        # A file of the other byte order, timestamps in 1/1024 s; a capture cut
        # short, whose whole frames are replayed while the log says where it ends.
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

        with open(os.path.join(tmp, 'junk'), 'wb') as f:
            f.write(b'\x00' * 40)
        for args, rc, text in ((['--fast'], 2, '--fast goes with --replay'),
                               (['--replay', os.path.join(tmp, 'none')], 1, 'No such file'),
                               (['--replay', os.path.join(tmp, 'junk')], 1, 'not a pcapng file')):
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
        self.daemon.accept()[0].close()     # kxtap's check at start that the daemon answers
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
        frames = [frame(0x20528), auth, frame(0x22002, b'\x00\x01' + struct.pack('>I', 6) + b'hosts\0')]
        rnd = random.Random(15)
        garbage = [bytes(bytearray(rnd.randrange(256) for _ in range(20000))) for _ in range(2)]

        # 1: every frame split in two at every byte (each direction is framed alike),
        # then a frame still pending when the tap is stopped.
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
            count = len(read_all(name))
            rc, out, err = run_tool(*tool('kxdissect', '--json', name))
            decoded = [json.loads(line) for line in out.splitlines()]
            self.assertEqual((rc, len(decoded)), (0, count))
            self.assertTrue(all(f['hex'] for f in decoded if 'error' in f))
            if n == 1:
                self.assertEqual(decoded[-1]['error'], 'not a whole frame: 9 bytes, the header says 24')
                self.assertEqual([f['name'] for f in decoded[:5]], ['ping'] * 5)

        # A file cut short: the frames before the cut, then the error.
        name = os.path.join(self.dir, 'relay-1.pcapng')
        with open(name, 'rb') as f:
            data = f.read()
        with open(name, 'wb') as f:
            f.write(data[:-3])
        rc, out, err = run_tool(*tool('kxdissect', '--json', name))
        self.assertEqual((rc, len(out.splitlines())), (1, len(split) - 1))
        self.assertIn('the file ends inside a block', err)


class ToolLines(unittest.TestCase):
    """kxtap and kxdissect on bad input and signals: each ends with one line
    on standard error and its exit status."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='kxlines-')
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name, data=None):
        name = os.path.join(self.dir, name)
        if data is not None:
            with open(name, 'wb') as f:
                f.write(data)
        return name

    def check(self, cases):
        """cases: (command, what to do to the running process or None, exit
        status, the last line on stderr: text, or a pattern of it)."""
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        for cmd, action, rc, line in cases:
            p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, env=env,
                                 close_fds=True)
            try:
                if action:
                    action(p)
                err = p.communicate()[1].splitlines()
            finally:
                if p.poll() is None:
                    p.kill()
            self.assertEqual(p.returncode, rc, (cmd, err))
            self.assertTrue(err[-1] == line if isinstance(line, str) else line.match(err[-1]), (cmd, err))
            if rc != 2:     # (argparse puts its usage before the line)
                self.assertEqual(len(err), 1, err)

    def test_kxdissect(self):
        ethernet = big_endian_capture([(1, b'\0' * 60, pcapng.INBOUND)]).replace(
            struct.pack('>HHI', 147, 0, 0), struct.pack('>HHI', 1, 0, 0))
        header_only = big_endian_capture([])
        fifo = self.path('fifo')
        os.mkfifo(fifo)
        # A module that kxdissect imports, made slow: Ctrl-C while the tool loads.
        slow = os.path.join(self.dir, 'slow')
        os.mkdir(slow)
        with open(os.path.join(slow, 'KXMsgv17_0.py'), 'w') as f:
            f.write('import sys, time\nsys.stdout.write("loading\\n")\nsys.stdout.flush()\ntime.sleep(30)\n')
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
            (console_script('dissect', slow, fifo), interrupt_after(lambda p: p.stdout.readline()), 130,
             'kxdissect: interrupted'),
        ]
        self.check(cases)
        out = subprocess.Popen(tool('kxdissect', '--version'), stdout=subprocess.PIPE,
                               universal_newlines=True).communicate()[0]
        self.assertTrue(re.match(r'^kxdissect \d+\.\d+\.\d+\n$', out), out)

    def test_kxtap(self):
        daemon = socket.socket()
        daemon.bind(('127.0.0.1', 0))
        daemon.listen(4)
        self.addCleanup(daemon.close)
        port = daemon.getsockname()[1]
        holder = socket.socket()        # bound, never listening: refuses
        holder.bind(('127.0.0.1', 0))
        self.addCleanup(holder.close)
        refused = holder.getsockname()[1]

        def listening(p):
            line = p.stdout.readline()
            assert line.startswith('listening on 127.0.0.1:'), line
            return int(line.strip().rsplit(':', 1)[1])

        def daemon_gone_then_client(p):
            tap_port = listening(p)
            daemon.accept()[0].close()      # the check at start
            daemon.close()
            socket.create_connection(('127.0.0.1', tap_port), 5).close()

        def tap(*args):
            return tool('kxtap', '--listen', '127.0.0.1:0', *args)
        target = self.path('t.pcapng')
        cases = [
            (tap('-w', '/nonexistent/x.pcapng', '--once', '--connect', '127.0.0.1:%d' % port), None, 1,
             'kxtap: cannot write /nonexistent/x.pcapng: No such file or directory'),
            (tap('-w', self.dir, '--once', '--connect', '127.0.0.1:%d' % port), None, 1,
             'kxtap: cannot write %s: Is a directory' % self.dir),
            (tap('-w', target, '--connect', '127.0.0.1:%d' % refused), None, 1,
             'kxtap: cannot connect to 127.0.0.1:%d: Connection refused' % refused),
            (tap('-w', target, '--connect', 'nohost'), None, 2,
             "kxtap: error: argument --connect: 'nohost' is not HOST:PORT"),
            (tap('-w', target, '--connect', '127.0.0.1:%d' % port),
             lambda p: (listening(p), daemon.accept()[0].close(), p.send_signal(signal.SIGINT)), 130,
             'kxtap: interrupted'),
            # --once: the one client's session fails, and kxtap ends with it.
            (tap('-w', target, '--once', '--connect', '127.0.0.1:%d' % port), daemon_gone_then_client, 1,
             re.compile(r'^kxtap: 127\.0\.0\.1:\d+: cannot connect to 127\.0\.0\.1:%d: Connection refused$' % port)),
        ]
        self.check(cases)
        self.assertEqual(os.listdir(self.dir), [])
