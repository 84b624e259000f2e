"""The blocking client and kxtools.aio against kxd-sim and broken servers; the type stubs and mypy over their users."""
from __future__ import absolute_import, division, print_function

import contextlib
import io
import os
import random
import signal
import socket
import subprocess
import sys
import unittest

import KXdv17_0 as kx
import KXMsgv17_0
import kxcorpus
from kxtest import builtins, scratch, sockets, u16, u32
from test_e2e import FRAME, Sim, plain
from test_readme import MODULES, ROOT
from kxtools import _protocol
from kxtools import client as kxclient
from kxtools import errors

if sys.version_info >= (3, 8):
    from aio_scenarios import answers_pings, follow_fleet, follow_until, out_of_order, run, session, trickle

try:
    import mypy  # noqa: F401 - only whether it is there
    WHY_NOT = None
except ImportError:
    WHY_NOT = 'mypy is not installed for this interpreter (scripts/bootstrap installs it)'
if sys.version_info < (3, 8):
    WHY_NOT = 'the stubs and kxtools.aio are checked under Python 3 (mypy runs there)'
HOST_NAMES = ('KXD_PROTOCOL_CLIENT_HOSTVIEW_SHOW', 'KXD_PROTOCOL_CLIENT_HOST_FIND')


def run_python(code, args=('-',), **env):
    """(exit status, output) of a new interpreter (on code by default) with the build's modules and kxtools."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.abspath(MODULES), ROOT]), **env)
    p = subprocess.Popen([sys.executable] + list(args), cwd=ROOT, env=env, stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = p.communicate(code.encode('utf-8'))[0].decode('utf-8', 'replace')
    return p.returncode, out.strip()


class Client(unittest.TestCase):

    def setUp(self):
        self.sim = Sim('--seed', '9', '--hosts', '20', '--interval', '20', '--ticks', '5', test=self)
        self.sim.wait_line(b'frozen', [])

    def test_failures(self):
        silent, closed, garbled = sockets(self, True, False, True)
        closed_port = closed.getsockname()[1]
        port = self.sim.port

        closed_client = kxclient.KXClient('127.0.0.1', port)
        closed_client.close()

        def garbled_server(data):
            c = kxclient.KXClient('127.0.0.1', garbled.getsockname()[1])
            peer = garbled.accept()[0]
            self.addCleanup(peer.close)
            peer.sendall(data)
            c.wait_for(lambda: False, 5)

        cases = [
            ('refused', lambda: kxclient.KXClient('127.0.0.1', closed_port), errors.ConnectError, closed_port),
            ('unknown name', lambda: kxclient.KXClient('no-such-host.invalid', 1), errors.ConnectError, 1),
            ('silent daemon', lambda: kxclient.KXClient('127.0.0.1', silent.getsockname()[1], timeout=0.3,
                                                        user='demo', password='demo'),
             errors.Timeout, silent.getsockname()[1]),
            ('wrong password', lambda: kxclient.KXClient('127.0.0.1', port, user='demo', password='no'),
             errors.LoginRefused, port),
            ('request after close', lambda: kx.ping(closed_client), errors.ConnectionClosed, port),
            ('pump after close', lambda: closed_client.pump(0), errors.ConnectionClosed, port),
            ('broken frame', lambda: garbled_server(u32(0x10001) + u16(40000) + b'x' * 10), errors.ProtocolError,
             garbled.getsockname()[1]),
            ('undecodable message', lambda: garbled_server(u32(kx.PROTOCOL_SERVER_VERSION) + u16(1) + b'x'),
             errors.ProtocolError, garbled.getsockname()[1]),   # a version announcement too short to decode
        ]
        for name, call, kind, where in cases:
            with self.assertRaises(kind, msg=name) as caught:
                call()
            e = caught.exception
            self.assertIsInstance(e, errors.KXError, name)
            self.assertEqual(e.address[1], where, name)
            self.assertIn(':%d: ' % where, str(e), name)
            if kind is errors.ConnectError:
                self.assertIsInstance(e, EnvironmentError, name)  # what callers caught before
                self.assertTrue(e.strerror, name)

    def test_tables_sides_and_reprs(self):
        """A host's pairs are the sums of its connections' pairs, which fixes the documented sides."""
        with kxclient.KXClient('127.0.0.1', self.sim.port, user='demo', password='demo') as c:
            kx.requestUpdate(c)
            c.wait_for(lambda: c.update_done)
            v4 = min((h.hostid, h.addr) for h in c.hosts.values() if '.' in h.addr)
            c.host_show(v4[0])
            c.host_find(v4[1])
            c.sync()
            self.assertEqual([n for n in HOST_NAMES if hasattr(builtins, n)], [])
            self.assertEqual(c.host_find_results, [v4[0]])
            for host in c.hosts.values():
                out = [k for k in c.conns.values() if k.client == host.addr]
                into = [k for k in c.conns.values() if k.server == host.addr]
                received = sum(k.speed[1] for k in out) + sum(k.speed[0] for k in into)
                sent = sum(k.speed[0] for k in out) + sum(k.speed[1] for k in into)
                self.assertEqual((host.speed, host.connections), ((received, sent), (len(out), len(into))))
                self.assertIn('%d/%d B/s' % host.speed, repr(host))
            for conn in c.conns.values():
                self.assertIs(conn.transferred, conn._xfer)
                self.assertIn('%s:%s -> %s:%s' % (conn.client, conn.clientport, conn.server, conn.serverport),
                              repr(conn))
            self.assertIn('logged in, %d hosts' % len(c.hosts), repr(c))
        self.assertIn(' closed,', repr(c))

    def test_messages_in_any_order(self):
        """Every message type in random order, with corpus, cut, random and empty payloads, read by both clients:
        nothing but a ProtocolError naming the message escapes, it closes the client, and no table holds None."""
        corpus = kxcorpus.load()
        types = sorted(set(_protocol.SERVER_MESSAGES) | set(t for t, _ in corpus))
        payloads = dict((t, [p for u, p in corpus if u == t] or [b'']) for t in types)
        rng = random.Random(28)
        kinds = [('blocking', kxclient.KXClient.offline, lambda c: c.pump(1))]
        if sys.version_info >= (3, 8):
            import asyncio
            from kxtools import aio
            loop = asyncio.new_event_loop()
            self.addCleanup(loop.close)
            kinds.append(('asyncio', aio.AsyncClient, lambda c: (setattr(c, '_loop', loop), c._readable())))
        total = 0
        for trial in range(400):
            frames = []
            for _ in range(rng.randint(1, 12)):
                t = rng.choice(types)
                p = rng.choice(payloads[t])
                p = rng.choice([p, p, p, p, p[:rng.randint(0, len(p))], os.urandom(rng.randint(1, 40)), b''])
                frames.append((t, p))
            broken = rng.random() < 0.1   # a frame header too long to be true after the frames
            for name, make, read in kinds:
                c = make()
                mine, theirs = socket.socketpair()
                mine.setblocking(False)
                self.addCleanup(theirs.close)
                c.sock, c.stream, c.closed = mine, kxclient.Stream(mine, None, c.address), False
                theirs.sendall(b''.join(FRAME.pack(t, len(p)) + p for t, p in frames) +
                               (FRAME.pack(t, 40000) + b'x' * 10 if broken else b''))
                total += len(frames)
                try:
                    read(c)
                except errors.ProtocolError as e:
                    error = e
                else:
                    error = getattr(c, 'error', None)
                what = (name, trial, frames)
                self.assertEqual(c.closed, error is not None, what)
                if error is not None:
                    self.assertIsInstance(error, errors.ProtocolError, what)
                    if 'broken frame header' in str(error):  # only once the frames before it are handled
                        self.assertEqual(sum(c.counts.values()), len(frames), what)
                    else:
                        self.assertTrue(any(' (0x%x): ' % t in str(error) for t, _ in frames), (str(error),) + what)
                self.assertTrue(error is not None or not broken, what)
                for table in set(kxclient.HANDLER_TABLES.values()) - set(['host_find_results']):
                    value = getattr(c, table)
                    items = value.values() if isinstance(value, dict) else value if isinstance(value, list) else []
                    self.assertNotIn(None, list(items), (table,) + what)
                c.close()
        self.assertGreater(total, 2000)  # a few thousand messages in all
        c = kxclient.KXClient.offline()
        c._dispatch_all([KXMsgv17_0.KXMsg(0x7f000000 + t, b'') for t in range(3000)])  # ever new types
        self.assertEqual((len(c.counts), sum(c.counts.values())), (kxclient.COUNTED_TYPES + 1, 3000))

    def test_reply_lists_are_bounded(self):
        """A daemon flooding replies nobody asked for: each list they fill keeps its newest entries up to its bound
        (a small one here), what goes is counted in replies_dropped, and a login still sees a refusal."""
        corpus = dict(kxcorpus.load())
        msg = lambda name: KXMsgv17_0.KXMsg(kxclient.NUMBERS['PROTOCOL_SERVER_' + name],
                                            corpus.get(kxclient.NUMBERS['PROTOCOL_SERVER_' + name], b''))
        floods = [  # (the list, messages before, the messages adding to it, the bound that applies)
            ('refusals', [], ['EPERM'], 'reply_limit'),
            ('not_available', [], ['NOT_AVAILABLE'], 'reply_limit'),
            ('view_errors', [], ['VIEW_ADD_ERROR'], 'reply_limit'),
            ('vcrc_results', [], ['VCRC_TEST_RESULT'], 'reply_limit'),
            ('host_find_results', [], ['HOST_FIND_REPLY'], 'reply_limit'),
            ('fwlog_results', [], ['FWLOG_ENTRY_START', 'FWLOG_ENTRY_END'], 'reply_limit'),
            ('fwlog entries', ['FWLOG_ENTRY_START'], ['FWLOG_ENTRY'], 'dump_limit'),
            ('bgp_entries', [], ['BGP_DUMP_ENTRY'], 'dump_limit'),
            ('bgp_paths', [], ['BGP_DUMP_PATH'], 'dump_limit'),
            ('_sysdiag', ['DRDL_SYSDIAG_BEGIN'], ['DRDL_SYSDIAG_ENTRIES'], 'dump_limit'),
        ]
        for table, before, adding, limit in floods:
            c = kxclient.KXClient.offline()
            setattr(c, limit, 7)
            entries = lambda: c._fwlog['entries'] if table == 'fwlog entries' else getattr(c, table)
            c._dispatch_all([msg(name) for name in before])
            added, last = 0, None
            for _ in range(25):
                had = len(entries()) + c.replies_dropped
                c._dispatch_all([msg(name) for name in adding])
                now = len(entries()) + c.replies_dropped - had
                if now == 1 and last is not None:   # the newest entry stays, the oldest goes
                    self.assertIs(entries()[-2], last, table)
                added, last = added + now, entries()[-1]
                self.assertLessEqual(len(entries()), 7, table)
            self.assertGreater(added, 7, table)
            self.assertEqual((len(entries()), c.replies_dropped), (7, added - 7), table)
        c.refusals = [0] * c.reply_limit
        c.auth, c.version, c.closed, c._send = None, (1, 0, '', ''), False, lambda m: c._dispatch_all([msg('EPERM')])
        self.assertFalse(c.login('demo', 'wrong', timeout=1))

    def test_import_leaves_builtins_alone(self):
        code = ('import sys; before = set(vars(__builtins__) if isinstance(__builtins__, dict) '
                'else dir(__builtins__)); import kxtools.client, kxtools.top, kxtools.dissect, kxtools.tap; '
                'after = set(vars(__builtins__) if isinstance(__builtins__, dict) else dir(__builtins__)); '
                'print(sorted(after - before))')
        self.assertEqual(run_python(code), (0, '[]'))


# Lines mypy must reject, with what it must say about them.
MISUSE = [
    ('import KXdv17_0 as kx\nkx.handleAuth(None)\n', 'incompatible type "None"; expected "KXMsg"'),
    ('from kxtools.client import KXClient\nKXClient(port="7830")\n', 'incompatible type "str"; expected "int"'),
    ('from kxtools.client import KXClient\nKXClient.offline().conns[1].speed[0] + 1\n',
     'Value of type "Optional[Tuple[int, int]]" is not indexable'),
    ('from kxtools import aio\nasync def f() -> None:\n    c = await aio.connect("h", 1, "u", "p")\n'
     '    c.login("u", "p")\n', 'Value of type "Coroutine[Any, Any, None]" must be used'),
]


def run_mypy(*args):
    return run_python('', ('-m',) + args, MYPYPATH=os.path.join(ROOT, 'stubs'))


@unittest.skipIf(sys.version_info < (3, 8), 'kxtools.aio needs Python 3.8 or later')
class Fleet(unittest.TestCase):

    def start(self, *args):
        return Sim('--hosts', '15', '--interval', '20', test=self, *args)

    def test_one_loop_many_appliances(self):
        frozen = [self.start('--seed', str(seed), '--ticks', '3') for seed in (1, 2)]
        for sim in frozen:
            sim.wait_line(b'frozen', [])
        dying, dying_later = self.start('--seed', '3'), self.start('--seed', '4')
        silent, closed = sockets(self, True, False)
        closed_port = closed.getsockname()[1]

        cases = [  # name, coroutine, the error it ends with (None: the tables of the frozen simulator)
            ('frozen 1', session(frozen[0].port, 'demo'), None),
            ('frozen 2', session(frozen[1].port, 'demo'), None),
            ('dies mid-stream', session(dying.port, 'demo', lambda c: dying.kill()), errors.ConnectionClosed),
            ('never answers', session(silent.getsockname()[1], 'demo', timeout=0.5), errors.Timeout),
            ('closed port', session(closed_port, 'demo'), errors.ConnectError),
            ('wrong password', session(frozen[0].port, 'nope'), errors.LoginRefused),
            ('follow', follow_until(dying_later.port, 2, lambda c: dying_later.kill()), None),
        ]
        results = run(*[coroutine for _, coroutine, _ in cases])
        for (name, _, want), got in zip(cases, results):
            if name == 'follow':
                names, errs = got
                self.assertEqual(names, ['connected', 'disconnected', 'attempt_failed'])
                self.assertEqual([type(e) for e in errs], [errors.ConnectionClosed, errors.ConnectError])
            elif name.startswith('frozen'):
                c, _, _ = got
                state = frozen[int(name[-1]) - 1].dump_now()
                self.assertTrue(c.closed, name)  # the context manager closed it
                self.assertEqual(sorted(map(str, c.hosts)), sorted(state['hosts']), name)
                for hid, host in state['hosts'].items():
                    self.assertEqual(dict((k, plain(getattr(c.hosts[int(hid)], k))) for k in host), host, name)
                self.assertEqual(sorted(map(str, c.conns)), sorted(state['connections']), name)
            elif want is errors.ConnectionClosed:
                c, tables, error = got
                self.assertIsInstance(error, want, name)
                self.assertIn('hosts', tables, name)  # events flowed until the daemon died
            else:
                self.assertIsInstance(got, want, name)
            if isinstance(got, Exception):
                self.assertIn('127.0.0.1:', str(got), name)

    def test_misbehaving_appliances(self):
        """follow() beside a healthy simulator: one stopped, bad text, out-of-order messages, a trickled frame."""
        healthy, stopped = self.start('--seed', '5'), self.start('--seed', '6')
        corpus = dict(kxcorpus.load())
        version = corpus[kx.PROTOCOL_SERVER_VERSION]
        self.assertIn(b'kxd-sim', version)
        fake = (version.replace(b'kxd-sim', b'kxd\xff\xfeim'), corpus[kx.PROTOCOL_SERVER_AUTHENTICATION_OK])
        stop = lambda c: stopped.proc.send_signal(signal.SIGSTOP)
        targets = [('healthy', healthy.port, None), ('stopped', stopped.port, stop), ('bad text', answers_pings, None),
                   ('out of order', out_of_order, None), ('trickle', trickle, None)]
        stderr = io.StringIO()
        with contextlib.redirect_stderr(stderr):
            seen, problems = run(follow_fleet(3.0, targets, fake, keepalive=0.3, keepalive_timeout=1.0,
                                              backoff=0.1))[0]
        self.assertEqual((problems, stderr.getvalue()), ([], ''))
        ends = {  # what ends each session: None (it stays up), or the error's class and text
            'healthy': None, 'bad text': None, 'stopped': (errors.Timeout, 'keepalive ping'),
            'out of order': (errors.ProtocolError, 'PROTOCOL_SERVER_FWLOG_ENTRY_END (0x19002): ValueError: '),
            'trickle': (errors.Timeout, 'stuck inside a frame'),
        }
        for name, events in sorted(seen.items()):
            names = [e[1] for e in events if e[1] != 'attempt_failed']
            sessions = ['connected', 'disconnected'] * (len(names) // 2) + ['connected'] * (len(names) % 2)
            self.assertEqual(names, sessions, name)
            self.assertEqual([e[3] for e in events if e[1] == 'attempt_failed'],
                             list(range(1, len(events) - len(names) + 1)), name)
            if ends[name] is None:
                self.assertEqual(names, ['connected'], name)
                continue
            self.assertGreaterEqual(len(names), 2, name)
            for _, _, error, _ in events[1::2]:
                self.assertIsInstance(error, ends[name][0], name)
                self.assertIn(ends[name][1], str(error), name)
            connects = [e[0] for e in events if e[1] == 'connected']
            for i, (before, after) in enumerate(zip(connects, connects[1:])):
                self.assertGreater(after - before, 0.1 * 2 ** i * 0.95, (name, connects))  # the backoff grows
        self.assertGreaterEqual(len(seen['out of order']), 6)


@unittest.skipIf(WHY_NOT, WHY_NOT)
class Typing(unittest.TestCase):
    """The stubs against the built modules (stubtest); mypy over the examples, kxtools.aio and misuse it must reject."""

    def test_stubs_match_the_modules(self):
        rc, out = run_mypy('mypy.stubtest', 'KXdv17_0', 'KXMsgv17_0', 'kxtools.client', 'kxtools.errors')
        self.assertEqual(rc, 0, out)

    def test_examples_check_and_misuse_is_caught(self):
        examples = sorted(os.path.join('examples', n) for n in os.listdir(os.path.join(ROOT, 'examples'))
                          if n.endswith('.py'))
        folder = scratch(self, 'kx-typing-')
        misuse = []
        for i, (code, _) in enumerate(MISUSE):
            misuse.append(os.path.join(folder, 'misuse%d.py' % i))
            with open(misuse[-1], 'w') as f:
                f.write(code)
        rc, out = run_mypy('mypy', '--check-untyped-defs', '--follow-imports=silent', '--no-incremental',
                       'kxtools/aio.py', *(examples + misuse))
        for path, (code, expected) in zip(misuse, MISUSE):
            found = [line for line in out.splitlines() if line.startswith(path + ':') and ': error:' in line]
            self.assertEqual(len(found), 1, '%s\n%s' % (code, out))
            self.assertIn(expected, found[0], code)
        self.assertEqual(len([line for line in out.splitlines() if ': error:' in line]), len(MISUSE), out)


if __name__ == '__main__':
    unittest.main()
