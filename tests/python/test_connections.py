"""Connection updates, engine flags, connection dumps and session contexts."""
import sys
import traceback

import KXdv17_0 as kx
from kxtest import TestCase, RecordingIO, msg, s, u8, u16, u32, u64, ip4

V6 = '\x20\x01\x0d\xb8' + '\0' * 11 + '\x01'


def record(connid, flags, body=''):
    return u32(connid) + u32(0xdeadbeef) + u32(flags) + body


def creation(family=0, marker=0, addrs=('10.0.0.1', '10.0.0.2')):
    head = u8(1) + u8(2) + u32(3) + u32(4) + u16(5) + u16(6) + u32(7) + u32(8)
    head += u8(marker) + (u8(9) if marker else '') + u32(1000) + u8(family)
    a = [V6 if family == 1 else ip4(x) for x in addrs]
    return head + a[0] + u16(1234) + a[1] + u16(80) + u8(6)


def second_endpoint(family):
    a = V6 if family == 1 else ip4('192.168.1.1')
    return u8(family) + a + u16(1) + a + u16(2) + u8(3)


def recorder():
    """A table, constructor, connection class and callback that log every call."""
    log = []

    class Table(dict):
        def __getitem__(self, k):
            log.append(('get', k, type(k)))
            return dict.__getitem__(self, k)

        def __setitem__(self, k, v):
            log.append(('store', k, type(k)))
            dict.__setitem__(self, k, v)

        def __delitem__(self, k):
            log.append(('del', k))
            dict.__delitem__(self, k)

    class Conn(object):
        def __init__(self, *args):
            object.__setattr__(self, 'args', args)

        def __setattr__(self, name, value):
            log.append(('set', name, value))
            object.__setattr__(self, name, value)

        def _set_views(self, views):
            log.append(('views', views))

    def typ(*args):
        log.append(('new',) + args + (type(args[0]),))
        return Conn(*args)

    def populator(conn, rows):
        log.append(('rows', conn.args[0], rows))

    table = Table()
    dict.__setitem__(table, 7, Conn(7))
    return log, table, typ, populator


NEW = [('new', 7, 6, '10.0.0.1', 1234, '10.0.0.2', 80, long), ('store', 7, long),
       ('set', '_starttime', 1000)]
# (flag, block bytes, log entries); table order, which is the wire order.
BLOCKS = [
    (0x2, u16(80) + u16(443), [('set', '_service_id', 80), ('set', '_base_service_id', 443)]),
    (0x4, u16(2) + u16(1) + u16(3) + 'abc' + u16(9) + u16(0), []),
    (0x8, u32(0xC037), [('set', '_engineflags', 0xC037)]),
    (0x2000000, u32(5), [('set', '_xfbflags', 5)]),
    (0x100000, u32(3) + u16(1) + u16(2) + u16(65535), [('set', '_deepscan', [1, 2, 65535])]),
    (0x10, u8(4) + u16(2) + u32(10) + u32(2 ** 32 - 1),
     [('set', '_shaping_prio', 4), ('set', '_shaping_rule_ids', [10, 2 ** 32 - 1])]),
    (0x80, u16(1) + u32(77), [('set', '_stat_rule_ids', [77])]),
    (0x100, s('host-a'), [('set', '_server_hostname', 'host-a')]),
    (0x200, s('a') + s('') + u32(0) + s('dd'), []),
    (0x20, u32(1) + u32(2) + u64(3) + u64(2 ** 64 - 1) + u32(0) + u32(0),
     [('set', '_speed', (1, 2)), ('set', '_xfer', (3, 2 ** 64 - 1))]),
    (0x1000, u32(0) * 6, []),
    (0x2000, '\1' * 28, []),
    (0x10000, u32(0) * 2, []),
    (0x8000000, u32(0) * 4, []),
    (0x20000, u8(0) * 2, []),
    (0x80000, u16(2) + u16(3) + u16(4), [('views', [3, 4])]),
    (0x200000, u32(0) + u64(0) * 4, []),
    (0x4000000, u16(2) + 'ab' + u16(0), []),
    (0x10000000, u8(2) + u8(1) + u64(5) + u8(0) + u64(2 ** 64 - 1), [('rows', 7, [5, 2 ** 64 - 1])]),
    (0x400, '', [('del', 7)]),
]
ALL_FLAGS = sum(f for f, _, _ in BLOCKS)
ALL_BODY = ''.join(b for _, b, _ in BLOCKS)
ALL_LOG = sum((l for _, _, l in BLOCKS), [])
NO_EFFECT = 0x4000 | 0x8000 | 0x400000 | 0x800000 | 0x1000000 | 0x20000000 | 0x40000000 | 0x80000000


