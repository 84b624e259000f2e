"""Python 3 only: wire text as surrogateescape str both ways, bytes for data, `in` for has_key."""
import unittest

import KXdv17_0 as kx
import KXMsgv17_0
from kxtest import PY3, TestCase, RecordingIO, msg, s, u8, u16, u32

LATIN1 = b'caf\xe9'                  # not UTF-8: the byte survives as a lone surrogate
UTF8 = b'd\xc3\xa9mo \xe2\x82\xac'    # UTF-8: reads as the text it is


@unittest.skipUnless(PY3, 'Python 3 only')
class TextTest(TestCase):

    def test_round_trip_through_handler_and_builder(self):
        for wire, text in [(LATIN1, u'caf\udce9'), (UTF8, u'd\xe9mo \u20ac'), (b'\xff\xfe\x80', u'\udcff\udcfe\udc80')]:
            got = [kx.handleNotAvail(msg(s(wire))),
                   kx.handleViewAddError(msg(u16(1) + s(wire)))[1],
                   kx.handleServerXFBNames(msg(u8(1) + s(wire)))[0],
                   kx.handleStrtblEntries(msg(u32(1) + s(wire) + u32(0)))[0][1],
                   kx.handleShapingRulesInit(msg(u32(0) + u32(1) + s(wire)))[0][1]]
            self.assertEqual(got, [text] * 5)
            self.assertIs(type(got[0]), str)
            # ... and encoded back to the same bytes by request builders, as str or as bytes
            for name in (text, wire):
                self.assertRequests([
                    (kx.createViewByName, (7, name), (139266, u16(7) + s(wire))),
                    (kx.doAuth, (name, name), (131073, s(wire) * 2)),
                    (kx.setDebug, (1, name), (132822, u32(1) + s(wire))),
                    (kx.createView, (1, [(1, True, kx.PROTOCOL_VIEW_FILTER_TYPE_STRINGS, [name])], [(2, name)]),
                     (139264, u16(1) + u8(1) + u8(1) + u8(0) + u16(1) + s(wire) + u8(1) + u8(2) + s(wire))),
                    (kx.vcrcTest, (1, {'service': name, 'properties': [(name, 'v')]}),
                     (67336, u32(1) + u32(0x1200) + s(wire) + u8(1) + s(wire) + s('v')))])

    def test_arguments_refused(self):
        io, rb, m = RecordingIO(), KXMsgv17_0.KXRingbuf(1), KXMsgv17_0.KXMsg(1)
        data = "a bytes-like object is required, not '%s'"
        cases = [
            # (function, args, exception, text)
            (kx.doAuth, (io, 1, 'pw'), TypeError, 'expected str or bytes, not int'),
            (kx.doAuth, (io, 'u', bytearray(b'pw')), TypeError, 'expected str or bytes, not bytearray'),
            (kx.doAuth, (io, 'u\0x', 'pw'), ValueError, 'embedded null character'),
            (kx.setDebug, (io, 1, b'a\0'), ValueError, 'embedded null character'),
            (kx.setDebug, (io, 1.0, 'on'), TypeError, "'float' object cannot be interpreted as an integer"),
            (kx.createView, (io, 1, [(1, True, kx.PROTOCOL_VIEW_FILTER_TYPE_HOSTS, [b'10.0.0.1', 5])], []),
             TypeError, 'expected str or bytes, not int'),
            (KXMsgv17_0.KXMsg, (1, 'text'), TypeError, data % 'str'),
            (KXMsgv17_0.KXMsg, (1, 5), TypeError, data % 'int'),
            (m.append, ('text',), TypeError, data % 'str'),
            (rb.write, ('text',), TypeError, data % 'str'),
            (kx.injectPacket, (io, 'eth0', 'text'), TypeError, "pktdata must be a bytes-like object, not 'str'"),
            (kx.injectPacket, (io, 'eth0', [1, 2]), TypeError, "pktdata must be a bytes-like object, not 'list'"),
        ]
        for func, args, exc, text in cases:
            with self.assertRaises(exc) as cm:
                func(*args)
            self.assertEqual(str(cm.exception), text, func.__name__)
        self.assertEqual((io.sent, m.payload, rb.used()), ([], b'', 0))

    def test_bytes_like_accepted(self):
        for data in (b'ab', bytearray(b'ab'), memoryview(b'xaby')[1:3]):
            m = KXMsgv17_0.KXMsg(1, data)
            m.append(data)
            rb = KXMsgv17_0.KXRingbuf(1)
            self.assertEqual((m.payload, rb.write(data), rb.read(9)), (b'abab', 2, b'ab'))
            io = RecordingIO()
            kx.injectPacket(io, 'eth0', data)
            self.assertEqual(io.sent, [(67236, s('eth0') + u32(2) + b'ab')])
        self.assertEqual([type(v) for v in (m.payload, rb.peek(1), kx.handleSessionContextAdd(
            msg(u8(1) + b'\0' * 8 + u16(1) + b'z'))[2])], [bytes] * 3)

    def test_criteria_asked_with_in(self):
        # holds 'xfb' but denies it to `in`; its has_key would say yes
        Criteria = type('Criteria', (dict,), {'has_key': lambda self, key: True,
                                              '__contains__': lambda self, key: key != 'xfb' and dict.__contains__(self, key)})
        io = RecordingIO()
        kx.vcrcTest(io, 2, Criteria(protocol=6, xfb=9))
        self.assertEqual(io.sent, [(67336, u32(2) + u32(0x10) + u8(6))])
        kx.vcrcTest(io, 3, {'xfb': 9})  # a plain dict, which has no has_key under Python 3
        self.assertEqual(io.sent[1], (67336, u32(3) + u32(0x800) + u32(9)))
