"""Firewall rules with hit counters, firewall log queries and entries."""
import sys
import traceback

import KXdv17_0 as kx
from kxtest import TestCase, RecordingIO, ip4, msg, s, u8, u16, u32, u64

INT32_MIN, INT32_MAX = -2 ** 31, 2 ** 31 - 1


def traceback_names():
    return [entry[2] for entry in traceback.extract_tb(sys.exc_info()[2])]


def query_bytes(qtype, first, second, clear, no_reverse):
    return (u8(qtype) + u64(first % 2 ** 64) + u64(second % 2 ** 64) + u8(clear) +
            u8(no_reverse))


class RequestTest(TestCase):

    def test_empty_requests(self):
        for func, type in [(kx.fwrulesShow, 131972), (kx.fwrulesHide, 131973),
                           (kx.fwlog_clear, 132073)]:
            io = RecordingIO()
            self.assertIsNone(func(io))
            self.assertEqual(io.sent, [(type, '')])

    def test_query(self):
        cases = [
            ((kx.PROTOCOL_FWRULE_QTYPE_ID, 17, 42, True, False), query_bytes(0, 17, 42, 1, 0)),
            ((258, -1, INT32_MIN, [], 'x'),
             '\x02' + '\xff' * 8 + '\xff\xff\xff\xff\x80\0\0\0' + '\0\x01'),
            ((-1, INT32_MAX, 0L, 0.0, [0]), query_bytes(255, INT32_MAX, 0, 0, 1)),
            ((long(INT32_MIN), long(INT32_MAX), INT32_MIN, None, object()),
             query_bytes(0, INT32_MAX, INT32_MIN, 0, 1)),
        ]
        for args, payload in cases:
            io = RecordingIO()
            self.assertIsNone(kx.fwlog_query(io, *args))
            self.assertEqual(io.sent, [(132072, payload)], args)
        io = RecordingIO()
        kx.fwlog_query(no_reverse=1, clear=1, e=2, s=1, qtype=1, io=io)
        self.assertEqual(io.sent, [(132072, query_bytes(1, 1, 2, 1, 1))])

    def test_query_numbers_are_checked_first(self):
        class Factory(object):
            made = 0

            def newMsg(self, type):
                Factory.made += 1
                return original.newMsg(type)

        good = [0, 0, 0]
        cases = []
        for pos in range(3):
            for bad, exc in [(INT32_MAX + 1, OverflowError), (INT32_MIN - 1, OverflowError),
                             (2 ** 64, OverflowError), (1.0, TypeError), ('1', TypeError),
                             (None, TypeError)]:
                args = list(good)
                args[pos] = bad
                cases.append((args, exc))
        original = kx.KXMsgv17_0
        kx.KXMsgv17_0 = Factory()
        try:
            io = RecordingIO()
            for args, exc in cases:
                with self.assertRaises(exc, msg=args):
                    kx.fwlog_query(io, *(args + [0, 0]))
                self.assertIn('KXdv17_0.fwlog_query', traceback_names())
            self.assertEqual((io.sent, Factory.made), ([], 0))
            kx.fwlog_query(io, 0, 0, 0, 0, 0)
            self.assertEqual(Factory.made, 1)
        finally:
            kx.KXMsgv17_0 = original

    def test_failed_truth_test_sends_nothing(self):
        class NoTruth(object):
            def __nonzero__(self):
                raise ArithmeticError('undecided')

        io = RecordingIO()
        for args in [(NoTruth(), 0), (0, NoTruth())]:
            self.assertRaises(ArithmeticError, kx.fwlog_query, io, 0, 1, 2, *args)
        self.assertEqual(io.sent, [])


def rule_table(*ids):
    return dict((i, {'name': 'rule%d' % i}) for i in ids)


