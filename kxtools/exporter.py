"""kxexporter: the figures of one or many appliances as Prometheus metrics.

    kxexporter 10.0.0.1:7830 10.0.0.2:7830 --user demo --password demo
    kxexporter --config appliances.json --listen 0.0.0.0:9783 --top-hosts 50

Follows every appliance from one asyncio loop (kxtools.aio.follow: it
reconnects with backoff), keeps their tables current, and serves /metrics
(the appliances named on the command line or in the config, and the
exporter's own figures) and /probe?target=HOST:PORT (one appliance alone,
followed from its first probe until it is not probed for --idle seconds:
the multi-target pattern, where Prometheus chooses the appliances). A
scrape builds the metrics from the tables as they are at that moment (a
custom collector), so it never waits for an appliance; an appliance that is
away shows as kx_up 0 and nothing else.

Appliances are untrusted: every label value is valid UTF-8 (bytes that are
not are written as \\xNN), metric names are ASCII, every family keeps at
most --top-hosts hosts or --top-items items per appliance plus one "other"
series, label sets are unique, and a scrape that fails for one appliance
still serves the others. docs/exporter.md lists every metric and the config
file.
"""
import asyncio
import configparser
import gc
import heapq
import json
import operator
import os
import re
import sys
import time
from operator import methodcaller
from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple
from urllib.parse import parse_qs

from kxtools import _cli
_guard = _cli.ImportGuard('kxexporter')

try:
    import KXdv17_0 as kx
    from kxtools import aio, messages
    from kxtools.errors import ConnectError, ConnectionClosed, KXError, LoginRefused, ProtocolError, Timeout
finally:
    _guard.release()

DEFAULT_LISTEN = '127.0.0.1:9783'
DEFAULT_PORT = 7830
DEFAULT_TOP_HOSTS = 20
DEFAULT_TOP_ITEMS = 50
DEFAULT_IDLE = 600.0
DEFAULT_MAX_TARGETS = 5000
KEEPALIVE = aio.KEEPALIVE   # seconds of silence before an appliance is pinged
SERVICE_TABLE = messages.SERVICE_TABLE    # the string table that names the services
OTHER = 'other'             # the label of the items outside the top N
MAX_LABEL = 200             # characters of an appliance's text kept in a label value
MAX_STATISTICS = 32         # channel statistics per appliance that get families
WRITE_TIMEOUT = 10.0        # seconds a scrape client has to take the reply
READ_TIMEOUT = 10.0         # ... and to send its request
MAX_CLIENTS = 1024          # scrape connections served at once; more are answered 503
FIRST_PROBE_WAIT = 2.0      # seconds the first probe of a target waits for its session (at most half the scrape timeout)
INSTALL_HINT = ("prometheus_client is not installed (Debian: apt-get install python3-prometheus-client; "
                "pip: pip install 'KXdv17_0[exporter]')")
LOG_LEVELS = {'debug': 10, 'info': 20, 'warning': 30, 'error': 40}
# The cycle collector's thresholds for the exporter process. It holds every
# followed appliance's tables (a thousand appliances: a few million objects)
# and makes and drops many objects per message; at the default thresholds
# (700, 10, 10) a collection ran every few hundred messages and the full ones
# walked every table, so probes waited behind them (median 240 ms, p99 1.1 s
# with 1,000 appliances; 5 ms and 12 ms with these, at 0.55 of a core
# instead of 0.85). Cyclic garbage is still collected, only in larger steps.
GC_THRESHOLDS = (50000, 20, 100)
LOG_RATE, LOG_BURST = 20.0, 100     # lines per second on stderr, and the burst allowed

# Why a session ended: the reason label of kx_exporter_failures_total, by the
# error's class (the first that matches).
REASONS = [(LoginRefused, 'login'), (Timeout, 'timeout'), (ConnectError, 'connect'),
           (ConnectionClosed, 'closed'), (ProtocolError, 'protocol'), (KXError, 'error')]


def split_address(text: str, default_port: int) -> Tuple[str, int]:
    """'host:port', 'host' or '[v6]:port' -> (host, port), as every tool takes an address."""
    return _cli.split_address(text, default_port)


def address_name(host: str, port: int) -> str:
    return '[%s]:%d' % (host, port) if ':' in host else '%s:%d' % (host, port)


def _escape(ch: str) -> str:
    code = ord(ch)
    if 0xdc80 <= code <= 0xdcff:        # a byte that was not UTF-8 (surrogateescape)
        return '\\x%02x' % (code - 0xdc00)
    return '\\u%04x' % code if 0xd800 <= code <= 0xdfff else ch


def label(value: Any) -> str:
    """An appliance's text as a label value: valid UTF-8 always (bytes that
    were not UTF-8 as \\xNN, other lone surrogates as \\uNNNN), at most
    MAX_LABEL characters."""
    if isinstance(value, bytes):
        value = value.decode('utf-8', 'surrogateescape')
    elif not isinstance(value, str):
        value = str(value)
    try:
        value.encode('utf-8')
    except UnicodeEncodeError:
        value = ''.join(_escape(ch) for ch in value)
    return value if len(value) <= MAX_LABEL else value[:MAX_LABEL] + '...'


# Words a metric name must not hold (Prometheus's naming rules, as promtool
# checks them): abbreviated and non-base units, type names, reserved suffixes.
NAME_WORDS_REFUSED = set('s ms us ns sec b kb mb gb tb pb m h d minutes hours days weeks bits total count sum '
                         'bucket counter gauge histogram summary info created'.split())
