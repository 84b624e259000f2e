"""kxexporter: the figures of one or many appliances as Prometheus metrics.

    kxexporter 10.0.0.1:7830 10.0.0.2:7830 --user demo --password demo
    kxexporter --config appliances.json --listen 0.0.0.0:9783 --top-hosts 50

Follows every appliance from one asyncio loop (kxtools.aio.follow: it
reconnects with backoff), keeps their tables current, and serves
/metrics on --listen. A scrape builds the metrics from the tables as they
are at that moment (a custom collector), so it never waits for an
appliance; an appliance that is away shows as kx_up 0 and nothing else.

Hosts: only the --top-hosts busiest hosts of each appliance (received plus
sent bytes per second) get series of their own; the rest are summed into
one series labelled host="other", so sum() over host is still the
appliance's total and an appliance with 100,000 hosts stays at a few
dozen series. docs/exporter.md lists every metric and the config file.
"""
import argparse
import asyncio
import configparser
import heapq
import json
import os
import sys
import time
from typing import Any, Dict, Iterator, List, Optional, Tuple

import KXdv17_0 as kx
from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, generate_latest
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily

from kxtools import aio, messages
from kxtools.errors import KXError, Timeout

DEFAULT_LISTEN = '127.0.0.1:9783'
DEFAULT_PORT = 7830
DEFAULT_TOP_HOSTS = 20
KEEPALIVE = 10.0            # seconds between pings that check a quiet appliance
SERVICE_TABLE = messages.SERVICE_TABLE    # the string table that names the services
OTHER = 'other'             # the host label of the hosts outside the top N


def split_address(text: str, default_port: int) -> Tuple[str, int]:
    """'host:port', 'host' or '[v6]:port' -> (host, port)."""
    text = text.strip()
    if text.startswith('['):
        host, _, rest = text[1:].partition(']')
        port = rest[1:] if rest.startswith(':') else ''
    elif text.count(':') == 1:
        host, port = text.split(':')
    else:
        host, port = text, ''
    if not host:
        raise ValueError('no host in %r' % text)
    try:
        number = int(port) if port else default_port
    except ValueError:
        raise ValueError('bad port in %r' % text) from None
    if not 0 <= number <= 65535:
        raise ValueError('bad port in %r' % text)
    return host, number


class Appliance(object):
    """One followed appliance: its current client while connected, and the
    exporter's own counts about it."""

    def __init__(self, name: str, host: str, port: int, user: str, password: str,
                 backoff: float = 1.0, max_backoff: float = 60.0, timeout: float = 10.0) -> None:
        self.name, self.host, self.port = name, host, port
        self.user, self.password = user, password
        self.backoff, self.max_backoff, self.timeout = backoff, max_backoff, timeout
        self.client: Optional[aio.AsyncClient] = None     # set while connected
        self.connects = 0
        self.messages = 0
        self.decode_seconds = 0.0
        self.last_error = ''

    async def _setup(self, c: aio.AsyncClient) -> None:
        dispatch_all = c._dispatch_all

        def timed(msgs: List[Any]) -> None:
            t = time.perf_counter()
            try:
                dispatch_all(msgs)
            finally:
                self.decode_seconds += time.perf_counter() - t
                self.messages += len(msgs)
        c._dispatch_all = timed  # type: ignore[assignment]
        await c.update()
        for show in (kx.channelsShow, kx.shapingobjectShow, kx.fwrulesShow):
            await c.request(show)
        await c.sync(self.timeout)

    async def _keepalive(self, c: aio.AsyncClient) -> None:
        """Pings a connected appliance now and then; one that does not answer
        is closed, so follow() reconnects instead of waiting for ever."""
        while not c.closed:
            await asyncio.sleep(KEEPALIVE)
            try:
                await c.sync(self.timeout)
            except Timeout as e:
                c.close(e)
            except KXError:
                return

    async def run(self) -> None:
        """Follows the appliance until cancelled. An unexpected error (not a
        KXError, which follow() handles) is reported and the following
        starts over after the longest backoff, so one appliance never stops
        the exporter."""
        while True:
            try:
                await self._follow()
            except asyncio.CancelledError:
                raise
            except Exception as e:  # a bug or an unforeseen failure; the other appliances go on
                self.last_error = '%s: %s' % (type(e).__name__, e)
                print('kxexporter: %s: %s' % (self.name, self.last_error), file=sys.stderr, flush=True)
            await asyncio.sleep(self.max_backoff)

    async def _follow(self) -> None:
        keepalive: Optional[asyncio.Task] = None
        try:
            async for event in aio.follow(self.host, self.port, self.user, self.password, setup=self._setup,
                                          timeout=self.timeout, backoff=self.backoff, max_backoff=self.max_backoff):
                if event.name == 'connected':
                    self.client = event.client
                    self.connects += 1
                    keepalive = asyncio.ensure_future(self._keepalive(event.client))
                elif event.name == 'disconnected':
                    self.client = None
                    self.last_error = str(event.error)
                    if keepalive is not None:
                        keepalive.cancel()
        finally:
            if self.client is not None:
                self.client.close()
            self.client = None
            if keepalive is not None:
                keepalive.cancel()


