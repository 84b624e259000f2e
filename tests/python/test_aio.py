"""kxtools.aio against several kxd-sim processes and broken servers at once on one event loop."""
from __future__ import absolute_import, division, print_function

import sys
import unittest

from kxtest import sockets
from test_e2e import Sim, plain

if sys.version_info >= (3, 8):
    from aio_scenarios import follow_until, run, session
    from kxtools import errors


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
                self.assertEqual(names, ['connected', 'disconnected', 'disconnected'])
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


if __name__ == '__main__':
    unittest.main()
