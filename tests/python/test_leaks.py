"""Every function of KXdv17_0 and KXMsgv17_0 called many times, on valid input and on its failing paths, must not
leak references or memory. KX_LEAK_CALLS sets the calls per case (`make leakcheck`: 50,000)."""
import array
import fcntl
import gc
import os
import sys
import unittest

import KXdv17_0 as kx
from KXMsgv17_0 import KXMsg, KXRingbuf, newMsg

import kxcorpus
from kxtest import builtins, rebound
from test_e2e import CRITERIA_ALL

CALLS = int(os.environ.get('KX_LEAK_CALLS', '200'))
# Resident memory may move by allocator noise; a leak of 20 bytes a call over 25,000 calls passes this.
RSS_SLACK = 512 * 1024
# Under AddressSanitizer (preloaded by the sanitizer build) freed memory waits in quarantine: RSS measures nothing.
CHECK_RSS = 'libasan' not in os.environ.get('LD_PRELOAD', '')
PAGE = os.sysconf('SC_PAGE_SIZE')


def rss():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * PAGE


Boom = type('Boom', (Exception,), {})


def boom(*args, **kw):
    raise Boom()


# io objects, and sys.stdout while the cases run (a host added twice prints)
Sink = type('Sink', (object,), {'softspace': 0, 'writeMsg': lambda self, data: None, 'write': lambda self, data: None})
Raising = type('Raising', (object,), {'softspace': 0, 'writeMsg': boom, 'write': boom})


RaisingRecord = type('RaisingRecord', (object,), {'__init__': boom})


def with_stdout(writer, func, *args):
    with rebound('stdout', writer, sys):
        return func(*args)


class RaisingDict(dict):
    __getitem__ = __setitem__ = __contains__ = get = setdefault = boom


Factory = lambda result: type('Factory', (object,), {'newMsg': staticmethod(boom if result is Boom else lambda t: result)})()


OUTCOME = object()  # a Case's expect: the exception its first call raises, or none


class Case(object):
    """func(*args()): args() gives fixed objects, or fresh tables for handlers that fill them."""

    def __init__(self, name, func, args, expect=None, factory=None):
        self.name, self.func, self.expect, self.factory = name, func, expect, factory
        self.args = args if callable(args) else (lambda: args)
        if expect is OUTCOME:
            try:
                self.run(self.args())
                self.expect = None
            except Exception as e:
                self.expect = type(e)
        self.watched = reachable([func] + list(self.args()) + ([factory] if factory else []))

    def run(self, args):
        if self.factory is None:
            return self.func(*args)
        with rebound('KXMsgv17_0', self.factory):
            return self.func(*args)

    def call(self):
        args = self.args()
        for a in args:
            if isinstance(a, KXMsg):
                a.pos = 0
        try:
            self.run(args)
        except Exception as e:
            if self.expect is None or not isinstance(e, self.expect):
                raise
        else:
            if self.expect is not None:
                raise AssertionError('%s: %s not raised' % (self.name, self.expect.__name__))


def reachable(objects, depth=3, limit=300):
    seen, out, level = set(), [], list(objects)
    for _ in range(depth):
        below = []
        for o in level:
            if id(o) in seen or len(out) >= limit:
                continue
            seen.add(id(o))
            out.append(o)
            if isinstance(o, dict):
                below.extend(o.keys())
                below.extend(o.values())
            elif isinstance(o, (list, tuple)):
                below.extend(o)
        level = below
    return out


