"""Host table messages (add, update, remove) and the single-host queries."""
import sys
try:
    from StringIO import StringIO
except ImportError:
    from io import StringIO

import KXdv17_0 as kx
from kxtest import PY3, TestCase, Version, builtins, long, msg, rebound, s, ip4, u8, u16, u32, u64

OLD, NEW = 16515, 16516   # either side of L4ERRORMINVERSION


def ids(values):
    return u32(len(values)) + b''.join(u32(v) for v in values)


def skipped(new):
    return s('probe') + (u32(0xdead) if new else b'') + b''.join(u32(i) for i in range(19))


# Group bit -> (wire bytes, [(attribute, value, bytes of the group read before it is set)]), wire order.
GROUPS = [
    (0x0002, u64(2 ** 64 - 1) + u64(2 ** 63), [('speed', (-1, -2 ** 63), 16)]),
    (0x0004, u32(1) + u32(2 ** 32 - 1), [('connections', (1, 2 ** 32 - 1), 8)]),
    (0x0010, u32(3) + u32(4), [('cps', (3, 4), 8)]),
    (0x0080, b''.join(u32(v) for v in range(10, 16)),
     [('quality_packets', (10, 11), 8), ('quality_internal_issues', (12, 14), 24),
      ('quality_external_issues', (13, 15), 24)]),
    (0x0100, None, []),
    (0x0040, ids([9, 8, 2 ** 32 - 1]), [('netobjects', [9, 8, 2 ** 32 - 1], 16)]),
]


def groups(mask, new=True, start=0):
    """Wire bytes of the groups `mask` selects, and (attribute, value, offset after which it is set)."""
    wire, events = b'', []
    for bit, data, attrs in GROUPS:
        if mask & bit:
            events += [(name, value, start + len(wire) + n) for name, value, n in attrs]
            wire += skipped(new) if data is None else data
    return wire, events


def attrs(events, upto=None):
    return [(name, value) for name, value, end in events if upto is None or end <= upto]


def add_record(hostid, netobjects=(), addr=u8(0) + ip4('10.1.2.3'), new=True):
    return u32(hostid) + ids(netobjects) + addr + s('host name') + groups(0x0196, new)[0]


def update_record(hostid, mask, new=True):
    return u32(hostid) + u16(mask) + groups(mask, new)[0]


Plain = type('Plain', (object,), {'__init__': lambda self, hostid: None})


Always = type('Always', (int,), {'__ge__': lambda self, other: True})
Never = type('Never', (int,), {'__ge__': lambda self, other: False})


def logged():
    """A host table holding hosts 1 and 2, and a host class, both logging what is done to them."""
    log = []

    class Table(dict):
        __contains__ = lambda self, k: log.append(('in', k)) or dict.__contains__(self, k)
        __setitem__ = lambda self, k, v: log.append(('store', k)) or dict.__setitem__(self, k, v)

    class Host(object):
        __init__ = lambda self, hostid: log.append(('new', hostid))
        __setattr__ = lambda self, name, v: log.append((name, v)) or object.__setattr__(self, name, v)
    table = Table({1: object.__new__(Host), 2: object.__new__(Host)})
    return log, table, Host