class ConnUpdateTest(TestCase):

    def run_update(self, payload, version=24576):
        log, table, typ, populator = recorder()
        m = msg(payload)
        self.assertIsNone(kx.handleConnUpdate(m, table, typ, populator, version))
        return log, table, m

    def test_blocks(self):
        cases = [(f, b, [('get', 7, long)] + l) for f, b, l in BLOCKS] + [
            (0, '', [('get', 7, long)]),
            (NO_EFFECT | 0x40000, '', [('get', 7, long)]),
            (0x40, BLOCKS[9][1], [('get', 7, long)] + BLOCKS[9][2]),
            (ALL_FLAGS | NO_EFFECT, ALL_BODY, [('get', 7, long)] + ALL_LOG),
            (0x1, creation(), NEW),
            (0x800, creation(marker=1), NEW),
            (0x1 | 0x40000, creation() + second_endpoint(0), NEW),
            (0x1 | 0x40000, creation() + second_endpoint(1), NEW),
            (0x1 | ALL_FLAGS | NO_EFFECT, creation() + ALL_BODY, NEW + ALL_LOG),
        ]
        v6 = creation(family=1)
        cases.append((0x1, v6, [('new', 7, 6, '2001:db8:0:0:0:0:0:1', 1234, '2001:db8:0:0:0:0:0:1',
                                 80, long)] + NEW[1:]))
        for flags, body, expected in cases:
            payload = record(7, flags, body)
            log, table, m = self.run_update(payload + 'xyz')
            self.assertEqual(log, expected, hex(flags))
            self.assertEqual(m.pos, len(payload), hex(flags))
            self.assertEqual(7 in table, not flags & 0x400, hex(flags))
        self.assertEqual(len(second_endpoint(0)), 14)
        self.assertEqual(len(second_endpoint(1)), 38)

    def test_records_back_to_back(self):
        payload = (record(9, 0x1 | 0x8, creation() + u32(1)) + record(9, 0x2, u16(5) + u16(6)) +
                   record(7, 0x400) + record(9, 0x1 | 0x400, creation(marker=3)))
        for n in range(4):
            log, table, m = self.run_update(payload + 'ab\0'[:n])
            self.assertEqual(table.keys(), [])
            self.assertEqual([e[0] for e in log],
                             ['new', 'store', 'set', 'set', 'get', 'set', 'set', 'get', 'del',
                              'new', 'store', 'set', 'del'])
            self.assertEqual(m.pos, len(payload))
        log, table, m = self.run_update('')
        self.assertEqual(log, [])

    def test_truncations(self):
        recs = [record(7, 0x1 | 0x40000 | ALL_FLAGS, creation(marker=1) + second_endpoint(0) + ALL_BODY),
                record(8, 0x1 | 0x40000, creation(1) + second_endpoint(1)),
                record(8, ALL_FLAGS - 0x400, ALL_BODY), record(8, 0x400)]
        payload = ''.join(recs)
        starts = [sum(len(r) for r in recs[:i]) for i in range(len(recs) + 1)]
        for n in range(len(payload) + 1):
            log, table, typ, populator = recorder()
            clean = any(b <= n < b + 4 for b in starts)
            try:
                kx.handleConnUpdate(msg(payload[:n]), table, typ, populator, 24576)
                self.assertTrue(clean, 'prefix of %d bytes returned' % n)
            except kx.BadMessageError as e:
                self.assertFalse(clean, 'prefix of %d bytes raised' % n)
                self.assertEqual(str(e), "Couldn't read msg")

    def test_shaping_bytes_threshold(self):
        short, full = u16(1) + u32(2) + u16(3) + u32(4), u16(1) + u32(2) + u64(0) + u16(3) + u32(4) + u64(0)
        for version, body in [(20481, short), (20482, full), (20482L, full), (30000, full), (-1, short)]:
            log, table, m = self.run_update(record(7, 0x2000, body) + 'abc', version)
            self.assertEqual(m.pos, 12 + len(body), version)
        saved = kx.SHAPINGBYTESMINVERSION
        try:
            kx.SHAPINGBYTESMINVERSION = 10
            self.assertEqual(self.run_update(record(7, 0x2000, full), 11)[2].pos, 40)
            del kx.SHAPINGBYTESMINVERSION
            self.assertRaises(NameError, self.run_update, record(7, 0x2000, full), 11)
        finally:
            kx.SHAPINGBYTESMINVERSION = saved

        # The three-way comparison decides, not >=.
        class Version(object):
            def __init__(self, order):
                self.order = order

            def __ge__(self, other):
                return self.order < 0

            def __cmp__(self, other):
                return 1 // self.order
        for version, body in [(Version(1), full), (Version(-1), short)]:
            self.assertEqual(self.run_update(record(7, 0x2000, body), version)[2].pos, 12 + len(body))
        self.assertRaises(ZeroDivisionError, self.run_update, record(7, 0x2000, full), Version(0))

    def test_hostname_and_bad_family(self):
        log, table, m = self.run_update(record(7, 0x100 | 0x200, s('h' * 299) + s('x' * 300) + u32(0) * 3) + 'z')
        self.assertEqual(log[1:], [('set', '_server_hostname', 'h' * 255)])
        self.assertEqual(m.pos, 12 + 304 + 305 + 12)
        # A family byte other than 0 or 1: before typ in the creation block,
        # after the store in the second endpoint block.
        for payload, expected in [(record(7, 0x1, creation(family=2)), []),
                                  (record(7, 0x1 | 0x40000, creation() + u8(2) + '\0' * 13), NEW)]:
            log, table, typ, populator = recorder()
            self.assertBad(kx.handleConnUpdate, msg(payload), table, typ, populator, 24576)
            self.assertEqual(log, expected)

    def test_caller_errors_keep_what_was_stored(self):
        class Slotted(object):
            __slots__ = ('_starttime', '_service_id', '_base_service_id')

            def __init__(self, *args):
                pass

        def boom(*args):
            raise ZeroDivisionError('callback')

        def raises(payload, exc, typ=None, populator=None):
            log, table, rtyp, rpop = recorder()
            try:
                kx.handleConnUpdate(msg(payload), table, typ or rtyp, populator or rpop, 24576)
            except exc:
                names = [e[2] for e in traceback.extract_tb(sys.exc_info()[2])]
                self.assertIn('KXdv17_0.handleConnUpdate', names)
                return log, table
            self.fail('%s not raised' % exc.__name__)

        log, table = raises(record(8, 0x2), KeyError)
        self.assertEqual(log, [('get', 8, long)])
        log, table = raises(record(8, 0x1 | 0x2 | 0x8, creation() + u16(1) + u16(2) + u32(3)),
                            AttributeError, typ=Slotted)
        self.assertEqual((table[8]._service_id, table[8]._base_service_id), (1, 2))
        log, table = raises(record(7, 0x10000000 | 0x400, u8(0)), ZeroDivisionError, populator=boom)
        self.assertIn(7, table)
        log, table = raises(record(7, 0x1, creation()), ZeroDivisionError, typ=boom)
        self.assertEqual(log, [])
        log, table = raises(record(7, 0x8, u32(3)) + record(7, 0x100000, u32(3) + u16(1) + u16(2)),
                            kx.BadMessageError)
        self.assertEqual((table[7]._engineflags, table[7]._deepscan), (3, [1, 2]))

    def test_list_attribute_fetched_for_each_append(self):
        class Spy(object):
            def __init__(self, owner):
                owner.fetches += 1
                self.owner = owner

            def append(self, item):
                self.owner.items.append(item)

        class Conn(object):
            fetches, items = 0, []
            _deepscan = property(lambda self: Spy(self), lambda self, v: setattr(self, 'assigned', v))

        conn = Conn()
        kx.handleConnUpdate(msg(record(7, 0x100000, u32(3) + u16(4) + u16(5) + u16(6))), {7: conn}, None, None, 0)
        self.assertEqual((conn.assigned, conn.items, conn.fetches), ([], [4, 5, 6], 3))

    def test_keywords_and_type_check(self):
        log, table, typ, populator = recorder()
        kx.handleConnUpdate(m=msg(record(7, 0x400)), table=table, typ=typ, sc_populator=populator,
                            protocolversion=1)
        self.assertEqual(table, {})
        with self.assertRaises(TypeError) as cm:
            kx.handleConnUpdate(None, table, typ, populator, 1)
        self.assertEqual(str(cm.exception), "Argument 'm' has incorrect type (expected KXMsg, got NoneType)")


