"""Every handler against mutated and cut payloads: it returns or raises BadMessageError (KeyError, ValueError for a
record or value it cannot take), never crashes, and a cut message stores nothing the whole message would not."""
import os
import random
import struct

import KXdv17_0 as kx
import kxcorpus
from kxcorpus import _protocol
from kxtest import TestCase, long, msg, unicode

LOG = None  # what the caller objects of the current call saw done to them, when kept


SCALARS = frozenset([int, long, float, bool, bytes, unicode, type(None)])


def plain(v):
    if type(v) in SCALARS:
        return v
    if isinstance(v, (list, tuple)):
        return tuple(map(plain, v)) if isinstance(v, tuple) else list(map(plain, v))
    if isinstance(v, Obj):
        return ('record', plain(vars(v)))
    return dict((k, plain(x)) for k, x in v.items())


class Obj(object):
    __init__ = lambda self, *args: log('new', args)
    __setattr__ = lambda self, name, value: log('set', name, value) or object.__setattr__(self, name, value)
    _set_views = lambda self, views: log('views', views)


class Table(dict):
    """A caller's table logging stores and removals; Table(make) makes a record for every key asked, so updates reach
    deep into records."""
    __init__ = lambda self, make=None: setattr(self, 'make', make)
    __setitem__ = lambda self, key, value: log('store', key, value) or dict.__setitem__(self, key, value)
    __delitem__ = lambda self, key: log('del', key) or dict.__delitem__(self, key)

    def __missing__(self, key):
        if self.make is None:
            raise KeyError(key)
        self[key] = self.make()
        return dict.__getitem__(self, key)


List = type('List', (list,), {'append': lambda self, value: log('append', value) or list.append(self, value)})
populate = lambda conn, rows: log('rows', rows)


def log(kind, *values):
    if LOG is not None:
        LOG.append((kind,) + values[:-1] + (plain(values[-1]),))


def extra_args(func, version, fields, info):
    return {
        kx.handleHostAdd: lambda: (Obj, Table(), version),
        kx.handleHostUpdate: lambda: (Table(Obj), version),
        kx.handleConnUpdate: lambda: (Table(Obj), Obj, populate, version),
        kxcorpus.view_update: lambda: (fields,),
        kx.handleChannelsData: lambda: (info,),
        kx.shapingobjectUpdateHandle: lambda: (Table(),),
        kx.handleFWRulesData: lambda: (Table(Table),),
        kx.handleDrdlStatsDump: lambda: (List(),),
    }.get(func, tuple)()


def call(func, payload, args, type_=0, logged=False):
    global LOG
    LOG = [] if logged else None
    m = msg(payload, type_)
    try:
        got = ('value', plain(func(m, *args)))
    except (kx.BadMessageError, KeyError, ValueError) as e:
        got = ('raised', type(e), str(e))
    return got, LOG, m.pos


def leaves(value, named, unnamed, key=None):
    """Every number, text and pair in a decoded value: under its dict key in named, else in unnamed."""
    if isinstance(value, dict):
        for k, v in value.items():
            leaves(k, named, unnamed)
            leaves(v, named, unnamed, k if isinstance(k, (bytes, unicode)) else None)
    elif isinstance(value, (list, tuple)):
        for v in value:
            leaves(v, named, unnamed)
        if isinstance(value, tuple) and len(value) == 2 and set(map(type, value)) <= set([int, long]):
            named.setdefault(key, set()).add(value) if key is not None else unnamed.add(value)  # a pair, whole too
    elif key is None:
        unnamed.add(value)
    else:
        named.setdefault(key, set()).add(value)


def within(part, full):
    """part is what a cut message left: full itself, or for containers, a
    beginning of it (list prefix, subset of keys, each item within)."""
    if part == full or part in (None, 0, ''):  # equal, or a field the cut left out
        return True
    if isinstance(part, dict) and isinstance(full, dict):
        return all(k in full and within(v, full[k]) for k, v in part.items())
    if isinstance(part, (list, tuple)) and isinstance(full, type(part)):
        return len(part) <= len(full) and all(within(p, f) for p, f in zip(part, full))
    return False


# Records without a count, or optional trailing fields: a cut between them returns what came before. The number is how
# many cuts in a row may: the bytes of a record's first field (and skipped last word), or of the optional field.
STOPS_CLEANLY = {'handleHostAdd': 4, 'handleHostUpdate': 4, 'handleConnUpdate': 4, 'view_update': 1,
                 'handleStrtblBegin': 8, 'handleStrtblEntries': 8, 'handleStrtblEnd': 1,
                 'handleShapingRulesInit': 4, 'handleFWRulesInit': 4, 'handleSessionContextRemove': 32768,
                 'handleDrdlStatsDump': 32768, 'handleHostFindReply': 4, 'handleVersion': 8, 'handleFWEntry': 32768}