UNIT_PREFIXES = ('pico', 'nano', 'micro', 'milli', 'centi', 'deci', 'deca', 'hecto', 'kilo', 'kibi', 'mega', 'mebi',
                 'giga', 'gibi', 'tera', 'tebi', 'peta', 'pebi')


def metric_part(text: str) -> Optional[str]:
    """An appliance's name for a statistic as a piece of a metric name:
    lower-case ASCII words joined by _; None when no word is left or a word
    would break Prometheus's naming rules."""
    words = [w for w in re.split('[^a-z0-9]+', text.lower()) if w]
    if not words or any(w in NAME_WORDS_REFUSED or w.startswith(UNIT_PREFIXES) for w in words):
        return None
    return '_'.join(words)


class Log(object):
    """One line per event on stderr, at or above a level, at most LOG_RATE a
    second (bursts of LOG_BURST); lines over the rate are counted and the
    count is said on the next line written."""

    def __init__(self, level: str = 'info', out: Any = None) -> None:
        self.level = LOG_LEVELS[level]
        self.out = out
        self.tokens = float(LOG_BURST)
        self.last = time.monotonic()
        self.suppressed = 0

    def __call__(self, level: str, text: str) -> None:
        if LOG_LEVELS[level] < self.level:
            return
        now = time.monotonic()
        self.tokens = min(LOG_BURST, self.tokens + (now - self.last) * LOG_RATE)
        self.last = now
        if self.tokens < 1:
            self.suppressed += 1
            return
        self.tokens -= 1
        if self.suppressed:
            text += ' (%d earlier lines left out: over %d lines a second)' % (self.suppressed, LOG_RATE)
            self.suppressed = 0
        out = self.out or sys.stderr
        out.write('kxexporter: %s\n' % text)
        out.flush()


def _quiet(level: str, text: str) -> None:
    pass


# The figures the connection handler sets on a connection that the metrics
# do not read: written to a property that drops them (operator.is_ as its
# setter: a C function of two arguments without effects), read as None (the
# handler reads a figure it may update in place: a list it may extend).
_DROP: Any = operator.is_
_DROPPED = property(lambda self: None, _DROP, None, 'a figure the exporter does not keep')
_DROPPED_LIST = property(lambda self: [], _DROP, None, 'a list the exporter does not keep')


class _Connection(object):
    """A connection as the exporter keeps it: its service and statistics
    rules, in slots (a client Connection keeps a dozen figures, its
    addresses and view ids, ten times the memory)."""
    __slots__ = ('_service_id', '_stat_rule_ids')
    _starttime = _base_service_id = _engineflags = _xfbflags = _shaping_prio = _server_hostname = _DROPPED
    _speed = _xfer = _DROPPED
    _deepscan = _shaping_rule_ids = _DROPPED_LIST

    def __init__(self, *endpoints: Any) -> None:
        pass

    def _set_views(self, views: Any) -> None:
        pass


def _no_rows(conn: Any, rows: Any) -> None:
    pass


def keep_only_what_metrics_read(c: aio.AsyncClient) -> None:
    """Sets c's handlers to keep only what the metrics read: connections as
    _Connection, no session contexts, of the string tables only the
    services'. Most of a followed appliance's memory is what the client
    would keep otherwise."""
    def on_conn_update(m: Any) -> None:
        kx.handleConnUpdate(m, c.conns, _Connection, _no_rows, c.protocol_version)

    def on_strtable_end(m: Any) -> None:
        end(m)
        for table in [t for t in c.strtables if t != SERVICE_TABLE]:
            del c.strtables[table]
    end = c.handlers[kx.PROTOCOL_SERVER_STRTABLE_END]
    c.handlers.update({kx.PROTOCOL_SERVER_CONN_UPDATE: on_conn_update, kx.PROTOCOL_SERVER_STRTABLE_END: on_strtable_end,
                       kx.PROTOCOL_SERVER_SESSION_CONTEXT_ADD: c.on_ignored,
                       kx.PROTOCOL_SERVER_SESSION_CONTEXT_SCHEMATA: c.on_ignored})


