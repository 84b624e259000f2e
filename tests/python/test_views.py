"""View creation, view capabilities and view updates."""
import KXdv17_0 as kx
from kxtest import PY3, TestCase, RecordingIO, builtins, long, msg, rebound, s, u8, u16, u32, u64

SMALL_INTS, SERVICES, OBJECTS, HOSTS, STRINGS, UINT32, BOOLEAN = range(1, 8)


Sized = type('Sized', (list,), {'__len__': lambda self: 1})


CAPS = (u8(2) + u8(5) + s('abc') + u8(1) + u16(16) + u8(6) + s('n' * 300) + u8(4) + u16(65535) +
        u8(1) + u8(9) + s('Bytes') + s('B/') + u8(2) + u8(5) + u8(255))

FIELDS = dict((i, {'type': t}) for i, t in enumerate([0, 1, 2, 3, 4, 5, 256, long(6)], 1))


def add(row, fid, value, data=u8(0), second=0):
    return u8(0) + u32(row) + u32(second) + u8(0xee) + u8(fid) + value + data


# Operations of every kind and every field type (wire bytes, list entry), given FIELDS.
OPS = [
    (add(1, 1, b'\0\x0a\0\0\x01', u8(1) + u32(2 ** 32 - 1)), (0, (1, 0, (1, '10.0.0.1'), {'conns': 2 ** 32 - 1}))),
    (add(2, 7, b'\x01\x20\x01\x0d\xb8' + b'\0' * 11 + b'\x01', u8(0x02) + u64(2 ** 64 - 1) + u64(2), 2 ** 32 - 1),
     (0, (2, 2 ** 32 - 1, (7, '2001:db8::1'), {'speed': (2 ** 64 - 8, 16)}))),
    (add(3, 2, b'\x80\x00'), (0, (3, 0, (2, -32768), {}))), (add(4, 3, b'\xff\xff'), (0, (4, 0, (3, 65535), {}))),
    (add(5, 4, u32(2 ** 32 - 1)), (0, (5, 0, (4, 2 ** 32 - 1), {}))), (add(5, 5, u32(3)), (0, (5, 0, (5, 3), {}))),
    (add(6, 6, b'\x02'), (0, (6, 0, (6, True), {}))), (add(6, 6, b'\x00'), (0, (6, 0, (6, False), {}))),
    (u8(1) + u32(3) + u8(0xfc) + b'\0' * 24 + u32(7) + u32(8) + u32(9) + u32(10),
     (1, (3, {'rtt': (7, 8), 'cps': (9, 10)}))),
    (u8(2) + u32(42), (2, 42)),
    (u8(3) + u32(4) + s('z' * 300), (3, (4, 'z' * 255))),
]


