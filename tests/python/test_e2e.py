"""End to end: kxd-sim and the example client over a real loopback socket, through kxtap."""
from __future__ import absolute_import, division, print_function

import binascii
import json
import os
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.abspath(os.path.join(HERE, '..', '..'))
sys.path.insert(0, TOP)
sys.path.insert(0, os.path.join(TOP, 'protocol'))

import gen_lua  # noqa: E402
import KXdv17_0 as kx  # noqa: E402
import KXMsgv17_0  # noqa: E402
from kxtools import client as kxclient  # noqa: E402
from kxtools import messages  # noqa: E402
from kxtools import pcapng  # noqa: E402
from kxtest import msg, s, u8, u16, u32  # noqa: E402

BUILD = os.environ.get('KX_BUILD_DIR', os.path.join(TOP, 'build'))
SIM = os.path.join(BUILD, 'sim', 'kxd-sim')
# Cases of the simulator alone run with the main Python 3 build only: every other build tests the same binary.
sim_only = unittest.skipUnless(os.path.basename(os.environ.get('KX_MODULE_DIR', 'python3')) == 'python3',
                               'the simulator alone: run with the main Python 3 build')
EXAMPLES = os.path.join(TOP, 'examples')
LUA = os.path.join(TOP, 'kxtools', 'kx.lua')
FRAME = struct.Struct('>IH')
# Frame fields compared on their own; every other kx.* field is a record's field (or an expert info).
HEADER_FIELDS = ('kx.type', 'kx.length', 'kx.name', 'kx.request', 'kx.direction', 'kx.item')
# A sanitizer build's preloaded runtimes are for our interpreter only (tcpdump hangs under them).
TOOL_ENV = dict((k, v) for k, v in os.environ.items() if k != 'LD_PRELOAD')


def plain(v):
    if isinstance(v, (tuple, list)):
        return [plain(x) for x in v]
    if isinstance(v, dict):
        return dict((str(k), plain(x)) for k, x in v.items())
    return v


def listening(stream):
    """The port of the `listening on 127.0.0.1:PORT` line a server starts with."""
    line = stream.readline()
    line = line.decode() if isinstance(line, bytes) else line
    assert line.startswith('listening on 127.0.0.1:'), line
    return int(line.strip().rsplit(':', 1)[1])


