"""Shaping object subscription, shaping object updates, shaping rule list."""
import sys
import traceback

import KXdv17_0 as kx
from kxtest import TestCase, RecordingIO, msg, s, u16, u32, u64

# (key, wire packer or None when the key is not on the wire) in wire order.
GROUP = [('RX bytes', u64), ('congested bytes', u64), ('RX bps', u32),
         ('congested bps', u32), ('RX packets', u64), ('congested packets', u64),
         ('RX pps', u32), ('congested pps', u32), ('total drops', u64), ('drops/s', u32),
         ('total marks', u64), ('marks/s', None), ('avg latency', u32),
         ('max latency', u16), ('avg Q', u32), ('max Q', u32)]
COUNTERS = ([('copies', u32), ('connections', u32)] +
            [('in ' + k, p) for k, p in GROUP] + [('out ' + k, p) for k, p in GROUP])
BPS = set(['in RX bps', 'in congested bps', 'out RX bps', 'out congested bps'])
WIDTH = {u16: 2, u32: 4, u64: 8}


def header(objid, kind):
    return u32(objid) + u32(0xdeadbeef) + u32(kind)


def counter_block(values):
    """values: key -> wire value; returns the block and, per key, the offset
    just past its field within the block."""
    block, ends = '', {}
    for key, pack in COUNTERS:
        if pack is not None:
            block += pack(values[key])
        ends[key] = len(block)
    return block, ends


def sample_values():
    values = {}
    for i, (key, pack) in enumerate(COUNTERS):
        if pack is not None:
            values[key] = {u16: 0xfff0 + i % 16, u32: 4000000000 + i, u64: 2 ** 63 + i}[pack]
    values['in RX bps'] = 125000
    values['out congested bps'] = 4294967295
    return values


def expected_record(values):
    rec = {}
    for key, pack in COUNTERS:
        if pack is None:
            rec[key] = 0
        elif key in BPS:
            rec[key] = values[key] * 8
        else:
            rec[key] = values[key]
    return rec


def traceback_names():
    return [entry[2] for entry in traceback.extract_tb(sys.exc_info()[2])]


class RequestTest(TestCase):

    def test_subscription_requests(self):
        for func, type in [(kx.shapingobjectShow, 131922), (kx.shapingobjectHide, 131923)]:
            io = RecordingIO()
            self.assertIsNone(func(io=io))
            self.assertEqual(io.sent, [(type, '')])