class ViewsTest(TestCase):

    def test_request_bytes(self):
        cases = [
            # (viewid, filters, fields, payload after the viewid): numbers keep their low bits; types match by equality
            (5, (), [(1, '')] * 255, b'\0\xff' + (b'\x01' + s('')) * 255),
            (5, [(3, True, SMALL_INTS, [80, 443])], [], b'\x01\x03\x00\x00\x02\x00\x50\x01\xbb\0'),
            (70000, [(259, [], SMALL_INTS, [70000, -1]), (1, 'x', UINT32, [-1, 2 ** 40 + 5])], [],
             b'\x02\x03\x01' + u16(2) + u16(4464) + b'\xff\xff' + b'\x01\x00' + u16(2) + b'\xff' * 4 + u32(5) + b'\0'),
            (5, [(1, 0, BOOLEAN, [True, 257]), (2, 1, True, [9]), (3, 1, long(6), [9]), (4, 1, 9, [])], [],
             b'\x04\x01\x01' + u16(2) + b'\x01\x01' + b'\x02\x00' + u16(1) + u16(9) + b'\x03\x00' + u16(1) + u32(9) +
             b'\x04\x00' + u16(0) + b'\0'),
            (5, [(1, 1, SERVICES, ['a']), (2, 1, OBJECTS, ['o']), (3, 1, STRINGS, ['a\0b' if not PY3 else 'a', u'u'])], [],
             b'\x03\x01\x00' + u16(1) + s('a') + b'\x02\x00' + u16(1) + s('o') + b'\x03\x00' + u16(2) + s('a') + s('u') + b'\0'),
            (5, [(1, 1, HOSTS, ['10.0.0.0/8', '::1', 'fe80::1/64', '10.1.2.3:80'])], [[12, ''], iter((268, 'a'))],
             b'\x01\x01\x00' + u16(4) + b'\x08\x0a\xa1' + b'\0' * 15 + b'\x01\x61\xfe\x80' + b'\0' * 6 +
             b'\x20\x0a\x01\x02\x03' + b'\x02\x0c' + s('') + b'\x0c' + s('a')),
        ]
        for viewid, filters, fields, payload in cases:
            io = RecordingIO()
            self.assertIsNone(kx.createView(io=io, viewid=viewid, filters=filters, fields=fields))
            self.assertEqual(io.sent, [(139264, u16(viewid & 0xffff) + payload)], (viewid, filters))
        kx.createViewByName(io=io, viewid=65543, name='top')
        self.assertEqual(io.sent[1:], [(139266, b'\x00\x07\x00\x00\x00\x04top\x00')])

    def test_errors_send_nothing(self):
        wrong, ip = 'unpack sequence of wrong size', 'Unparsable ip address'
        cases = [
            # (viewid, filters, fields, exception, text or None)
            (1, [(1, True, 'x', [1])], [], TypeError, "Unknown filter type 'x'"),
            (1, [(1, True, HOSTS, ['example'])], [], ValueError, ip),
            (1, [(1, True, HOSTS, ['::ffff:10.0.0.1'])], [], ValueError, ip),
            (1, [(1, True, SMALL_INTS)], [], ValueError, wrong),
            (2 ** 31, [], [], OverflowError, None),
            (1, [(1, True, BOOLEAN, [2 ** 32])], [], OverflowError, None),
            (1, [(1, True, UINT32, [1.5])], [], TypeError, None),
            (1, [(1, True, 1, [])] * 256, [], ValueError, 'too many filters (256, at most 255)'),
            (1, [], [(1, '')] * 256, ValueError, 'too many fields (256, at most 255)'),
            (1, [(1, True, 9, [0] * 65536)], [], ValueError, 'too many values in one filter (65536, at most 65535)'),
            (1, [(1, True, SMALL_INTS, Sized([1, 2]))], [], ValueError, None),
            (1, [], Sized([]), ValueError, None),
            (1, [(1, True, STRINGS, ['x' * 20000] * 2)], [], ValueError, 'request does not fit in one message'),
        ]
        for viewid, filters, fields, exc, text in cases:
            io = RecordingIO()
            with self.assertRaises(exc, msg=repr(filters)[:80]) as cm:
                kx.createView(io, viewid, filters, fields)
            self.assertEqual((str(cm.exception) if text else None, io.sent), (text, []))
        names = self.raisedIn(ValueError, kx.createView, io, 1, [(1, True, HOSTS, ['nohost'])], [])[1]
        self.assertEqual(names[-2:], ['KXdv17_0.createView', 'KXdv17_0._put_ip'])
        self.assertRaises(OverflowError, kx.createViewByName, io, 2 ** 31, 'x')
        with rebound('len', lambda o: 1 // 0, builtins):  # the built-in bound now
            self.assertRaises(ZeroDivisionError, kx.createView, io, 1, [], [])
        self.assertEqual(io.sent, [])

    def test_caps(self):
        got = kx.handleViewCaps(msg(CAPS + b'trailing'))
        self.assertEqual(got, ([{'filter': 5, 'name': 'abc', 'type': 1, 'max': 16},
                                {'filter': 6, 'name': 'n' * 255, 'type': 4, 'max': 65535}],
                               [{'field': 9, 'name': 'Bytes', 'display_prefix': 'B/', 'type': 2, 'filter': 5,
                                 'want_arg': 255}]))
        self.assertFalse(set(type(v) for d in got[0] + got[1] for v in d.values()) - set([int, str]))
        self.assertEqual(kx.handleViewCaps(m=msg(b'\0\0')), ([], []))

    def test_stream_truncated_at_every_offset(self):
        """A cut between operations ends the list there; any other cut fails."""
        m = msg(u16(9))
        self.assertEqual((kx.handleViewUpdateViewID(m), kx.handleViewUpdate(m, FIELDS)), (9, []))
        payload, ends = b'', {0: 0}
        for i, (op, _) in enumerate(OPS):
            payload += op
            ends[len(payload)] = i + 1
        for n in range(len(payload) + 1):
            if n in ends:
                self.assertEqual(kx.handleViewUpdate(msg(payload[:n]), FIELDS), [e for _, e in OPS[:ends[n]]])
            else:
                self.assertBad(kx.handleViewUpdate, msg(payload[:n]), FIELDS)
        full = kx.handleViewUpdate(msg(payload), FIELDS)
        self.assertEqual([list(map(type, item[:2] + (item[2][1],))) for op, item in full if op == 0],
                         [[long, long, t] for t in (str, str, int, int, long, long, bool, bool)])
        self.assertEqual(type(full[0][1][3]['conns']), long)
        for bad, text in [(add(1, 8, b'\0' * 4), None), (add(1, 1, b'\x02' + b'\0' * 4), None), (u8(4) + u32(1), 'bad op')]:
            with self.assertRaises(kx.BadMessageError) as cm:
                kx.handleViewUpdate(msg(bad), FIELDS)
            self.assertEqual(str(cm.exception), text or "Couldn't read msg")
        self.assertRaises(KeyError, kx.handleViewUpdate, msg(add(1, 9, b'\0\0')), FIELDS)
        self.assertRaises(KeyError, kx.handleViewUpdateField, m=msg(b'\0\x07\0\0'), fields={7: {}})
        self.assertEqual(kx.handleViewUpdateData(m=msg(b'\xe0')), {})

    def test_rebound_helpers(self):
        calls = []
        with rebound('handleViewUpdateField', lambda m, f: calls.append(('field', m.pos, f)) or 'F'):
            with rebound('handleViewUpdateData', lambda m: calls.append(('data', m.pos)) or 'D'):
                got = kx.handleViewUpdate(msg(u8(0) + u32(1) + u32(2) + u8(1) + u32(3)), 'FD')
            self.assertEqual((got, calls), ([(0, (1, 2, 'F', 'D')), (1, (3, 'D'))],
                                            [('field', 9, 'FD'), ('data', 9), ('data', 14)]))
        names = self.raisedIn(kx.BadMessageError, kx.handleViewUpdate, msg(OPS[-3][0][:-1]), FIELDS)[1]
        self.assertEqual(names[-2:], ['KXdv17_0.handleViewUpdate', 'KXdv17_0.handleViewUpdateData'])

    def test_add_error(self):
        m = msg(u16(3) + s('e' * 300) + b'x')
        self.assertEqual((kx.handleViewAddError(m), m.pos), ((3, 'e' * 255), 2 + 4 + 301))
