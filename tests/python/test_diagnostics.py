"""BGP table dumps, system diagnostics counters and the rule-matching test."""
import socket

import KXdv17_0 as kx
from kxtest import TestCase, RecordingIO, msg, s, u8, u16, u32, u64
from test_maintenance import rebound


def bgp_entry(prefix_field, numbers=(1, 2, 3, 4)):
    return u32(numbers[0]) + prefix_field + ''.join(u32(n) for n in numbers[1:])


def vcrc_result(test_id=1, state=2, rewrite=3, iface=4, fwrule=5, fw=(), shaping=()):
    pairs = lambda ps: u32(len(ps)) + ''.join(u32(a) + u32(b) for a, b in ps)
    return (u32(test_id) + u8(state) + u32(rewrite) + u32(iface) + u32(fwrule) +
            pairs(fw) + pairs(shaping))


class Criteria(object):
    """Only has_key and item access, recording the keys asked for."""

    def __init__(self, **values):
        self.values = values
        self.asked = []

    def has_key(self, key):
        self.asked.append(key)
        return key in self.values

    def __getitem__(self, key):
        return self.values[key]


class BgpTest(TestCase):

    def test_dump_request(self):
        for func, type in [(kx.bgpDump, 132572), (kx.drdlStatsDump, 67136)]:
            io = RecordingIO()
            self.assertIsNone(func(io=io))
            self.assertEqual(io.sent, [(type, '')])

    def test_entries(self):
        cases = [
            (u8(24) + '\x0a\x01\x02', '10.1.2.0/24'),
            (u8(0), '0.0.0.0/0'),
            (u8(33), '::/0'),
            (u8(97) + '\xfe\x80' + '\0' * 6, 'fe80::/64'),
            (u8(161) + '\0' * 15 + '\x01', '::1/128'),
        ]
        for prefix, text in cases:
            payload = bgp_entry(prefix, (0xffffffff, 7, 8, 9))
            m = msg(payload + 'trailing')
            got = kx.handleBgpEntry(m)
            self.assertEqual(got, (0xffffffff, text, 7, 8, 9))
            self.assertEqual([type(x) for x in got], [long, str, long, long, long])
            self.assertEqual(m.pos, len(payload))
            self.assertTruncationsFail(kx.handleBgpEntry, payload)
        self.assertBad(kx.handleBgpEntry, msg(bgp_entry(u8(162) + '\0' * 17)))

    def test_paths(self):
        cases = [
            (u32(5) + u8(0), (5, [])),
            (u32(0xffffffff) + u8(3) + u32(1) + u32(0) + u32(0xfffffffe),
             (0xffffffff, [1, 0, 0xfffffffe])),
            (u32(1) + u8(255) + u32(9) * 255, (1, [9] * 255)),
        ]
        for payload, expected in cases:
            m = msg(payload + '\xee')
            got = kx.handleBgpPath(m)
            self.assertEqual(got, expected)
            self.assertEqual(m.pos, len(payload))
            self.assertTrue(all(type(x) is long for x in [got[0]] + got[1]))
            self.assertTruncationsFail(kx.handleBgpPath, payload)


