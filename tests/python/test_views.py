"""View creation, view capabilities and view updates."""
import sys
import traceback

import KXdv17_0 as kx
from kxtest import TestCase, RecordingIO, msg, s, u8, u16, u32, u64

SMALL_INTS, SERVICES, OBJECTS, HOSTS, STRINGS, UINT32, BOOLEAN = range(1, 8)
HOST, SERVICE, INT, STRING, FUINT32, FBOOL = range(6)


class Sized(object):
    """An iterable whose len() need not match what it yields."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        return self.length

    def __iter__(self):
        return iter(self.items)


def traceback_names(exc_info):
    return [entry[2] for entry in traceback.extract_tb(exc_info[2])]


class CreateViewTest(TestCase):

    def test_request_bytes(self):
        v6_loop = '\0' * 15 + '\x01'
        cases = [
            # (viewid, filters, fields, payload after the viewid)
            (5, [], [], '\0\0'),
            (5, [(3, True, SMALL_INTS, [80, 443])], [], '\x01' '\x03\x00\x00\x02\x00\x50\x01\xbb\0'),
            (5, [(3, False, UINT32, [4294967295])], [], '\x01' '\x03\x01\x00\x01\xff\xff\xff\xff\0'),
            # low bits of identifiers, counts and values
            (5, [(259, [], SMALL_INTS, [70000, -1])], [],
             '\x01\x03\x01' + u16(2) + u16(70000 & 0xffff) + '\xff\xff\0'),
            (5, [(1, 'x', UINT32, [-1, 2 ** 40 + 5, 7L])], [],
             '\x01\x01\x00' + u16(3) + '\xff\xff\xff\xff' + u32(5) + u32(7) + '\0'),
            (5, [(1, 0, BOOLEAN, [True, False, 257])], [], '\x01\x01\x01' + u16(3) + '\x01\x00\x01\0'),
            (5, [(1, 1, SERVICES, ['http', '']), (2, 1, OBJECTS, ['o']),
                 (3, 1, STRINGS, ['a\0b', u'uni'])], [],
             '\x03' '\x01\x00' + u16(2) + s('http') + s('') + '\x02\x00' + u16(1) + s('o') +
             '\x03\x00' + u16(2) + s('a') + s('uni') + '\0'),
            (5, [(1, 1, HOSTS, ['10.0.0.0/8', '::1', 'fe80::1/64', '10.1.2.3:80', '0.0.0.0/0'])],
             [], '\x01\x01\x00' + u16(5) + '\x08\x0a' + '\xa1' + v6_loop +
             chr(33 + 64) + '\xfe\x80' + '\0' * 6 + '\x20\x0a\x01\x02\x03' + '\x00' + '\0'),
            # the filter type picks the encoding by equality; an unknown type
            # with no values is sent
            (5, [(1, 1, True, [9]), (2, 1, 6L, [9]), (3, 1, 9, [])], [],
             '\x03' '\x01\x00' + u16(1) + u16(9) + '\x02\x00' + u16(1) + u32(9) +
             '\x03\x00' + u16(0) + '\0'),
            (5, [], [(12, ''), (268, 'arg')], '\0\x02\x0c' + s('') + '\x0c' + s('arg')),
            (70000, [[1, 1, SMALL_INTS, (2,)]], [[4, 'x']],
             '\x01\x01\x00' + u16(1) + u16(2) + '\x01\x04' + s('x')),
        ]
        for viewid, filters, fields, payload in cases:
            io = RecordingIO()
            self.assertIsNone(kx.createView(io, viewid, filters, fields))
            self.assertEqual(io.sent, [(139264, u16(viewid & 0xffff) + payload)],
                             (viewid, filters, fields))
        io = RecordingIO()
        kx.createView(io=io, viewid=5, filters=(), fields=())
        self.assertEqual(io.sent, [(139264, '\x00\x05\x00\x00')])

    def test_create_view_by_name(self):
        io = RecordingIO()
        self.assertIsNone(kx.createViewByName(io, 7, 'top'))
        kx.createViewByName(io=io, viewid=65537, name='')
        self.assertEqual(io.sent, [(139266, '\x00\x07\x00\x00\x00\x04top\x00'),
                                   (139266, '\x00\x01' + s(''))])
        self.assertRaises(TypeError, kx.createViewByName, io, 7, None)
        self.assertRaises(OverflowError, kx.createViewByName, io, 2 ** 31, 'x')
        self.assertEqual(len(io.sent), 2)

    def test_errors_send_nothing(self):
        wrong = 'unpack sequence of wrong size'
        cases = [
            # (viewid, filters, fields, exception, text or None)
            (1, [(1, True, 9, [1])], [], TypeError, 'Unknown filter type 9'),
            (1, [(1, True, 'x', [1])], [], TypeError, "Unknown filter type 'x'"),
            (1, [(1, True, HOSTS, ['example'])], [], ValueError, 'Unparsable ip address'),
            (1, [(1, True, HOSTS, ['10.0.0.0/33'])], [], ValueError, 'Unparsable ip address'),
            (1, [(1, True, HOSTS, ['::ffff:10.0.0.1'])], [], ValueError, 'Unparsable ip address'),
            (1, [(1, True, HOSTS, [None])], [], TypeError, None),
            (1, [(1, True, SMALL_INTS)], [], ValueError, wrong),
            (1, [(1, True, SMALL_INTS, [], 0)], [], ValueError, wrong),
            (1, [iter((1, True, SMALL_INTS, [], 0))], [], ValueError, wrong),
            (1, [], [(1,)], ValueError, wrong),
            (1, [], [(1, 'a', 'b')], ValueError, wrong),
            (1, [(1, True, SMALL_INTS, 5)], [], TypeError, None),
            (1, [(1, True, SMALL_INTS, ['a'])], [], TypeError, None),
            (1, [(1, True, SERVICES, [5])], [], TypeError, None),
            (1, [], [(1, None)], TypeError, None),
            # the platform's long is 32 bits; UINT32 values alone take any integer
            (2 ** 31, [], [], OverflowError, None),
            (1, [(-2 ** 31 - 1, True, SMALL_INTS, [])], [], OverflowError, None),
            (1, [(1, True, SMALL_INTS, [2 ** 31])], [], OverflowError, None),
            (1, [(1, True, BOOLEAN, [2 ** 32])], [], OverflowError, None),
            # counts must fit their wire fields and match the items
            (1, [(1, True, SMALL_INTS, [])] * 256, [], ValueError, 'too many filters (256, at most 255)'),
            (1, [], [(1, '')] * 256, ValueError, 'too many fields (256, at most 255)'),
            (1, [(1, True, 9, [0] * 65536)], [], ValueError,
             'too many values in one filter (65536, at most 65535)'),
            (1, [(1, True, SMALL_INTS, Sized(1, [1, 2]))], [], ValueError, None),
            (1, [(1, True, SMALL_INTS, Sized(3, [1, 2]))], [], ValueError, None),
            (1, Sized(2, [(1, True, SMALL_INTS, [])]), [], ValueError, None),
            (1, [], Sized(0, [(1, '')]), ValueError, None),
            (1, [(1, True, STRINGS, ['x' * 20000, 'y' * 20000])], [], ValueError,
             'request does not fit in one message'),
        ]
        for viewid, filters, fields, exc, text in cases:
            io = RecordingIO()
            with self.assertRaises(exc, msg=repr((filters, fields))[:200]) as cm:
                kx.createView(io, viewid, filters, fields)
            if text is not None:
                self.assertEqual(str(cm.exception), text)
            self.assertEqual(io.sent, [])
        # the largest counts still go out
        io = RecordingIO()
        kx.createView(io, 1, [(1, True, 9, [])] * 255, [(1, '')] * 255)
        self.assertEqual(len(io.sent[0][1]), 2 + 1 + 255 * 4 + 1 + 255 * 6)

    def test_traceback_entries(self):
        names = []
        try:
            kx.createView(RecordingIO(), 1, [(1, True, HOSTS, ['nohost'])], [])
        except ValueError:
            names = traceback_names(sys.exc_info())
        self.assertEqual(names[-2:], ['KXdv17_0.createView', 'KXdv17_0._put_ip'])


CAPS = (u8(2) + u8(5) + s('abc') + u8(1) + u16(16) + u8(6) + s('') + u8(4) + u16(65535) +
        u8(1) + u8(9) + s('Bytes') + s('B/') + u8(2) + u8(5) + u8(2))


class CapsTest(TestCase):

    def test_caps(self):
        long_name = ''.join(chr(97 + i % 26) for i in range(300))
        cases = [
            ('\0\0', ([], [])),
            ('\x01\x05\x00\x00\x00\x04abc\x00\x01\x00\x10\x00',
             ([{'filter': 5, 'name': 'abc', 'type': 1, 'max': 16}], [])),
            (CAPS + 'trailing',
             ([{'filter': 5, 'name': 'abc', 'type': 1, 'max': 16},
               {'filter': 6, 'name': '', 'type': 4, 'max': 65535}],
              [{'field': 9, 'name': 'Bytes', 'display_prefix': 'B/', 'type': 2, 'filter': 5,
                'want_arg': 2}])),
            ('\0\x01' + u8(1) + s(long_name) + s(long_name) + u8(0) + u8(0) + u8(255),
             ([], [{'field': 1, 'name': long_name[:255], 'display_prefix': long_name[:255],
                    'type': 0, 'filter': 0, 'want_arg': 255}])),
        ]
        for payload, expected in cases:
            got = kx.handleViewCaps(msg(payload))
            self.assertEqual(got, expected)
            self.assertIs(type(got), tuple)
            for d in got[0] + got[1]:
                self.assertTrue(all(type(v) is (str if k in ('name', 'display_prefix') else int)
                                    for k, v in d.items()))

    def test_short(self):
        self.assertTruncationsFail(kx.handleViewCaps, CAPS)
        self.assertBad(kx.handleViewCaps, msg('\x02\x05\x00\x00\x00\x04abc\x00\x01\x00\x10\x00'))


def field_msg(fid, value):
    return msg(u8(0xee) + u8(fid) + value)


# One operation of every kind and the item each decodes to, given FIELDS.
FIELDS = {1: {'type': HOST}, 2: {'type': SERVICE}, 3: {'type': INT}, 4: {'type': STRING},
          5: {'type': FUINT32}, 6: {'type': FBOOL}}
OPS = [
    (u8(0) + u32(1) + u32(0) + u8(0) + u8(1) + u8(0) + '\x0a\0\0\x01' + u8(1) + u32(5),
     (0, (1L, 0L, (1, '10.0.0.1'), {'conns': 5L}))),
    (u8(0) + u32(2) + u32(2 ** 32 - 1) + u8(0) + u8(2) + '\xff\xfe' + u8(0x02) + u64(1) + u64(2),
     (0, (2L, 2 ** 32 - 1, (2, -2), {'speed': (8L, 16L)}))),
    (u8(1) + u32(3) + u8(0x18) + u32(7) + u32(8) + u32(9) + u32(10),
     (1, (3L, {'rtt': (7L, 8L), 'cps': (9L, 10L)}))),
    (u8(2) + u32(42), (2, 42L)),
    (u8(3) + u32(4) + s('label'), (3, (4L, 'label'))),
    (u8(1) + u32(5) + u8(0), (1, (5L, {}))),
]


class ViewUpdateTest(TestCase):

    def test_field_types(self):
        v6 = '\x20\x01\x0d\xb8' + '\0' * 11 + '\x01'
        cases = [
            # (type, value bytes, expected value)
            (HOST, u8(0) + '\x0a\x00\x00\x01', '10.0.0.1'),
            (HOST, u8(1) + '\0' * 15 + '\x01', '::1'),
            (HOST, u8(1) + v6, '2001:db8::1'),
            (256 + HOST, u8(0) + '\xc0\xa8\x01\x02', '192.168.1.2'),
            (SERVICE, '\xff\xff', -1),
            (SERVICE, '\x7f\xff', 32767),
            (SERVICE, '\x80\x00', -32768),
            (INT, '\xff\xff', 65535),
            (STRING, u32(2 ** 32 - 1), 2L ** 32 - 1),
            (FUINT32, u32(3), 3L),
            (FBOOL, '\x02', True),
            (FBOOL, '\x00', False),
            (6L, '', None),
            (-1, '\0' * 4, None),
        ]
        for ftype, value, expected in cases:
            m = field_msg(7, value + 'rest')
            if expected is None:
                self.assertBad(kx.handleViewUpdateField, m, {7: {'type': ftype}})
                continue
            got = kx.handleViewUpdateField(m, {7: {'type': ftype}})
            self.assertEqual(got, (7, expected), ftype)
            self.assertIs(type(got[1]), type(expected))
            self.assertEqual(m.pos, 2 + len(value))
        # Only the "type" of the description counts; any indexable container works.
        self.assertEqual(kx.handleViewUpdateField(field_msg(1, '\0\x05'), [None, {'type': INT}]),
                         (1, 5))
        self.assertRaises(KeyError, kx.handleViewUpdateField, field_msg(8, '\0\0'), {7: {'type': 2}})
        self.assertRaises(KeyError, kx.handleViewUpdateField, field_msg(7, '\0\0'), {7: {}})
        self.assertBad(kx.handleViewUpdateField, field_msg(7, u8(2) + '\0' * 4), {7: {'type': 0}})
        self.assertBad(kx.handleViewUpdateField, field_msg(7, u8(1) + '\0' * 12), {7: {'type': 0}})

    def test_data_groups(self):
        big = 2 ** 64 - 1
        cases = [
            # (payload, expected dict, bytes consumed)
            (u8(0), {}, 1),
            (u8(0x01) + u32(2 ** 32 - 1), {'conns': 2 ** 32 - 1}, 5),
            (u8(0x02) + u64(1) + u64(2), {'speed': (8L, 16L)}, 17),
            (u8(0x02) + u64(2 ** 61) + u64(big), {'speed': (0L, big - 7)}, 17),
            (u8(0x04) + '\x01' * 24, {}, 25),
            (u8(0x08) + u32(1) + u32(2), {'rtt': (1L, 2L)}, 9),
            (u8(0x10) + u32(3) + u32(4), {'cps': (3L, 4L)}, 9),
            (u8(0xe0), {}, 1),
            (u8(0xff) + u32(1) + u64(1) + u64(1) + '\0' * 24 + u32(5) + u32(6) + u32(7) + u32(8),
             {'conns': 1L, 'speed': (8L, 8L), 'rtt': (5L, 6L), 'cps': (7L, 8L)}, 1 + 4 + 16 + 24 + 16),
        ]
        for payload, expected, consumed in cases:
            m = msg(payload + 'tail')
            got = kx.handleViewUpdateData(m)
            self.assertEqual(got, expected, repr(payload))
            self.assertTrue(all(type(x) is long for v in got.values()
                                for x in (v if isinstance(v, tuple) else (v,))))
            self.assertEqual(m.pos, consumed)
            self.assertTruncationsFail(kx.handleViewUpdateData, payload, start=1)

    def test_update_stream(self):
        m = msg(u16(9) + ''.join(op for op, _ in OPS))
        self.assertEqual(kx.handleViewUpdateViewID(m), 9)
        got = kx.handleViewUpdate(m, FIELDS)
        self.assertEqual(got, [item for _, item in OPS])
        self.assertEqual([type(x) for x in got[0][1]], [long, long, tuple, dict])
        only_id = msg(u16(65535))
        self.assertEqual(kx.handleViewUpdateViewID(only_id), 65535)
        self.assertEqual(kx.handleViewUpdate(only_id, {}), [])
        long_text = 'z' * 300
        self.assertEqual(kx.handleViewUpdate(msg(u8(3) + u32(1) + s(long_text) + u8(2) + u32(2)), {}),
                         [(3, (1L, long_text[:255])), (2, 2L)])

    def test_bad_op(self):
        for op in (4, 255):
            m = msg(u8(2) + u32(1) + u8(op) + u32(1))
            with self.assertRaises(kx.BadMessageError) as cm:
                kx.handleViewUpdate(m, {})
            self.assertEqual(str(cm.exception), 'bad op')

    def test_truncation_at_every_offset(self):
        """A cut between operations ends the list there; any other cut fails."""
        payload = ''.join(op for op, _ in OPS)
        ends = {0: 0}
        for i, (op, _) in enumerate(OPS):
            ends[sum(len(o) for o, _ in OPS[:i + 1])] = i + 1
        for n in range(len(payload)):
            m = msg(payload[:n])
            if n in ends:
                self.assertEqual(kx.handleViewUpdate(m, FIELDS), [it for _, it in OPS[:ends[n]]])
            else:
                self.assertRaises(kx.BadMessageError, kx.handleViewUpdate, m, FIELDS)

    def test_rebound_helpers(self):
        saved = kx.handleViewUpdateField, kx.handleViewUpdateData
        calls = []

        def field(m, fields):
            calls.append(('field', m.pos, fields))
            return 'F'
        try:
            kx.handleViewUpdateField = field
            kx.handleViewUpdateData = lambda m: calls.append(('data', m.pos)) or 'D'
            # The replacements read nothing, so the next op starts right after the ids.
            got = kx.handleViewUpdate(msg(u8(0) + u32(1) + u32(2) + u8(1) + u32(3)), 'FD')
            self.assertEqual(got, [(0, (1L, 2L, 'F', 'D')), (1, (3L, 'D'))])
            self.assertEqual(calls, [('field', 9, 'FD'), ('data', 9), ('data', 14)])
            del kx.handleViewUpdateField
            self.assertRaises(NameError, kx.handleViewUpdate, msg(OPS[0][0]), FIELDS)
            self.assertEqual(kx.handleViewUpdate(msg(u8(1) + u32(3)), FIELDS), [(1, (3L, 'D'))])
            # bound to another function of the module, that one runs
            kx.handleViewUpdateData = kx.handleViewUpdateViewID
            self.assertEqual(kx.handleViewUpdate(msg(u8(1) + u32(3) + u16(515)), FIELDS),
                             [(1, (3L, 515))])
        finally:
            kx.handleViewUpdateField, kx.handleViewUpdateData = saved
        self.assertEqual(kx.handleViewUpdate(msg(OPS[0][0]), FIELDS), [OPS[0][1]])
        # an error inside a helper shows both entries
        for payload, fields, inner in [(OPS[0][0], {}, 'KXdv17_0.handleViewUpdateField'),
                                       (OPS[2][0][:-1], FIELDS, 'KXdv17_0.handleViewUpdateData')]:
            names = []
            try:
                kx.handleViewUpdate(msg(payload), fields)
            except (KeyError, kx.BadMessageError):
                names = traceback_names(sys.exc_info())
            self.assertEqual(names[-2:], ['KXdv17_0.handleViewUpdate', inner])

    def test_add_error(self):
        text = ''.join(chr(65 + i % 26) for i in range(300))
        m = msg(u16(3) + s(text) + 'x')
        self.assertEqual(kx.handleViewAddError(m), (3, text[:255]))
        self.assertEqual(m.pos, 2 + 4 + 301)
        self.assertTruncationsFail(kx.handleViewAddError, u16(3) + s('refused'))
        self.assertTruncationsFail(kx.handleViewUpdateViewID, u16(1))
