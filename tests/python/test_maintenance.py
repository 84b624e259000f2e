"""Server string tables and the maintenance requests (debug settings, statistics write, packet injection)."""
import KXdv17_0 as kx
import KXMsgv17_0
from kxtest import PY3, TestCase, RecordingIO, long, msg, rebound, s, u32


def entry(number, text, trailer=0):
    return u32(number) + s(text) + u32(trailer)


class StringTableTest(TestCase):

    def test_entries(self):
        text = ''.join(chr(97 + i % 26) for i in range(5000))
        cases = [
            (entry(1, 'one') + entry(0xffffffff, 'max', 0xffffffff), [(1, 'one'), (0xffffffff, 'max')]),
            (u32(4) + u32(0) + u32(9) + entry(5, 'x'), [(4, ''), (5, 'x')]),
            (entry(2, text) + entry(3, 'next'), [(2, text[:4095]), (3, 'next')]),
        ]
        for payload, expected in cases:
            got = kx.handleStrtblEntries(msg(payload))
            self.assertEqual((got, set(type(n) for n, _ in got)), (expected, set([long])))

    def test_begin_and_end(self):
        self.assertEqual(kx.handleStrtblBegin(msg(u32(7))), (7, []))
        self.assertEqual(list(map(type, kx.handleStrtblBegin(msg(u32(0xfffffffe) + entry(3, "c"))))), [long, list])
        self.assertBad(kx.handleStrtblBegin, msg(b'\0\0\0'))
        self.assertBad(kx.handleStrtblBegin, msg(u32(7) + u32(1) + u32(9) + b'abc'))
        m = msg(entry(1, 'zz'))
        self.assertEqual((kx.handleStrtblEnd(m=m), m.pos), (None, 0))
        # The entries are read by whatever handleStrtblEntries is bound now.
        seen = []
        with rebound('handleStrtblEntries', lambda m: seen.append(m.pos) or 'replaced'):
            self.assertEqual(kx.handleStrtblBegin(msg(u32(7) + entry(1, 'a'))), (7, 'replaced'))
        self.assertEqual(seen, [4])
        with rebound('handleStrtblEntries', None):
            self.assertRaises(NameError, kx.handleStrtblBegin, msg(u32(7)))


class CountingFactory(list):

    def newMsg(self, type):
        self.append(type)
        return KXMsgv17_0.newMsg(type)


class MaintenanceRequestTest(TestCase):

    def test_requests(self):
        packet = bytes(bytearray(range(256))) * 16      # the most it takes, zero bytes included
        self.assertRequests([
            (kx.setDebug, (3, 'on'), (132822, b'\0\0\0\x03\0\0\0\x03on\0')),
            (kx.setDebug, (65539, ''), (132822, b'\0\0\0\x03' + b'\0\0\0\x01\0')),
            (kx.setDebug, (-1, u'x'), (132822, b'\0\0\xff\xff' + s('x'))),
            (kx.injectPacket, ('eth0', b''), (67236, s('eth0') + u32(0))),
            (kx.injectPacket, (u'if', packet), (67236, s('if') + u32(4096) + packet))])

    def test_refused_requests(self):
        class LyingLength(bytes):
            def __len__(self):
                return 4000
        too_big = 'request does not fit in one message'
        cases = [
            # (function, args, exception, text, message created?)
            (kx.setDebug, ('3', 'on'), TypeError, None, False),
            (kx.setDebug, (2 ** 31, 'on'), OverflowError, None, False),
            (kx.setDebug, (3, None), TypeError, None, True),
            (kx.injectPacket, ('eth0', b'x' * 4097), ValueError, 'Max 4096 bytes of packet data', False),
            (kx.injectPacket, ('eth0', [0] * 5000), ValueError, 'Max 4096 bytes of packet data', False),
            (kx.injectPacket, ('eth0', u'text'), TypeError, None, False),
            (kx.injectPacket, ('eth0', LyingLength(b'abc')), ValueError, None, False),
            (kx.injectPacket, (None, b'abc'), TypeError, None, True),
            (kx.injectPacket, ('i' * 30000, b'x' * 4096), ValueError, too_big, True),
            (kx.setDebug, (1, 'a' * 40000), ValueError, too_big, True),
        ]
        if not PY3:  # Python 3 takes any bytes-like object as packet data
            cases.append((kx.injectPacket, ('eth0', bytearray(10)), TypeError, None, False))
        for func, args, exc, text, created in cases:
            io, factory = RecordingIO(), CountingFactory()
            with rebound('KXMsgv17_0', factory):
                e, _ = self.raisedIn(exc, func, io, *args)
            self.assertEqual((text or str(e), io.sent, len(factory)), (str(e), [], int(created)),
                             (func.__name__, exc))
