"""Handshake, authentication, keep-alive and update requests."""
import KXdv17_0 as kx
from kxtest import TestCase, long, msg, s, u8, u16, u32, u64


class DecodeTest(TestCase):

    def test_handlers(self):
        letters = ''.join(chr(65 + i % 26) for i in range(300))
        cases = [
            # (handler, payload, expected value, its type)
            (kx.handleVersion, u16(1) + u64(2 ** 64 - 1) + s(letters) + s('2nd'), (1, 2 ** 64 - 1, letters[:255], '2nd'),
             (int, long, str, str)),
            (kx.handleFeatures, b'\0\0\0\0\0\0\x01\x05', kx.FEATURES_VBS + kx.FEATURES_SHAPING + kx.FEATURES_BGP, long),
            (kx.handleAuth, u8(255), 255, int), (kx.handleEperm, b'\xff\xff\xff\xff', 4294967295, long),
            (kx.handleNotAvail, u32(0), '', str), (kx.handleServerXFBNames, u8(0), [], list),
            (kx.handleNotAvail, u32(6) + b'ab\0cd\0', 'ab', str),  # ends at an embedded zero
            (kx.handleNotAvail, u32(3) + b'abc', 'abc', str),      # no zero byte: exactly its own bytes
            (kx.handleServerXFBNames, u8(3) + s('x1') + s('n' * 254) + s('m' * 255), ['x1', 'n' * 254, 'm' * 254],
             list),
        ]
        for handler, payload, expected, types in cases:
            got = handler(msg(payload))
            self.assertEqual((got, tuple(map(type, got)) if isinstance(types, tuple) else type(got)), (expected, types),
                             (handler.__name__, payload[:20]))

    def test_requests(self):
        self.assertRequests([
            (kx.doAuth, ('abc', ''), (131073, b'\0\0\0\x04abc\0' + b'\0\0\0\x01\0')),
            (kx.doAuth, (b'd\xc3\xa9mo', u'pw'), (131073, s(b'd\xc3\xa9mo') + s('pw'))),
            (kx.doAuth, ('u' * 16000, 'p' * 16000), (131073, s('u' * 16000) + s('p' * 16000))),
            (kx.doAuth, ('user', 1234), TypeError),
            (kx.doAuth, (None, 'pw'), TypeError),
            (kx.doAuth, ('u' * 20000, 'p' * 20000), ValueError)])
