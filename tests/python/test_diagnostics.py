"""BGP table dumps, system diagnostics counters and the rule-matching test."""
import socket

import KXdv17_0 as kx
from kxtest import TestCase, RecordingIO, long, msg, rebound, s, u8, u16, u32, u64

KEYS = ['vlanin', 'vlanout', 'mplsin', 'mplsout', 'dscpin', 'dscpout', 'channelin', 'channelout', 'protocol',
        'clientip', 'serverip', 'clientport', 'serverport', 'service', 'xfb', 'properties']


class Asked(dict):
    """Records the keys asked for; with `flip`, has 'xfb' only while the mask is made."""
    flip = False

    def has_key(self, key):
        self.__dict__.setdefault('asked', []).append(key)
        return dict.__contains__(self, key) or self.flip and key == 'xfb' and len(self.asked) <= 16

    __contains__ = has_key


class DiagnosticsTest(TestCase):

    def test_bgp(self):
        for prefix, text in [(u8(24) + b'\x0a\x01\x02', '10.1.2.0/24'), (u8(33), '::/0'), (u8(161) + b'\0' * 16, '::/128')]:
            payload = u32(0xffffffff) + prefix + u32(7) + u32(8) + u32(9)
            self.assertEqual(kx.handleBgpEntry(m=msg(payload + b'x')), (0xffffffff, text, 7, 8, 9))
        self.assertEqual(list(map(type, kx.handleBgpEntry(msg(payload)))), [long, str, long, long, long])
        self.assertBad(kx.handleBgpEntry, msg(u32(1) + u8(162) + b'\0' * 28))
        payload = u32(1) + u8(255) + u32(0xfffffffe) * 255
        self.assertEqual(kx.handleBgpPath(msg(u32(5) + u8(0) + b'x')), (5, []))
        got = kx.handleBgpPath(m=msg(payload + b'x'))
        self.assertEqual((got, set(map(type, [got[0]] + got[1]))), ((1, [0xfffffffe] * 255), set([long])))

    def test_counters_appended_in_place(self):
        lst = ['kept']
        self.assertIsNone(kx.handleDrdlStatsDump(msg(u64(0) + u64(2 ** 64 - 1)), lst))
        self.assertIsNone(kx.handleDrdlStatsDump(m=msg(u64(7) + b'abcd'), lst=lst))
        self.assertEqual((lst, list(map(type, lst[1:]))), (['kept', 0, 2 ** 64 - 1, 7], [long] * 3))
        self.assertIsNone(kx.handleDrdlStatsDump(msg(b'\x01' * 7), None))
        lst = type('Limited', (list,), {'append': lambda self, v: list.append(self, v) if len(self) < 2 else 1 // 0})()
        self.assertRaises(ZeroDivisionError, kx.handleDrdlStatsDump, msg(u64(1) * 4), lst)
        self.assertEqual(lst, [1, 1])

    def test_vcrc_request(self):
        every = dict(zip(KEYS, list(range(1, 9)) + [17, '10.1.2.3', '255.0.0.1', 1024, 80, 'web', 9, [('k', 'v'), ['', 'x']]]))
        cases = [
            ({}, 7, u32(7) + u32(0)),
            (every, 2 ** 32 + 3, u32(3) + u32(0x3dbff) + b''.join(u32(v) for v in range(1, 9)) + u8(17) +
             b'\x0a\x01\x02\x03\xff\0\0\x01' + u16(1024) + u16(80) + s('web') + u32(9) + u8(2) + s('k') + s('v') +
             s('') + s('x')),
            # integers wrap to their field: modulo 2^32, low 8 and 16 bits
            ({'vlanin': -1, 'xfb': 2 ** 40 + 5, 'protocol': 0x1ff, 'clientport': -1, 'serverport': 65536 + 443}, -2,
             u32(2 ** 32 - 2) + u32(0x991) + u32(0xffffffff) + u8(0xff) + u16(0xffff) + u16(443) + u32(5)),
            ({'properties': [('p', 'q')] * 255, 'service': u'svc'}, 0,
             u32(0) + u32(0x1200) + s('svc') + u8(255) + (s('p') + s('q')) * 255),
        ]
        for criteria, test_id, payload in cases:
            io = RecordingIO()
            self.assertIsNone(kx.vcrcTest(io=io, test_id=test_id, criteria=criteria))
            self.assertEqual(io.sent, [(67336, payload)], sorted(criteria))
        with rebound('socket', type('S', (), {'inet_aton': staticmethod(lambda text: b'ABCD')})):
            kx.vcrcTest(io, 1, {'serverip': '1.2.3.4'})   # the module's socket as bound now
        self.assertEqual(io.sent[-1], (67336, u32(1) + u32(0x40) + b'ABCD'))

    def test_vcrc_refused_criteria_send_nothing(self):
        cases = [
            ({'protocol': 2 ** 31}, OverflowError, None), ({'clientport': -2 ** 31 - 1}, OverflowError, None),
            ({'clientip': 'not an address'}, socket.error, None),
            ({'properties': [('a', 'b', 'c')]}, ValueError, 'unpack sequence of wrong size'),
            ({'properties': [('a', 'b')] * 256}, ValueError, 'Max 255 property pairs'),
            ({'properties': type('L', (list,), {'__len__': lambda self: 1})([('a', 'b')] * 2)}, ValueError, None),
            ({'service': 'x' * 40000}, ValueError, 'request does not fit in one message'),
            (type('F', (Asked,), {'flip': True})(), ValueError, 'criteria changed while the request was built'),
        ]
        for criteria, exc, text in cases:
            io = RecordingIO()
            with self.assertRaises(exc) as cm:
                kx.vcrcTest(io, 1, criteria)
            self.assertEqual((text and str(cm.exception), io.sent), (text, []))
        self.assertEqual(criteria.asked, KEYS + KEYS[:15])
        with rebound('struct', object()):  # struct.unpack is looked up before inet_aton runs
            self.assertRaises(AttributeError, kx.vcrcTest, io, 1, {'serverip': 'bad'})

    def test_vcrc_result(self):
        payload = u32(1) + u8(2) + u32(0xffffffff) * 3 + u32(2) + u32(1) * 3 + u32(0xffffffff) + u32(1) + u32(3) * 2
        got = kx.handleVcrcTest(m=msg(payload))
        self.assertEqual(got, dict(test_id=1, ruleset_state=2, rewrite_obj=4294967295, monitor_iface=4294967295,
                                   fwrule=-1, fwrules=[(1, 1), (1, 2 ** 32 - 1)], shapingrules=[(3, 3)]))
        self.assertEqual(list(map(type, [got[k] for k in ('test_id', 'ruleset_state', 'rewrite_obj', 'fwrule')] +
                             list(got['fwrules'][1] + got['shapingrules'][0]))), [long, int, long, int] + [long] * 4)
        self.assertEqual(kx.handleVcrcTest(msg(payload[:17] + u32(0) * 2))['fwrules'], [])
