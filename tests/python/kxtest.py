"""Shared helpers for the KXdv17_0 tests."""
import contextlib
import random
import socket
import struct
import sys
import time
import traceback
import unittest

import KXdv17_0 as kx
import KXMsgv17_0

PY3 = sys.version_info[0] >= 3
if PY3:
    import builtins
    long = int
    unicode = str
else:
    import __builtin__ as builtins
    long = long
    unicode = unicode


# This process's CPU time: benchmarks on a shared machine count only the time they ran.
cpu_clock = getattr(time, 'process_time', None) or time.clock


class SameRandom(random.Random):
    """random.Random whose randrange and choice draw through random(), so a seed gives the same sequence under Python
    2.7 and Python 3 (whose own randrange differs); benchmarks use it to time the same messages under both."""

    def randrange(self, start, stop=None):
        if stop is None:
            start, stop = 0, start
        return start + int(self.random() * (stop - start))

    def choice(self, seq):
        return seq[self.randrange(len(seq))]


def wire(value):
    return value.encode('utf-8', 'surrogateescape') if isinstance(value, unicode) else value


# Big-endian unsigned numbers of 1, 2, 4 and 8 bytes.
u8, u16, u32, u64 = [struct.Struct(f).pack for f in ('>B', '>H', '>I', '>Q')]


def s(value):
    """A string field: u32 length counting the zero byte, the text, the zero."""
    data = wire(value)
    return u32(len(data) + 1) + data + b'\0'


def ip4(value):
    return struct.pack('4B', *[int(o) for o in value.split('.')])


def loopback(listen):
    """A socket on a loopback port of its own: listening (it accepts nothing
    and says nothing), or only bound (connections to it are refused)."""
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    if listen:
        s.listen(8)
    return s


def msg(payload=b'', type=0):
    return KXMsgv17_0.KXMsg(type, payload)


class RecordingIO(object):

    def __init__(self):
        self.sent = []

    def writeMsg(self, m):
        self.sent.append((m.type, m.payload))
        return 'ignored'


@contextlib.contextmanager
def rebound(name, value, owner=kx):
    old = owner.__dict__.get(name)
    bind = lambda v: owner.__dict__.pop(name, None) if v is None else setattr(owner, name, v)
    bind(value)
    try:
        yield
    finally:
        bind(old)


class Version(object):
    """A protocol version whose >= and three-way comparison disagree: for k = 1 it is >= anything yet cmp() calls it
    smaller, for k = -1 the reverse; for k = 0 both raise ZeroDivisionError."""
    __init__ = lambda self, k: setattr(self, 'k', k)
    __ge__ = lambda self, other: 1 // self.k > 0
    __cmp__ = lambda self, other: -(1 // self.k)


class TestCase(unittest.TestCase):

    def assertBad(self, func, *args, **kw):
        with self.assertRaises(kx.BadMessageError) as cm:
            func(*args, **kw)
        self.assertEqual(str(cm.exception), "Couldn't read msg")
        return cm.exception

    def raisedIn(self, exc, func, *args, **kw):
        try:
            func(*args, **kw)
        except exc as e:
            return e, [entry[2] for entry in traceback.extract_tb(sys.exc_info()[2])][1:]
        self.fail('%s not raised' % exc.__name__)

    def assertRequests(self, cases):
        """Each (builder, args, expected): the builder sends exactly the
        (type, payload) expected, or raises the expected exception and sends nothing."""
        for func, args, expected in cases:
            io = RecordingIO()
            if isinstance(expected, tuple):
                self.assertIsNone(func(io, *args))
                self.assertEqual(io.sent, [expected], (func.__name__, args))
            else:
                self.assertRaises(expected, func, io, *args)
                self.assertEqual(io.sent, [], (func.__name__, args))


def scratch(test, prefix):
    """A temporary folder, removed when test ends."""
    import shutil
    import tempfile
    path = tempfile.mkdtemp(prefix=prefix)
    test.addCleanup(shutil.rmtree, path, True)
    return path


def sockets(test, *listen):
    """loopback(x) for each x, closed when test ends."""
    found = [loopback(x) for x in listen]
    for s in found:
        test.addCleanup(s.close)
    return found
