"""kxexporter's configuration, and its figures as a real Prometheus scrapes them from two kxd-sim processes."""
from __future__ import absolute_import, division, print_function

import json
import os
import shutil
import subprocess
import sys
import tempfile
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

from kxtest import loopback, scratch  # noqa: E402
from test_e2e import TOOL_ENV, TOP as ROOT, Sim  # noqa: E402

TOP = 4


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


if __name__ == '__main__':
    unittest.main()
