"""Channel statistics: descriptions and samples."""
import KXdv17_0 as kx
from kxtest import TestCase, long, msg, s, u8, u32, u64

HI = 2 ** 63
SUFFIXES = ['', '(rate)', '(rate min)', '(rate max)', '(rate min last)', '(rate max last)']
MEDIA = ['internal_media', 'external_media', 'internal_negotiated_media', 'external_negotiated_media',
         'internal_negotiated_media_time', 'external_negotiated_media_time']


def record(cid, base, groups):
    wire = u32(cid) + b''.join(u8((base + i) % 256) for i in range(4)) + u32(base + 4) + u32(base + 5)
    for g in range(groups):
        b = base + 6 + 12 * g
        wire += b''.join(u64(HI + b + i) for i in range(8)) + b''.join(u32(b + i) for i in range(8, 12))
    return wire


def expected(channel, base, names):
    rec = dict(channel, **dict(zip(MEDIA, [(base + i) % 256 for i in range(4)] + [base + 4, base + 5])))
    for g, name in enumerate(names):
        b = base + 6 + 12 * g
        rec.update((name + sfx, (b + 2 * i + HI * (i < 4), b + 2 * i + 1 + HI * (i < 4)))
                   for i, sfx in enumerate(SUFFIXES))
    return rec


class ChannelsTest(TestCase):

    def test_info(self):
        name = ''.join(chr(97 + i % 26) for i in range(300))
        payload = (u32(3) + u32(7) + s('bytes') + u32(2 ** 32 - 1) + s(name) + u32(3) + u32(0) + u32(4) +
                   u32(1) + u8(4) + u8(2) + s('ext') + u32(2 ** 32 - 1) + u8(255) + u8(0) + s(name) +
                   u32(5) + u8(0) + u8(1) + u32(0) + u32(5) + u8(9) + u8(0) + s('new'))
        m = msg(payload + b'trailing')
        table, stats = got = kx.handleChannelsInfo(m=m)
        self.assertEqual((got, m.pos), (({1: {'active': True, 'name': 'ext', 'type': 4},
                                          2 ** 32 - 1: {'active': False, 'name': name[:254], 'type': 255},
                                          5: {'active': False, 'name': 'new', 'type': 9}},
                                         [(7, 'bytes'), (2 ** 32 - 1, name[:254]), (3, '')]), len(payload)))
        self.assertEqual((set(map(type, table)), set(type(i) for i, _ in stats),
                          set(type(v) for r in table.values() for v in r.values())), ({int}, {long}, {bool, str, int}))
        self.assertEqual(kx.handleChannelsInfo(msg(u32(0) + u32(0))), ({}, []))

    def test_samples(self):
        table = {3: {'active': True, 'name': 'wan', 'type': 1}, 9: {'active': False, 'name': 'lan', 'type': 2}}
        names = ['a', 'a(rate)', 'name']  # later assignments win over earlier keys
        payload = u32(2) + record(3, 250, 3) + record(9, 2 ** 32 - 60, 3)
        info = (table, [(10, n) for n in names])
        got = kx.handleChannelsData(msg(payload + b'x'), info=info)
        self.assertEqual(got, {3: expected(table[3], 250, names), 9: expected(table[9], 2 ** 32 - 60, names)})
        self.assertEqual([type(got[3][k]) for k in MEDIA[3:5]] + list(map(type, got[3]['a(rate max last)'])),
                         [int, long, long, long])
        self.assertEqual(table[3], {'active': True, 'name': 'wan', 'type': 1})
        # the statistic list is walked afresh for every record; a record without groups is 16 bytes
        m = msg(u32(2) + record(3, 0, 1) + record(9, 0, 0) + b'rest')
        got = kx.handleChannelsData(m, (table, iter([(1, 'x')])))
        self.assertEqual((len(got[3]), len(got[9]), m.pos), (15, 9, 4 + 96 + 16))

    def test_record_copies_and_statistic_keys(self):
        # Channel items first, in order; one call's statistic keys never go to another (nor to one made meanwhile).
        class Nested(dict):
            def copy(self):
                return Nested(self)

            def __setitem__(self, key, value):
                kx.handleChannelsData(msg(u32(1) + record(3, 0, 1)), ({3: {}}, [(1, 'inner')]))
                dict.__setitem__(self, key, value)

        cases = [({3: {'b': 1, 'a': 2}}, ['x', 'y']), ({3: {2: 'two', 'a': 1}}, ['x', 'y']),
                 ({3: {}}, ['y', 'x']), ({3: {}}, ['y']), ({3: Nested(a=1)}, ['p', 'q'])]
        for table, names in cases:
            got = kx.handleChannelsData(msg(u32(1) + record(3, 0, 2)), (table, [(1, n) for n in names]))[3]
            want = expected(table[3], 0, names)
            if str is not bytes:  # Python 2.7's dicts have no order to compare
                self.assertEqual(list(got.items()), list(want.items()))
            self.assertEqual(got, want)

    def test_bad_info(self):
        wrong = 'unpack sequence of wrong size'
        rec = u32(1) + record(3, 0, 1)
        cases = [
            # (info, payload, exception, text): each step fails in wire order
            (({3: {}}, [(1, 'x'), (2,)]), rec, ValueError, wrong), (({}, [(1, 'x')]), rec, KeyError, '3'),
            (({3: {}}, [(1, 'x'), (2,)]), rec[:-1], kx.BadMessageError, "Couldn't read msg"),
            (({3: {}}, [(1, None)]), rec, TypeError, None),
        ]
        for info, payload, exc, text in cases:
            with self.assertRaises(exc) as cm:
                kx.handleChannelsData(msg(payload), info)
            self.assertEqual(text and str(cm.exception), text)