class HostAddTest(TestCase):

    def test_records_and_call_order(self):
        log, hosts, Host = logged()
        v6 = u8(1) + u32(0x20010db8) + u32(0) + u32(0) + u32(1)
        payload = add_record(7, [1, 2]) + add_record(2 ** 32 - 1, [], v6) + b'\0\0\0'
        self.assertIsNone(kx.handleHostAdd(msg(payload), Host, hosts, NEW))
        fixed = attrs(groups(0x0196)[1])
        self.assertEqual(log, [('in', 7), ('new', 7), ('netobjects', [1, 2]), ('addr', '10.1.2.3')]
                         + fixed + [('store', 7), ('in', 2 ** 32 - 1), ('new', 2 ** 32 - 1),
                                    ('netobjects', []), ('addr', '2001:db8:0:0:0:0:0:1')]
                         + fixed + [('store', 2 ** 32 - 1)])
        self.assertEqual([type(x) for x in hosts[7].netobjects + [7, 2 ** 32 - 1] + list(hosts[7].cps + hosts[7].speed)],
                         [int] * 4 + [long] * 4)

    def test_failures_keep_earlier_records(self):
        def rejecting_store(table, k, v):
            raise IOError('full')
        add, bad = 'KXdv17_0.handleHostAdd', "Couldn't read msg"
        cases = [
            # (record after a good one, typ, table, exception, text, traceback entries)
            (add_record(1, addr=u8(2) + ip4('1.2.3.4')), Plain, {}, kx.BadMessageError, 'Unknown host type 2', [add]),
            (u32(1) + ids([]) + u8(1) + ip4('1.2.3.4'), Plain, {}, kx.BadMessageError, bad,
             [add, 'KXdv17_0._get_v6addr']),
            (add_record(1)[:-1], Plain, {}, kx.BadMessageError, bad, [add, 'KXdv17_0._handleHostUpdateData']),
            (u32(1) + u32(0xffffffff) + u32(1), Plain, {}, kx.BadMessageError, bad, [add]),
            (add_record(1), lambda i: Plain(i) if i == 9 else 1 / 0, {}, ZeroDivisionError, None, [add, '<lambda>']),
            (add_record(1), lambda i: Plain(i) if i == 9 else object(), {}, AttributeError, None, [add]),
            (add_record(1), Plain, type('T', (dict,), {'__setitem__': rejecting_store})(), IOError, 'full',
             [add, 'rejecting_store']),
        ]
        for record, typ, table, exc, text, entries in cases:
            e, names = self.raisedIn(exc, kx.handleHostAdd, msg(add_record(9) + record), typ, table, NEW)
            self.assertEqual((names, text or str(e), list(dict(table).keys())),
                             (entries, str(e), [] if exc is IOError else [9]))

    def test_duplicate_warning(self):
        hosts = {3: 'old'}
        with rebound('stdout', StringIO(), sys):
            sys.stdout.write('before')
            sys.stdout.softspace = 1  # as `print 'before',` leaves it under Python 2.7
            kx.handleHostAdd(msg(add_record(3) * 2 + add_record(4)), Plain, hosts, NEW)
            out = sys.stdout.getvalue()
            with rebound('stdout', None, sys):
                e, _ = self.raisedIn(RuntimeError, kx.handleHostAdd, msg(add_record(4)), Plain, hosts, NEW)
        self.assertEqual(str(e), 'lost sys.stdout')
        # Python 3's print() keeps no softspace, so no space is written before the text.
        self.assertEqual(out, ('before' if PY3 else 'before ') + 'Strang! hostid already in hosts\n' * 2)
        self.assertEqual((sorted(hosts), hosts[3].netobjects), ([3, 4], []))