class Appliance(object):
    """One followed appliance: its current client while connected, and the
    exporter's own counts about it."""

    def __init__(self, name: str, host: str, port: int, user: str, password: str,
                 backoff: float = 1.0, max_backoff: float = 60.0, timeout: float = 10.0,
                 log: Callable[[str, str], None] = _quiet, keepalive: float = KEEPALIVE) -> None:
        self.name, self.host, self.port = name, host, port
        self.user, self.password = user, password
        self.backoff, self.max_backoff, self.timeout = backoff, max_backoff, timeout
        self.keepalive = keepalive
        self.log = log
        self.client: Optional[aio.AsyncClient] = None     # set while connected
        self.connects = 0
        self.messages = 0
        self.decode_seconds = 0.0
        self.last_error = ''
        self.state = ''                         # '', 'up' or the reason it is down
        self.failures: Dict[str, int] = {}      # reason -> sessions or scrapes that failed so
        self.series_dropped = 0
        self.last_probe = time.monotonic()
        self.task: Optional[asyncio.Task] = None

    def up(self) -> bool:
        return self.client is not None and not self.client.closed

    def failed(self, reason: str, text: str) -> None:
        """Counts a failure; says it when the appliance was up or was down for another reason."""
        self.failures[reason] = self.failures.get(reason, 0) + 1
        self.last_error = text
        if reason == 'scrape':
            self.log('error', '%s: scrape failed, its series left out: %s' % (self.name, text))
            return
        if self.state != reason:
            self.state = reason
            if reason == 'login':
                self.log('error', '%s: login refused for user %r' % (self.name, self.user))
            else:
                self.log('warning', '%s: down (%s): %s' % (self.name, reason, text))

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
        keep_only_what_metrics_read(c)
        await c.update()
        for show in (kx.channelsShow, kx.shapingobjectShow, kx.fwrulesShow):
            await c.request(show)
        await c.sync(self.timeout)

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
                self.client = None
                self.failed('error', '%s: %s' % (type(e).__name__, e))
            await asyncio.sleep(self.max_backoff)

    async def _follow(self) -> None:
        try:
            async for event in aio.follow(self.host, self.port, self.user, self.password, setup=self._setup,
                                          timeout=self.timeout, backoff=self.backoff, max_backoff=self.max_backoff,
                                          keepalive=self.keepalive, keepalive_timeout=self.timeout):
                if event.name == 'connected':
                    self.client = event.client
                    self.connects += 1
                    if self.state != 'up':
                        self.log('info', '%s: up' % self.name)
                        self.state = 'up'
                elif event.name in ('disconnected', 'attempt_failed'):
                    self.client = None
                    error = event.error
                    self.failed(next((r for kind, r in REASONS if isinstance(error, kind)), 'error'),
                                str(error))
        finally:
            if self.client is not None:
                self.client.close()
            self.client = None


# ---- the families -------------------------------------------------------------

class _Slot(object):
    """One series of an item: its family, the labels after the item's, the
    value's getter, and whether the items outside the top N are summed
    into the 'other' item (gauges) or left out (counters: a sum over a
    changing set of items is not a counter)."""
    __slots__ = ('family', 'extra', 'get', 'scale', 'summed')

    def __init__(self, family: Any, extra: List[str], get: Callable[[Any], Any], scale: float = 1) -> None:
        self.family, self.extra, self.get, self.scale = family, extra, get, scale
        self.summed = family.type == 'gauge'


NUMBERS = (int, float)


def _number(value: Any) -> float:
    """A figure from an appliance as a sample value (what is not a number counts 0)."""
    return value if value.__class__ in NUMBERS else 1 if value is True else 0


def _pick(value: Any, i: int) -> Any:
    try:
        return value[i]
    except (TypeError, IndexError, KeyError):
        return 0


class _Scrape(object):
    """The families of one scrape and the appliance samples added to them.
    An appliance's samples are collected apart and added only when all of
    them were built, so one that fails leaves nothing behind."""

    def __init__(self, top_hosts: int, top_items: int) -> None:
        from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily
        self.Counter, self.Gauge = CounterMetricFamily, GaugeMetricFamily
        self.top_hosts, self.top_items = top_hosts, top_items
        self.families: Dict[str, Any] = {}     # name -> family, in the order made
        self.samples: List[Tuple[Any, List[str], float]] = []
        self.dropped = 0
        self._slots: Dict[str, List[_Slot]] = {}

    def fork(self) -> '_Scrape':
        """A scrape on the same families with samples of its own."""
        part = _Scrape.__new__(_Scrape)
        part.__dict__.update(self.__dict__, samples=[], dropped=0)
        return part

    def family(self, kind: str, name: str, doc: str, labels: List[str]) -> Any:
        """The family of that name, made on first use; None when the name is
        taken by a family of another kind or other labels."""
        f = self.families.get(name)
        if f is None:
            f = self.families[name] = (self.Gauge if kind == 'gauge' else self.Counter)(name, doc, labels=labels)
            f._kx_labels = labels
        elif f.type != kind or f._kx_labels != labels:
            return None
        return f

    def add(self, family: Any, labels: List[str], value: Any) -> None:
        self.samples.append((family, labels, _number(value)))

    def slots(self, key: str, specs: Sequence[Tuple[Any, ...]]) -> List[_Slot]:
        """The slots of one item kind, made once a scrape from
        (kind, name, doc, labels, [(extra labels, getter)])."""
        if key not in self._slots:
            out = []
            for kind, name, doc, labels, series in specs:
                f = self.family(kind, name, doc, labels)
                out += [_Slot(f, extra, *get) if isinstance(get, tuple) else _Slot(f, extra, get)
                        for extra, get in series]
            self._slots[key] = out
        return self._slots[key]

    def items(self, appliance: str, items: List[Tuple[Any, Any, float, Any]], slots: List[_Slot], top: int) -> None:
        """items: (name, id, key, entry). The top N by key get series of
        their own, labelled by name (disambiguated as 'name#id' where names
        repeat); the gauges of the rest are summed into one 'other' item."""
        chosen = heapq.nlargest(top, items, key=lambda i: i[2]) if top < len(items) else items
        names: Dict[str, int] = {}
        texts = [label(i[0]) for i in chosen]
        for text in texts:
            names[text] = names.get(text, 0) + 1
        seen = set()
        for text, (_, ident, _, entry) in zip(texts, chosen):
            if names[text] > 1 or text == OTHER:
                text = '%s#%s' % (text, label(ident))
            if text in seen:    # a crafted name that equals another's disambiguated one
                self.dropped += len(slots)
                continue
            seen.add(text)
            for s in slots:
                self.add(s.family, [appliance, text] + s.extra, _number(s.get(entry)) / s.scale)
        rest = len(items) - len(chosen)
        if rest:
            self.dropped += rest * len(slots)
            picked = set(id(i) for i in chosen)
            others = [i[3] for i in items if id(i) not in picked]
            for s in slots:
                if s.summed:
                    total = 0
                    for v in map(s.get, others):
                        if v.__class__ in NUMBERS:
                            total += v
                    self.add(s.family, [appliance, OTHER] + s.extra, total / s.scale)


