"""Shaping object updates and the shaping rule list."""
import KXdv17_0 as kx
from kxtest import TestCase, builtins, long, msg, rebound, s, u16, u32, u64

# (key, packer or None when not on the wire) in wire order.
GROUP = [('RX bytes', u64), ('congested bytes', u64), ('RX bps', u32), ('congested bps', u32),
         ('RX packets', u64), ('congested packets', u64), ('RX pps', u32), ('congested pps', u32),
         ('total drops', u64), ('drops/s', u32), ('total marks', u64), ('marks/s', None),
         ('avg latency', u32), ('max latency', u16), ('avg Q', u32), ('max Q', u32)]
COUNTERS = [('copies', u32), ('connections', u32)] + [(d + k, p) for d in ('in ', 'out ') for k, p in GROUP]
VALUES = dict((k, {u16: 0xff00 + i, u32: 4000000000 + i, u64: 2 ** 63 + i, None: 0}[p])
              for i, (k, p) in enumerate(COUNTERS))
VALUES.update({'in RX bps': 125000, 'out congested bps': 4294967295})
BLOCK = b''.join(p(VALUES[k]) for k, p in COUNTERS if p)
ENDS = dict((k, 12 + sum(len(p(0)) for _, p in COUNTERS[:i + 1] if p)) for i, (k, _) in enumerate(COUNTERS))
RECORD = dict((k, v * 8 if k.endswith(' bps') else v) for k, v in VALUES.items())


def header(objid, kind):
    return u32(objid) + u32(0xdeadbeef) + u32(kind)


class ShapingTest(TestCase):

    def test_counter_update(self):
        m, d = msg(header(5, 2) + BLOCK), {}
        self.assertIsNone(kx.shapingobjectUpdateHandle(m=m, d=d))
        self.assertEqual((m.pos, d, list(map(type, d))), (184, {5: RECORD}, [int]))
        self.assertEqual(dict((k, type(v)) for k, v in d[5].items()),
                         dict((k, int if p in (u16, None) or k.endswith(' bps') else long) for k, p in COUNTERS))
        # int() is the built-in bound now, for the key and the bit rates
        with rebound('int', lambda v: 'i%d' % v, builtins):
            kx.shapingobjectUpdateHandle(msg(header(5, 2) + BLOCK), d)
        self.assertEqual(d['i5']['in RX bps'], 'i125000' * 8)

    def test_updates_accumulate_in_place(self):
        d = {}
        for payload in [header(9, 1) + s('x' * 599) + b'tail', header(9, 2) + BLOCK, header(9, 7) + b'any',
                        header(2 ** 32 - 1, 0), header(8, 1) + u32(4) + b'ab\0c']:
            kx.shapingobjectUpdateHandle(msg(payload), d)
        self.assertEqual(d, {9: dict(RECORD, name='x' * 511), 2 ** 32 - 1: {}, 8: {'name': 'ab'}})

    def test_truncation_keeps_what_was_stored(self):
        payload = header(3, 2) + BLOCK
        for n in range(len(payload)):
            d = {3: dict.fromkeys(RECORD, 'old')}
            self.assertBad(kx.shapingobjectUpdateHandle, msg(payload[:n]), d)
            self.assertEqual(d[3], dict((k, RECORD[k] if ENDS[k] <= n else 'old') for k in RECORD), n)
        for n, keys in [(3, []), (4, [3]), (12, [3])]:  # the record is made once the id is read
            d = {}
            self.assertBad(kx.shapingobjectUpdateHandle, msg(payload[:n]), d)
            self.assertEqual(list(d.keys()), keys)
        rec = type('R', (dict,), {'__setitem__': lambda r, k, v: 1 // (k != 'in RX packets') and dict.__setitem__(r, k, v)})()
        self.assertRaises(ZeroDivisionError, kx.shapingobjectUpdateHandle, msg(header(1, 2) + BLOCK), {1: rec})
        self.assertEqual(sorted(rec), sorted(k for k, _ in COUNTERS[:6]))

    def test_rules(self):
        cases = [
            (u32(0x80000000), {}, True),
            (u32(0x7fffffff) + u32(7) + s('a') + u32(7) + s('b') + b'z', {7: 'b'}, False),
            (u32(0xffffffff) + u32(2 ** 32 - 1) + s('r' * 300) + u32(2) + u32(0) + b'xy',
             {2 ** 32 - 1: 'r' * 255, 2: ''}, True),
        ]
        for payload, rules, flag in cases:
            got = kx.handleShapingRulesInit(msg(payload))
            self.assertEqual((got, got[1] is flag, set(map(type, got[0])) - set([long])), ((rules, flag), True, set()))