class SysdiagTest(TestCase):

    def test_counters_appended_in_place(self):
        counters = [0, 1, 2 ** 64 - 1, 0x0102030405060708]
        lst = ['kept']
        m = msg(''.join(u64(c) for c in counters[:2]))
        self.assertIsNone(kx.handleDrdlStatsDump(m, lst))
        m = msg(''.join(u64(c) for c in counters[2:]) + 'abcd')
        self.assertIsNone(kx.handleDrdlStatsDump(m=m, lst=lst))
        self.assertEqual(lst, ['kept'] + counters)
        self.assertEqual(lst[3], 18446744073709551615)
        self.assertTrue(all(type(c) is long for c in lst[1:]))
        self.assertEqual(m.pos, 16)
        # A payload shorter than one counter appends nothing and never fails.
        for payload in ['', '\x01' * 7]:
            self.assertIsNone(kx.handleDrdlStatsDump(msg(payload), None))

    def test_append_failure_keeps_earlier_counters(self):
        class Limited(object):
            def __init__(self):
                self.items = []

            def append(self, v):
                if len(self.items) == 2:
                    raise OverflowError('full')
                self.items.append(v)
        lst = Limited()
        m = msg(u64(1) + u64(2) + u64(3) + u64(4))
        self.assertRaises(OverflowError, kx.handleDrdlStatsDump, m, lst)
        self.assertEqual(lst.items, [1, 2])
        self.assertEqual(m.pos, 24)
        self.assertRaises(AttributeError, kx.handleDrdlStatsDump, msg(u64(1)), object())
        self.assertRaises(TypeError, kx.handleDrdlStatsDump, None, [])


class VcrcRequestTest(TestCase):

    def sent(self, criteria, test_id=1):
        io = RecordingIO()
        self.assertIsNone(kx.vcrcTest(io, test_id, criteria))
        self.assertEqual(len(io.sent), 1)
        self.assertEqual(io.sent[0][0], 67336)
        return io.sent[0][1]

    def test_request_bytes(self):
        everything = {
            'vlanin': 1, 'vlanout': 2, 'mplsin': 3, 'mplsout': 4, 'dscpin': 5, 'dscpout': 6,
            'channelin': 7, 'channelout': 8, 'protocol': 17, 'clientip': '10.1.2.3',
            'serverip': '255.0.0.1', 'clientport': 1024, 'serverport': 80, 'service': 'web',
            'xfb': 9, 'properties': [('k', 'v'), ['', 'x']],
        }
        everything_bytes = (
            u32(0x3dbff) + ''.join(u32(v) for v in range(1, 9)) + u8(17) +
            '\x0a\x01\x02\x03' + '\xff\0\0\x01' + u16(1024) + u16(80) + s('web') + u32(9) +
            u8(2) + s('k') + s('v') + s('') + s('x'))
        cases = [
            ({}, 7, u32(7) + u32(0)),
            ({'serverport': 80}, 1, u32(1) + u32(0x100) + '\x00\x50'),
            ({'protocol': 6, 'dscpin': 46}, 1, u32(1) + u32(0x4010) + u32(46) + u8(6)),
            ({'clientip': '10.1.2.3'}, 1, u32(1) + u32(0x20) + '\x0a\x01\x02\x03'),
            (everything, 2 ** 32 + 3, u32(3) + everything_bytes),
            # Integers wrap to their field: modulo 2^32, low 8 and 16 bits.
            ({'vlanin': -1, 'xfb': 2 ** 40 + 5}, -2, u32(2 ** 32 - 2) + u32(0x801) +
             u32(0xffffffff) + u32(5)),
            ({'protocol': 0x1ff, 'clientport': -1, 'serverport': 65536 + 443}, 0,
             u32(0) + u32(0x190) + u8(0xff) + u16(0xffff) + u16(443)),
            ({'properties': []}, 0, u32(0) + u32(0x1000) + u8(0)),
            ({'properties': [('p', 'q')] * 255}, 0,
             u32(0) + u32(0x1000) + u8(255) + (s('p') + s('q')) * 255),
            ({'service': u'svc', 'unknown': 1}, 0, u32(0) + u32(0x200) + s('svc')),
        ]
        for criteria, test_id, payload in cases:
            self.assertEqual(self.sent(criteria, test_id), payload, sorted(criteria))

    def test_criteria_protocol(self):
        # has_key for each key (mask), then again while the values are written.
        c = Criteria(serverport=80, vlanin=2)
        self.assertEqual(self.sent(c), u32(1) + u32(0x101) + u32(2) + u16(80))
        keys = ['vlanin', 'vlanout', 'mplsin', 'mplsout', 'dscpin', 'dscpout', 'channelin',
                'channelout', 'protocol', 'clientip', 'serverip', 'clientport', 'serverport',
                'service', 'xfb', 'properties']
        self.assertEqual(c.asked, keys + keys)
        # The address conversion goes through the module's current socket and struct.

        class FakeSocket(object):
            @staticmethod
            def inet_aton(text):
                return 'ABCD'
        with rebound('socket', FakeSocket):
            self.assertEqual(self.sent({'serverip': 'anything'}), u32(1) + u32(0x40) + 'ABCD')

        class FakeStruct(object):
            @staticmethod
            def unpack(fmt, data):
                return (len(fmt) * 1000 + len(data),)
        with rebound('struct', FakeStruct):
            self.assertEqual(self.sent({'clientip': '1.2.3.4'}), u32(1) + u32(0x20) + u32(2004))

    def test_refused_criteria_send_nothing(self):
        class Flipping(Criteria):
            def has_key(self, key):
                Criteria.has_key(self, key)
                return key == 'xfb' and len(self.asked) <= 16

        class LongerThanLen(list):
            def __len__(self):
                return 1
        cases = [
            ({'vlanin': 'x'}, TypeError, None),
            ({'service': 5}, TypeError, None),
            ({'protocol': 2 ** 31}, OverflowError, None),
            ({'clientport': -2 ** 31 - 1}, OverflowError, None),
            ({'clientip': 'not an address'}, socket.error, None),
            ({'serverip': 3}, TypeError, None),
            ({'properties': [('a',)]}, ValueError, 'unpack sequence of wrong size'),
            ({'properties': [('a', 'b', 'c')]}, ValueError, 'unpack sequence of wrong size'),
            ({'properties': [('a', 1)]}, TypeError, None),
            ({'properties': 7}, TypeError, None),
            ({'properties': [('a', 'b')] * 256}, ValueError, 'Max 255 property pairs'),
            ({'properties': LongerThanLen([('a', 'b')] * 2)}, ValueError, None),
            ({'service': 'x' * 40000}, ValueError, 'request does not fit in one message'),
            (Flipping(), ValueError, 'criteria changed while the request was built'),
            (None, AttributeError, None),
        ]
        for criteria, exc, text in cases:
            io = RecordingIO()
            with self.assertRaises(exc) as cm:
                kx.vcrcTest(io, 1, criteria)
            if text is not None:
                self.assertEqual(str(cm.exception), text)
            self.assertEqual(io.sent, [], repr(criteria)[:60])
        self.assertRaises(TypeError, kx.vcrcTest, RecordingIO(), 'id', {})