def _gauge(name: str, doc: str, labels: List[str]) -> GaugeMetricFamily:
    return GaugeMetricFamily(name, doc, labels=labels)


def _counter(name: str, doc: str, labels: List[str]) -> CounterMetricFamily:
    return CounterMetricFamily(name, doc, labels=labels)


class Collector(object):
    """Builds every metric family from the appliances' tables at scrape time."""

    def __init__(self, appliances: List[Appliance], top_hosts: int = DEFAULT_TOP_HOSTS) -> None:
        self.appliances = appliances
        self.top_hosts = top_hosts
        self.last_scrape_seconds = 0.0

    def collect(self) -> Iterator[Any]:
        A = ['appliance']
        up = _gauge('kx_up', 'Whether the appliance is connected and logged in (1) or not (0).', A)
        connects = _counter('kx_exporter_connects', 'Sessions the exporter opened to the appliance.', A)
        messages = _counter('kx_exporter_messages', 'Messages received from the appliance.', A)
        decode = _counter('kx_exporter_decode_seconds', 'Time spent decoding the appliance\'s messages.', A)
        scrape = _gauge('kx_exporter_scrape_duration_seconds', 'Time the previous scrape took to build its metrics.', [])
        scrape.add_metric([], self.last_scrape_seconds)
        f = _Families()
        for a in self.appliances:
            c = a.client
            up.add_metric([a.name], 1 if c is not None and not c.closed else 0)
            connects.add_metric([a.name], a.connects)
            messages.add_metric([a.name], a.messages)
            decode.add_metric([a.name], a.decode_seconds)
            if c is not None and not c.closed:
                f.add_appliance(a.name, c, self.top_hosts)
        yield up
        yield connects
        yield messages
        yield decode
        yield scrape
        for family in f.all():
            yield family