class Sim(object):
    """One kxd-sim on a free loopback port, killed at the end of `test`; log=True keeps its log, quiet=False Info."""

    def __init__(self, *args, **kw):
        if not os.path.exists(SIM):
            raise AssertionError('%s is not built' % SIM)
        fd, self.dump_file = tempfile.mkstemp(prefix='kxd-sim-', suffix='.json')
        os.close(fd)
        os.unlink(self.dump_file)
        self.log = tempfile.TemporaryFile() if kw.get('log') else None
        self.clients = []
        quiet = ['--quiet'] if kw.get('quiet', True) else []
        self.proc = subprocess.Popen([SIM, '--port', '0', '--dump-state', self.dump_file] + quiet + list(args),
                                     stdout=subprocess.PIPE, stderr=self.log)
        try:
            self.port = listening(self.proc.stdout)
        except Exception:
            self.kill()  # a simulator left running keeps the test's output open
            raise
        if kw.get('test'):
            kw['test'].addCleanup(self.kill)

    def client(self):
        """A client of this simulator, closed with it."""
        c = kxclient.KXClient('127.0.0.1', self.port)
        self.clients.append(c)
        return c

    def wait_line(self, text, clients, timeout=30.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            ready, _, _ = select.select([self.proc.stdout], [], [], 0.05)
            if ready:
                line = self.proc.stdout.readline()
                if line.startswith(text):
                    return line
                assert line, 'kxd-sim exited'
            for c in clients:
                c.pump(0)
        raise AssertionError('no %r from kxd-sim' % text)

    def log_text(self):
        self.log.seek(0)
        return self.log.read().decode('utf-8', 'replace')

    def take_dump(self):
        if os.path.exists(self.dump_file):
            with open(self.dump_file) as f:
                state = json.load(f)
            os.unlink(self.dump_file)
            return state

    def dump_now(self):
        self.take_dump()
        self.proc.send_signal(signal.SIGUSR1)
        deadline = time.time() + 10
        while not os.path.exists(self.dump_file):
            assert time.time() < deadline, 'no state dump'
            time.sleep(0.02)
        return self.take_dump()

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        rc = self.proc.wait()
        self.proc.stdout.close()
        return rc, self.take_dump()

    def kill(self):
        self.stop(signal.SIGKILL)
        for c in self.clients:
            c.close()
        if self.log is not None:
            self.log.close()


def frame(mtype, payload=b''):
    return FRAME.pack(mtype, len(payload)) + payload


def tool(name, *args):
    return [sys.executable, os.path.join(EXAMPLES, name + '.py')] + list(args)


def run_tool(*cmd, **kw):
    """(status, stdout, stderr) of a run; timeout=SECONDS kills a tool that runs on past it."""
    env = None if cmd[0] == sys.executable else TOOL_ENV
    p = subprocess.Popen(list(cmd), stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, env=env)
    timer = threading.Timer(kw['timeout'], p.kill) if kw.get('timeout') else None
    if timer:
        timer.start()
    try:
        out, err = p.communicate()
    finally:
        if timer:
            timer.cancel()
    return p.returncode, out, err


def cmake_cache(name):
    with open(os.path.join(BUILD, 'CMakeCache.txt')) as f:
        return re.search(r'^%s:\w+=(.*)$' % name, f.read(), re.M).group(1).strip()


def which(name):
    found = [os.path.join(d, name) for d in os.environ.get('PATH', '').split(os.pathsep) + ['/usr/sbin', '/usr/bin']]
    return next((p for p in found if os.access(p, os.X_OK)), None)


TSHARK = which('tshark')


class Tap(object):

    def __init__(self, daemon_port, path, *args):
        self.proc = subprocess.Popen(tool('kxtap', '--listen', '127.0.0.1:0', '--connect',
                                          '127.0.0.1:%d' % daemon_port, '-w', path) + list(args),
                                     stdout=subprocess.PIPE, universal_newlines=True, close_fds=True)
        self.port = listening(self.proc.stdout)

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



TABLES = ('version', 'auth', 'features', 'xfb_names', 'strtables', 'sc_schemata', 'sc_rows', 'view_filters',
          'view_fields', 'views', 'view_errors', 'channel_info', 'channels', 'shaping_objects', 'shaping_rules',
          'fw_rules', 'fwlog_results', 'bgp_entries', 'bgp_paths', 'bgp_done', 'sysdiag', 'vcrc_results',
          'host_find_results', 'not_available', 'refusals', 'pongs', 'counts')


def loopback_capture(path, port):
    """tshark capturing a port on lo into path, once started; None where that is not permitted."""
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


def tshark_frames(path, *options):
    """Every kx PDU tshark shows, in order: (request?, type, length, name, {field: [values]})."""
    cmd = [TSHARK, '-r', path, '-X', 'lua_script:' + LUA, '-T', 'json', '-J', 'kx'] + list(options)
    rc, out, err = run_tool(*cmd)
    assert rc == 0 and 'Lua Error' not in out + err, (out[-2000:], err)
    pdus = []

    def objects(value):
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
                pdus.append((request, int(head[0], 16), int(head[1]), head[2], f))
    return pdus


def field_text(value):
    """A kxdissect field value as tshark's JSON shows it (bytes as aa:bb:cc)."""
    if isinstance(value, dict):
        return ':'.join(value['hex'][i:i + 2] for i in range(0, len(value['hex']), 2))
    return value if isinstance(value, str) else str(value)


def expected_frames(path):
    rows = []
    for d in [json.loads(line) for line in run_tool(*tool('kxdissect', '--json', path))[1].splitlines()]:
        fields = {}
        for name, value in d.get('fields', ()):
            fields.setdefault(name, []).append(field_text(value))
        rows.append((d['direction'] == 'out', d['type'], d['length'], d['name'], fields))
    return rows


def by_direction(packets, direction):
    return [p.data for p in packets if p.direction == direction]



def hex_text(data):
    return binascii.hexlify(data).decode('ascii')


# The requests of the scenario, sent on the frozen network.
CRITERIA_ALL = {'vlanin': 10, 'vlanout': 11, 'mplsin': 12, 'mplsout': 13, 'dscpin': 14, 'dscpout': 15,
                'channelin': 3, 'channelout': 4, 'protocol': 6, 'clientip': '10.1.2.3',
                'serverip': '198.51.100.7', 'clientport': 40000, 'serverport': 22, 'service': 'ssh',
                'xfb': 5, 'properties': [('user', 'alice'), ('group', 'staff')]}
VCRC = [{}, CRITERIA_ALL, {'protocol': 6, 'serverport': 6881, 'service': 'bittorrent'}]
FWLOG_QUERIES = [(kx.PROTOCOL_FWRULE_QTYPE_OFFSETS, 0, -1, False, False),
                 (kx.PROTOCOL_FWRULE_QTYPE_OFFSETS, 2, 5, False, True),
                 (kx.PROTOCOL_FWRULE_QTYPE_ID, 3, 9, [], 'x'),
                 (kx.PROTOCOL_FWRULE_QTYPE_FROMTO, 1700000010, 1700000030, 0, 1)]
PACKET = bytes(bytearray(i % 256 for i in range(300)))
# Requests that break off, and the record each leaves (None: none).
MALFORMED = [
    (0x22000, u16(40) + u8(1) + u8(1) + u8(0) + u16(2) + u16(6) + b'\x00',
     {'request': 'createView', 'viewid': 40, 'filters': [[1, True, 1, [6]]], 'fields': []}),
    (0x22000, u16(41) + u8(1) + u8(4) + u8(0) + u16(1) + b'\x08',
     {'request': 'createView', 'viewid': 41, 'filters': [[4, True, 4, []]], 'fields': []}),
    (0x20200, u16(1), None),
    (0x20201, u8(1) + b'\x20\x01' + b'\x00' * 14, None),
    (0x22200, u32(7), None),
    (0x10708, u32(9) + u32(1 << 9) + u32(10) + b'ss', None),
    (0x106a4, s('eth0') + u32(50) + b'abc', None),
    (0x206d6, u32(20), None),
    (0x20578, s('f') + s('r') + u32(1), None),
    (0x203e8, u8(2) + u32(0), None),
    (0x22002, u16(42), None),
]


VIEWS = [
    ('name', 1, 'hosts'),
    ('name', 2, 'no-such-view'),
    ('def', 3, [(1, True, kx.PROTOCOL_VIEW_FILTER_TYPE_SMALL_INTS, [6, 17]),
                (4, True, kx.PROTOCOL_VIEW_FILTER_TYPE_HOSTS, ['10.0.0.0/8', '2001:db8::/32']),
                (7, False, kx.PROTOCOL_VIEW_FILTER_TYPE_BOOLEAN, [True])], [(5, 'server')]),
    ('def', 4, [(2, True, kx.PROTOCOL_VIEW_FILTER_TYPE_SERVICES, ['http', 'https', 'dns', 'quic']),
                (3, True, kx.PROTOCOL_VIEW_FILTER_TYPE_OBJECTS, ['LAN']),
                (5, False, kx.PROTOCOL_VIEW_FILTER_TYPE_STRINGS, ['no-such-name']),
                (6, True, kx.PROTOCOL_VIEW_FILTER_TYPE_UINT32, [80, 443, 53])], [(2, '')]),
    ('def', 5, [], [(6, '')]),
    ('def', 6, [], [(4, '')]),
    ('def', 7, [], [(3, ''), (2, '')]),
    ('def', 8, [], [(99, '')]),
    ('name', 1, 'services'),
]


def refused_early(early):
    """A request before the login, then a wrong password: (the refusals, the login's result, the refusals after it)."""
    early.wait_for(lambda: early.version is not None)
    kx.requestUpdate(early)
    early.wait_for(lambda: early.refusals)
    refusals = list(early.refusals)
    return refusals, early.login('demo', 'wrong'), list(early.refusals)


def drive(c, changing=lambda: None, queried=lambda: None):
    """The main client's session, the same live or replayed; changing() returns once the network is frozen."""
    if not c.login('demo', 'demo'):
        raise AssertionError('login refused')
    kx.requestUpdate(c)
    c.wait_for(lambda: c.update_done)
    if not (c.hosts and c.conns):
        raise AssertionError('the first update brought no hosts or no connections')
    for v in VIEWS:
        (kx.createViewByName if v[0] == 'name' else kx.createView)(c, *v[1:])
    for show in (kx.channelsShow, kx.shapingobjectShow, kx.fwrulesShow):
        show(c)
    changing()
    c.sync()
    v4_hosts = sorted((hid, h.addr) for hid, h in c.hosts.items() if '.' in h.addr)
    c.host_show(v4_hosts[0][0])
    c.host_show(999999)
    c.host_find(v4_hosts[-1][1])
    c.host_find('192.0.2.99')
    row = sorted(c.sc_rows)[0]
    kx.scRowQuery(c, row)
    kx.scRowQuery(c, 12345)
    kx.bgpDump(c)
    kx.drdlStatsDump(c)
    for i, criteria in enumerate(VCRC):
        kx.vcrcTest(c, i + 1, criteria)
    for q in FWLOG_QUERIES:
        kx.fwlog_query(c, *q)
    kx.setDebug(c, 20, '7')
    kx.force_statistics_write(c)
    kx.injectPacket(c, 'eth1', PACKET)
    kx.dumpConnections(c, '/tmp/conns.txt', 'reaper', 5, -1)
    c.writeMsg(KXMsgv17_0.newMsg(0x2fff0))
    c.sync()
    queried()
    kx.fwlog_clear(c)
    kx.fwlog_query(c, kx.PROTOCOL_FWRULE_QTYPE_OFFSETS, 0, -1, True, False)
    for hide in (kx.channelsHide, kx.shapingobjectHide, kx.fwrulesHide):
        hide(c)
    c.sync()
    return v4_hosts, row


class Scenario(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix='kxe2e-')
        cls.procs = [Sim('--seed', '7', '--hosts', '40', '--interval', '40', '--ticks', '50')]
        try:
            cls.run_scenario(cls.procs[0])
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
    def run_scenario(cls, sim):
        cls.sim = sim
        early = sim.client()
        cls.early = refused_early(early)
        early.wait_for(lambda: early.closed)
        tap = Tap(sim.port, cls.path('session.pcapng'), '--once')
        cls.procs.append(tap)
        cls.tap_port = tap.port
        cls.loopback = loopback_capture(cls.path('lo.pcapng'), tap.port)
        c = cls.c = kxclient.KXClient('127.0.0.1', tap.port, record=cls.path('direct.pcapng'))
        cls.tap_lines = [tap.line(), c.sock.getsockname()[1]]

        cls.v4_hosts, cls.any_row = drive(c, lambda: (cls.malformed_requests(), sim.wait_line(b'frozen', [c])),
                                          lambda: setattr(cls, 'before', sim.dump_now()))
        cls.rc, cls.state = sim.stop()
        c.pump(0.2)
        c.close()
        # --once: the tap is gone with the client and the daemon; the daemon ended the session first (status 1)
        cls.tap_lines += [tap.proc.wait(), tap.line()]
        if cls.loopback:
            time.sleep(1.0)     # what it has not yet taken from the kernel
            cls.loopback.terminate()
            cls.loopback.wait()
            cls.loopback.stderr.close()
        sessions = dict((x['peer'], x) for x in cls.state['sessions'])
        cls.malformed_session = sessions.pop(cls.malformed_peer, None)
        cls.sessions = list(sessions.values())   # the tap's, for the client
        cls.session = cls.sessions[0] if cls.sessions else {}
        cls.tapped, cls.direct = [list(pcapng.read(cls.path(n))) for n in ('session.pcapng', 'direct.pcapng')]
        sent = [FRAME.unpack(d[:6])[0] for d in by_direction(cls.direct, pcapng.OUTBOUND)]
        cls.sent = dict((t, sent.count(t)) for t in set(sent))   # requests by type, as the client recorded them

    @classmethod
    def malformed_requests(cls):
        cut = cls.sim.client()  # with the greeting read, its close is an end of stream, not a reset
        cut.wait_for(lambda: cut.version is not None)
        cut.sock.sendall(u32(0x20001) + u16(100) + b'abc')   # a disconnect in the middle of a frame
        cut.sock.close()
        m = cls.malformed = cls.sim.client()
        if not m.login('demo', 'demo'):
            raise AssertionError('login refused')
        cls.malformed_peer = '127.0.0.1:%d' % m.sock.getsockname()[1]
        for type_, payload, _ in MALFORMED:
            m.writeMsg(msg(payload, type_))
        m.sync()

    def test_recordings(self):
        c, tapped = self.c, self.tapped
        sent, received = sum(self.sent.values()), sum(c.counts.values())
        first, port, rc, last = self.tap_lines
        self.assertEqual((first, rc, last),
                         ('recording 127.0.0.1:%d to %s' % (port, self.path('session.pcapng')), 1,
                          'closed 127.0.0.1:%d: %d frames out, %d in' % (port, sent, received)))
        self.assertEqual(len(tapped), sent + received)
        for d in (pcapng.INBOUND, pcapng.OUTBOUND):
            self.assertEqual(by_direction(tapped, d), by_direction(self.direct, d))
        self.assertTrue(all(p.frame() is not None and p.comment is None for p in tapped))
        self.assertEqual(sorted(p.time for p in tapped), [p.time for p in tapped])
        tcpdump = which('tcpdump')
        self.assertTrue(tcpdump, 'tcpdump is missing: scripts/bootstrap installs it')
        rc, out, err = run_tool(tcpdump, '--count', '-r', self.path('session.pcapng'))   # (the client's: the same writer)
        self.assertEqual((rc, out.strip()), (0, '%d packets' % (sent + received)), err)

    def test_kxdissect(self):
        # (the request fields it decodes: test_tshark's, against the generated dissector)
        c, tapped = self.c, self.tapped
        rc, out, err = run_tool(*tool('kxdissect', '--json', self.path('session.pcapng')))
        self.assertEqual((rc, err), (0, ''))
        frames = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(len(frames), len(tapped))
        self.assertEqual([f for f in frames if 'error' in f], [])
        for direction, want in (('in', c.counts), ('out', self.sent)):
            types = [f['type'] for f in frames if f['direction'] == direction]
            self.assertEqual(dict((t, types.count(t)) for t in set(types)), want, direction)
        # Server frames with their fields named, and flag words with their bits' names.
        server = dict((f['name'], f['content']) for f in frames if f['direction'] == 'in')
        self.assertEqual(server['PROTOCOL_SERVER_VERSION']['version'], c.version[0])
        features = server['PROTOCOL_SERVER_FEATURES']
        self.assertEqual((features['features'], sum(getattr(kx, 'FEATURES_' + n) for n in features['features_names'])),
                         (c.features, c.features))
        self.assertIn('ESTABLISHED', [n for f in frames if f['name'] == 'PROTOCOL_SERVER_CONN_UPDATE'
                                      for part in ('added', 'changed') for r in f['content'].get(part, {}).values()
                                      for n in r.get('_engineflags_names', ())])
        added = dict(h for f in frames if f['name'] == 'PROTOCOL_SERVER_HOST_ADD' for h in f['content']['added'].items())
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
        c = self.c
        replay = Sim('--replay', self.path('session.pcapng'), '--fast', test=self)
        fresh = kxclient.KXClient('127.0.0.1', replay.port)
        drive(fresh)
        self.assertEqual(replay.stop()[0], 0)
        fresh.pump(0.2)
        for name in ('hosts', 'conns'):
            self.assertEqual(*[dict((k, vars(v)) for k, v in getattr(x, name).items()) for x in (fresh, c)])
        for name in TABLES:
            self.assertEqual(plain(getattr(fresh, name)), plain(getattr(c, name)), name)

    @unittest.skipIf(sys.version_info < (3,), 'tshark\'s JSON is read with Python 3; the dissector is the same')
    def test_tshark(self):
        self.assertTrue(TSHARK, 'tshark is missing: scripts/bootstrap installs it')
        cases = [(tshark_frames(self.path('session.pcapng')), expected_frames(self.path('session.pcapng')))]
        if self.loopback:   # (where capturing on lo is permitted)
            cases.append((tshark_frames(self.path('lo.pcapng'), '-o', 'kx.tcp_port:%d' % self.tap_port),
                          expected_frames(self.path('direct.pcapng'))))
        self.assertEqual([r[1:4] for r in cases[0][0]], [r[1:4] for r in cases[0][1]])  # the tap's order
        for got, want in cases:     # (each direction in order: the loopback may interleave them otherwise)
            self.assertGreater(len(want), 50)
            for request in (True, False):
                self.assertEqual([r for r in got if r[0] == request], [r for r in want if r[0] == request])
        # Every server frame cut by a byte and lengthened by one, then payloads of random bytes of
        # every type in both directions: tshark marks malformed what kxdissect cannot read by the
        # record, and shows the same fields where both read it.
        broken, rnd = self.path('broken.pcapng'), random.Random(4)
        with pcapng.Writer(broken) as w:
            for p in self.tapped:
                if p.direction == pcapng.INBOUND and len(p.data) > FRAME.size:
                    mtype, length = FRAME.unpack_from(p.data)
                    w.write(frame(mtype, p.data[FRAME.size:-1]), p.direction)
                    w.write(frame(mtype, p.data[FRAME.size:] + b'\0'), p.direction)
            for direction, types in ((pcapng.INBOUND, messages.MESSAGES), (pcapng.OUTBOUND, messages.REQUESTS)):
                for mtype in sorted(types):
                    for n in (0, 1, 2, 4, 7, 12, 20, 33):
                        w.write(frame(mtype, bytes(bytearray(rnd.choice((0, 1, 2, rnd.randrange(256)))
                                                             for _ in range(n)))), direction)
        rc, out, err = run_tool(*tool('kxdissect', '--json', broken))
        self.assertEqual((rc, err), (0, ''))
        unread = [json.loads(line).get('error', '').startswith('DecodeError') for line in out.splitlines()]
        got = tshark_frames(broken)
        marked = [bool(set(f) & set(['kx.short', 'kx.left_over', 'kx.bad_value'])) for _, _, _, _, f in got]
        self.assertEqual(len(marked), len(unread))
        self.assertEqual([(i, got[i][3], m) for i, (m, u) in enumerate(zip(marked, unread)) if m != u], [])
        self.assertGreater(sum(marked), len(self.tapped) // 2)
        self.assertEqual([g for g, m in zip(got, marked) if not m],
                         [x for x, m in zip(expected_frames(broken), marked) if not m])

    def test_generated_lua_is_current(self):
        with open(LUA) as f:
            self.assertEqual(f.read(), gen_lua.generate(), 'kxtools/kx.lua is stale: run protocol/gen_lua.py')

    def test_session_and_tables(self):
        c, state = self.c, self.state
        self.assertEqual(self.rc, 0)
        self.assertEqual(self.early, ([0x20002], False, [0x20002, 0x20001]))
        # every message received has a handler and a name, host-find replies among them
        self.assertEqual([t for t in c.counts if t not in c.handlers or t not in messages.MESSAGES], [])
        self.assertIn(messages.NUMBERS['PROTOCOL_SERVER_HOST_FIND_REPLY'], c.counts)
        # the refused client and the one that broke off are gone
        self.assertEqual((len(self.sessions), bool(self.malformed_session)), (1, True))
        for name in ('version', 'auth', 'features', 'xfb_names', 'shaping_rules', 'strtables', 'channels',
                     'shaping_objects', 'fw_rules', 'bgp_entries', 'bgp_paths'):
            self.assertEqual(plain(getattr(c, name)), state[name], name)
        self.assertEqual((c.shaping_rules_complete, c.fw_rules_complete, c.bgp_done), (True, True, True))
        self.assertEqual(self.session['subscriptions'], {'channels': False, 'shaping': False, 'fwrules': False})
        self.assertGreaterEqual(self.session['pings'], 2)
        for table, got in (('hosts', c.hosts), ('connections', c.conns)):
            self.assertEqual(dict((str(k), dict((f, plain(getattr(v, f))) for f in state[table].get(str(k), ())))
                                  for k, v in got.items()), state[table])
        self.assertEqual(dict((str(k), v.views) for k, v in c.conns.items()), self.session['conn_views'])
        self.assertEqual(dict((str(k), [s, hex_text(d)]) for k, (s, d) in c.sc_rows.items()), state['sc_rows'])
        self.assertEqual(c.sc_schemata[4]['name'], 'dns')
        self.assertEqual(c.sc_schemata[4]['columns'], c.sc_schemata[3]['columns'])
        self.assertEqual(c.sc_schemata[5]['columns'][0]['kind'], 'INT64')
        self.assertEqual(sorted(c.view_errors), [(1, 'view id in use'), (2, 'unknown view name'),
                                                 (8, 'unknown field')])
        self.assertEqual(plain(c.views), self.session['views'])
        self.assertEqual(sorted(vid for vid, rows in c.views.items() if rows), [1, 3, 4, 5, 6, 7])

    def test_firewall_log(self):
        c = self.c
        log = self.before['fwlog']
        self.assertTrue(len(log) > 5)
        for (qtype, s, e, clear, no_reverse), got in zip(FWLOG_QUERIES, c.fwlog_results):
            picked = [dict(x) for i, x in enumerate(log)
                      if (qtype == 0 and s <= x['seq'] <= e) or (qtype == 1 and s <= x['time'] <= e) or
                      (qtype == 2 and s <= len(log) - 1 - i and (e < 0 or len(log) - 1 - i <= e))]
            if not no_reverse:
                picked.reverse()
            for x in picked:
                del x['seq']
            self.assertEqual(got['logentries'], len(picked))
            self.assertEqual(got['entries'], picked)
        self.assertTrue(any('properties' not in x for x in c.fwlog_results[0]['entries']))
        self.assertEqual(c.fwlog_results[-1], {'logentries': 0, 'entries': []})
        self.assertEqual(self.state['fwlog'], [])

    def test_queries(self):
        c = self.c
        self.assertEqual(c.sysdiag, self.before['sysdiag'])
        keys = ('test_id', 'ruleset_state', 'rewrite_obj', 'monitor_iface', 'fwrule', 'shapingrules')
        self.assertEqual([tuple(r[k] for k in keys) for r in c.vcrc_results],
                         [(1, 1, 0, 0xffffffff, 7, []), (2, 1, 3, 10, 4, [(2, 102)]), (3, 1, 0, 0xffffffff, 5, [(10, 104)])])
        # every firewall rule up to the one that matched, in order
        self.assertEqual([r['fwrules'] for r in c.vcrc_results],
                         [[(i, int(i == r['fwrule'])) for i in range(1, r['fwrule'] + 1)] for r in c.vcrc_results])
        self.assertEqual(c.host_find_results, [self.v4_hosts[-1][0], None])
        self.assertEqual(sorted(c.not_available), ['no host 999999', 'request 0x2fff0 not available'])
        self.assertIn(self.any_row, c.sc_rows)

    def test_malformed_requests(self):
        m = self.malformed
        self.assertEqual(self.malformed_session['requests'], [record for _, _, record in MALFORMED if record])
        self.assertEqual(sorted(m.view_errors), [(40, 'malformed view request'), (41, 'malformed view request')])
        self.assertEqual(sorted(m.not_available),
                         sorted('malformed request 0x%x' % t for t, _, record in MALFORMED if not record))

    def test_request_records(self):
        requests = self.session['requests']
        expect = [
            {'request': 'scRowQuery', 'rowid': 12345},
            dict(CRITERIA_ALL, request='vcrcTest', test_id=2, mask=0x3dbff, properties=[['user', 'alice'],
                                                                                       ['group', 'staff']]),
            {'request': 'setDebug', 'facility': 20, 'argument': '7'},
            {'request': 'force_statistics_write'},
            {'request': 'injectPacket', 'iface': 'eth1', 'data': hex_text(PACKET)},
            {'request': 'dumpConnections', 'filename': '/tmp/conns.txt', 'reapername': 'reaper', 'start': 5,
             'step': 0xffffffff},
        ]   # (the firewall log's queries and clearing, the shows, hides and dumps: their results)
        # a view definition as decoded: filter values as numbers, texts or addresses
        expect += [{'request': 'createView', 'viewid': v[1], 'fields': [list(f) for f in v[3]],
                    'filters': [[f[0], f[1], f[2], [int(x) if x is True else x for x in f[3]]] for f in v[2]]}
                   for v in VIEWS if v[0] == 'def' and v[1] in (3, 4)]
        for e in expect:
            self.assertIn(e, requests)


class Flooding(unittest.TestCase):

    def test_flooding_same_seed_same_network(self):
        states = []
        for seed in ('4', '4', '5'):
            sim = Sim('--seed', seed, '--hosts', '20', '--flood', '--ticks', '300', test=self)
            c = sim.client()
            self.assertTrue(c.login('demo', 'demo'))
            kx.requestUpdate(c)
            sim.wait_line(b'frozen', [c])
            c.sync()
            rc, state = sim.stop()
            self.assertEqual(rc, 0)
            self.assertGreaterEqual(c.counts.get(kx.PROTOCOL_SERVER_CONN_UPDATE, 0), 1)
            self.assertEqual((sorted(map(str, c.hosts)), sorted(map(str, c.conns))),
                             (sorted(state['hosts']), sorted(state['connections'])))
            states.append(dict((k, state[k]) for k in ('hosts', 'connections', 'sc_rows', 'fwlog', 'channels')))
        self.assertEqual(states[0], states[1])
        self.assertNotEqual(states[0]['connections'], states[2]['connections'])


if __name__ == '__main__':
    unittest.main()