def _gauge(name: str, doc: str, labels: List[str], series: List[Tuple[List[str], Callable]]) -> Tuple:
    return ('gauge', name, doc, ['appliance'] + labels, series)


def _counter(name: str, doc: str, labels: List[str], series: List[Tuple[List[str], Callable]]) -> Tuple:
    return ('counter', name, doc, ['appliance'] + labels, series)


def _pairs(attr: str, names: Tuple[str, str], extra: Sequence[str] = ()) -> List[Tuple[List[str], Callable]]:
    """Series of a host's (first, second) attribute."""
    return [(list(extra) + [n], lambda h, i=i: _pick(getattr(h, attr, None), i)) for i, n in enumerate(names)]


HOST_SPECS = [
    _gauge('kx_host_bytes_per_second', 'Host traffic rate, by direction (received, sent); host="other" sums the '
           'hosts outside the top N.', ['host', 'direction'], _pairs('speed', ('received', 'sent'))),
    _gauge('kx_host_connections', 'Open connections of the host, by role (client, server).', ['host', 'role'],
           _pairs('connections', ('client', 'server'))),
    _gauge('kx_host_new_connections_per_second', 'New connections per second, by role.', ['host', 'role'],
           _pairs('cps', ('client', 'server'))),
    _counter('kx_host_packets', 'Packets of the host since it appeared, by direction.', ['host', 'direction'],
             _pairs('quality_packets', ('in', 'out'))),
    _counter('kx_host_issue_packets', 'Packets with quality issues, by side (internal, external) and direction.',
             ['host', 'side', 'direction'], _pairs('quality_internal_issues', ('in', 'out'), ['internal']) +
             _pairs('quality_external_issues', ('in', 'out'), ['external'])),
]
SERVICE_SPECS = [_gauge('kx_connections', 'Open connections, by service.', ['service'], [([], lambda n: n)])]
STAT_RULE_SPECS = [_gauge('kx_statistics_rule_connections', 'Open connections a statistics rule matches.',
                          ['rule'], [([], lambda n: n)])]
FW_SPECS = [
    _counter('kx_firewall_rule_hits', 'Hits of the firewall rule.', ['rule'], [([], methodcaller('get', 'hits', 0))]),
    _gauge('kx_firewall_rule_hits_per_second', 'Hit rate of the firewall rule.', ['rule'],
           [([], methodcaller('get', 'hits_rate', 0))]),
]


def _object_series(fmt: str, states: bool, extra: Sequence[str] = (), scale: float = 1) -> List[Tuple[List[str], Any]]:
    """Series of a shaping object's figure per direction (and per state, rx and congested)."""
    out = []
    for d in ('in', 'out'):
        for state, key in ((('rx', 'RX'), ('congested', 'congested')) if states else (('', ''),)):
            extras = [d] + ([state] if states else []) + list(extra)
            out.append((extras, (methodcaller('get', fmt % {'d': d, 'key': key}, 0), scale)))
    return out


SHAPING_SPECS = [
    _gauge('kx_shaping_object_connections', 'Connections the shaping object holds.', ['object'],
           [([], methodcaller('get', 'connections', 0))]),
    _counter('kx_shaping_object_bytes', 'Bytes through the shaping object, by state (rx, congested).',
             ['object', 'direction', 'state'], _object_series('%(d)s %(key)s bytes', True)),
    _gauge('kx_shaping_object_bytes_per_second', 'Byte rate through the shaping object, by state.',
           ['object', 'direction', 'state'], _object_series('%(d)s %(key)s bps', True, scale=8)),
    _counter('kx_shaping_object_packets', 'Packets through the shaping object, by state.',
             ['object', 'direction', 'state'], _object_series('%(d)s %(key)s packets', True)),
    _counter('kx_shaping_object_dropped_packets', 'Packets the shaping object dropped.', ['object', 'direction'],
             _object_series('%(d)s total drops', False)),
    _counter('kx_shaping_object_marked_packets', 'Packets the shaping object marked.', ['object', 'direction'],
             _object_series('%(d)s total marks', False)),
    _gauge('kx_shaping_object_queue_packets', 'Queue length, by stat (avg, max).', ['object', 'direction', 'stat'],
           _object_series('%(d)s avg Q', False, ['avg']) + _object_series('%(d)s max Q', False, ['max'])),
]


def _side(key: str, i: int) -> Callable[[Any], Any]:
    """The getter of one side of a channel statistic's (internal, external) pair."""
    return lambda ch: _pick(ch.get(key), i)


def _busy(h: Any) -> float:
    return sum(_number(v) for v in (getattr(h, 'speed', None) or ())[:2])


def _object_key(o: Any) -> float:
    a, b = o.get('in RX bps', 0), o.get('out RX bps', 0)
    return (a if a.__class__ in NUMBERS else 0) + (b if b.__class__ in NUMBERS else 0)