class _Families(object):
    """The appliance metric families of one scrape."""

    def __init__(self) -> None:
        H = ['appliance', 'host']
        self.hosts = _gauge('kx_hosts', 'Hosts the appliance tracks.', ['appliance'])
        self.host_bytes = _gauge('kx_host_bytes_per_second', 'Host traffic rate, by direction (received, sent); '
                                 'host="other" sums the hosts outside the top N.', H + ['direction'])
        self.host_conns = _gauge('kx_host_connections', 'Open connections of the host, by role (client, server).',
                                 H + ['role'])
        self.host_cps = _gauge('kx_host_new_connections_per_second', 'New connections per second, by role.',
                               H + ['role'])
        self.host_packets = _counter('kx_host_packets', 'Packets of the host since it appeared, by direction.',
                                     H + ['direction'])
        self.host_issues = _counter('kx_host_issue_packets', 'Packets with quality issues, by side (internal, '
                                    'external) and direction.', H + ['side', 'direction'])
        self.conns = _gauge('kx_connections', 'Open connections, by service.', ['appliance', 'service'])
        self.stat_rules = _gauge('kx_statistics_rule_connections', 'Open connections a statistics rule matches.',
                                 ['appliance', 'rule'])
        C = ['appliance', 'channel', 'side']
        self.ch_up = _gauge('kx_channel_up', 'Whether the channel is active.', ['appliance', 'channel'])
        self.ch_total: Dict[str, CounterMetricFamily] = {}
        self.ch_rate: Dict[str, GaugeMetricFamily] = {}
        self.C = C
        S = ['appliance', 'object', 'direction']
        self.so_conns = _gauge('kx_shaping_object_connections', 'Connections the shaping object holds.',
                               ['appliance', 'object'])
        self.so_bytes = _counter('kx_shaping_object_bytes', 'Bytes through the shaping object, by state '
                                 '(rx, congested).', S + ['state'])
        self.so_rate = _gauge('kx_shaping_object_bytes_per_second', 'Byte rate through the shaping object, by '
                              'state.', S + ['state'])
        self.so_packets = _counter('kx_shaping_object_packets', 'Packets through the shaping object, by state.',
                                   S + ['state'])
        self.so_drops = _counter('kx_shaping_object_dropped_packets', 'Packets the shaping object dropped.', S)
        self.so_marks = _counter('kx_shaping_object_marked_packets', 'Packets the shaping object marked.', S)
        self.so_queue = _gauge('kx_shaping_object_queue_packets', 'Queue length, by stat (avg, max).', S + ['stat'])
        R = ['appliance', 'rule']
        self.fw_hits = _counter('kx_firewall_rule_hits', 'Hits of the firewall rule.', R)
        self.fw_rate = _gauge('kx_firewall_rule_hits_per_second', 'Hit rate of the firewall rule.', R)

    def all(self) -> List[Any]:
        return ([self.hosts, self.host_bytes, self.host_conns, self.host_cps, self.host_packets, self.host_issues,
                 self.conns, self.stat_rules, self.ch_up] + list(self.ch_total.values()) +
                list(self.ch_rate.values()) +
                [self.so_conns, self.so_bytes, self.so_rate, self.so_packets, self.so_drops, self.so_marks,
                 self.so_queue, self.fw_hits, self.fw_rate])

    def add_appliance(self, name: str, c: aio.AsyncClient, top: int) -> None:
        self._hosts(name, list(c.hosts.values()), top)
        self._connections(name, c)
        self._channels(name, c)
        self._shaping(name, c)
        for rid, r in list(c.fw_rules.items()):
            rule = r.get('name') or str(rid)
            self.fw_hits.add_metric([name, rule], r.get('hits', 0))
            self.fw_rate.add_metric([name, rule], r.get('hits_rate', 0))

    def _hosts(self, name: str, hosts: List[Any], top: int) -> None:
        self.hosts.add_metric([name], len(hosts))

        def busy(h: Any) -> int:
            return sum(getattr(h, 'speed', (0, 0)))
        chosen = heapq.nlargest(top, hosts, key=busy) if top < len(hosts) else hosts
        for h in chosen:
            labels = [name, h.addr]
            speed = getattr(h, 'speed', (0, 0))
            self.host_bytes.add_metric(labels + ['received'], speed[0])
            self.host_bytes.add_metric(labels + ['sent'], speed[1])
            for role, v in zip(('client', 'server'), getattr(h, 'connections', (0, 0))):
                self.host_conns.add_metric(labels + [role], v)
            for role, v in zip(('client', 'server'), getattr(h, 'cps', (0, 0))):
                self.host_cps.add_metric(labels + [role], v)
            for d, v in zip(('in', 'out'), getattr(h, 'quality_packets', (0, 0))):
                self.host_packets.add_metric(labels + [d], v)
            for side in ('internal', 'external'):
                for d, v in zip(('in', 'out'), getattr(h, 'quality_%s_issues' % side, (0, 0))):
                    self.host_issues.add_metric(labels + [side, d], v)
        if len(chosen) < len(hosts):
            ids = set(id(h) for h in chosen)
            rest = [h for h in hosts if id(h) not in ids]
            labels = [name, OTHER]
            for i, d in enumerate(('received', 'sent')):
                self.host_bytes.add_metric(labels + [d], sum(getattr(h, 'speed', (0, 0))[i] for h in rest))
            for i, role in enumerate(('client', 'server')):
                self.host_conns.add_metric(labels + [role], sum(getattr(h, 'connections', (0, 0))[i] for h in rest))
                self.host_cps.add_metric(labels + [role], sum(getattr(h, 'cps', (0, 0))[i] for h in rest))

    def _connections(self, name: str, c: aio.AsyncClient) -> None:
        services = c.strtables.get(SERVICE_TABLE, {})
        by_service: Dict[str, int] = {}
        by_rule: Dict[int, int] = {}
        for conn in list(c.conns.values()):
            sid: Any = getattr(conn, '_service_id', None)
            svc = services.get(sid, str(sid) if sid is not None else 'unknown')
            by_service[svc] = by_service.get(svc, 0) + 1
            for rid in getattr(conn, '_stat_rule_ids', None) or ():
                by_rule[rid] = by_rule.get(rid, 0) + 1
        for svc, n in by_service.items():
            self.conns.add_metric([name, svc], n)
        for rid, n in by_rule.items():
            self.stat_rules.add_metric([name, str(rid)], n)

    def _channels(self, name: str, c: aio.AsyncClient) -> None:
        info = c.channel_info
        stats = [s[1] for s in (info[1] if info else [])]
        for cid, ch in list(c.channels.items()):
            channel = ch.get('name') or str(cid)
            self.ch_up.add_metric([name, channel], 1 if ch.get('active') else 0)
            for stat in stats:
                metric = ''.join(x if x.isalnum() else '_' for x in str(stat).lower())
                if metric not in self.ch_total:
                    self.ch_total[metric] = _counter('kx_channel_%s' % metric, 'Channel %s, by side.' % stat, self.C)
                    self.ch_rate[metric] = _gauge('kx_channel_%s_per_second' % metric, 'Channel %s rate, by side.'
                                                  % stat, self.C)
                families: List[Tuple[Any, str]] = [(self.ch_total[metric], stat),
                                                   (self.ch_rate[metric], stat + '(rate)')]
                for fam, key in families:
                    pair = ch.get(key)
                    if pair:
                        fam.add_metric([name, channel, 'internal'], pair[0])
                        fam.add_metric([name, channel, 'external'], pair[1])

    def _shaping(self, name: str, c: aio.AsyncClient) -> None:
        for oid, o in list(c.shaping_objects.items()):
            obj = o.get('name') or str(oid)
            self.so_conns.add_metric([name, obj], o.get('connections', 0))
            for d in ('in', 'out'):
                labels = [name, obj, d]
                for state, key in (('rx', 'RX'), ('congested', 'congested')):
                    self.so_bytes.add_metric(labels + [state], o.get('%s %s bytes' % (d, key), 0))
                    self.so_rate.add_metric(labels + [state], o.get('%s %s bps' % (d, key), 0) / 8)
                    self.so_packets.add_metric(labels + [state], o.get('%s %s packets' % (d, key), 0))
                self.so_drops.add_metric(labels, o.get('%s total drops' % d, 0))
                self.so_marks.add_metric(labels, o.get('%s total marks' % d, 0))
                self.so_queue.add_metric(labels + ['avg'], o.get('%s avg Q' % d, 0))
                self.so_queue.add_metric(labels + ['max'], o.get('%s max Q' % d, 0))