class HostUpdateTest(TestCase):

    def test_groups_alone_and_combined(self):
        for mask in [0, 0x0009, 0xfe29, 0x01d6, 0xffff, 0x0180] + [bit for bit, _, _ in GROUPS]:
            for pv, new in [(OLD, False), (NEW, True)]:
                log, hosts, _ = logged()
                payload = update_record(1, mask, new) + update_record(2, mask ^ 0x0040, new)
                m = msg(payload + b'\xff')
                self.assertIsNone(kx.handleHostUpdate(m, hosts, pv))
                self.assertEqual((m.pos, log), (len(payload), attrs(groups(mask)[1]) + attrs(groups(mask ^ 0x0040)[1])),
                                 hex(mask))

    def test_truncation_keeps_decoded_groups(self):
        first = update_record(1, 0x01d6)
        payload = first + update_record(2, 0x00d6)
        events = groups(0x01d6, start=6)[1] + groups(0x00d6, start=len(first) + 6)[1]
        for n in range(len(payload)):
            log, hosts, _ = logged()
            if n < 4 or len(first) <= n < len(first) + 4:
                kx.handleHostUpdate(msg(payload[:n]), hosts, NEW)
            else:
                self.assertBad(kx.handleHostUpdate, msg(payload[:n]), hosts, NEW)
            self.assertEqual(log, attrs(events, n), n)

    def test_version_threshold_uses_python_ordering(self):
        # (protocolversion, threshold, version word present or the exception); int subclasses use their own >=.
        for pv, threshold, new in [(OLD, NEW, False), (NEW, NEW, True), (2 ** 70, NEW, True),
                                   (float(NEW), NEW, True), (Always(0), NEW, True), (Never(NEW), NEW, False),
                                   (NEW, 2 ** 70, False),
                                   (None, NEW, TypeError if PY3 else False), ('1', NEW, TypeError if PY3 else True),
                                   (Version(1), NEW, True), (Version(-1), NEW, False),
                                   (OLD, OLD - 1, True), (Version(0), NEW, ZeroDivisionError), (1, None, NameError)]:
            with rebound('L4ERRORMINVERSION', threshold):
                hosts = {1: Plain(1)}
                m = msg(update_record(1, 0x0140, new is True))
                if isinstance(new, bool):
                    kx.handleHostUpdate(m, hosts, pv)
                    self.assertEqual((m.pos, hosts[1].netobjects), (len(m.payload), GROUPS[-1][2][0][1]))
                else:
                    names = self.raisedIn(new, kx.handleHostUpdate, m, hosts, pv)[1]
                    self.assertEqual(names[:2], ['KXdv17_0.handleHostUpdate', 'KXdv17_0._handleHostUpdateData'])

    def test_failures(self):
        self.assertRaises(KeyError, kx.handleHostUpdate, msg(update_record(3, 0)), {}, NEW)
        host = type('Slots', (object,), {'__slots__': ('speed',)})()
        names = self.raisedIn(AttributeError, kx.handleHostUpdate, msg(update_record(1, 0x0006)), {1: host}, NEW)[1]
        self.assertEqual((names, host.speed), (['KXdv17_0.handleHostUpdate', 'KXdv17_0._handleHostUpdateData'],
                                               (-1, -2 ** 63)))

    def test_ids_pass_through_builtin_int(self):
        hosts = {}
        with rebound('int', lambda v: ('id', v), builtins):
            kx.handleHostAdd(msg(add_record(4, [8])), Plain, hosts, NEW)
        self.assertEqual((list(hosts.keys()), hosts[('id', 4)].netobjects), ([('id', 4)], [('id', 8)]))

    def test_single_id_replies(self):
        for payload, value in [(b'', None), (b'\0\0\0', None), (u32(7), 7), (u32(2 ** 32 - 1) + u8(1), 2 ** 32 - 1)]:
            self.assertEqual(kx.handleHostFindReply(m=msg(payload)), value)
            if value is None:
                self.assertBad(kx.handleHostRemove, msg(payload))
            else:
                self.assertEqual([type(f(msg(payload))) for f in (kx.handleHostRemove, kx.handleHostFindReply)], [long] * 2)

    def test_requests(self):
        names = ['KXD_PROTOCOL_CLIENT_HOSTVIEW_SHOW', 'KXD_PROTOCOL_CLIENT_HOST_FIND']
        for types, cases in [
                ((0x30001, 2 ** 32 - 1), [(kx.hostShow, (258,), (0x30001, b'\0\0\x01\x02')),
                                          (kx.hostShow, (-1,), (0x30001, b'\xff' * 4)),
                                          (kx.hostFindv4, (0x0a000001,), (2 ** 32 - 1, b'\0\x0a\0\0\x01')),
                                          (kx.hostFindv4, (2 ** 32 + 1,), (2 ** 32 - 1, b'\0\0\0\0\x01')),
                                          (kx.hostShow, (1.5,), TypeError), (kx.hostFindv4, ('10.0.0.1',), TypeError)]),
                ((None, long(2)), [(kx.hostShow, (1,), NameError), (kx.hostFindv4, (1,), (2, b'\0\0\0\0\x01'))]),
                ((1, None), [(kx.hostFindv4, (1,), NameError)]),
                ((2 ** 32, -1), [(kx.hostShow, (1,), OverflowError), (kx.hostFindv4, (1,), OverflowError)]),
                (('1', 1), [(kx.hostShow, (1,), TypeError)])]:
            with rebound(names[0], types[0], builtins):
                with rebound(names[1], types[1], builtins):
                    self.assertRequests(cases)
