"""kxexporter's configuration, and its figures as a real Prometheus scrapes them from two kxd-sim processes."""
from __future__ import absolute_import, division, print_function

import hashlib
import json
import re
import signal
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SKIP = None
if sys.version_info < (3, 8):
    SKIP = 'kxexporter is asyncio code: Python 3.8 or later'
elif not shutil.which('prometheus'):
    SKIP = 'no prometheus binary (scripts/bootstrap installs it)'
else:
    try:
        import prometheus_client  # noqa: F401  (only whether it is there)
    except ImportError:
        SKIP = 'no prometheus_client for this interpreter (scripts/bootstrap installs python3-prometheus-client)'

import KXdv17_0 as kx  # noqa: E402
from kxtest import loopback, s, scratch, sockets, u8, u32, u64  # noqa: E402
from test_e2e import FRAME, TOOL_ENV, TOP as ROOT, Sim, frame  # noqa: E402

# What a hostile appliance sends instead of the simulator's.
HOSTILE_TYPES = (kx.PROTOCOL_SERVER_CHANNEL_STATS_INFO, kx.PROTOCOL_SERVER_CHANNEL_STATS_DATA,
                 kx.PROTOCOL_SERVER_FW_RULES_INIT, kx.PROTOCOL_SERVER_FW_RULES, kx.PROTOCOL_SERVER_SHAPING_OBJECT)

TOP = 4
# The exporter's own behaviour is tested with the main Python 3 build only: every other build decodes the same way.
main_build = unittest.skipUnless(os.path.basename(os.environ.get('KX_MODULE_DIR', 'python3')) == 'python3',
                                 'the exporter alone: run with the main Python 3 build')


def top_hosts(state):
    hosts = sorted(state['hosts'].values(), key=lambda h: -sum(h['speed']))
    return hosts[:TOP], hosts[TOP:]


def start_prometheus(test, scrape_configs):
    """A Prometheus scraping every second with these scrape_configs (YAML
    text), stopped at the end of test; its API address."""
    free = loopback(False)
    api = 'http://127.0.0.1:%d' % free.getsockname()[1]
    free.close()    # for Prometheus to take
    tmp = scratch(test, 'kxexporter-prometheus-')
    config = os.path.join(tmp, 'prometheus.yml')
    with open(config, 'w') as f:
        f.write('global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n' + scrape_configs)
    p = subprocess.Popen(['prometheus', '--config.file', config, '--storage.tsdb.path', os.path.join(tmp, 'data'),
                          '--web.listen-address', api[len('http://'):]],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=TOOL_ENV)
    test.addCleanup(lambda: (p.kill(), p.wait()))
    return api


def start_exporter(test, *args):
    """A kxexporter process with these arguments (and quick reconnects),
    killed at the end of test: (process, its HOST:PORT, its stderr file)."""
    err = tempfile.TemporaryFile()
    test.addCleanup(err.close)
    p = subprocess.Popen([sys.executable, '-m', 'kxtools.exporter', '--listen', '127.0.0.1:0', '--backoff', '0.2',
                          '--max-backoff', '0.5'] + list(args), stdout=subprocess.PIPE, stderr=err,
                         env=dict(os.environ, PYTHONUNBUFFERED='1'), cwd=ROOT)
    test.addCleanup(lambda: (p.kill(), p.wait(), p.stdout.close()))
    line = p.stdout.readline().decode()
    test.assertIn('/metrics', line)
    return p, line.split('http://', 1)[1].split('/', 1)[0], err


def query(self, promql, key='appliance'):
    """{appliance: value} (or {label tuple: value}) of an instant query; {} while Prometheus is not up."""
    from urllib.parse import urlencode
    from urllib.request import urlopen
    try:
        with urlopen('%s/api/v1/query?%s' % (self.api, urlencode({'query': promql})), timeout=5) as r:
            body = json.load(r)
    except OSError:
        return {}
    out = {}
    for row in body['data']['result']:
        m = row['metric']
        extra = tuple(m[k] for k in sorted(m) if k not in (key, 'instance', 'job', '__name__'))
        out[(m.get(key, ''),) + extra if extra else m.get(key, '')] = float(row['value'][1])
    return out


def wait_query(self, promql, want, timeout=60, key='appliance'):
    deadline = time.time() + timeout
    got = None
    while time.time() < deadline:
        got = self.query(promql, key)
        if got == want:
            return
        time.sleep(0.5)
    self.assertEqual(got, want, promql)