class Exporter(object):
    """The appliances' tasks and the /metrics server, on the running loop."""

    def __init__(self, appliances: List[Appliance], top_hosts: int = DEFAULT_TOP_HOSTS) -> None:
        self.appliances = appliances
        self.collector = Collector(appliances, top_hosts)
        self.registry = CollectorRegistry(auto_describe=False)
        self.registry.register(self.collector)  # type: ignore[arg-type]
        self.server: Any = None
        self.tasks: List[asyncio.Task] = []

    def scrape(self) -> bytes:
        t = time.perf_counter()
        body = generate_latest(self.registry)
        self.collector.last_scrape_seconds = time.perf_counter() - t
        return body

    async def start(self, host: str, port: int) -> Tuple[str, int]:
        """Starts following and serving; returns the address served."""
        self.tasks = [asyncio.ensure_future(a.run()) for a in self.appliances]
        self.server = await asyncio.start_server(self._serve, host, port)
        return self.server.sockets[0].getsockname()[:2]

    async def stop(self) -> None:
        for t in self.tasks:
            t.cancel()
        await asyncio.gather(*self.tasks, return_exceptions=True)
        if self.server is not None:
            self.server.close()
            await self.server.wait_closed()

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            head = await asyncio.wait_for(reader.readuntil(b'\r\n\r\n'), 10.0)
            words = head.split(b'\r\n', 1)[0].split()
            path = words[1].split(b'?', 1)[0] if len(words) == 3 else b''
            if len(words) != 3 or words[0] not in (b'GET', b'HEAD'):
                status, ctype, body = '400 Bad Request', 'text/plain', b'GET /metrics\n'
            elif path == b'/metrics':
                status, ctype, body = '200 OK', CONTENT_TYPE_LATEST, self.scrape()
            elif path == b'/':
                status, ctype, body = '200 OK', 'text/html', b'<a href="/metrics">/metrics</a>\n'
            else:
                status, ctype, body = '404 Not Found', 'text/plain', b'not found\n'
            header = ('HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n'
                      % (status, ctype, len(body))).encode('ascii')
            writer.write(header + (body if words[:1] != [b'HEAD'] else b''))
            await writer.drain()
        except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, asyncio.TimeoutError, ConnectionError):
            pass
        finally:
            writer.close()


