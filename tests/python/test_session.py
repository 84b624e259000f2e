"""Handshake, authentication, keep-alive and update requests."""
import KXdv17_0 as kx
from kxtest import TestCase, RecordingIO, msg, s, u8, u16, u32, u64


class DecodeTest(TestCase):

    def test_handlers(self):
        cases = [
            # (handler, payload, expected value, expected type)
            (kx.handleVersion, u16(24576), (24576, 0, '', ''), None),
            (kx.handleVersion, u16(1) + u64(2 ** 64 - 1) + s('a') + s('b'),
             (1, 2 ** 64 - 1, 'a', 'b'), None),
            (kx.handleVersion, u16(7) + '\0' * 7, (7, 0, '', ''), None),
            (kx.handleAuth, u8(255), 255, int),
            (kx.handleFeatures, '\0\0\0\0\0\0\x01\x05',
             kx.FEATURES_VBS + kx.FEATURES_SHAPING + kx.FEATURES_BGP, long),
            (kx.handleEperm, '\xff\xff\xff\xff', 4294967295, long),
            (kx.handleNotAvail, s('no such view'), 'no such view', str),
            (kx.handleNotAvail, u32(0), '', str),
            (kx.handleServerXFBNames, u8(0), [], list),
            (kx.handleServerXFBNames, u8(2) + s('x1') + s(''), ['x1', ''], list),
        ]
        for handler, payload, expected, typ in cases:
            got = handler(msg(payload))
            self.assertEqual(got, expected, (handler.__name__, payload))
            if typ is not None:
                self.assertIs(type(got), typ)
        v = kx.handleVersion(msg(u16(1) + u64(5) + s('a') + s('b')))
        self.assertEqual([type(x) for x in v], [int, long, str, str])
        self.assertIs(type(kx.handleVersion(msg(u16(1)))[1]), int)

    def test_short_messages(self):
        cases = [
            (kx.handleVersion, u16(1) + u64(0) + s('only one text')),
            (kx.handleAuth, ''),
            (kx.handleFeatures, '\0' * 7),
            (kx.handleEperm, '\0' * 3),
            (kx.handleServerXFBNames, u8(2) + s('one')),
        ]
        for handler, payload in cases:
            self.assertBad(handler, msg(payload))
        # The server value and the texts after it are optional only together.
        self.assertTruncationsFail(kx.handleVersion, u16(1) + u64(9) + s('abc') + s('de'),
                                   start=10)
        self.assertBad(kx.handleVersion, msg(u8(1)))
        for handler, payload in [
                (kx.handleNotAvail, s('hello')),
                (kx.handleServerXFBNames, u8(2) + s('ab') + s('cd'))]:
            self.assertTruncationsFail(handler, payload)

    def test_bounded_strings(self):
        long_text = ''.join(chr(65 + i % 26) for i in range(300))
        v = kx.handleVersion(msg(u16(1) + u64(0) + s(long_text) + s('second')))
        self.assertEqual(v[2], long_text[:255])
        self.assertEqual(v[3], 'second')
        names = kx.handleServerXFBNames(msg(u8(2) + s('n' * 254) + s('m' * 255)))
        self.assertEqual(names, ['n' * 254, 'm' * 254])
        # A text cut at an embedded zero ends there; a text without its zero
        # byte gives exactly its bytes, nothing of the buffer beyond them.
        self.assertEqual(kx.handleNotAvail(msg(u32(6) + 'ab\0cd\0')), 'ab')
        self.assertEqual(kx.handleNotAvail(msg(u32(3) + 'abc')), 'abc')
        kx.handleNotAvail(msg(s('z' * 200)))
        self.assertEqual(kx.handleNotAvail(msg(u32(3) + 'xyz')), 'xyz')

    def test_reads_from_current_position(self):
        m = msg(u8(9) + u8(4))
        self.assertEqual(kx.handleAuth(m), 9)
        self.assertEqual(kx.handleAuth(m), 4)
        self.assertEqual(m.pos, 2)
        self.assertBad(kx.handleAuth, m)


class RequestTest(TestCase):

    def test_requests(self):
        io = RecordingIO()
        self.assertIsNone(kx.doAuth(io, 'abc', ''))
        self.assertEqual(io.sent, [(131073, '\0\0\0\x04abc\0' + '\0\0\0\x01\0')])
        io = RecordingIO()
        kx.doAuth(io=io, username=u'd\xe9mo'.encode('utf-8'), passwd=u'pw')
        self.assertEqual(io.sent, [(131073, s('d\xc3\xa9mo') + s('pw'))])
        for func, type in [(kx.ping, 132392), (kx.requestUpdate, 131074)]:
            io = RecordingIO()
            self.assertIsNone(func(io))
            self.assertEqual(io.sent, [(type, '')])

    def test_conversion_error_sends_nothing(self):
        io = RecordingIO()
        self.assertRaises(TypeError, kx.doAuth, io, 'user', 1234)
        self.assertRaises(TypeError, kx.doAuth, io, None, 'pw')
        self.assertEqual(io.sent, [])

    def test_oversize_request_is_refused(self):
        io = RecordingIO()
        with self.assertRaises(ValueError) as cm:
            kx.doAuth(io, 'u' * 20000, 'p' * 20000)
        self.assertEqual(str(cm.exception), 'request does not fit in one message')
        self.assertEqual(io.sent, [])
        kx.doAuth(io, 'u' * 16000, 'p' * 16000)
        self.assertEqual(len(io.sent[0][1]), 32010)

    def test_writemsg_errors_propagate(self):
        class Broken(object):
            def writeMsg(self, m):
                raise IOError('connection lost')
        self.assertRaises(IOError, kx.ping, Broken())
        self.assertRaises(AttributeError, kx.ping, object())


class AddressTextTest(TestCase):
    """The ip4 and ip6 text forms, against Python's own formatting, through a
    handler that reads one of each family."""

    def test_random_addresses(self):
        import random
        rnd = random.Random(5)
        tail = u16(1) + u16(2) + u8(6) + s('') + s('') + s('') + s('')
        for _ in range(300):
            a, b = rnd.getrandbits(32), rnd.getrandbits(32)
            got = kx.handleFWEntry(msg(u32(0) + u8(0) + u32(a) + u32(b) + tail))
            self.assertEqual(got['client'], '%d.%d.%d.%d' % tuple(a >> s_ & 255 for s_ in (24, 16, 8, 0)))
            words = [rnd.choice([0, 0xf, 0xabc, rnd.getrandbits(16)]) for _ in range(16)]
            raw = ''.join(u16(w) for w in words)
            got = kx.handleFWEntry(msg(u32(0) + u8(1) + raw + tail))
            self.assertEqual(got['client'], ':'.join('%x' % w for w in words[:8]))
            self.assertEqual(got['server'], ':'.join('%x' % w for w in words[8:]))