class Collector(object):
    """Builds every metric family from the appliances' tables at scrape time:
    the appliances' own series, and with exporter=True the exporter's
    figures about itself."""

    def __init__(self, appliances: List[Appliance], top_hosts: int = DEFAULT_TOP_HOSTS,
                 top_items: int = DEFAULT_TOP_ITEMS, exporter: Any = None) -> None:
        self.appliances = appliances
        self.top_hosts, self.top_items = top_hosts, top_items
        self.exporter = exporter
        self.last_scrape_seconds = 0.0

    def collect(self) -> Iterator[Any]:
        s = _Scrape(self.top_hosts, self.top_items)
        A = ['appliance']
        up = s.family('gauge', 'kx_up', 'Whether the appliance is connected and logged in (1) or not (0).', A)
        hosts = s.family('gauge', 'kx_hosts', 'Hosts the appliance tracks.', A)
        ch_up = s.family('gauge', 'kx_channel_up', 'Whether the channel is active.', A + ['channel'])
        for a in self.appliances:
            appliance = label(a.name)
            s.add(up, [appliance], a.up())
            c = a.client
            if c is None or c.closed:
                continue
            part = s.fork()
            try:
                part.add(hosts, [appliance], len(c.hosts))
                self._appliance(part, appliance, c, ch_up)
            except Exception as e:  # a table this code did not foresee: the other appliances are still served
                a.failed('scrape', '%s: %s' % (type(e).__name__, e))
                continue
            s.samples += part.samples
            a.series_dropped += part.dropped
        own: List[Tuple[str, str, str, Callable[[Appliance], List[Tuple[List[str], float]]]]] = [
            ('counter', 'kx_exporter_connects', 'Sessions the exporter opened to the appliance.',
             lambda a: [([], a.connects)]),
            ('counter', 'kx_exporter_messages', 'Messages received from the appliance.', lambda a: [([], a.messages)]),
            ('counter', 'kx_exporter_decode_seconds', 'Time spent decoding the appliance\'s messages.',
             lambda a: [([], a.decode_seconds)]),
            ('counter', 'kx_exporter_series_dropped', 'Series left out of scrapes by the top N bounds (summed into '
             '"other" or, for counters, not exported).', lambda a: [([], a.series_dropped)]),
        ]
        for kind, name, doc, values in own:
            f = s.family(kind, name, doc, A)
            for a in self.appliances:
                for extra, v in values(a):
                    s.add(f, [label(a.name)] + extra, v)
        failures = s.family('counter', 'kx_exporter_failures', 'Sessions and scrapes of the appliance that failed, '
                            'by reason (connect, timeout, login, closed, protocol, scrape, error).', A + ['reason'])
        for a in self.appliances:
            for reason, n in sorted(a.failures.items()):
                s.add(failures, [label(a.name), reason], n)
        if self.exporter is not None:
            f = s.family('gauge', 'kx_exporter_appliances', 'Appliances the exporter follows now.', [])
            s.add(f, [], len(self.exporter.followed()))
            f = s.family('gauge', 'kx_exporter_scrape_duration_seconds',
                         'Time the previous /metrics scrape took to build its metrics.', [])
            s.add(f, [], self.last_scrape_seconds)
        for family, labels, value in s.samples:
            family.add_metric(labels, value)
        return iter(s.families.values())

    def _appliance(self, s: _Scrape, name: str, c: aio.AsyncClient, ch_up: Any) -> None:
        hosts = [(getattr(h, 'addr', hid), hid, _busy(h), h) for hid, h in list(c.hosts.items())]
        s.items(name, hosts, s.slots('hosts', HOST_SPECS), s.top_hosts)
        services = c.strtables.get(SERVICE_TABLE) or {}
        by_service: Dict[str, int] = {}
        by_rule: Dict[Any, int] = {}
        for conn in list(c.conns.values()):
            sid: Any = getattr(conn, '_service_id', None)
            svc = services.get(sid, str(sid) if sid is not None else 'unknown')
            by_service[svc] = by_service.get(svc, 0) + 1
            for rid in getattr(conn, '_stat_rule_ids', None) or ():
                by_rule[rid] = by_rule.get(rid, 0) + 1
        s.items(name, [(svc, svc, n, n) for svc, n in by_service.items()], s.slots('services', SERVICE_SPECS),
                s.top_items)
        s.items(name, [(rid, rid, n, n) for rid, n in by_rule.items()], s.slots('stat rules', STAT_RULE_SPECS),
                s.top_items)
        rules = [(r.get('name') or rid, rid, _number(r.get('hits_rate', 0)), r)
                 for rid, r in list(c.fw_rules.items())]
        s.items(name, rules, s.slots('fw', FW_SPECS), s.top_items)
        objects = [(o.get('name') or oid, oid, _object_key(o), o) for oid, o in list(c.shaping_objects.items())]
        s.items(name, objects, s.slots('shaping', SHAPING_SPECS), s.top_items)
        self._channels(s, name, c, ch_up)

    def _channels(self, s: _Scrape, name: str, c: aio.AsyncClient, ch_up: Any) -> None:
        """Channels: kx_channel_up and a counter and a rate family per
        statistic the appliance describes (its first MAX_STATISTICS with a
        name that makes a metric name of its own); the top N channels by
        the first statistic's rate."""
        info = c.channel_info
        slots = [_Slot(ch_up, [], lambda ch: 1 if ch.get('active') else 0)]
        first = None
        taken = set()
        for stat in [st[1] for st in (info[1] if info else [])][:MAX_STATISTICS]:
            part = metric_part(str(stat))
            if part is None or part in taken:
                s.dropped += 1
                continue
            doc = label(stat)
            total = s.family('counter', 'kx_channel_%s' % part, 'Channel %s, by side.' % doc, ['appliance', 'channel', 'side'])
            rate = s.family('gauge', 'kx_channel_%s_per_second' % part, 'Channel %s rate, by side.' % doc,
                            ['appliance', 'channel', 'side'])
            if total is None or rate is None or total is rate:
                continue
            taken.add(part)
            for fam, key in ((total, stat), (rate, stat + '(rate)')):
                slots += [_Slot(fam, [side], _side(key, i)) for i, side in enumerate(('internal', 'external'))]
            if first is None:
                first = stat + '(rate)'

        def rank(ch: Any) -> float:
            return sum(_number(_pick(ch.get(first), i)) for i in (0, 1)) if first else 0
        channels = [(ch.get('name') or cid, cid, rank(ch), ch) for cid, ch in list(c.channels.items())]
        s.items(name, channels, slots, s.top_items)


