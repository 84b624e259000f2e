"""Server string tables and the maintenance requests (debug settings,
statistics write, packet injection)."""
import contextlib

import KXdv17_0 as kx
import KXMsgv17_0
from kxtest import TestCase, RecordingIO, msg, s, u32


def entry(number, text, trailer=0):
    return u32(number) + s(text) + u32(trailer)


@contextlib.contextmanager
def rebound(name, value):
    """Binds a module global of KXdv17_0 for the duration of the block."""
    old = getattr(kx, name)
    setattr(kx, name, value)
    try:
        yield
    finally:
        setattr(kx, name, old)


class CountingFactory(object):
    """Stands in for the KXMsgv17_0 module and counts the messages made."""

    def __init__(self):
        self.types = []

    def newMsg(self, type):
        self.types.append(type)
        return KXMsgv17_0.newMsg(type)


class StringTableTest(TestCase):

    def test_entries(self):
        long_text = ''.join(chr(97 + i % 26) for i in range(5000))
        cases = [
            ('', []),
            (entry(1, 'one') + entry(0xffffffff, 'max', 0xffffffff),
             [(1, 'one'), (0xffffffff, 'max')]),
            (u32(4) + u32(0) + u32(9) + entry(5, 'x'), [(4, ''), (5, 'x')]),
            (entry(2, long_text) + entry(3, 'next'), [(2, long_text[:4095]), (3, 'next')]),
            # A missing trailing word drops its entry; a partial number or
            # trailing word ends the list where it stands.
            (entry(1, 'a') + u32(2) + s('b'), [(1, 'a')]),
            (entry(1, 'a') + u32(2) + s('b') + '\0\0', [(1, 'a')]),
            (entry(1, 'a') + '\0\0\0', [(1, 'a')]),
        ]
        for payload, expected in cases:
            got = kx.handleStrtblEntries(msg(payload))
            self.assertEqual(got, expected, repr(payload[:40]))
            for number, text in got:
                self.assertIs(type(number), long)
                self.assertIs(type(text), str)

    def test_entries_cut_at_every_offset(self):
        # Two entries; a cut inside a text (or its length word) is an error,
        # a cut inside an entry number or trailing word ends the list.
        first, second = entry(10, 'alpha'), entry(11, 'beta', 7)
        payload = first + second
        for n in range(len(payload) + 1):
            done = [(10, 'alpha')] if n >= len(first) else []
            offset = n - len(first) if done else n
            text_end = 4 + len(s('beta' if done else 'alpha'))
            if 4 <= offset < text_end:
                self.assertBad(kx.handleStrtblEntries, msg(payload[:n]))
            else:
                expected = done + ([(11, 'beta')] if n == len(payload) else [])
                self.assertEqual(kx.handleStrtblEntries(msg(payload[:n])), expected, n)

    def test_begin_and_end(self):
        self.assertEqual(kx.handleStrtblBegin(msg(u32(7))), (7, []))
        table, entries = kx.handleStrtblBegin(msg(u32(0xfffffffe) + entry(3, 'c')))
        self.assertEqual((table, entries), (0xfffffffe, [(3, 'c')]))
        self.assertIs(type(table), long)
        self.assertBad(kx.handleStrtblBegin, msg('\0\0\0'))
        self.assertBad(kx.handleStrtblBegin, msg(u32(7) + u32(1) + u32(9) + 'abc'))
        for payload in ['', entry(1, 'zz')]:
            m = msg(payload)
            self.assertIsNone(kx.handleStrtblEnd(m))
            self.assertIsNone(kx.handleStrtblEnd(m=m))
            self.assertEqual(m.pos, 0)
        self.assertRaises(TypeError, kx.handleStrtblEnd, None)

    def test_begin_uses_current_entries_handler(self):
        seen = []

        def entries(m):
            seen.append(m.pos)
            return 'replaced'
        m = msg(u32(7) + entry(1, 'a'))
        with rebound('handleStrtblEntries', entries):
            self.assertEqual(kx.handleStrtblBegin(m), (7, 'replaced'))
        self.assertEqual(seen, [4])
        # Restored, the module's own handler reads the entries again.
        self.assertEqual(kx.handleStrtblBegin(msg(u32(7) + entry(1, 'a'))), (7, [(1, 'a')]))
        original = kx.handleStrtblEntries
        del kx.handleStrtblEntries
        try:
            with self.assertRaises(NameError):
                kx.handleStrtblBegin(msg(u32(7)))
        finally:
            kx.handleStrtblEntries = original


class MaintenanceRequestTest(TestCase):

    def test_requests(self):
        packet = ''.join(chr(i) for i in range(100))
        cases = [
            (kx.setDebug, (3, 'on'), 132822, '\0\0\0\x03\0\0\0\x03on\0'),
            (kx.setDebug, (65539, ''), 132822, '\0\0\0\x03' + '\0\0\0\x01\0'),
            (kx.setDebug, (-1, u'x'), 132822, '\0\0\xff\xff' + s('x')),
            (kx.force_statistics_write, (), 137472, ''),
            (kx.injectPacket, ('eth0', ''), 67236, s('eth0') + u32(0)),
            (kx.injectPacket, ('eth0', packet), 67236,
             '\0\0\0\x05eth0\0' + '\0\0\0\x64' + packet),
            (kx.injectPacket, (u'if', 'x' * 4096), 67236, s('if') + u32(4096) + 'x' * 4096),
        ]
        for func, args, type, payload in cases:
            io = RecordingIO()
            self.assertIsNone(func(io, *args))
            self.assertEqual(io.sent, [(type, payload)], (func.__name__, args[:1]))

    def test_refused_requests(self):
        class LyingLength(str):
            def __len__(self):
                return 4000
        cases = [
            # (function, args, exception, text, message created?)
            (kx.setDebug, ('3', 'on'), TypeError, None, False),
            (kx.setDebug, (2 ** 31, 'on'), OverflowError, None, False),
            (kx.setDebug, (3, None), TypeError, None, True),
            (kx.injectPacket, ('eth0', 'x' * 4097), ValueError,
             'Max 4096 bytes of packet data', False),
            (kx.injectPacket, ('eth0', [0] * 5000), ValueError,
             'Max 4096 bytes of packet data', False),
            (kx.injectPacket, ('eth0', bytearray(10)), TypeError, None, False),
            (kx.injectPacket, ('eth0', u'text'), TypeError, None, False),
            (kx.injectPacket, ('eth0', 5), TypeError, None, False),
            (kx.injectPacket, ('eth0', LyingLength('abc')), ValueError, None, False),
            (kx.injectPacket, (None, 'abc'), TypeError, None, True),
            (kx.injectPacket, ('i' * 30000, 'x' * 4096), ValueError,
             'request does not fit in one message', True),
            (kx.setDebug, (1, 'a' * 40000), ValueError,
             'request does not fit in one message', True),
        ]
        for func, args, exc, text, created in cases:
            io, factory = RecordingIO(), CountingFactory()
            with rebound('KXMsgv17_0', factory):
                with self.assertRaises(exc) as cm:
                    func(io, *args)
            if text is not None:
                self.assertEqual(str(cm.exception), text)
            self.assertEqual(io.sent, [], func.__name__)
            self.assertEqual(len(factory.types), int(created), (func.__name__, exc))