def by_service(state):
    names = state['strtables']['2']
    counts = {}
    for c in state['connections'].values():
        name = names.get(str(c['_service_id']), str(c['_service_id']))
        counts[name] = counts.get(name, 0) + 1
    return counts


@unittest.skipIf(SKIP, SKIP)
class Configuration(unittest.TestCase):

    def test_command_line_and_files(self):
        from kxtools import exporter
        ini = ('[exporter]\nlisten = 0.0.0.0:9100\nuser = mon\nidle = 30\n[appliance edge]\naddress = 10.0.0.1\n'
               'password = x\n[target 10.0.0.9:7000]\npassword = t\n')
        js = ('{"top_hosts": 3, "top_items": 7, "appliances": [{"address": "[2001:db8::1]:7000", "name": "v6"}], '
              '"targets": [{"address": "::1", "user": "t"}]}')
        cases = [
            # (argv, config text, (names, (host, port, user, password) per appliance, listen,
            #  (top hosts, top items, idle), probe targets) or error)
            (['h:1', 'h:2', '--user', 'u', '--password', 'p'], None,
             (['h:1', 'h:2'], [('h', 1, 'u', 'p'), ('h', 2, 'u', 'p')], ('127.0.0.1', 9783), (20, 50, 600), {})),
            (['--config', 'F', '--top-hosts', '0'], ini,
             (['edge'], [('10.0.0.1', 7830, 'mon', 'x')], ('0.0.0.0', 9100), (0, 50, 30),
              {'10.0.0.9:7000': ('mon', 't')})),
            (['--config', 'F', 'h', '--idle', '5'], js,
             (['h:7830', 'v6'], [('h', 7830, 'demo', 'demo'), ('2001:db8::1', 7000, 'demo', 'demo')],
              ('127.0.0.1', 9783), (3, 7, 5), {'[::1]:7830': ('t', 'demo')})),
            ([], None, ([], [], ('127.0.0.1', 9783), (20, 50, 600), {})),
            (['h:1', 'h:1'], None, 'same name'),
            (['h:99999'], None, 'bad port'),
            (['--config', 'F'], '{"appliances": [{"name": "x"}]}', 'without an address'),
            (['--config', 'F'], '{"targets": [{"user": "x"}]}', 'without an address'),
            (['h', '--top-hosts', '-1'], None, 'negative'),
        ]
        path = os.path.join(scratch(self, 'kxexporter-'), 'conf')
        for argv, text, want in cases:
            if text is not None:
                with open(path, 'w') as f:
                    f.write(text)
            args = exporter.parse_args([path if a == 'F' else a for a in argv])
            if isinstance(want, str):
                with self.assertRaisesRegex(ValueError, want):
                    exporter.build(args)
                continue
            s = exporter.build(args)
            self.assertEqual(([a.name for a in s.appliances], [(a.host, a.port, a.user, a.password) for a in s.appliances],
                              (s.host, s.port), (s.top_hosts, s.top_items, s.idle), s.targets), want, argv)


    def test_without_prometheus_client(self):
        from kxtools import exporter
        blocked = "import sys; sys.modules['prometheus_client'] = None; from kxtools import exporter; sys.exit(exporter.main(%r))"
        for argv, rc, out, err in [(['--help'], 0, 'usage: kxexporter', ''), (['--version'], 0, 'kxexporter ', ''),
                                   (['h:1'], 1, '', 'kxexporter: ' + exporter.INSTALL_HINT)]:
            p = subprocess.Popen([sys.executable, '-c', blocked % argv], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 cwd=ROOT, universal_newlines=True)
            got = p.communicate()
            self.assertEqual((p.returncode, got[0][:len(out)], got[1][:len(err)]), (rc, out, err), got)
            self.assertEqual(len(got[1].splitlines()), 1 if err else 0, got)


def offline(**tables):
    """An offline client that looks connected, holding these tables."""
    from kxtools.client import KXClient
    c = KXClient.offline()
    c.closed = False
    c.__dict__.update(tables)
    return c


