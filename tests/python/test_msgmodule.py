import errno
import fcntl
import os
import struct
import unittest

from KXMsgv17_0 import KXMsg, KXRingbuf, newMsg
from kxtest import long

CHUNK = 262144


def frame(type_, payload, length=None):
    return struct.pack(">IH", type_, len(payload) if length is None else length) + payload


class KXMsgTest(unittest.TestCase):
    def test_messages(self):
        self.assertEqual((24, 24), (KXMsg.__basicsize__, KXRingbuf.__basicsize__))
        m = newMsg(73728)
        self.assertEqual((73728, 0, 0, b""), (m.type, m.len, m.pos, m.payload))
        self.assertIsInstance(m.type, long)
        m = KXMsg(0xffffffff, b"abcd")
        m.pos = 4
        for bad in (-1, 5):
            with self.assertRaises(ValueError):
                m.pos = bad
        m.append(b"ef")
        self.assertRaises(ValueError, m.append, b"x" * 32763)
        self.assertEqual((0xffffffff, 4, b"abcdef"), (m.type, m.pos, m.payload))
        # ring sizes round to chunks (the refused integer arguments: test_leaks, which checks each exception)
        for size, capacity in ((0, CHUNK), (2 ** 32 - 1, 2 ** 32 - CHUNK), (True, CHUNK), (1000000, 3 * CHUNK)):
            self.assertEqual(capacity, KXRingbuf(size).capacity())

    def test_bytes_and_frames(self):
        rb = KXRingbuf(CHUNK)
        self.assertEqual((5, b"hel", 5, b"he", 1, b"lo", 0),
                         (rb.write(b"hello"), rb.peek(3), rb.used(), rb.read(2), rb.skip(1), rb.read(9), rb.skip(1)))
        self.assertRaises(ValueError, rb.read, -1)
        self.assertTrue(rb.writeMsg(KXMsg(0x10001, b"\x60\x00")))
        self.assertEqual(b"\x00\x01\x00\x01\x00\x02\x60\x00", rb.peek(100))
        got = rb.readMsg()
        self.assertEqual((0x10001, 0, b"\x60\x00"), (got.type, got.pos, got.payload))
        # A partial frame leaves the caller's message alone; a broken header is skipped.
        rb.write(frame(7, b"0123456789")[:12])
        into = KXMsg(5, b"old")
        into.pos = 1
        self.assertEqual((False, None, False, 5, b"old", 1),
                         (rb.complete(), rb.readMsg(), rb.readMsgInto(into), into.type, into.payload, into.pos))
        rb.write(frame(7, b"0123456789")[12:] + frame(1, b"b" * 49994, 40000) + frame(2, b"ok"))
        self.assertTrue(rb.readMsgInto(into))
        self.assertEqual((7, b"0123456789", 0), (into.type, into.payload, into.pos))
        self.assertIsNone(rb.readMsg())
        self.assertEqual((b"b" * 10000, b"ok"), (rb.read(10000), rb.readMsg().payload))
        self.assertRaises(TypeError, rb.readMsgInto, None)
        rb.write(b"f" * (CHUNK - 32773))
        self.assertFalse(rb.writeMsg(KXMsg(1, b"x" * 32768)))
        rb.read(1)
        self.assertTrue(rb.writeMsg(KXMsg(1, b"x" * 32768)))

    def test_descriptors(self):
        r, w = os.pipe()
        for fd in (r, w):
            fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)
        out, inp = KXRingbuf(2 * CHUNK), KXRingbuf(CHUNK)
        out.write(b"y" * (2 * CHUNK))
        total = 0
        while True:  # fill the pipe until it would block
            n = out.writeFd(w, 1 << 40)
            if n is None:
                break
            self.assertLessEqual(n, CHUNK)
            total += n
        self.assertEqual(2 * CHUNK - total, out.used())
        self.assertRaises(ValueError, out.writeFd, w, 0)
        self.assertEqual(total, inp.readFd(r))
        self.assertIsNone(inp.readFd(r))
        os.close(w)
        self.assertEqual(0, inp.readFd(r))
        os.close(r)
        for call, args in ((inp.readFd, (r,)), (out.writeFd, (r, 1))):
            with self.assertRaises(OSError) as ctx:
                call(*args)
            self.assertEqual(errno.EBADF, ctx.exception.errno)

