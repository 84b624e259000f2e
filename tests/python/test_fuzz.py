"""Random and mutated payloads through every handler: each call must return
or raise an ordinary Python exception, never crash or corrupt the caller."""
import os
import random

import KXdv17_0 as kx
from kxtest import TestCase, msg, u8, u16, u32, u64, s


class Obj(object):
    def __init__(self, *args):
        self.args = args

    def _set_views(self, views):
        self.views = views


class Table(dict):
    """Hands out an object for every key, so updates reach deep into records."""

    def __missing__(self, key):
        value = self[key] = Obj(key)
        return value


def handler_calls():
    fields = dict((i, {'type': i % 6}) for i in range(256))
    info = ({1: {'name': 'c'}, 2: {'name': 'd'}}, [(1, 'a'), (2, 'b')])
    return [
        (kx.handleHostAdd, lambda: (Obj, Table(), 20000)),
        (kx.handleHostUpdate, lambda: (Table(), 16000)),
        (kx.handleConnUpdate, lambda: (Table(), Obj, lambda *a: None, 30000)),
        (kx.handleViewUpdate, lambda: (fields,)),
        (kx.handleViewUpdateField, lambda: (fields,)),
        (kx.handleChannelsData, lambda: (info,)),
        (kx.shapingobjectUpdateHandle, lambda: ({},)),
        (kx.handleFWRulesData, lambda: (Table(),)),
        (kx.handleDrdlStatsDump, lambda: ([],)),
    ] + [(getattr(kx, name), lambda: ())
         for name in sorted(dir(kx)) if name.startswith('handle') and name not in (
             'handleHostAdd', 'handleHostUpdate', 'handleConnUpdate', 'handleViewUpdate',
             'handleViewUpdateField', 'handleChannelsData', 'handleFWRulesData',
             'handleDrdlStatsDump')]


# Small payloads that look like the protocol: counts, masks, families and
# string lengths near their edges, so the walk gets past the first field.
PIECES = [u8(0), u8(1), u8(2), u8(255), u16(0), u16(0xffff), u32(0), u32(1), u32(5),
          u32(0xffffffff), u32(0x7ffff), u64(0), u64(2 ** 64 - 1), s('abc'), s('x' * 300),
          u32(0x80000000), b'\x00' * 16, b'\xff' * 16]


# More rounds for a longer run by hand, e.g. under the sanitizers.
ROUNDS = int(os.environ.get("KX_FUZZ_ROUNDS", "300"))


class FuzzTest(TestCase):

    def test_random_payloads(self):
        rnd = random.Random(1)
        for func, args in handler_calls():
            for _ in range(ROUNDS):
                if rnd.random() < 0.5:
                    payload = b''.join(rnd.choice(PIECES) for _ in range(rnd.randint(0, 40)))
                else:
                    payload = bytes(bytearray(rnd.getrandbits(8) for _ in range(rnd.randint(0, 200))))
                m = msg(payload)
                try:
                    func(m, *args())
                except (kx.BadMessageError, KeyError, TypeError, ValueError, AttributeError):
                    pass
                self.assertTrue(0 <= m.pos <= m.len, func.__name__)
