# KXMsgv17_0: the message object and the ring-buffer object.
import errno
import fcntl
import os
import struct
import unittest

import KXMsgv17_0
from KXMsgv17_0 import KXMsg, KXRingbuf, newMsg

CHUNK = 262144


def frame(type_, payload, length=None):
    if length is None:
        length = len(payload)
    return struct.pack(">IH", type_, length) + payload


def nonblocking_pipe():
    r, w = os.pipe()
    for fd in (r, w):
        fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)
    return r, w


class KXMsgTest(unittest.TestCase):
    def test_objects_are_a_header_and_one_pointer(self):
        self.assertEqual(24, KXMsg.__basicsize__)
        self.assertEqual(24, KXRingbuf.__basicsize__)

    def test_new_messages(self):
        m = newMsg(73728)
        self.assertEqual((73728, 0, 0, ""), (m.type, m.len, m.pos, m.payload))
        self.assertIsInstance(m.type, long)
        m = KXMsg(0xffffffff, "abc")
        self.assertEqual((0xffffffff, 3, "abc"), (m.type, m.len, m.payload))
        for bad, exc in ((-1, OverflowError), (1 << 32, OverflowError), ("1", TypeError)):
            self.assertRaises(exc, newMsg, bad)
        self.assertRaises(ValueError, KXMsg, 1, "x" * 32769)
        self.assertEqual(32768, KXMsg(1, "x" * 32768).len)

    def test_pos_and_append(self):
        m = KXMsg(1, "abcd")
        m.pos = 4
        self.assertEqual(4, m.pos)
        for bad in (-1, 5):
            with self.assertRaises(ValueError):
                m.pos = bad
        self.assertEqual(4, m.pos)
        m.append("ef")
        self.assertEqual("abcdef", m.payload)
        self.assertRaises(ValueError, m.append, "x" * 32763)
        self.assertEqual(6, m.len)

    def test_many_messages_come_and_go(self):
        # Every object returns its message to the pool; a leak or double
        # release here would show up as a crash or a runaway process.
        for i in range(2000):
            m = KXMsg(i, "p" * (i % 50))
            self.assertEqual(i % 50, m.len)
        del m


class KXRingbufTest(unittest.TestCase):
    def test_capacity(self):
        for maxsize, capacity in ((0, CHUNK), (100, CHUNK), (524288, 524288), (1000000, 786432)):
            rb = KXRingbuf(maxsize)
            self.assertEqual((capacity, capacity, 0), (rb.capacity(), rb.space(), rb.used()))
        self.assertRaises(OverflowError, KXRingbuf, 1 << 32)

    def test_bytes(self):
        rb = KXRingbuf(CHUNK)
        self.assertEqual(5, rb.write("hello"))
        self.assertEqual("hel", rb.peek(3))
        self.assertEqual(5, rb.used())
        self.assertEqual("he", rb.read(2))
        self.assertEqual(1, rb.skip(1))
        self.assertEqual("lo", rb.read(100))
        self.assertEqual("", rb.read(1))
        self.assertEqual(0, rb.skip(1))
        self.assertRaises(ValueError, rb.read, -1)
        self.assertEqual(CHUNK, rb.write("z" * (CHUNK + 10)))
        self.assertEqual(0, rb.space())
        self.assertEqual(0, rb.write("more"))

    def test_frames(self):
        rb = KXRingbuf(CHUNK)
        m = KXMsg(0x10001, "\x60\x00")
        self.assertTrue(rb.writeMsg(m))
        self.assertEqual("\x00\x01\x00\x01\x00\x02\x60\x00", rb.peek(100))
        self.assertTrue(rb.complete())
        got = rb.readMsg()
        self.assertEqual((0x10001, 2, 0, "\x60\x00"), (got.type, got.len, got.pos, got.payload))
        self.assertIsNone(rb.readMsg())

        rb.write(frame(7, "0123456789")[:12])
        self.assertFalse(rb.complete())
        self.assertIsNone(rb.readMsg())
        into = KXMsg(5, "old")
        into.pos = 1
        self.assertFalse(rb.readMsgInto(into))
        self.assertEqual((5, "old", 1), (into.type, into.payload, into.pos))
        rb.write(frame(7, "0123456789")[12:])
        self.assertTrue(rb.readMsgInto(into))
        self.assertEqual((7, "0123456789", 0), (into.type, into.payload, into.pos))
        self.assertEqual(0, rb.used())
        self.assertRaises(TypeError, rb.readMsgInto, None)
        self.assertRaises(TypeError, rb.writeMsg, "not a message")

    def test_broken_header_is_skipped(self):
        rb = KXRingbuf(CHUNK)
        rb.write(frame(1, "b" * 49994, 40000) + frame(2, "ok"))
        self.assertIsNone(rb.readMsg())
        self.assertEqual(49994 - 40000 + 6 + 8, rb.used())
        self.assertEqual("b" * 10000, rb.read(10000))
        self.assertEqual("ok", rb.readMsg().payload)

    def test_frame_must_fit_whole(self):
        rb = KXRingbuf(CHUNK)
        rb.write("f" * (CHUNK - 32773))
        self.assertFalse(rb.writeMsg(KXMsg(1, "x" * 32768)))
        rb.read(1)
        self.assertTrue(rb.writeMsg(KXMsg(1, "x" * 32768)))
        self.assertEqual(0, rb.space())

    def test_descriptors(self):
        r, w = nonblocking_pipe()
        try:
            out, inp = KXRingbuf(2 * CHUNK), KXRingbuf(CHUNK)
            data = "".join(chr(i % 251) for i in range(40000))
            out.write(data)
            self.assertEqual(40000, out.writeFd(w, 1 << 40))
            self.assertEqual(0, out.writeFd(w, 10))
            self.assertEqual(40000, inp.readFd(r))
            self.assertIsNone(inp.readFd(r))
            self.assertEqual(data, inp.read(50000))
            # Fill the pipe until it would block.
            out.write("y" * (2 * CHUNK))
            total = 0
            while True:
                n = out.writeFd(w, CHUNK)
                if n is None:
                    break
                self.assertLessEqual(n, CHUNK)
                total += n
            self.assertEqual(2 * CHUNK - total, out.used())
            self.assertRaises(ValueError, out.writeFd, w, 0)
            self.assertRaises(ValueError, inp.readFd, -1)
            os.close(w)
            w = None
            got = 0
            while True:
                n = inp.readFd(r)
                if n == 0 and inp.space():
                    break
                got += n
                inp.skip(inp.used())
            self.assertEqual(total, got)
        finally:
            os.close(r)
            if w is not None:
                os.close(w)
        with self.assertRaises(OSError) as ctx:
            KXRingbuf(1).readFd(r)
        self.assertEqual(errno.EBADF, ctx.exception.errno)
        rb = KXRingbuf(1)
        rb.write("x")
        with self.assertRaises(OSError) as ctx:
            rb.writeFd(r, 1)
        self.assertEqual(errno.EBADF, ctx.exception.errno)
        self.assertEqual(1, rb.used())


if __name__ == "__main__":
    unittest.main()
