"""Channel statistics: subscription requests, descriptions and samples."""
import KXdv17_0 as kx
from kxtest import TestCase, RecordingIO, msg, s, u8, u32, u64

SUFFIXES = ['', '(rate)', '(rate min)', '(rate max)', '(rate min last)', '(rate max last)']


def info_payload(stats, channels):
    """stats: [(id, name)]; channels: [(id, type, active, name)]."""
    out = u32(len(stats)) + ''.join(u32(i) + s(n) for i, n in stats)
    return out + u32(len(channels)) + ''.join(
        u32(i) + u8(t) + u8(a) + s(n) for i, t, a, n in channels)


def stat_group(base, base32=None):
    """Six pairs: four u64 pairs numbered from base, then two u32 pairs
    numbered from base32 (default: continuing from base)."""
    if base32 is None:
        base32 = base + 8
    pairs = [(base + 2 * k, base + 2 * k + 1) for k in range(4)]
    pairs += [(base32 + 2 * k, base32 + 2 * k + 1) for k in range(2)]
    wire = ''.join(u64(a) + u64(b) for a, b in pairs[:4]) + ''.join(u32(a) + u32(b) for a, b in pairs[4:])
    return wire, pairs


def record(cid, media, times, groups):
    return u32(cid) + ''.join(u8(x) for x in media) + u32(times[0]) + u32(times[1]) + ''.join(groups)


class RequestTest(TestCase):

    def test_show_hide(self):
        io = RecordingIO()
        self.assertIsNone(kx.channelsShow(io))
        self.assertIsNone(kx.channelsHide(io=io))
        self.assertEqual(io.sent, [(132272, ''), (132273, '')])


class InfoTest(TestCase):

    def test_info(self):
        long_name = ''.join(chr(97 + i % 26) for i in range(300))
        cases = [
            (info_payload([], []), ({}, [])),
            (info_payload([(7, 'bytes'), (2 ** 32 - 1, long_name), (3, '')],
                          [(1, 4, 2, 'ext'), (2 ** 32 - 1, 255, 0, long_name), (5, 0, 1, '')]),
             ({1: {'active': True, 'name': 'ext', 'type': 4},
               2 ** 32 - 1: {'active': False, 'name': long_name[:254], 'type': 255},
               5: {'active': True, 'name': '', 'type': 0}},
              [(7L, 'bytes'), (2 ** 32 - 1, long_name[:254]), (3L, '')])),
            # a repeated channel id replaces the earlier record
            (info_payload([], [(1, 1, 1, 'old'), (1, 2, 0, 'new')]),
             ({1: {'active': False, 'name': 'new', 'type': 2}}, [])),
        ]
        for payload, expected in cases:
            m = msg(payload + 'trailing')
            got = kx.handleChannelsInfo(m)
            self.assertEqual(got, expected)
            self.assertEqual(m.pos, len(payload))
            table, stats = got
            self.assertTrue(all(type(k) is int for k in table))
            self.assertTrue(all(type(i) is long for i, _ in stats))
            self.assertTrue(all(type(r['type']) is int and type(r['active']) is bool
                                for r in table.values()))
            self.assertTruncationsFail(kx.handleChannelsInfo, payload)


