"""Connection updates, engine flags, connection dumps and session contexts."""
import collections

import KXdv17_0 as kx
from kxtest import PY3, TestCase, Version, long, msg, rebound, s, u8, u16, u32, u64, ip4

V6 = b'\x20\x01\x0d\xb8' + b'\0' * 11 + b'\x01'


def record(connid, flags, body=b''):
    return u32(connid) + u32(0xdeadbeef) + u32(flags) + body


def creation(family=0, marker=0):
    head = u8(1) + u8(2) + u32(3) + u32(4) + u16(5) + u16(6) + u32(7) + u32(8)
    head += u8(marker) + (u8(9) if marker else b'') + u32(1000) + u8(family)
    a = [V6, V6] if family == 1 else [ip4('10.0.0.1'), ip4('10.0.0.2')]
    return head + a[0] + u16(1234) + a[1] + u16(80) + u8(6)


def second_endpoint(family):
    a = V6 if family == 1 else ip4('192.168.1.1')
    return u8(family) + a + u16(1) + a + u16(2) + u8(3)


def recorder():
    """A table holding connection 7, a constructor and a callback that log every call."""
    log = []

    class Table(dict):
        __getitem__ = lambda self, k: log.append(('get', k, type(k))) or dict.__getitem__(self, k)
        __setitem__ = lambda self, k, v: log.append(('store', k, type(k))) or dict.__setitem__(self, k, v)
        __delitem__ = lambda self, k: log.append(('del', k)) or dict.__delitem__(self, k)

    class Conn(object):
        __setattr__ = lambda self, name, v: log.append(('set', name, v)) or object.__setattr__(self, name, v)
        _set_views = lambda self, views: log.append(('views', views))
    table = Table({7: Conn()})
    typ = lambda *args: log.append(('new',) + args + (type(args[0]),)) or Conn()
    return log, table, typ, lambda conn, rows: log.append(('rows', dict.get(table, 7) is conn, rows))


NEW = [('new', 7, 6, '10.0.0.1', 1234, '10.0.0.2', 80, long), ('store', 7, long), ('set', '_starttime', 1000)]
# (flag, block bytes, log entries); table order, which is the wire order.
BLOCKS = [
    (0x2, u16(80) + u16(443), [('set', '_service_id', 80), ('set', '_base_service_id', 443)]),
    (0x4, u16(2) + u16(1) + u16(3) + b'abc' + u16(9) + u16(0), []),
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
    (0x2000, b'\1' * 28, []),
    (0x10000, u32(0) * 2, []),
    (0x8000000, u32(0) * 4, []),
    (0x20000, u8(0) * 2, []),
    (0x80000, u16(2) + u16(3) + u16(4), [('views', [3, 4])]),
    (0x200000, u32(0) + u64(0) * 4, []),
    (0x4000000, u16(2) + b'ab' + u16(0), []),
    (0x10000000, u8(2) + u8(1) + u64(5) + u8(0) + u64(2 ** 64 - 1), [('rows', True, [5, 2 ** 64 - 1])]),
    (0x400, b'', [('del', 7)]),
]
ALL_FLAGS = sum(f for f, _, _ in BLOCKS)
ALL_BODY = b''.join(b for _, b, _ in BLOCKS)
ALL_LOG = sum((l for _, _, l in BLOCKS), [])
NO_EFFECT = 0x4000 | 0x8000 | 0x400000 | 0x800000 | 0x1000000 | 0x20000000 | 0x40000000 | 0x80000000
GET = [('get', 7, long)]