# ---- serving ----------------------------------------------------------------------

class Exporter(object):
    """The appliances' tasks and the HTTP server, on the running loop.

    appliances: those named on the command line or in the config, followed
    for as long as the exporter runs and served on /metrics. targets:
    address -> (user, password) for /probe targets with credentials of
    their own; others log in as default_login."""

    def __init__(self, appliances: List[Appliance], top_hosts: int = DEFAULT_TOP_HOSTS,
                 top_items: int = DEFAULT_TOP_ITEMS, targets: Optional[Dict[str, Tuple[str, str]]] = None,
                 default_login: Tuple[str, str] = ('demo', 'demo'), idle: float = DEFAULT_IDLE,
                 max_targets: int = DEFAULT_MAX_TARGETS, log: Callable[[str, str], None] = _quiet,
                 session: Optional[Dict[str, float]] = None) -> None:
        from prometheus_client import CONTENT_TYPE_LATEST, generate_latest
        self.content_type, self.generate = CONTENT_TYPE_LATEST, generate_latest
        self.appliances = appliances
        self.top_hosts, self.top_items = top_hosts, top_items
        self.collector = Collector(appliances, top_hosts, top_items, exporter=self)
        self.targets = dict(targets or {})
        self.default_login = default_login
        self.idle, self.max_targets = idle, max_targets
        self.log = log
        self.session = session or {}    # Appliance keywords of probed targets: backoff, timeout, ...
        self.by_address = dict((address_name(a.host, a.port), a) for a in appliances)
        self.probed: Dict[str, Appliance] = {}
        self.server: Any = None
        self.tasks: List[asyncio.Task] = []
        self.clients = 0

    def followed(self) -> List[Appliance]:
        return self.appliances + list(self.probed.values())

    def scrape(self) -> bytes:
        """The /metrics body."""
        t = time.perf_counter()
        body = self.generate(self.collector)  # type: ignore[arg-type]
        self.collector.last_scrape_seconds = time.perf_counter() - t
        return body

    async def probe(self, target: str, wait: float) -> bytes:
        """The /probe body of one target, following it from now when it is
        new (waiting up to wait seconds for its first session)."""
        host, port = split_address(target, DEFAULT_PORT)
        key = address_name(host, port)
        a = self.by_address.get(key) or self.probed.get(key)
        if a is None:
            if len(self.probed) >= self.max_targets:
                raise OverflowError('already following %d probed targets (--max-targets)' % len(self.probed))
            user, password = self.targets.get(key, self.default_login)
            a = Appliance(key, host, port, user, password, log=self.log, **self.session)
            a.task = asyncio.ensure_future(a.run())
            self.probed[key] = a
            self.log('info', '%s: probed, following it' % key)
            deadline = time.monotonic() + wait
            while not a.up() and not a.failures and time.monotonic() < deadline:
                await asyncio.sleep(0.02)
        a.last_probe = time.monotonic()
        return self.generate(Collector([a], self.top_hosts, self.top_items))  # type: ignore[arg-type]

    async def _drop_idle(self) -> None:
        while True:
            await asyncio.sleep(max(0.05, min(self.idle / 4, 10.0)))
            now = time.monotonic()
            for key, a in list(self.probed.items()):
                if now - a.last_probe > self.idle:
                    del self.probed[key]
                    if a.task is not None:
                        a.task.cancel()
                    self.log('info', '%s: not probed for %gs, no longer followed' % (key, self.idle))

    async def start(self, host: str, port: int) -> Tuple[str, int]:
        """Starts following and serving; returns the address served."""
        self.tasks = [asyncio.ensure_future(a.run()) for a in self.appliances]
        self.tasks.append(asyncio.ensure_future(self._drop_idle()))
        self.server = await asyncio.start_server(self._serve, host, port, backlog=MAX_CLIENTS)
        return self.server.sockets[0].getsockname()[:2]

    async def stop(self) -> None:
        tasks = self.tasks + [a.task for a in self.probed.values() if a.task is not None]
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        if self.server is not None:
            self.server.close()
            await self.server.wait_closed()

    async def _answer(self, head: bytes) -> Tuple[str, str, bytes]:
        words = head.split(b'\r\n', 1)[0].split()
        if len(words) != 3 or words[0] not in (b'GET', b'HEAD'):
            return '400 Bad Request', 'text/plain', b'GET /metrics or /probe?target=HOST:PORT\n'
        path, _, query = words[1].decode('latin-1').partition('?')
        if path == '/metrics':
            return '200 OK', self.content_type, self.scrape()
        if path == '/probe':
            targets = parse_qs(query).get('target', [])
            if len(targets) != 1:
                return '400 Bad Request', 'text/plain', b'/probe needs one target=HOST:PORT\n'
            wait = FIRST_PROBE_WAIT
            for line in head.split(b'\r\n'):
                name, _, value = line.partition(b':')
                if name.strip().lower() == b'x-prometheus-scrape-timeout-seconds':
                    try:
                        wait = min(wait, float(value) * 0.5)
                    except ValueError:
                        pass
            try:
                return '200 OK', self.content_type, await self.probe(targets[0], wait)
            except ValueError as e:
                return '400 Bad Request', 'text/plain', ('%s\n' % e).encode('utf-8', 'backslashreplace')
            except OverflowError as e:
                self.log('warning', 'probe of %s refused: %s' % (label(targets[0]), e))
                return '503 Service Unavailable', 'text/plain', ('%s\n' % e).encode('ascii')
        if path == '/':
            return '200 OK', 'text/html', b'<a href="/metrics">/metrics</a>, /probe?target=HOST:PORT\n'
        return '404 Not Found', 'text/plain', b'not found\n'

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        """One HTTP request. A client that does not send its request or take
        the reply within the timeouts is cut off (its unsent reply dropped),
        and at most MAX_CLIENTS are served at once, so slow or stuck
        readers cannot hold much memory."""
        self.clients += 1
        done = False
        try:
            if self.clients > MAX_CLIENTS:
                head = b''
                status, ctype, body = '503 Service Unavailable', 'text/plain', b'too many scrapes at once\n'
            else:
                head = await asyncio.wait_for(reader.readuntil(b'\r\n\r\n'), READ_TIMEOUT)
                try:
                    status, ctype, body = await self._answer(head)
                except Exception as e:  # a fault of the exporter itself: said, and the client told
                    self.log('error', 'request failed: %s: %s' % (type(e).__name__, e))
                    status, ctype, body = '500 Internal Server Error', 'text/plain', b'the exporter failed\n'
            header = ('HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n'
                      % (status, ctype, len(body))).encode('ascii')
            writer.write(header + (body if not head.startswith(b'HEAD ') else b''))
            await asyncio.wait_for(writer.drain(), WRITE_TIMEOUT)
            writer.close()
            await asyncio.wait_for(writer.wait_closed(), WRITE_TIMEOUT)
            done = True
        except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, asyncio.TimeoutError, ConnectionError):
            pass
        finally:
            self.clients -= 1
            if not done:
                writer.transport.abort()