class DataTest(TestCase):

    def setUp(self):
        self.table = {3: {'active': True, 'name': 'wan', 'type': 1},
                      9: {'active': False, 'name': 'lan', 'type': 2}}

    def expected(self, cid, media, times, names, pairs):
        rec = dict(self.table[cid])
        rec.update(zip(['internal_media', 'external_media', 'internal_negotiated_media',
                        'external_negotiated_media'], media))
        rec['internal_negotiated_media_time'], rec['external_negotiated_media_time'] = times
        for name, group in zip(names, pairs):
            for suffix, pair in zip(SUFFIXES, group):
                rec[name + suffix] = pair
        return rec

    def test_samples_with_several_statistics(self):
        names = ['bytes', 'drops', 'pkts']
        stats = [(10 + i, n) for i, n in enumerate(names)]
        g = [stat_group(1000 * (i + 1)) for i in range(3)]
        # the widest values of both pair widths
        h = [stat_group(2 ** 32 - 12)] * 2 + [stat_group(2 ** 64 - 9, 2 ** 32 - 4)]
        payload = (u32(2) + record(3, (1, 2, 3, 255), (2 ** 32 - 1, 5), [w for w, _ in g]) +
                   record(9, (0, 0, 0, 0), (0, 0), [w for w, _ in h]))
        info = (self.table, stats)
        got = kx.handleChannelsData(msg(payload + 'x'), info)
        self.assertEqual(got, {3: self.expected(3, (1, 2, 3, 255), (2 ** 32 - 1, 5), names,
                                                [p for _, p in g]),
                               9: self.expected(9, (0, 0, 0, 0), (0, 0), names, [p for _, p in h])})
        rec = got[3]
        self.assertEqual(len(rec), 3 + 6 + 6 * 3)
        self.assertTrue(all(type(v) is int for k, v in rec.items() if k.endswith('media')))
        self.assertTrue(all(type(x) is long for k, v in rec.items() if isinstance(v, tuple)
                            for x in v))
        self.assertIs(type(rec['internal_negotiated_media_time']), long)
        # the caller's table is left as it was
        self.assertEqual(self.table[3], {'active': True, 'name': 'wan', 'type': 1})
        self.assertIsNot(rec, self.table[3])
        self.assertTruncationsFail(kx.handleChannelsData, payload, info)

    def test_colliding_names(self):
        """Later assignments win: a name equal to another statistic's suffixed
        key, or to a fixed key, overwrites what was stored under it."""
        stats = [(1, 'a'), (2, 'a(rate)'), (3, 'name'), (4, 'internal_media')]
        groups = [stat_group(100 * (i + 1)) for i in range(4)]
        payload = u32(1) + record(3, (7, 7, 7, 7), (1, 2), [w for w, _ in groups])
        rec = kx.handleChannelsData(msg(payload), [self.table, stats])[3]
        self.assertEqual(rec['a'], groups[0][1][0])
        self.assertEqual(rec['a(rate)'], groups[1][1][0])
        self.assertEqual(rec['a(rate)(rate)'], groups[1][1][1])
        self.assertEqual(rec['a(rate min)'], groups[0][1][2])
        self.assertEqual(rec['name'], groups[2][1][0])
        self.assertEqual(rec['internal_media'], groups[3][1][0])
        self.assertEqual(rec['external_media'], 7)
        self.assertEqual(rec['active'], True)
        self.assertEqual(self.table[3]['name'], 'wan')

    def test_counts_and_sizes(self):
        empty_rec = record(9, (1, 1, 1, 1), (1, 1), [])
        self.assertEqual(len(empty_rec), 16)
        m = msg(u32(2) + empty_rec + record(3, (2, 2, 2, 2), (2, 2), []))
        got = kx.handleChannelsData(m, (self.table, []))
        self.assertEqual(sorted(got), [3, 9])
        self.assertEqual(m.pos, 4 + 32)
        m = msg(u32(0) + 'rest')
        self.assertEqual(kx.handleChannelsData(m, (self.table, [(1, 'x')])), {})
        self.assertEqual(m.pos, 4)
        # one record more than the message holds
        self.assertBad(kx.handleChannelsData, msg(u32(2) + empty_rec), (self.table, []))

    def test_bad_info(self):
        wrong = 'unpack sequence of wrong size'
        rec = u32(1) + record(3, (0, 0, 0, 0), (0, 0), [stat_group(0)[0]])
        cases = [
            # (info, exception, text)
            ((self.table,), ValueError, wrong),
            ((self.table, [], None), ValueError, wrong),
            ((self.table, [(1, 'x', 2)]), ValueError, wrong),
            ((self.table, [('only',)]), ValueError, wrong),
            (({}, [(1, 'x')]), KeyError, None),
            (({3: None}, [(1, 'x')]), AttributeError, None),
            ((self.table, [(1, None)]), TypeError, None),
        ]
        for info, exc, text in cases:
            with self.assertRaises(exc) as cm:
                kx.handleChannelsData(msg(rec), info)
            if text:
                self.assertEqual(str(cm.exception), text)
        # statistic names may be unicode; their keys follow
        got = kx.handleChannelsData(msg(rec), (self.table, [(1, u'u')]))
        self.assertEqual(got[3][u'u(rate)'], (2, 3))
        self.assertRaises(TypeError, kx.handleChannelsInfo, None)