class ConnUpdateTest(TestCase):

    def run_update(self, payload, version=24576):
        log, table, typ, populator = recorder()
        m = msg(payload)
        self.assertIsNone(kx.handleConnUpdate(m, table, typ, populator, version))
        return log, table, m.pos

    def test_blocks(self):
        cases = [(f, b, GET + l) for f, b, l in BLOCKS] + [
            (0, b'', GET), (NO_EFFECT | 0x40000, b'', GET), (0x40, BLOCKS[9][1], GET + BLOCKS[9][2]),
            (ALL_FLAGS | NO_EFFECT, ALL_BODY, GET + ALL_LOG), (0x1, creation(), NEW),
            (0x800, creation(marker=1), NEW),
            (0x1 | ALL_FLAGS | NO_EFFECT, creation() + ALL_BODY, NEW + ALL_LOG),
            (0x100 | 0x200, s('h' * 299) + s('x' * 300) + u32(0) * 3, GET + [('set', '_server_hostname', 'h' * 255)]),
            (0x1, creation(family=1), [('new', 7, 6, '2001:db8:0:0:0:0:0:1', 1234, '2001:db8:0:0:0:0:0:1',
                                        80, long)] + NEW[1:])]
        for flags, body, expected in cases:
            payload = record(7, flags, body)
            log, table, pos = self.run_update(payload + b'xyz')
            self.assertEqual((log, pos, 7 in table), (expected, len(payload), not flags & 0x400), hex(flags))

    def test_shaping_bytes_threshold(self):
        short = u16(1) + u32(2) + u16(3) + u32(4)
        full = u16(1) + u32(2) + u64(0) + u16(3) + u32(4) + u64(0)
        # The three-way comparison decides, not >= (Python 3 has only >=).
        for version, threshold, body in [(20481, 20482, short), (20482, 20482, full), (long(20482), 20482, full),
                                         (-1, 20482, short), (11, 10, full),
                                         (Version(1), 20482, full if PY3 else short),
                                         (Version(-1), 20482, short if PY3 else full), (Version(0), 1, ZeroDivisionError),
                                         (1, None, NameError)]:
            with rebound('SHAPINGBYTESMINVERSION', threshold):
                if isinstance(body, bytes):
                    self.assertEqual(self.run_update(record(7, 0x2000, body) + b'abc', version)[2], 12 + len(body))
                else:
                    self.assertRaises(body, self.run_update, record(7, 0x2000, full), version)

    def test_failures_keep_what_was_stored(self):
        Slotted = type('Slotted', (object,), {'__slots__': ('_starttime', '_service_id', '_base_service_id'),
                                              '__init__': lambda self, *args: None})
        boom = lambda *args: 1 // 0
        cases = [
            # (payload, exception, typ, populator, (id, attribute, value) or id absent)
            (record(8, 0x2), KeyError, None, None, 7),
            (record(8, 0)[:-2], kx.BadMessageError, None, None, 7),   # the flags word cut off
            (record(8, 0x1 | 0x2 | 0x8, creation() + u16(1) + u16(2) + u32(3)), AttributeError, Slotted,
             None, (8, '_base_service_id', 2)),
            (record(7, 0x10000000 | 0x400, u8(0)), ZeroDivisionError, None, boom, 7),
            (record(8, 0x1, creation()), ZeroDivisionError, boom, None, 8),
            (record(7, 0x8, u32(3)) + record(7, 0x100000, u32(3) + u16(1) + u16(2)), kx.BadMessageError,
             None, None, (7, '_deepscan', [1, 2])),
            (record(7, 0x10, u8(4)), kx.BadMessageError, None, None, (7, '_shaping_rule_ids', [])),
            # A family byte other than 0 or 1: in the creation block before typ, in the second endpoint after the store.
            (record(8, 0x1, creation(family=2)), kx.BadMessageError, None, None, 7),
            (record(7, 0x1 | 0x40000, creation() + u8(2) + b'\0' * 13), kx.BadMessageError, None, None,
             (7, '_starttime', 1000)),
        ]
        for payload, exc, typ, populator, kept in cases:
            log, table, rtyp, rpop = recorder()
            _, names = self.raisedIn(exc, kx.handleConnUpdate, msg(payload), table, typ or rtyp,
                                     populator or rpop, 24576)
            self.assertEqual(names[0], 'KXdv17_0.handleConnUpdate')
            if isinstance(kept, tuple):
                self.assertEqual(getattr(dict.get(table, kept[0]), kept[1], None), kept[2])
            else:
                self.assertEqual(list(dict.keys(table)), [7])

    def test_list_attribute_fetched_for_each_append(self):
        class Conn(object):
            fetches, items = 0, collections.deque()   # not a list: its own append is called
            _deepscan = property(lambda self: setattr(self, 'fetches', self.fetches + 1) or self.items,
                                 lambda self, value: setattr(self, 'assigned', value))
        conn = Conn()
        kx.handleConnUpdate(msg(record(7, 0x100000, u32(3) + u16(4) + u16(5) + u16(6))), {7: conn}, None, None, 0)
        self.assertEqual((conn.assigned, list(conn.items), conn.fetches), ([], [4, 5, 6], 3))


def schema(id, name, *columns):
    return u8(1) + u8(id) + s(name) + u8(len(columns)) + b''.join(u8(k) + s(n) + s(c) for k, n, c in columns)