class ObjectUpdateTest(TestCase):

    def test_counter_update(self):
        values = sample_values()
        block, _ = counter_block(values)
        self.assertEqual(len(block), 172)
        m = msg(header(5, 2) + block)
        d = {}
        self.assertIsNone(kx.shapingobjectUpdateHandle(m, d))
        self.assertEqual(m.pos, 184)
        self.assertEqual(d.keys(), [5])
        self.assertIs(type(d.keys()[0]), int)
        rec = d[5]
        self.assertEqual(rec, expected_record(values))
        self.assertEqual(rec['in RX bps'], 1000000)
        self.assertEqual(rec['out congested bps'], 34359738360)
        for key, pack in COUNTERS:
            want = int if pack in (u16, None) or key in BPS else long
            self.assertIs(type(rec[key]), want, key)

    def test_updates_accumulate_in_place(self):
        d = {}
        kx.shapingobjectUpdateHandle(msg(header(9, 1) + s('shaper')), d)
        rec = d[9]
        block, _ = counter_block(sample_values())
        kx.shapingobjectUpdateHandle(msg(header(9, 2) + block), d)
        kx.shapingobjectUpdateHandle(msg(header(9, 7) + 'anything'), d)
        self.assertIs(d[9], rec)
        self.assertEqual(len(rec), 35)
        self.assertEqual(rec['name'], 'shaper')
        kx.shapingobjectUpdateHandle(msg(header(9, 1) + u32(0)), d)
        self.assertEqual(rec['name'], '')
        self.assertEqual(len(rec), 35)
        # Any other kind creates the record and reads nothing more.
        m = msg(header(2 ** 32 - 1, 7) + 'rest')
        kx.shapingobjectUpdateHandle(m, d=d)
        self.assertEqual(d[4294967295], {})
        self.assertEqual(m.pos, 12)

    def test_names(self):
        cases = [(s('n' * 510), 'n' * 510), (s('n' * 511), 'n' * 511),
                 (s('x' * 599), 'x' * 511), (u32(1) + '\0', ''), (u32(4) + 'ab\0c', 'ab')]
        for field, want in cases:
            m = msg(header(1, 1) + field + 'tail')
            d = {}
            kx.shapingobjectUpdateHandle(m, d)
            self.assertEqual(d[1]['name'], want)
            self.assertEqual(m.pos, 12 + len(field))

    def test_truncation_keeps_what_was_stored(self):
        values = sample_values()
        block, ends = counter_block(values)
        payload = header(3, 2) + block
        new = expected_record(values)
        for n in range(len(payload)):
            d = {3: dict((key, 'old') for key, _ in COUNTERS)}
            self.assertBad(kx.shapingobjectUpdateHandle, msg(payload[:n]), d)
            got = d[3]
            for key, _ in COUNTERS:
                stored = n >= 12 and ends[key] <= n - 12
                self.assertEqual(got[key], new[key] if stored else 'old', (n, key))
        # The record is created as soon as the id is read.
        for n, keys in [(3, []), (4, [3]), (12, [3])]:
            d = {}
            self.assertBad(kx.shapingobjectUpdateHandle, msg(payload[:n]), d)
            self.assertEqual(d.keys(), keys)
        self.assertTruncationsFail(kx.shapingobjectUpdateHandle, header(1, 1) + s('name'), {})

    def test_caller_errors_propagate(self):
        class Record(dict):
            def __setitem__(self, key, value):
                if key == 'in RX packets':
                    raise RuntimeError('full')
                dict.__setitem__(self, key, value)

        class Table(dict):
            def __contains__(self, key):
                raise LookupError('no membership')

        block, _ = counter_block(sample_values())
        rec = Record()
        with self.assertRaises(RuntimeError):
            kx.shapingobjectUpdateHandle(msg(header(1, 2) + block), {1: rec})
        self.assertIn('KXdv17_0.shapingobjectUpdateHandle', traceback_names())
        self.assertEqual(sorted(rec), sorted(k for k, _ in COUNTERS[:6]))
        self.assertRaises(LookupError, kx.shapingobjectUpdateHandle,
                          msg(header(1, 1) + s('a')), Table())
        self.assertRaises(TypeError, kx.shapingobjectUpdateHandle, None, {})


class RulesTest(TestCase):

    def test_rules(self):
        cases = [
            (u32(0x80000000), {}, True),
            (u32(0x7fffffff), {}, False),
            (u32(0xffffffff) + u32(1) + s('one') + u32(2) + u32(0) + 'xy', {1: 'one', 2: ''},
             True),
            (u32(0) + u32(7) + s('a') + u32(7) + s('b') + 'z', {7: 'b'}, False),
            (u32(0) + u32(4294967295) + s('r' * 300), {4294967295: 'r' * 255}, False),
        ]
        for payload, rules, flag in cases:
            got = kx.handleShapingRulesInit(msg(payload))
            self.assertEqual(got, (rules, flag))
            self.assertIs(got[1], flag)
            self.assertTrue(all(type(k) is long for k in got[0]))

    def test_short_rules(self):
        payload = u32(0x80000000) + u32(1) + s('one') + u32(2) + s('two!')
        boundaries = (4, 4 + 4 + 8, len(payload))
        for n in range(len(payload)):
            ends_cleanly = any(0 <= n - b < 4 for b in boundaries)
            if ends_cleanly:
                kx.handleShapingRulesInit(msg(payload[:n]))
            else:
                self.assertBad(kx.handleShapingRulesInit, msg(payload[:n]))