class RulesTest(TestCase):

    def test_rules_init(self):
        cases = [
            (u32(0x80000000), {}, True),
            (u32(0x7fffffff), {}, False),
            (u32(0x80000001) + u32(1) + s('a') + u32(4294967295) + u32(0) + 'xyz',
             {1: {'name': 'a'}, 4294967295: {'name': ''}}, True),
            (u32(0) + u32(5) + s('first') + u32(5) + u32(1) + '\0', {5: {'name': ''}}, False),
            (u32(0) + u32(6) + s('n' * 300), {6: {'name': 'n' * 255}}, False),
        ]
        for payload, table, flag in cases:
            got = kx.handleFWRulesInit(m=msg(payload))
            self.assertEqual(got, (table, flag))
            self.assertIs(got[1], flag)
            self.assertTrue(all(type(k) is long for k in got[0]))

    def test_short_rules_init(self):
        payload = u32(0) + u32(1) + s('one') + u32(2) + s('twotwo')
        boundaries = (4, 16, len(payload))
        for n in range(len(payload)):
            if any(0 <= n - b < 4 for b in boundaries):
                kx.handleFWRulesInit(msg(payload[:n]))
            else:
                self.assertBad(kx.handleFWRulesInit, msg(payload[:n]))

    def test_counters_update_in_place(self):
        rules = rule_table(1, 2)
        one = rules[1]
        payload = u32(2) + u32(1) + u64(2 ** 64 - 1) + u64(3) + u32(2) + u64(0) + u64(9)
        self.assertIsNone(kx.handleFWRulesData(msg(payload), rules))
        self.assertIs(rules[1], one)
        self.assertEqual(rules, {1: {'name': 'rule1', 'hits': 2 ** 64 - 1, 'hits_rate': 3},
                                 2: {'name': 'rule2', 'hits': 0, 'hits_rate': 9}})
        self.assertIs(type(rules[2]['hits']), long)
        kx.handleFWRulesData(msg(u32(0) + 'ignored'), rules=rules)
        self.assertEqual(rules[2]['hits_rate'], 9)

    def test_counter_failures_keep_earlier_entries(self):
        entry = lambda i, h, r: u32(i) + u64(h) + u64(r)
        payload = u32(2) + entry(1, 10, 11) + entry(2, 20, 21)
        for n in range(len(payload)):
            rules = rule_table(1, 2)
            self.assertBad(kx.handleFWRulesData, msg(payload[:n]), rules)
            self.assertEqual(rules[1].get('hits_rate'), 11 if n >= 24 else None, n)
            self.assertNotIn('hits', rules[2])
        rules = rule_table(1)
        with self.assertRaises(KeyError):
            kx.handleFWRulesData(msg(payload), rules)
        self.assertIn('KXdv17_0.handleFWRulesData', traceback_names())
        self.assertEqual(rules[1]['hits'], 10)

        class HitsOnly(dict):
            def __setitem__(self, key, value):
                if key == 'hits_rate':
                    raise RuntimeError('read-only')
                dict.__setitem__(self, key, value)
        rules = {1: HitsOnly()}
        self.assertRaises(RuntimeError, kx.handleFWRulesData, msg(payload), rules)
        self.assertEqual(rules[1], {'hits': 10})


def entry_v4(rule='allow', tail=''):
    return (u32(1700000000) + u8(0) + ip4('10.1.2.3') + ip4('192.168.0.255') + u16(65535) +
            u16(80) + u8(6) + s('client.example') + s('') + s('http') + s(rule) + tail)


class LogTest(TestCase):

    def test_start(self):
        self.assertEqual(kx.handleFWEntryStart(msg(u64(0))), {'logentries': 0})
        got = kx.handleFWEntryStart(msg(u64(2 ** 64 - 1)))
        self.assertEqual(got, {'logentries': 2 ** 64 - 1})
        self.assertIs(type(kx.handleFWEntryStart(msg(u64(1)))['logentries']), long)
        self.assertTruncationsFail(kx.handleFWEntryStart, u64(1))

    def test_entry(self):
        base = {'time': 1700000000, 'type': 0, 'client': '10.1.2.3', 'server': '192.168.0.255',
                'clientport': 65535, 'serverport': 80, 'protocol': 6,
                'clienthostname': 'client.example', 'serverhostname': '', 'service': 'http',
                'rule': 'allow'}
        with_props = dict(base, properties='p=1')
        long_props = dict(base, properties='q' * 1023)
        cases = [
            (entry_v4(), base),
            (entry_v4(tail=s('p=1')), with_props),
            (entry_v4(tail=u32(0)), dict(base, properties='')),
            (entry_v4(tail=s('q' * 2000)), long_props),
            (entry_v4(tail='\0\0\0'), base),
            (entry_v4(tail=u32(10) + 'short'), base),
            (entry_v4(tail=s('q' * 2000)[:-1]), base),
            (entry_v4(rule='r' * 400), dict(base, rule='r' * 254)),
        ]
        for payload, want in cases:
            got = kx.handleFWEntry(msg(payload))
            self.assertEqual(got, want)
        got = kx.handleFWEntry(msg(entry_v4()))
        self.assertEqual([type(got[k]) for k in ('time', 'type', 'clientport', 'protocol')],
                         [long, int, int, int])

    def test_entry_v6(self):
        client = u32(0x20010db8) + u32(0) + u32(0) + u32(1)
        server = u32(0) + u32(0) + u32(0x0000ffff) + u32(0x0a000001)
        payload = (u32(0) + u8(1) + client + server + u16(1) + u16(2) + u8(17) + s('a') + s('b') +
                   s('c') + s('d'))
        got = kx.handleFWEntry(msg(payload))
        self.assertEqual((got['client'], got['server'], got['type']),
                         ('2001:db8:0:0:0:0:0:1', '0:0:0:0:0:ffff:a00:1', 1))
        self.assertNotIn('properties', got)
        self.assertTruncationsFail(kx.handleFWEntry, payload)

    def test_bad_entries(self):
        self.assertTruncationsFail(kx.handleFWEntry, entry_v4())
        for family in (2, 255):
            with self.assertRaises(kx.BadMessageError) as cm:
                kx.handleFWEntry(msg(u32(0) + u8(family) + '\0' * 40))
            self.assertEqual(str(cm.exception), 'Unknown ip address type %d' % family)
            self.assertIn('KXdv17_0.handleFWEntry', traceback_names())
        # A short address is reported from the address reader and the handler.
        with self.assertRaises(kx.BadMessageError):
            kx.handleFWEntry(msg(u32(0) + u8(1) + '\0' * 20))
        self.assertEqual(traceback_names()[-2:], ['KXdv17_0.handleFWEntry', 'KXdv17_0._get_v6addr'])
        self.assertRaises(TypeError, kx.handleFWEntry, None)