class VcrcResultTest(TestCase):

    def test_result(self):
        base = dict(test_id=1, ruleset_state=2, rewrite_obj=3, monitor_iface=4)
        types = dict(test_id=long, ruleset_state=int, rewrite_obj=long, monitor_iface=long,
                     fwrule=int, fwrules=list, shapingrules=list)
        pairs = [(1, 2), (0xffffffff, 0)]
        cases = [
            (vcrc_result(), dict(base, fwrule=5, fwrules=[], shapingrules=[])),
            (vcrc_result(rewrite=0xffffffff, fwrule=0xffffffff, fw=pairs, shaping=[(3, 4)]),
             dict(base, rewrite_obj=4294967295, fwrule=-1, fwrules=pairs, shapingrules=[(3, 4)])),
        ]
        for payload, expected in cases:
            got = kx.handleVcrcTest(msg(payload))
            self.assertEqual(got, expected)
            self.assertEqual(dict((k, type(v)) for k, v in got.items()), types)
            for pair in got['fwrules'] + got['shapingrules']:
                self.assertEqual(map(type, pair), [long, long])
            self.assertTruncationsFail(kx.handleVcrcTest, payload)
        self.assertBad(kx.handleVcrcTest, msg(vcrc_result()[:-4] + u32(1) + u32(1)))