def hosts(n, addr=lambda i: '10.0.%d.%d' % (i // 256, i % 256)):
    from kxtools.client import Host
    out = {}
    for i in range(n):
        h = out[i] = Host(i)
        h.addr, h.speed, h.connections = addr(i), (i, 1), (1, 2)
    return out


class Exploding(object):
    """A table entry whose figures cannot be read."""

    @property
    def speed(self):
        raise RuntimeError('unreadable')


BAD = ['bad\udcff', 'x\ud800y', '\u00fcn\u00ef', 'q"b\\c\n', 'other', 'r#1', '']
MANY = 100000


@unittest.skipIf(SKIP, SKIP)
@main_build
class Hostile(unittest.TestCase):
    """What one appliance's tables may hold never breaks a scrape nor another appliance's series."""

    def scrape(self, tables):
        from prometheus_client.parser import text_string_to_metric_families
        from kxtools import exporter
        good = exporter.Appliance('good', 'h', 1, 'u', 'p')
        good.client = offline(hosts=hosts(3))
        bad = exporter.Appliance('bad\udcfe', 'h', 2, 'u', 'p')
        bad.client = offline(**tables)
        body = exporter.Exporter([good, bad], top_hosts=5, top_items=10).scrape()
        if shutil.which('promtool'):
            p = subprocess.Popen(['promtool', 'check', 'metrics'], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, env=TOOL_ENV)
            out = p.communicate(body)[0]
            self.assertEqual(p.returncode, 0, out)
        samples = [(m.name, smp.name, tuple(sorted(smp.labels.items())), smp.value)
                   for m in text_string_to_metric_families(body.decode('utf-8')) for smp in m.samples]
        keys = [x[1:3] for x in samples]
        self.assertEqual(len(keys), len(set(keys)), 'a label set twice')
        self.assertIn(('kx_hosts', (('appliance', 'good'),)), keys)
        return samples, bad

    def test_texts_numbers_and_failures(self):
        stats = [(1, 'bytes'), (2, BAD[2]), (3, 'up'), (4, 'a b'), (5, 'x_total'), (6, 'Bytes'), (7, BAD[0])]
        texts = dict(
            fw_rules=dict((i, {'name': BAD[i % len(BAD)], 'hits': i, 'hits_rate': 1}) for i in range(2 * len(BAD))),
            channel_info=({}, stats),
            channels=dict((i, {'name': n, 'active': True, 'bytes': (1, 2), BAD[2]: (3, 4)}) for i, n in enumerate(BAD)),
            shaping_objects=dict((i, {'name': n, 'connections': 'x'}) for i, n in enumerate(BAD)),
            strtables={2: {1: BAD[0], 2: BAD[1]}}, hosts=hosts(4, lambda i: BAD[i % 2]))
        many = dict(hosts=hosts(MANY), fw_rules=dict((i, {'name': 'r', 'hits_rate': i}) for i in range(MANY)),
                    shaping_objects=dict((i, {'name': str(i), 'in RX bps': 8 * i}) for i in range(MANY)))
        cases = [
            # (tables, {metric: series of the hostile appliance}, bytes/s its hosts receive, failures counted)
            (texts, {'kx_firewall_rule_hits_total': 10, 'kx_host_bytes_per_second': 8,
                     'kx_channel_n_total': 2 * len(BAD), 'kx_channel_bytes_total': 2 * len(BAD),
                     'kx_channel_up': len(BAD), 'kx_shaping_object_connections': len(BAD)}, 6, 0),
            (many, {'kx_firewall_rule_hits_total': 10, 'kx_firewall_rule_hits_per_second': 11,
                    'kx_host_bytes_per_second': 12, 'kx_shaping_object_connections': 11}, MANY * (MANY - 1) // 2, 0),
            (dict(hosts={1: Exploding()}, fw_rules={1: {'name': 'r'}}), {'kx_firewall_rule_hits_total': 0}, 0, 1),
        ]
        for tables, want, received, failures in cases:
            samples, bad = self.scrape(tables)
            mine = [x for x in samples if dict(x[2]).get('appliance') == 'bad\\xfe']
            self.assertEqual(dict((name, sum(1 for x in mine if x[1] == name)) for name in want), want)
            # the "other" series holds the rest: the sum over hosts is the appliance's
            self.assertEqual(sum(x[3] for x in mine if x[1] == 'kx_host_bytes_per_second' and
                                 ('direction', 'received') in x[2]), received)
            self.assertLess(len(samples), 800)
            self.assertEqual(bad.failures.get('scrape', 0), failures)

    def test_readers_that_do_not_read_are_cut_off(self):
        import asyncio
        import socket
        from unittest import mock
        from kxtools import exporter
        a = exporter.Appliance('a', 'h', 1, 'u', 'p')
        a.client = offline(hosts=hosts(5000))
        e = exporter.Exporter([a], top_hosts=5000)     # a reply of 5 MB

        loop = asyncio.new_event_loop()
        with mock.patch.object(exporter, 'WRITE_TIMEOUT', 0.4):
            server = loop.run_until_complete(asyncio.start_server(e._serve, '127.0.0.1', 0))
            host, port = server.sockets[0].getsockname()[:2]
            thread = threading.Thread(target=loop.run_forever)
            thread.start()
            try:
                stuck = sockets(self, False, False)
                for c in stuck:
                    c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                    c.connect((host, port))
                    c.sendall(b'GET /metrics HTTP/1.1\r\n\r\n')
                counts = []
                for _ in range(100):    # the stuck clients, then none once the write timeout cut them off
                    if not counts or counts[-1] != e.clients:
                        counts.append(e.clients)
                    if counts[-1] == 0 and 2 in counts:
                        break
                    time.sleep(0.05)
                self.assertEqual(counts[-1], 0)
                self.assertIn(2, counts)
            finally:
                loop.call_soon_threadsafe(loop.stop)
                thread.join()
                server.close()
                loop.run_until_complete(server.wait_closed())
                loop.close()


@unittest.skipIf(SKIP, SKIP)
class PrometheusScrape(unittest.TestCase):

    def setUp(self):
        self.sims = []
        for hosts, seed in ((30, 1), (45, 2)):
            sim = Sim('--hosts', str(hosts), '--seed', str(seed), '--interval', '20', '--ticks', '3', test=self)
            sim.wait_line(b'frozen after', [])
            self.sims.append(sim)
        self.exporter, target, _ = start_exporter(self, '--top-hosts', str(TOP), *['127.0.0.1:%d' % s.port
                                                                                  for s in self.sims])
        self.api = start_prometheus(self, 'scrape_configs:\n  - job_name: kx\n    static_configs:\n'
                                    '      - targets: ["%s"]\n' % target)

    query = query
    wait_query = wait_query

    def test_figures_match_the_simulators_and_a_lost_appliance_is_down(self):
        states = dict(('127.0.0.1:%d' % s.port, s.dump_now()) for s in self.sims)
        names = sorted(states)
        self.wait_query('kx_up', dict((n, 1.0) for n in names))
        # Series Prometheus holds once the full tables are in: (query, expected per appliance).
        cases = [
            ('kx_hosts', lambda s: len(s['hosts'])),
            ('sum by (appliance) (kx_host_connections{role="server"})',
             lambda s: sum(h['connections'][1] for h in s['hosts'].values())),
            ('count by (appliance) (kx_host_packets_total{direction="in"})', lambda s: TOP),
            ('sum by (appliance) (kx_host_packets_total{direction="out"})',
             lambda s: sum(h['quality_packets'][1] for h in top_hosts(s)[0])),
            ('sum by (appliance) (kx_firewall_rule_hits_total)', lambda s: sum(r['hits'] for r in s['fw_rules'].values())),
            ('sum by (appliance) (kx_shaping_object_bytes_total{direction="out",state="rx"})',
             lambda s: sum(o['out RX bytes'] for o in s['shaping_objects'].values())),
            ('sum by (appliance) (kx_shaping_object_dropped_packets_total{direction="in"})',
             lambda s: sum(o['in total drops'] for o in s['shaping_objects'].values())),
            ('sum by (appliance) (kx_channel_bytes_total{side="external"})',
             lambda s: sum(c['bytes'][1] for c in s['channels'].values())),
            ('sum by (appliance) (kx_channel_up)', lambda s: sum(1 for c in s['channels'].values() if c['active'])),
        ]
        for promql, expect in cases:
            self.wait_query(promql, dict((n, float(expect(states[n]))) for n in names))
        for n in names:
            want = dict(((n, svc), float(k)) for svc, k in by_service(states[n]).items())
            self.wait_query('kx_connections{appliance="%s"}' % n, want)
            busiest = dict(((n, 'received', h['addr']), float(h['speed'][0])) for h in top_hosts(states[n])[0])
            busiest[(n, 'received', 'other')] = float(sum(h['speed'][0] for h in top_hosts(states[n])[1]))
            self.wait_query('kx_host_bytes_per_second{appliance="%s",direction="received"}' % n, busiest)

        kept, lost = ['127.0.0.1:%d' % s.port for s in self.sims]
        self.sims[1].kill()
        self.wait_query('kx_up', {kept: 1.0, lost: 0.0})
        self.wait_query('count by (appliance) (kx_hosts)', {kept: 1.0})
        self.assertIsNone(self.exporter.poll())


def fetch(address, path='/metrics'):
    """(status, body) of one GET."""
    from urllib.error import HTTPError
    from urllib.request import urlopen
    try:
        with urlopen('http://%s%s' % (address, path), timeout=10) as r:
            return r.status, r.read()
    except HTTPError as e:
        return e.code, e.read()


def shard(target, exporters):
    """The exporter Prometheus's hashmod relabelling picks for a target (md5, its low 64 bits)."""
    return exporters[int.from_bytes(hashlib.md5(target.encode()).digest()[8:], 'big') % len(exporters)]


FLEET_CONFIG = """scrape_configs:
  - job_name: kx
    metrics_path: /probe
    file_sd_configs:
      - files: ["%(targets)s"]
    relabel_configs:
      - source_labels: [__address__]
        target_label: __param_target
      - source_labels: [__address__]
        target_label: instance
      - source_labels: [__address__]
        modulus: 2
        target_label: __tmp_shard
        action: hashmod
      - source_labels: [__tmp_shard]
        regex: "0"
        target_label: __address__
        replacement: %(exporter0)s
      - source_labels: [__tmp_shard]
        regex: "1"
        target_label: __address__
        replacement: %(exporter1)s
  - job_name: kxexporter
    static_configs:
      - targets: ["%(exporter0)s", "%(exporter1)s"]
"""


@unittest.skipIf(SKIP, SKIP)
@main_build
class Fleet(unittest.TestCase):
    """Prometheus spreads a fleet over two exporters by hashmod; each follows its share from the first probe."""
    query = query
    wait_query = wait_query

    def test_two_exporters_share_the_fleet(self):
        n = 6
        sim = Sim('--appliances', str(n), '--hosts', '20', '--interval', '200', test=self)
        fleet = ['127.0.0.1:%d' % (sim.port + i) for i in range(n)]
        exporters = [start_exporter(self, '--idle', '60')[1] for _ in range(2)]
        targets = os.path.join(scratch(self, 'kxexporter-sd-'), 'targets.json')
        with open(targets, 'w') as f:
            json.dump([{'targets': fleet}], f)
        self.api = start_prometheus(self, FLEET_CONFIG % dict(targets=targets, exporter0=exporters[0],
                                                               exporter1=exporters[1]))
        self.wait_query('up{job="kx"}', dict((t, 1.0) for t in fleet), 30, key='instance')
        self.wait_query('kx_up', dict((t, 1.0) for t in fleet), 30)
        self.wait_query('count by (appliance) (kx_hosts)', dict((t, 1.0) for t in fleet), 30)
        share = dict((e, float(sum(1 for t in fleet if shard(t, exporters) == e))) for e in exporters)
        self.wait_query('kx_exporter_appliances', share, 30, key='instance')


class FakeAppliance(object):
    """A loopback server relaying every client to a simulator; once the
    client's session is set up (the first pong relayed) it misbehaves:
    'texts' sends names that are not UTF-8, 2,000 firewall rules (a frame's worth) and 100,000
    shaping objects (and no more of the simulator's), 'disorder' a firewall
    log entry with no start, 'trickle' a frame of 32768 bytes one byte at a
    time."""

    def __init__(self, test, sim_port, mode):
        self.sim_port, self.mode = sim_port, mode
        self.server = loopback(True)
        self.port = self.server.getsockname()[1]
        self.done = threading.Event()
        test.addCleanup(self.close)
        threading.Thread(target=self.accept, daemon=True).start()

    def close(self):
        self.done.set()
        self.server.close()

    def accept(self):
        while not self.done.is_set():
            try:
                client = self.server.accept()[0]
            except OSError:
                return
            threading.Thread(target=self.relay, args=(client,), daemon=True).start()

    def relay(self, client):
        import socket
        with client, socket.create_connection(('127.0.0.1', self.sim_port)) as up:
            threading.Thread(target=self.pipe, args=(client, up), daemon=True).start()
            data, hostile = b'', False
            try:
                while not self.done.is_set():
                    chunk = up.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                    while len(data) >= FRAME.size:
                        kind, size = FRAME.unpack_from(data)
                        if len(data) < FRAME.size + size:
                            break
                        frame, data = data[:FRAME.size + size], data[FRAME.size + size:]
                        if not (hostile and kind in HOSTILE_TYPES):
                            client.sendall(frame)
                        if kind == kx.PROTOCOL_SERVER_PONG and not hostile:
                            hostile = True
                            self.misbehave(client)
            except OSError:
                return

    def pipe(self, src, dst):
        try:
            while True:
                chunk = src.recv(65536)
                if not chunk:
                    break
                dst.sendall(chunk)
        except OSError:
            pass

    def misbehave(self, client):
        if self.mode == 'texts':
            names = [b'bad\xff', b'\xed\xa0\x80', u'\u00fcn\u00ef'.encode('utf-8'), b'q"b\\c\n', b'other']
            stats = [b'bytes', names[2], b'\xff\xfe', b'up']
            info = u32(len(stats)) + b''.join(u32(i) + s(n) for i, n in enumerate(stats))
            info += u32(len(names)) + b''.join(u32(i) + u8(1) + u8(1) + s(n) for i, n in enumerate(names))
            sample = (b'\0' * 16 + (u64(5) * 8 + u32(5) * 4) * len(stats))
            data = u32(len(names)) + b''.join(u32(i) + sample[4:] for i in range(len(names)))
            rules = u32(0x80000000 | 2000) + b''.join(u32(i) + s(names[i % len(names)]) for i in range(2000))
            frames = [(kx.PROTOCOL_SERVER_CHANNEL_STATS_INFO, info), (kx.PROTOCOL_SERVER_CHANNEL_STATS_DATA, data),
                      (kx.PROTOCOL_SERVER_FW_RULES_INIT, rules)]
            frames += [(kx.PROTOCOL_SERVER_SHAPING_OBJECT, u32(i) + u32(0) + u32(1) + s(names[i % len(names)]))
                       for i in range(MANY)]
            client.sendall(b''.join(frame(k, p) for k, p in frames))
        elif self.mode == 'disorder':
            client.sendall(frame(kx.PROTOCOL_SERVER_FWLOG_ENTRY, u32(1)))
        else:
            client.sendall(FRAME.pack(kx.PROTOCOL_SERVER_CHANNEL_STATS_DATA, 32768))
            while not self.done.wait(0.1):
                client.sendall(b'\0')


@unittest.skipIf(SKIP, SKIP)
@main_build
class FakeAppliances(unittest.TestCase):
    """Hostile appliances beside a healthy one: every scrape answers and
    passes promtool, the series stay bounded, the healthy one stays up, the
    trickling one goes down by itself, each failure is said and no
    traceback is printed."""

    def test_hostile_appliances_beside_a_healthy_one(self):
        sim = Sim('--hosts', '30', '--interval', '100', test=self)
        fakes = dict((mode, FakeAppliance(self, sim.port, mode)) for mode in ('texts', 'disorder', 'trickle'))
        config = os.path.join(scratch(self, 'kxexporter-conf-'), 'conf.json')
        with open(config, 'w') as f:
            json.dump({'appliances': [{'name': 'healthy', 'address': '127.0.0.1:%d' % sim.port}] +
                       [{'name': m, 'address': '127.0.0.1:%d' % a.port} for m, a in fakes.items()]}, f)
        proc, address, err = start_exporter(self, '--config', config, '--keepalive', '0.3', '--timeout', '1',
                                            '--top-items', '20')
        deadline, seen, sizes = time.time() + 8, set(), []
        while time.time() < deadline and not (seen >= {'texts', 'healthy', 'bad texts'} and len(sizes) >= 8):
            status, body = fetch(address)
            self.assertEqual(status, 200, body)
            sizes.append(body.count(b'\n'))
            if len(sizes) % 4 == 1:
                p = subprocess.Popen(['promtool', 'check', 'metrics'], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=TOOL_ENV)
                self.assertEqual((p.communicate(body)[0], p.returncode), (b'', 0))
            seen.update(m.decode() for m in re.findall(br'^kx_up\{appliance="(\w+)"\} 1', body, re.M))
            if b'bad\\\\xff' in body:
                seen.add('bad texts')
            time.sleep(0.3)
        self.assertEqual(seen & {'healthy', 'texts', 'bad texts'}, {'healthy', 'texts', 'bad texts'}, body.decode())
        self.assertLess(max(sizes), 4000)   # 100,000 shaping objects alone were 2,000,000 series unbounded
        self.assertRegex(body.decode(), r'kx_up\{appliance="healthy"\} 1')
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(10), 130)
        err.seek(0)
        lines = err.read().decode().splitlines()
        self.assertFalse([line for line in lines if 'Traceback' in line], lines)
        for want in ('healthy: up', 'disorder: down (protocol)', 'trickle: down (timeout)', 'interrupted'):
            self.assertTrue([line for line in lines if line.startswith('kxexporter: ' + want)], (want, lines))


if __name__ == '__main__':
    unittest.main()
