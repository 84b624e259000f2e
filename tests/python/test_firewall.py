"""Firewall rules with hit counters, firewall log queries and entries."""
import KXdv17_0 as kx
from kxtest import TestCase, RecordingIO, ip4, long, msg, rebound, s, u8, u16, u32, u64

Undecided = type('Undecided', (), {'__nonzero__': lambda self: 1 // 0, '__bool__': lambda self: 1 // 0})
V4 = u32(1700000000) + u8(0) + ip4('10.1.2.3') + ip4('192.168.0.255') + u16(65535) + u16(80) + u8(6)
ENTRY = {'time': 1700000000, 'type': 0, 'client': '10.1.2.3', 'server': '192.168.0.255', 'clientport': 65535,
         'serverport': 80, 'protocol': 6, 'clienthostname': 'c.example', 'serverhostname': '', 'service': 'http'}


class FirewallTest(TestCase):

    def test_query(self):
        io = RecordingIO()
        kx.fwlog_query(io, 258, -1, -2 ** 31, [], 'x')
        kx.fwlog_query(io, -1, 2 ** 31 - 1, long(0), 0.0, [0])
        kx.fwlog_query(no_reverse=1, clear=1, e=2, s=1, qtype=1, io=io)
        self.assertEqual(io.sent, [(132072, b'\x02' + b'\xff' * 12 + b'\x80\0\0\0' + b'\0\x01'),
                                   (132072, b'\xff' + u64(2 ** 31 - 1) + u64(0) + b'\0\x01'),
                                   (132072, b'\x01' + u64(1) + u64(2) + b'\x01\x01')])
        with rebound('KXMsgv17_0', object()):  # the numbers are refused before a message is made
            for pos in range(1, 4):
                for bad, exc in [(2 ** 31, OverflowError), (-2 ** 31 - 1, OverflowError), (1.0, TypeError)]:
                    args = [io, 0, 0, 0, 0, 0]
                    args[pos] = bad
                    self.assertEqual(self.raisedIn(exc, kx.fwlog_query, *args)[1], ['KXdv17_0.fwlog_query'])
        for args in [(Undecided(), 0), (0, Undecided())]:
            self.assertRaises(ZeroDivisionError, kx.fwlog_query, io, 0, 1, 2, *args)
        self.assertEqual(len(io.sent), 3)

    def test_rules_init(self):
        payload = u32(0x80000001) + u32(1) + s('a') + u32(1) + s('b') + u32(2 ** 32 - 1) + u32(0) + u32(6) + s('n' * 300)
        got = kx.handleFWRulesInit(m=msg(payload + b'xyz'))
        self.assertEqual((got, got[1] is True, set(map(type, got[0]))),
                         (({1: {'name': 'b'}, 2 ** 32 - 1: {'name': ''}, 6: {'name': 'n' * 255}}, True), True, {long}))
        self.assertIs(kx.handleFWRulesInit(msg(u32(0x7fffffff)))[1], False)

    def test_counters_written_in_place(self):
        payload = u32(2) + u32(1) + u64(2 ** 64 - 1) + u64(11) + u32(2) + u64(20) + u64(21)
        for n in range(len(payload)):
            rules = {1: {}, 2: {}}
            self.assertBad(kx.handleFWRulesData, msg(payload[:n]), rules)
            self.assertEqual(rules, {1: {'hits': 2 ** 64 - 1, 'hits_rate': 11} if n >= 24 else {}, 2: {}}, n)
        self.assertIsNone(kx.handleFWRulesData(msg(payload), rules=rules))
        self.assertEqual((rules[2], type(rules[2]['hits'])), ({'hits': 20, 'hits_rate': 21}, long))
        rules = {1: {}}
        self.assertRaises(KeyError, kx.handleFWRulesData, msg(payload), rules)
        self.assertEqual(rules, {1: {'hits': 2 ** 64 - 1, 'hits_rate': 11}})

    def test_log_entries(self):
        # (tail after the rule text, bytes of it consumed, properties set): a short field is consumed as far as read
        head = V4 + s('c.example') + s('') + s('http') + s('r' * 400)
        for tail, consumed, want in [(b'', 0, {}), (b'\0\0\0', 0, {}), (u32(10) + b'abc', 4, {}),
                                     (s('q' * 2000)[:-1], 4 + 1023, {}), (s('q' * 5), 10, {'properties': 'q' * 5}),
                                     (u32(0), 4, {'properties': ''}), (s('q' * 2000), 2005, {'properties': 'q' * 1023})]:
            m = msg(head + tail)
            got = kx.handleFWEntry(m)
            self.assertEqual((m.pos - len(head), got), (consumed, dict(ENTRY, rule='r' * 254, **want)), tail[:8])
        self.assertEqual([type(got[k]) for k in ('time', 'type', 'clientport', 'protocol')], [long, int, int, int])
        v6 = u32(0) + u8(1) + u32(0x20010db8) + u32(0) * 6 + u32(1) + b'\0' * 5 + s('') * 4
        got = kx.handleFWEntry(m=msg(v6))
        self.assertEqual((got['client'], got['server']), ('2001:db8:0:0:0:0:0:0', '0:0:0:0:0:0:0:1'))
        with self.assertRaises(kx.BadMessageError) as cm:
            kx.handleFWEntry(msg(u32(0) + u8(2) + b'\0' * 40))
        self.assertEqual(str(cm.exception), 'Unknown ip address type 2')
        names = self.raisedIn(kx.BadMessageError, kx.handleFWEntry, msg(u32(0) + u8(1) + b'\0' * 20))[1]
        self.assertEqual(names[-2:], ['KXdv17_0.handleFWEntry', 'KXdv17_0._get_v6addr'])
        got = kx.handleFWEntryStart(m=msg(u64(2 ** 64 - 1)))
        self.assertEqual((got, type(kx.handleFWEntryStart(msg(u64(0)))['logentries'])), ({'logentries': 2 ** 64 - 1}, long))
