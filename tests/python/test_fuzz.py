"""Random and mutated payloads through every handler: each call must return
or raise an ordinary Python exception, never crash or corrupt the caller."""
import os
import random

import struct

import KXdv17_0 as kx
import kxcorpus
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


EDGE_WORDS = [0, 1, 0x7f, 0x80, 0xff, 0x100, 0x7fff, 0x8000, 0xffff, 0x10000, 0x7fffffff, 0x80000000,
              0xffffffff]


def mutate(rnd, payload, others):
    """One to four random edits of a payload: flipped bits, edge values
    written over 1, 2 or 4 bytes, cut or repeated ranges, inserted bytes, a
    splice with another payload of the same type, truncation."""
    data = bytearray(payload)
    for _ in range(rnd.randint(1, 4)):
        op = rnd.randrange(7)
        at = rnd.randint(0, len(data))
        if op == 0 and data:
            at = rnd.randrange(len(data))
            data[at] ^= 1 << rnd.randrange(8)
        elif op == 1 and data:
            width = rnd.choice((1, 2, 4))
            word = struct.pack('>I', rnd.choice(EDGE_WORDS))[4 - width:]
            at = rnd.randrange(len(data))
            data[at:at + width] = word
        elif op == 2:
            del data[at:at + rnd.randint(1, 16)]
        elif op == 3:
            data[at:at] = data[at:at + rnd.randint(1, 32)]
        elif op == 4:
            data[at:at] = bytearray(rnd.getrandbits(8) for _ in range(rnd.randint(1, 8)))
        elif op == 5:
            other = rnd.choice(others)
            cut = rnd.randint(0, len(other))
            data = data[:at] + bytearray(other[cut:])
        else:
            del data[at:]
    return bytes(data[:32768])


class CorpusFuzzTest(TestCase):
    """Mutations of real server messages (corpus/, captured from kxd-sim) get
    deeper into each handler than random bytes: counts and lengths start out
    consistent, so an edit lands in the middle of a record."""

    def test_corpus_is_valid(self):
        corpus = kxcorpus.load()
        ctx = kxcorpus.Context(corpus)
        handled = set()
        for type_, payload in corpus:
            entry = ctx.handler(type_)
            if entry is None:
                continue
            m = msg(payload, type_)
            try:
                entry[0](m, *kxcorpus.fresh(*entry))
            except KeyError:
                continue  # an update of a record added by a message not kept
            handled.add(entry[0].__name__)
            self.assertEqual(m.pos, m.len, '%x' % type_)
        self.assertGreaterEqual(len(handled), 30)

    def test_mutated_corpus(self):
        rnd = random.Random(2)
        corpus = kxcorpus.load()
        ctx = kxcorpus.Context(corpus)
        by_type = {}
        for type_, payload in corpus:
            by_type.setdefault(type_, []).append(payload)
        for type_, payload in corpus:
            entry = ctx.handler(type_)
            if entry is None:
                continue
            func = entry[0]
            for _ in range(max(1, ROUNDS // 4)):
                m = msg(mutate(rnd, payload, by_type[type_]), type_)
                try:
                    func(m, *kxcorpus.fresh(*entry))
                except (kx.BadMessageError, KeyError, TypeError, ValueError, AttributeError):
                    pass
                self.assertTrue(0 <= m.pos <= m.len, func.__name__)