# ---- configuration and the command line -------------------------------------------

def load_config(path: str) -> Dict[str, Any]:
    """A JSON or INI config file -> {'listen', 'top_hosts', 'top_items',
    'idle', 'user', 'password', 'appliances': [{'name', 'address', 'user',
    'password'}], 'targets': [{'address', 'user', 'password'}]} (keys it
    lacks are left out)."""
    with open(path) as f:
        text = f.read()
    if text.lstrip().startswith('{'):
        data = json.loads(text)
        if not isinstance(data, dict) or not all(isinstance(data.get(k, []), list) for k in ('appliances', 'targets')):
            raise ValueError('%s: expected an object with lists "appliances" and "targets"' % path)
        return data
    ini = configparser.ConfigParser(interpolation=None)
    ini.read_string(text, path)
    conf: Dict[str, Any] = dict(ini['exporter']) if ini.has_section('exporter') else {}
    conf['appliances'], conf['targets'] = [], []
    for section in ini.sections():
        for kind, key in (('appliance', 'name'), ('target', 'address')):
            if section.startswith(kind):
                entry = dict(ini[section])
                rest = section[len(kind):].strip()
                if rest:
                    entry.setdefault(key, rest)
                conf[kind + 's'].append(entry)
    return conf


class Settings(NamedTuple):
    """What build() makes of the command line and the config."""
    appliances: List['Appliance']
    host: str
    port: int
    top_hosts: int
    top_items: int
    idle: float
    max_targets: int
    targets: Dict[str, Tuple[str, str]]
    login: Tuple[str, str]
    session: Dict[str, float]