# Fields whose values the module scales: view row speeds are bytes per second on the wire, bits per second decoded.
SCALED = frozenset(['speed'])

EDGE_WORDS = [0, 1, 0x7f, 0x80, 0xff, 0x100, 0x7fff, 0x8000, 0xffff, 0x10000, 0x7fffffff, 0x80000000,
              0xffffffff]

ROUNDS = int(os.environ.get("KX_FUZZ_ROUNDS", "300"))  # more for a longer run by hand, e.g. under the sanitizers


def mutate(rnd, payload, others):
    data = bytearray(payload)
    for _ in range(rnd.randint(1, 4)):
        op = rnd.randrange(7)
        at = rnd.randint(0, len(data))
        if op == 0 and data:
            data[rnd.randrange(len(data))] ^= 1 << rnd.randrange(8)
        elif op == 1 and data:
            width = rnd.choice((1, 2, 4))
            at = rnd.randrange(len(data))
            data[at:at + width] = struct.pack('>I', rnd.choice(EDGE_WORDS))[4 - width:]
        elif op == 2:
            del data[at:at + rnd.randint(1, 16)]
        elif op == 3:
            data[at:at] = data[at:at + rnd.randint(1, 32)]
        elif op == 4:
            data[at:at] = bytearray(rnd.getrandbits(8) for _ in range(rnd.randint(1, 8)))
        elif op == 5:
            other = rnd.choice(others)
            data = data[:at] + bytearray(other[rnd.randint(0, len(other)):])
        else:
            del data[at:]
    return bytes(data[:32768])


class FuzzTest(TestCase):

    def test_corpus_mutated_and_cut(self):
        rnd = random.Random(2)
        corpus = kxcorpus.load()
        ctx = kxcorpus.Context(corpus)
        by_type = {}
        for type_, payload in corpus:
            by_type.setdefault(type_, []).append(payload)
        handled = set()
        for type_, payload in corpus:
            func = (ctx.handler(type_) or (None,))[0]
            if func is None:
                continue
            args = lambda: extra_args(func, ctx.version, ctx.fields, ctx.channel_info)
            full, full_log, pos = call(func, payload, args(), type_, True)
            name, run = func.__name__, 0
            self.assertEqual((full[0], pos), ('value', len(payload)), '%x' % type_)
            handled.add(name)
            for _ in range(max(1, ROUNDS // 4)):
                mutated = mutate(rnd, payload, by_type[type_])
                self.assertLessEqual(call(func, mutated, args(), type_)[2], len(mutated), name)
            # Every cut in the first records, then every 29th up to 2 KB: a prime stride meets every record offset.
            for n in list(range(min(len(payload), 256))) + list(range(256, min(len(payload), 2048), 29)):
                got, events, pos = call(func, payload[:n], args(), type_, True)
                if got[0] == 'raised':
                    run, sound = 0, got[1:] == (kx.BadMessageError, "Couldn't read msg")
                else:
                    run += 1
                    sound = run <= STOPS_CLEANLY.get(name, 0) and within(got[1], full[1])
                if not (sound and pos <= n and events == full_log[:len(events)]):
                    self.fail('%s %x cut at %d of %d: %r, read to %d, last done %r' % (
                        name, type_, n, len(payload), got, pos, events[-3:]))
        self.assertGreaterEqual(len(handled), 30)

    def test_corpus_records(self):
        """Every captured message is exactly one record as the definition lays its type out, and what the module
        decodes from it holds each named field's value (but coded ones, and pairs of scaled rates): under that key or
        attribute where the module has one of that name, or unnamed (a tuple item, an argument)."""
        corpus = kxcorpus.load()
        ctx = kxcorpus.Context(corpus)
        types = dict((i, f['type']) for i, f in ctx.fields.items())
        compared = 0
        for type_, payload in corpus:
            name, rows = _protocol.SERVER_RECORDS[type_]
            walk = kxcorpus.Walk(rows, payload, ctx.version, ctx.channel_info[1], types)
            self.assertEqual(walk.pos, len(payload), name)
            func = (ctx.handler(type_) or (None,))[0]
            if func is None:
                continue
            args = extra_args(func, ctx.version, ctx.fields, ctx.channel_info)
            got, events, _ = call(func, payload, args, type_, True)
            named, unnamed = {}, set()
            leaves([got[1]] + [plain(a) for a in args if isinstance(a, (dict, list))], named, unnamed)
            for event in events:
                leaves(event[2], named, unnamed, event[1]) if event[0] == 'set' else leaves(event[1:], named, unnamed)
            for field, value in walk.fields:
                if isinstance(value, (int, long, unicode)) or (isinstance(value, tuple) and field not in SCALED):
                    compared += 1
                    where = named[field] if field in named else set().union(*named.values())
                    self.assertIn(value, where | unnamed, '%s.%s' % (name, field))
        self.assertGreater(compared, 1000)