def handler_cases():
    corpus = kxcorpus.load()
    ctx = kxcorpus.Context(corpus)
    cases = []
    done = set()
    for type_, payload in corpus:
        entry = ctx.handler(type_)
        if entry is None:
            continue
        func, extra = entry
        name = '%s[%x]' % (func.__name__, type_)

        def calls_on(m, func=func, extra=extra):
            if kxcorpus.fresh(func, extra) is extra:
                return (m,) + extra
            return lambda: (m,) + kxcorpus.fresh(func, extra)
        cases.append(Case(name, func, calls_on(KXMsg(type_, payload)), OUTCOME))
        first = cases[-1].args()
        if func in done:
            continue
        done.add(func)
        # Failing paths once per handler: short messages, wrong types.
        for cut in sorted(set([0, len(payload) // 2, len(payload) - 1])):
            if cut < len(payload):
                cases.append(Case('%s short %d' % (name, cut), func, calls_on(KXMsg(type_, payload[:cut])), OUTCOME))
        cases.append(Case(name + ' m=None', func, (None,) + tuple(first[1:]), TypeError))
        cases.append(Case(name + ' m=bytes', func, (payload[:8],) + tuple(first[1:]), TypeError))
        if len(first) > 1:
            cases.append(Case(name + ' missing args', func, first[:1], TypeError))
            cases.append(Case(name + ' int args', func, (KXMsg(type_, payload),) + (42,) * (len(first) - 1), OUTCOME))
    # Caller objects that raise.
    by_type = {}
    for type_, payload in corpus:
        by_type.setdefault(type_, []).append(payload)
    host_add, host_update, fw, channels, drdl = [by_type[getattr(kx, 'PROTOCOL_SERVER_' + n)][0] for n in (
        'HOST_ADD', 'HOST_UPDATE', 'FW_RULES', 'CHANNEL_STATS_DATA', 'DRDL_SYSDIAG_ENTRIES')]
    conn, shaping, view = [by_type[getattr(kx, 'PROTOCOL_SERVER_' + n)][-1] for n in (
        'CONN_UPDATE', 'SHAPING_OBJECT', 'VIEW_UPDATE')]
    v = ctx.version
    raising = [
        ('host add, raising class', kx.handleHostAdd, lambda: (KXMsg(0, host_add), RaisingRecord, {}, v)),
        ('host add, raising table', kx.handleHostAdd, (KXMsg(0, host_add), kxcorpus.Record, RaisingDict(), v)),
        ('host add twice, raising stdout', with_stdout,
         lambda: (Raising(), kx.handleHostAdd, KXMsg(0, host_add), kxcorpus.Record, dict(ctx.hosts), v)),
        ('host update, raising table', kx.handleHostUpdate, (KXMsg(0, host_update), RaisingDict(), v)),
        ('host update, empty table', kx.handleHostUpdate, (KXMsg(0, host_update), {}, v)),
        ('conn update, raising class', kx.handleConnUpdate,
         lambda: (KXMsg(0, conn), {}, RaisingRecord, kxcorpus.populate, v)),
        ('conn update, raising populator', kx.handleConnUpdate,
         lambda: (KXMsg(0, conn), {}, kxcorpus.Record, boom, v)),
        ('conn update, raising table', kx.handleConnUpdate,
         (KXMsg(0, conn), RaisingDict(), kxcorpus.Record, kxcorpus.populate, v)),
        ('shaping, raising table', kx.shapingobjectUpdateHandle, (KXMsg(0, shaping), RaisingDict())),
        ('fw rules, raising table', kx.handleFWRulesData, (KXMsg(0, fw), RaisingDict())),
        ('view update, raising fields', kxcorpus.view_update, (KXMsg(0, view), RaisingDict())),
        ('view update, no fields', kxcorpus.view_update, (KXMsg(0, view), {})),
        ('channels, raising info', kx.handleChannelsData, (KXMsg(0, channels), (RaisingDict(), []))),
        ('channels, wrong info', kx.handleChannelsData, (KXMsg(0, channels), ({}, None))),
        ('drdl, not a list', kx.handleDrdlStatsDump, (KXMsg(0, drdl), ())),
        ('view field, unknown field', kx.handleViewUpdateField, (KXMsg(0, b'\x00\x07\x00\x00'), {7: {}})),
        ('view field, raising fields', kx.handleViewUpdateField, (KXMsg(0, b'\x00\x07\x00\x00'), RaisingDict())),
        ('engine flags', kx.resolve_engineflags, (0xc037,)),
        ('engine flags, wrong type', kx.resolve_engineflags, ('x',)),
    ]
    return cases + [Case(name, func, args, OUTCOME) for name, func, args in raising]


def without_builtin(io, name, func, *args):
    with rebound(name, None, builtins):
        func(io, *args)


def request_cases():
    F = kx
    filters = [(1, True, F.PROTOCOL_VIEW_FILTER_TYPE_SMALL_INTS, [6, 17]),
               (4, True, F.PROTOCOL_VIEW_FILTER_TYPE_HOSTS, ['10.0.0.0/8', '2001:db8::/32']),
               (2, True, F.PROTOCOL_VIEW_FILTER_TYPE_SERVICES, ['http', 'dns']),
               (6, True, F.PROTOCOL_VIEW_FILTER_TYPE_UINT32, [80, 443]),
               (7, False, F.PROTOCOL_VIEW_FILTER_TYPE_BOOLEAN, [True])]
    builders = [
        (kx.bgpDump, ()), (kx.channelsHide, ()), (kx.channelsShow, ()),
        (kx.createView, (3, filters, [(5, 'server'), (2, '')])), (kx.createViewByName, (1, 'hosts')),
        (kx.doAuth, ('demo', 'demo')), (kx.drdlStatsDump, ()),
        (kx.dumpConnections, ('/tmp/conns.txt', 'reaper', 5, -1)), (kx.force_statistics_write, ()),
        (kx.fwlog_clear, ()), (kx.fwlog_query, (F.PROTOCOL_FWRULE_QTYPE_OFFSETS, 0, -1, False, False)),
        (kx.fwrulesHide, ()), (kx.fwrulesShow, ()), (kx.hostFindv4, (0x0a000001,)), (kx.hostShow, (5,)),
        (kx.injectPacket, ('eth1', b'\x01' * 300)), (kx.ping, ()), (kx.requestUpdate, ()),
        (kx.scRowQuery, (7,)), (kx.setDebug, (20, '7')), (kx.shapingobjectHide, ()),
        (kx.shapingobjectShow, ()), (kx.vcrcTest, (2, CRITERIA_ALL)),
    ]
    cases = []
    # The host requests look their message types up among the built-in names.
    for name, value in (('KXD_PROTOCOL_CLIENT_HOSTVIEW_SHOW', 0x20200), ('KXD_PROTOCOL_CLIENT_HOST_FIND', 0x20201)):
        setattr(builtins, name, value)
    for func, args in builders:
        name = func.__name__
        cases.append(Case(name, func, (Sink(),) + args))
        cases.append(Case(name + ' raising io', func, (Raising(),) + args, Boom))
        cases.append(Case(name + ' io without writeMsg', func, (object(),) + args, AttributeError))
        # a full message: a request with a payload does not fit
        for result, exc in ((None, TypeError), (42, TypeError), (Boom, Boom), (KXMsg(1, b'f' * 32768), OUTCOME)):
            cases.append(Case('%s newMsg gives %r' % (name, result), func, (Sink(),) + args, exc,
                              factory=Factory(result)))
        if args:
            cases.append(Case(name + ' missing args', func, (Sink(),), TypeError))
            cases.append(Case(name + ' wrong types', func, (Sink(),) + (object(),) * len(args), OUTCOME))
    refused = [
        (kx.createView, (1, [(1, True, F.PROTOCOL_VIEW_FILTER_TYPE_HOSTS, ['nohost'])], []), ValueError),
        (kx.createView, (1, [(1, True, F.PROTOCOL_VIEW_FILTER_TYPE_STRINGS, ['x' * 40000])], []), ValueError),
        (kx.createView, (1, [(1, True)], []), OUTCOME),
        (kx.injectPacket, ('eth0', b'x' * 4097), ValueError),
        (kx.setDebug, (1, 'a' * 40000), ValueError),
        (kx.setDebug, (2 ** 31, 'on'), OverflowError),
        (kx.vcrcTest, (1, {'clientip': 'not an address'}), OUTCOME),
        (kx.vcrcTest, (1, {'properties': [('a',)]}), OUTCOME),
        (kx.vcrcTest, (1, RaisingDict()), OUTCOME),
        (kx.hostShow, ('5',), TypeError),
        (without_builtin, ('KXD_PROTOCOL_CLIENT_HOST_FIND', kx.hostFindv4, 1), NameError),
    ]
    for func, args, exc in refused:
        cases.append(Case('%s refused %r' % (func.__name__, args)[:80], func, (Sink(),) + args, exc))
    return cases


def msgmodule_cases():
    r, w = os.pipe()
    for fd in (r, w):
        fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)
    m = KXMsg(0x10001, b'\x00\x01\x02\x03')
    rb = KXRingbuf(1 << 18)
    into = KXMsg(5, b'old')
    loaded = KXRingbuf(1)
    loaded.write(b'x')

    def set_pos(msg, value):
        msg.pos = value

    def ring_cycle(rb, msg, into):
        return [rb.write(b'abc'), rb.peek(2), rb.read(1), rb.skip(5), rb.writeMsg(msg), rb.complete(), rb.readMsg(),
                rb.writeMsg(msg), rb.readMsgInto(into), rb.used(), rb.space(), rb.capacity()]

    def fd_cycle(rb, msg):
        return [rb.writeMsg(msg), rb.writeFd(w, 100), rb.readFd(r), rb.readMsg()]

    def append_attributes(msg):
        fresh = KXMsg(msg.type, msg.payload)
        return fresh.append(b'xy'), repr(fresh), fresh.len, fresh.type, fresh.payload

    # Integer arguments out of range or of another type: (value, what newMsg and KXRingbuf raise, what KXMsg.pos does)
    bad_ints = [(-1, OverflowError, ValueError), (2 ** 32, OverflowError, ValueError),
                (2 ** 64, OverflowError, OverflowError), (2 ** 64 + 5, OverflowError, OverflowError),
                (262144 - 2 ** 64, OverflowError, OverflowError),
                (1.5, TypeError, TypeError), (262144.0, TypeError, TypeError), ('262144', TypeError, TypeError)]
    return [Case('%s(%r)' % (f.__name__, v), f, args, exc) for v, sized, pos in bad_ints
            for f, args, exc in ((newMsg, (v,), sized), (KXRingbuf, (v,), sized), (set_pos, (m, v), pos))] + [
        Case('KXMsg', KXMsg, (0x10001, b'payload')),
        Case('KXMsg too long', KXMsg, (1, b'x' * 32769), ValueError),
        Case('KXMsg float type', KXMsg, (1.0, b''), TypeError),
        Case('KXMsg huge type', KXMsg, (2 ** 64, b''), OverflowError),
        Case('newMsg', newMsg, (73728,)),
        Case('KXMsg.pos', set_pos, (m, 2)),
        Case('KXMsg.pos outside', set_pos, (m, 5), ValueError),
        Case('KXMsg.append and attributes', append_attributes, (KXMsg(3, b'abcd'),)),
        Case('KXMsg.append too long', m.append, (b'x' * 32769,), ValueError),
        Case('KXMsg.append wrong type', m.append, (None,), TypeError),
        Case('KXRingbuf', KXRingbuf, (1 << 20,)),
        Case('KXRingbuf methods', ring_cycle, (rb, m, into)),
        Case('KXRingbuf read negative', rb.read, (-1,), ValueError),
        Case('KXRingbuf readMsgInto wrong type', rb.readMsgInto, (None,), TypeError),
        Case('KXRingbuf descriptors', fd_cycle, (rb, m)),
        Case('KXRingbuf bad descriptor', rb.readFd, (-1,), ValueError),
        Case('KXRingbuf closed descriptor', loaded.writeFd, (2 ** 20, 1), OSError),
    ]


class LeakTest(unittest.TestCase):

    def test_handlers_requests_and_message_objects(self):
        with rebound('stdout', Sink(), sys):
            self.assertEqual(check_cases(handler_cases() + request_cases() + msgmodule_cases()), [])


def check_cases(cases, calls=CALLS):
    """What grew over `calls` calls after a warm-up: a count moving in both halves (not once, as a cache fills)."""
    calls = max(calls, 20)
    failures = []
    total = 0
    gc.collect()

    def snapshot(case):
        gc.collect()
        # Machine words: a list of counts would itself hold references to small numbers among the watched objects.
        refs = array.array('l', [sys.getrefcount(o) for o in case.watched + [None, True, False]])
        return refs, len(gc.get_objects()), rss()

    def grew(a, b, c, tolerance):
        return (b - a > tolerance and c - b > tolerance) or (a - b > tolerance and b - c > tolerance)

    for case in cases:
        for _ in range(max(10, calls // 10)):  # caches and free lists settle first
            case.call()
        marks = [snapshot(case)]
        for half in (calls // 2, calls - calls // 2):
            for _ in range(half):
                case.call()
            marks.append(snapshot(case))
        total += calls
        (r0, o0, m0), (r1, o1, m1), (r2, o2, m2) = marks
        tolerance = 2 + calls // 100
        moved = [(i, c - a) for i, (a, b, c) in enumerate(zip(r0, r1, r2)) if grew(a, b, c, tolerance)]
        if moved:
            failures.append('%s: reference counts moved by %s over %d calls' % (case.name, moved, calls))
        if grew(o0, o1, o2, tolerance):
            failures.append('%s: %d more tracked objects after %d calls' % (case.name, o2 - o0, calls))
        # A leak grows in both halves; a cache filled once (Python 3.13's first thousand failing calls) in one only.
        if CHECK_RSS and m1 - m0 > RSS_SLACK and m2 - m1 > RSS_SLACK:
            failures.append('%s: resident memory grew by %d bytes over %d calls' % (
                case.name, m2 - m1, calls - calls // 2))
    sys.stderr.write('%d cases, %d calls\n' % (len(cases), total))
    return failures