def build(args: Any, log: Callable[[str, str], None] = _quiet) -> Settings:
    """The appliances, the probe credentials and the exporter's settings from
    the command line and the config file (the command line wins)."""
    conf = load_config(args.config) if args.config else {}
    user = args.user or conf.get('user') or 'demo'
    password = args.password or os.environ.get('KXEXPORTER_PASSWORD') or conf.get('password') or 'demo'
    entries = [{'address': a} for a in args.appliances] + list(conf.get('appliances', []))
    session = dict(backoff=args.backoff, max_backoff=args.max_backoff, timeout=args.timeout, keepalive=args.keepalive)
    appliances = []
    for e in entries:
        if not isinstance(e, dict) or 'address' not in e:
            raise ValueError('an appliance without an address: %r' % (e,))
        host, port = split_address(str(e['address']), DEFAULT_PORT)
        name = str(e.get('name') or address_name(host, port))
        appliances.append(Appliance(name, host, port, str(e.get('user') or user),
                                    str(e.get('password') or password), log=log, **session))
    names = [a.name for a in appliances]
    if len(set(names)) != len(names):
        raise ValueError('two appliances with the same name')
    targets = {}
    for e in conf.get('targets', []):
        if not isinstance(e, dict) or 'address' not in e:
            raise ValueError('a target without an address: %r' % (e,))
        key = address_name(*split_address(str(e['address']), DEFAULT_PORT))
        targets[key] = (str(e.get('user') or user), str(e.get('password') or password))
    listen = split_address(args.listen or conf.get('listen') or DEFAULT_LISTEN, 9783)

    def number(name: str, default: float, kind: Callable[[Any], Any] = int) -> Any:
        value = getattr(args, name)
        value = kind(value if value is not None else conf.get(name, default))
        if value < 0:
            raise ValueError('--%s must not be negative' % name.replace('_', '-'))
        return value
    return Settings(appliances=appliances, host=listen[0], port=listen[1], top_hosts=number('top_hosts', DEFAULT_TOP_HOSTS),
                    top_items=number('top_items', DEFAULT_TOP_ITEMS), idle=number('idle', DEFAULT_IDLE, float),
                    max_targets=number('max_targets', DEFAULT_MAX_TARGETS), targets=targets,
                    login=(user, password), session=session)


def parse_args(argv: Optional[List[str]] = None) -> Any:
    p = _cli.parser('kxexporter', 'Serves the figures of appliances as Prometheus metrics: /metrics for the '
                    'appliances named here, /probe?target=HOST:PORT for any (docs/exporter.md).')
    p.add_argument('appliances', nargs='*', metavar='HOST:PORT', help='appliances to follow (port %d by default)'
                   % DEFAULT_PORT)
    p.add_argument('--config', help='a JSON or INI file naming appliances and probe credentials (docs/exporter.md)')
    p.add_argument('--user', help='login name (default demo)')
    p.add_argument('--password', help='password (default $KXEXPORTER_PASSWORD, else demo)')
    p.add_argument('--listen', help='address to serve on (default %s; port 0: any free port)' % DEFAULT_LISTEN)
    p.add_argument('--top-hosts', type=int, help='hosts per appliance with series of their own (default %d); '
                   'the rest are summed as host="other"' % DEFAULT_TOP_HOSTS)
    p.add_argument('--top-items', type=int, help='services, rules, channels and shaping objects per appliance with '
                   'series of their own, each (default %d); the rest are summed as "other"' % DEFAULT_TOP_ITEMS)
    p.add_argument('--idle', type=float, help='seconds after its last probe before a probed appliance is no longer '
                   'followed (default %g)' % DEFAULT_IDLE)
    p.add_argument('--max-targets', type=int, help='probed appliances followed at most (default %d)'
                   % DEFAULT_MAX_TARGETS)
    p.add_argument('--backoff', type=float, default=1.0, help='first pause before a reconnect, seconds')
    p.add_argument('--max-backoff', type=float, default=60.0, help='longest pause before a reconnect, seconds')
    p.add_argument('--timeout', type=float, default=10.0, help='seconds an appliance has to answer a connect, a '
                   'login or a ping')
    p.add_argument('--keepalive', type=float, default=KEEPALIVE, help='seconds of silence before an appliance is pinged; '
                   'one that does not answer within --timeout is closed and reconnected')
    p.add_argument('--log-level', choices=sorted(LOG_LEVELS, key=lambda n: LOG_LEVELS[n]), default='info',
                   help='the least severe lines written to stderr: debug, info (appliances up, probes), warning '
                   '(appliances down), error (refused logins, failed scrapes)')
    return p.parse_args(argv)


async def serve(settings: Settings, log: Callable[[str, str], None] = _quiet) -> None:
    exporter = Exporter(settings.appliances, settings.top_hosts, settings.top_items, settings.targets,
                        settings.login, settings.idle, settings.max_targets, log, settings.session)
    where = await exporter.start(settings.host, settings.port)
    print('serving http://%s/metrics for %d appliances, and /probe' % (address_name(*where), len(settings.appliances)),
          flush=True)
    try:
        await asyncio.gather(*exporter.tasks)
    finally:
        await exporter.stop()


def _more_files() -> None:
    """Raises the open file limit to its hard limit: each appliance takes a
    socket, and a soft limit of 1024 would stop a fleet of a thousand."""
    try:
        import resource
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft != hard:
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    except (ImportError, ValueError, OSError):
        pass


def _main(argv: Optional[List[str]]) -> int:
    args = parse_args(argv)
    try:
        import prometheus_client  # noqa: F401  (only whether it is there)
    except ImportError:
        raise _cli.Fatal(INSTALL_HINT)
    log = Log(args.log_level)
    _more_files()
    gc.set_threshold(*GC_THRESHOLDS)
    try:
        settings = build(args, log)
    except (OSError, ValueError, configparser.Error) as e:
        sys.stderr.write('kxexporter: %s\n' % e)
        return 2
    try:
        asyncio.run(serve(settings, log))
    except OSError as e:
        raise _cli.Fatal(str(e))
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    return _cli.run('kxexporter', lambda: _main(argv))


if __name__ == '__main__':
    sys.exit(main())
