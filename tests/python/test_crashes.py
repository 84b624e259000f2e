"""Python code that runs in the middle of a call (a rebound name, a weakref callback fired by a collection, a callback
passed in) never meets a list with empty slots, and never frees an argument the call still uses."""
import contextlib
import gc
import weakref

import KXdv17_0 as kx
import KXMsgv17_0
from kxtest import TestCase, builtins, msg, rebound, u8, u16, u32, u64
from test_connections import record
from kxcorpus import Record, populate

MARK = 31337


def touch_lists():
    """An empty slot in a list or tuple the collector knows of crashes here."""
    for o in gc.get_objects():
        if type(o) in (list, tuple) and o:
            o[-1]


@contextlib.contextmanager
def collecting(callback):
    """A collection at almost every allocation, each calling callback() from a weakref callback."""
    Bait = type('Bait', (object,), {})
    refs, live = [], [True]

    def arm():
        bait = Bait()
        bait.me = bait
        refs.append(weakref.ref(bait, fire))

    def fire(ref):
        refs.remove(ref)
        callback()
        if live[0]:
            arm()
    old = gc.get_threshold()
    arm()
    gc.set_threshold(1, 1, 1)
    try:
        yield
    finally:
        gc.set_threshold(*old)
        live[0] = False
        gc.collect()


def probe_error(*args):
    touch_lists()
    return ValueError('probed')


class CrashTest(TestCase):

    def test_lists_are_never_seen_half_filled(self):
        # Each message stops inside a list the handler fills as it reads.
        cases = [
            ('views', lambda: kx.handleConnUpdate(
                msg(record(9, 0x80000, u16(5) + u16(MARK) * 2)), {9: Record()}, None, None, 24576)),
            ('rows', lambda: kx.handleConnUpdate(
                msg(record(9, 0x10000000, u8(4) + (u8(0) + u64(MARK)) * 2)), {9: Record()}, None,
                populate, 24576)),
            ('bgp entry', lambda: kx.handleBgpEntry(msg(u32(MARK)))),
            ('netobjects', lambda: kx.handleHostAdd(msg(u32(1) + u32(5) + u32(MARK) * 2), Record, {},
                                                    24576)),
        ]
        for name, call in cases:
            with rebound('BadMessageError', probe_error):
                self.assertRaises(ValueError, call)
            with collecting(touch_lists):
                self.assertRaises(kx.BadMessageError, call)

    def test_list_emptied_while_filled(self):
        # A rebound int that empties the list it fills: the ids after it land in the emptied list.
        def int_(v):
            for o in gc.get_objects():
                if type(o) is list and o[:1] == [MARK]:
                    del o[:]
            return v
        hosts = {}
        with rebound('int', int_, builtins):
            kx.handleHostAdd(msg(u32(1) + u32(3) + u32(MARK) + u32(MARK + 1) + u32(MARK + 2) +
                                 u8(0) + u32(0) + b'\0' * 144), Record, hosts, 24576)
        self.assertEqual(hosts[1].netobjects, [MARK + 1, MARK + 2])

    def test_keyword_arguments_outlive_the_dict(self):
        # f(**kw) lends the caller's dict itself under Python 2.7 and 3.8; code run by the call empties it.
        conn = Record()

        def populate_and_clear(c, rows):
            c._engineflags = kw['protocolversion']
            kw.clear()
        shaping = (u16(0) + u32(0) + u64(0)) * 2
        kw = dict(m=msg(record(9, 0x2000 | 0x10000000, shaping + u8(0)) +
                        record(9, 0x8 | 0x2000, u32(300) + shaping) + record(9, 0x8, u32(4242))),
                  table={9: conn}, typ=None, sc_populator=populate_and_clear,
                  protocolversion=int('30000'))
        kx.handleConnUpdate(**kw)
        self.assertEqual(conn._engineflags, 4242)

        # A collection while a subclass instance is made frees the payload, and a str of its size takes its memory.
        Sub = type('Sub', (KXMsgv17_0.KXMsg,), {})
        kw = dict(type=7, payload=b''.join([b'payload'] * 40))  # the dict's alone
        spare = []

        def clobber():
            if kw:
                kw.clear()
                spare.append(b''.join([b'X'] * 280))
        with collecting(clobber):
            m = Sub(**kw)
        self.assertEqual(m.payload, b'payload' * 40)

    def test_position_moved_by_a_setter(self):
        # A setter moves m.pos to the end while a fixed-width block is stored: the values still come from its bytes.
        m = msg(u32(1) + u16(0x0080) + b''.join(u32(v) for v in range(10, 16)))

        host = type('Mover', (object,), {'__setattr__': lambda self, name, value: setattr(m, 'pos', len(m.payload))
                                         or object.__setattr__(self, name, value)})()
        kx.handleHostUpdate(m, {1: host}, 24576)
        self.assertEqual((host.quality_packets, host.quality_internal_issues, host.quality_external_issues),
                         ((10, 11), (12, 14), (13, 15)))