def load_config(path: str) -> Dict[str, Any]:
    """A JSON or INI config file -> {'listen', 'top_hosts', 'user', 'password',
    'appliances': [{'name', 'address', 'user', 'password'}]} (keys it lacks
    are left out)."""
    with open(path) as f:
        text = f.read()
    if text.lstrip().startswith('{'):
        data = json.loads(text)
        if not isinstance(data, dict) or not isinstance(data.get('appliances', []), list):
            raise ValueError('%s: expected an object with a list "appliances"' % path)
        return data
    ini = configparser.ConfigParser(interpolation=None)
    ini.read_string(text, path)
    conf: Dict[str, Any] = dict(ini['exporter']) if ini.has_section('exporter') else {}
    conf['appliances'] = []
    for section in ini.sections():
        if section.startswith('appliance'):
            entry = dict(ini[section])
            label = section[len('appliance'):].strip()
            if label:
                entry.setdefault('name', label)
            conf['appliances'].append(entry)
    return conf


def build(args: argparse.Namespace) -> Tuple[List[Appliance], str, int, int]:
    """The appliances, the listen address and the top host count from the
    command line and the config file (the command line wins)."""
    conf = load_config(args.config) if args.config else {}
    user = args.user or conf.get('user') or 'demo'
    password = args.password or os.environ.get('KXEXPORTER_PASSWORD') or conf.get('password') or 'demo'
    entries = [{'address': a} for a in args.appliances] + list(conf.get('appliances', []))
    if not entries:
        raise ValueError('no appliance given (host:port arguments or --config)')
    appliances = []
    for e in entries:
        if not isinstance(e, dict) or 'address' not in e:
            raise ValueError('an appliance without an address: %r' % (e,))
        host, port = split_address(str(e['address']), DEFAULT_PORT)
        name = str(e.get('name') or '%s:%d' % (host, port))
        appliances.append(Appliance(name, host, port, str(e.get('user') or user),
                                    str(e.get('password') or password), args.backoff, args.max_backoff))
    names = [a.name for a in appliances]
    if len(set(names)) != len(names):
        raise ValueError('two appliances with the same name')
    listen = split_address(args.listen or conf.get('listen') or DEFAULT_LISTEN, 9783)
    top = args.top_hosts if args.top_hosts is not None else int(conf.get('top_hosts', DEFAULT_TOP_HOSTS))
    if top < 0:
        raise ValueError('--top-hosts must not be negative')
    return appliances, listen[0], listen[1], top


def parse_args(argv: Optional[List[str]] = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog='kxexporter', description='Serves the figures of appliances as Prometheus '
                                'metrics (docs/exporter.md).')
    p.add_argument('appliances', nargs='*', metavar='HOST:PORT', help='appliances to follow (port %d by default)'
                   % DEFAULT_PORT)
    p.add_argument('--config', help='a JSON or INI file naming the appliances (docs/exporter.md)')
    p.add_argument('--user', help='login name (default demo)')
    p.add_argument('--password', help='password (default $KXEXPORTER_PASSWORD, else demo)')
    p.add_argument('--listen', help='address to serve /metrics on (default %s; port 0: any free port)'
                   % DEFAULT_LISTEN)
    p.add_argument('--top-hosts', type=int, help='hosts per appliance with series of their own (default %d); '
                   'the rest are summed as host="other"' % DEFAULT_TOP_HOSTS)
    p.add_argument('--backoff', type=float, default=1.0, help='first pause before a reconnect, seconds')
    p.add_argument('--max-backoff', type=float, default=60.0, help='longest pause before a reconnect, seconds')
    return p.parse_args(argv)


async def serve(appliances: List[Appliance], host: str, port: int, top: int) -> None:
    exporter = Exporter(appliances, top)
    where = await exporter.start(host, port)
    print('serving http://%s:%d/metrics for %d appliances' % (where[0], where[1], len(appliances)), flush=True)
    try:
        await asyncio.gather(*exporter.tasks)
    finally:
        await exporter.stop()


def main(argv: Optional[List[str]] = None) -> int:
    args = parse_args(argv)
    try:
        appliances, host, port, top = build(args)
    except (OSError, ValueError, configparser.Error) as e:
        print('kxexporter: %s' % e, file=sys.stderr)
        return 2
    try:
        asyncio.run(serve(appliances, host, port, top))
    except KeyboardInterrupt:
        pass
    except OSError as e:
        print('kxexporter: %s' % e, file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