def schema(id, name, *columns):
    return u8(1) + u8(id) + s(name) + u8(len(columns)) + ''.join(u8(k) + s(n) + s(c) for k, n, c in columns)


class SessionContextTest(TestCase):

    def test_schemata(self):
        cols = [{'kind': 'OCTETS', 'name': 'user', 'content-type': 'text/plain'},
                {'kind': 'IP_PREFIX', 'name': 'net', 'content-type': ''}]
        first = schema(3, 'web', (1, 'user', 'text/plain'), (5, 'net', ''))
        cases = [
            (u8(0), []),
            (u8(1) + schema(4, 'empty'), [{'name': 'empty', 'id': 4, 'columns': []}]),
            (u8(3) + first + u8(2) + u8(9) + schema(1, 'x', (2, 'a', 'b')),
             [{'name': 'web', 'id': 3, 'columns': cols}, {'name': 'web', 'id': 9, 'columns': cols},
              {'name': 'x', 'id': 1, 'columns': [{'kind': 'INT16', 'name': 'a', 'content-type': 'b'}]}]),
            # An id-only record before any full one.
            (u8(1) + u8(2) + u8(6), [{'name': '', 'id': 6, 'columns': []}]),
            (u8(1) + schema(1, 'n' * 200, (4, 'c' * 130, 't' * 300)),
             [{'name': 'n' * 127, 'id': 1, 'columns': [{'kind': 'INT64', 'name': 'c' * 127,
                                                         'content-type': 't' * 255}]}]),
            # Texts without their zero byte end with their own bytes.
            (u8(2) + schema(1, 'longname') + u8(1) + u8(2) + u32(2) + 'ab' + u8(0),
             [{'name': 'longname', 'id': 1, 'columns': []}, {'name': 'ab', 'id': 2, 'columns': []}]),
        ]
        for payload, expected in cases:
            self.assertEqual(kx.handleSessionContextSchemata(msg(payload)), expected)
        got = kx.handleSessionContextSchemata(msg(cases[2][0]))
        self.assertIsNot(got[0]['columns'][0], got[1]['columns'][0])
        self.assertTruncationsFail(kx.handleSessionContextSchemata, cases[2][0])
        self.assertBad(kx.handleSessionContextSchemata, msg(u8(1) + u8(3) + u8(1)))
        self.assertRaises(KeyError, kx.handleSessionContextSchemata, msg(u8(1) + schema(1, 'a', (6, 'b', 'c'))))

    def test_rows(self):
        for payload, expected in [(u8(3) + u64(2 ** 64 - 1) + u16(0), (3, 2 ** 64 - 1, '')),
                                  (u8(0) + u64(1) + u16(4) + 'a\0\0b', (0, 1, 'a\0\0b'))]:
            got = kx.handleSessionContextAdd(msg(payload + 'extra'))
            self.assertEqual(got, expected)
            self.assertEqual(map(type, got), [int, long, str])
            self.assertTruncationsFail(kx.handleSessionContextAdd, payload)
        removed = u64(1) + u64(2 ** 63) + u32(7)
        for n in range(len(removed) + 1):
            self.assertEqual(kx.handleSessionContextRemove(msg(removed[:n])), [1L, 2L ** 63][:n // 8])
        for handler in [kx.handleSessionContextAdd, kx.handleSessionContextRemove,
                        kx.handleSessionContextSchemata]:
            self.assertRaises(TypeError, handler, None)


class EngineFlagsAndRequestsTest(TestCase):

    def test_resolve_engineflags(self):
        names = ['ESTABLISHED', 'CLIENT_IS_LOCAL', 'SERVER_IS_LOCAL', 'ASYMMETRICAL', 'UNTRACKED',
                 'FLOWSYNC', 'FLOWUNSYNC']
        for flags, expected in [(0, []), (0xC037, names), (0x8, []), (0x100000001, names[:1]),
                                (0x4010L, ['ASYMMETRICAL', 'FLOWSYNC']), (True, names[:1]), (-1, names)]:
            self.assertEqual(kx.resolve_engineflags(flags=flags), expected)
        self.assertRaises(TypeError, kx.resolve_engineflags, 'x')

    def test_requests(self):
        cases = [
            (kx.dumpConnections, ('', 'reaper', -1, 2 ** 40 + 5),
             132472, u32(1) + '\0' + s('reaper') + u32(0xffffffff) + u32(5)),
            (kx.dumpConnections, (u'f.txt', 'r', 7L, 0), 132472, s('f.txt') + s('r') + u32(7) + u32(0)),
            (kx.scRowQuery, (-1,), 139776, '\xff' * 8),
            (kx.scRowQuery, (2 ** 64 + 0x0102030405060708,), 139776, '\x01\x02\x03\x04\x05\x06\x07\x08'),
        ]
        for func, args, type, payload in cases:
            io = RecordingIO()
            self.assertIsNone(func(io, *args))
            self.assertEqual(io.sent, [(type, payload)])
        for func, args, exc in [(kx.dumpConnections, ('f' * 40000, 'r', 0, 0), ValueError),
                                (kx.dumpConnections, ('f' * 16380, 'r' * 16380, 0, 0), ValueError),
                                (kx.dumpConnections, ('f', None, 0, 0), TypeError),
                                (kx.dumpConnections, ('f', 'r', 0, 'x'), TypeError),
                                (kx.dumpConnections, ('f', 'r', 1.0, 0), TypeError),
                                (kx.scRowQuery, (1.0,), TypeError),
                                (kx.scRowQuery, ('1',), TypeError)]:
            io = RecordingIO()
            self.assertRaises(exc, func, io, *args)
            self.assertEqual(io.sent, [])
