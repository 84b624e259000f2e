"""Shared helpers for the KXdv17_0 tests: payload builders, a recording
connection object and a truncation sweep."""
import struct
import unittest

import KXdv17_0 as kx
import KXMsgv17_0


def u8(v):
    return struct.pack('>B', v)


def u16(v):
    return struct.pack('>H', v)


def u32(v):
    return struct.pack('>I', v)


def u64(v):
    return struct.pack('>Q', v)


def s(text):
    """A string field: u32 length counting the zero byte, the text, the zero."""
    return u32(len(text) + 1) + text + '\0'


def ip4(text):
    return ''.join(chr(int(o)) for o in text.split('.'))


def msg(payload='', type=0):
    return KXMsgv17_0.KXMsg(type, payload)


class RecordingIO(object):
    """A connection object whose writeMsg keeps (type, payload) of each call."""

    def __init__(self):
        self.sent = []

    def writeMsg(self, m):
        self.sent.append((m.type, m.payload))
        return 'ignored'


def sent_one(testcase, io, type, payload):
    testcase.assertEqual(io.sent, [(type, payload)])


class TestCase(unittest.TestCase):

    def assertBad(self, func, *args, **kw):
        """func raises BadMessageError with the plain "Couldn't read msg" text."""
        with self.assertRaises(kx.BadMessageError) as cm:
            func(*args, **kw)
        self.assertEqual(str(cm.exception), "Couldn't read msg")
        return cm.exception

    def assertTruncationsFail(self, func, payload, *args, **kw):
        """Every strict prefix of a valid payload (from `start` bytes on)
        raises BadMessageError."""
        for n in range(kw.get('start', 0), len(payload)):
            with self.assertRaises(kx.BadMessageError, msg='prefix of %d bytes' % n):
                func(msg(payload[:n]), *args)