def schema_dict(id, name, *columns):
    return {'id': id, 'name': name, 'columns': [{'kind': k, 'name': n, 'content-type': c} for k, n, c in columns]}


class SessionContextTest(TestCase):

    def test_schemata(self):
        web = [(1, 'user', 'text/plain'), (5, 'net', '')]
        three = u8(3) + schema(3, 'web', *web) + u8(2) + u8(9) + schema(1, 'x', (2, 'a', 'b'))
        web = [('OCTETS', 'user', 'text/plain'), ('IP_PREFIX', 'net', '')]
        cases = [
            (u8(0), []),
            (u8(1) + schema(4, 'empty'), [schema_dict(4, 'empty')]),
            (three, [schema_dict(3, 'web', *web), schema_dict(9, 'web', *web), schema_dict(1, 'x', ('INT16', 'a', 'b'))]),
            (u8(1) + u8(2) + u8(6), [schema_dict(6, '')]),  # id only, before any full record
            (u8(1) + schema(1, 'n' * 200, (4, 'c' * 130, 't' * 300)),
             [schema_dict(1, 'n' * 127, ('INT64', 'c' * 127, 't' * 255))]),
            # A text without its zero byte ends with its own bytes.
            (u8(2) + schema(1, 'longname') + u8(1) + u8(2) + u32(2) + b'ab' + u8(0),
             [schema_dict(1, 'longname'), schema_dict(2, 'ab')]),
        ]
        for payload, expected in cases:
            self.assertEqual(kx.handleSessionContextSchemata(msg(payload)), expected)
        got = kx.handleSessionContextSchemata(msg(three))
        self.assertIsNot(got[0]['columns'][0], got[1]['columns'][0])
        self.assertBad(kx.handleSessionContextSchemata, msg(u8(1) + u8(3) + u8(1)))
        self.assertRaises(KeyError, kx.handleSessionContextSchemata, msg(u8(1) + schema(1, 'a', (6, 'b', 'c'))))

    def test_rows(self):
        for payload, expected in [(u8(3) + u64(2 ** 64 - 1) + u16(0), (3, 2 ** 64 - 1, b'')),
                                  (u8(0) + u64(1) + u16(4) + b'a\0\0b', (0, 1, b'a\0\0b'))]:
            got = kx.handleSessionContextAdd(msg(payload + b'extra'))
            self.assertEqual((got, list(map(type, got))), (expected, [int, long, bytes]))
        removed = u64(1) + u64(2 ** 63) + u32(7)
        for n in range(len(removed) + 1):
            self.assertEqual(kx.handleSessionContextRemove(msg(removed[:n])), [1, 2 ** 63][:n // 8])

    def test_resolve_engineflags(self):
        names = ['ESTABLISHED', 'CLIENT_IS_LOCAL', 'SERVER_IS_LOCAL', 'ASYMMETRICAL', 'UNTRACKED',
                 'FLOWSYNC', 'FLOWUNSYNC']
        for flags, expected in [(0, []), (0xC037, names), (0x8, []), (0x100000001, names[:1]),
                                (long(0x4010), ['ASYMMETRICAL', 'FLOWSYNC']), (True, names[:1]), (-1, names)]:
            self.assertEqual(kx.resolve_engineflags(flags=flags), expected)
        self.assertRaises(TypeError, kx.resolve_engineflags, 'x')

    def test_requests(self):
        self.assertRequests([
            (kx.dumpConnections, ('', 'reaper', -1, 2 ** 40 + 5),
             (132472, u32(1) + b'\0' + s('reaper') + u32(0xffffffff) + u32(5))),
            (kx.dumpConnections, (u'f.txt', 'r', long(7), 0), (132472, s('f.txt') + s('r') + u32(7) + u32(0))),
            (kx.scRowQuery, (-1,), (139776, b'\xff' * 8)),
            (kx.scRowQuery, (2 ** 64 + 0x0102030405060708,), (139776, b'\x01\x02\x03\x04\x05\x06\x07\x08')),
            (kx.dumpConnections, ('f' * 40000, 'r', 0, 0), ValueError), (kx.scRowQuery, (1.0,), TypeError),
            (kx.dumpConnections, ('f' * 16380, 'r' * 16380, 0, 0), ValueError),
            (kx.dumpConnections, ('f', None, 0, 0), TypeError), (kx.dumpConnections, ('f', 'r', 0, 'x'), TypeError),
            (kx.dumpConnections, ('f', 'r', 1.0, 0), TypeError)])
