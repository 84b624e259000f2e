"""kxd-sim's command line and log lines: a wrong option is named with the
reason, --help lists every option with its default and limits, --version
prints the project's version, and the simulator's own log lines name it."""
from __future__ import absolute_import, division, print_function

import os
import re
import signal
import socket
import subprocess
import unittest

from test_e2e import HERE, SIM, Sim, sim_only


def run(*args):
    p = subprocess.Popen([SIM] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = p.communicate()
    return p.returncode, out.decode('utf-8'), err.decode('utf-8')


@sim_only
class CommandLine(unittest.TestCase):

    def test_wrong_options_are_named_with_the_reason(self):
        taken = socket.socket()
        taken.bind(('127.0.0.1', 0))
        taken.listen(1)
        self.addCleanup(taken.close)
        port = taken.getsockname()[1]
        cases = [
            (['--hosts', '5'], '--hosts 5: out of range, 10..100000'),
            (['--port', 'x'], '--port x: not a whole number, 0..65535'),
            (['--port', '-1'], '--port -1: not a whole number, 0..65535'),
            (['--seed', '18446744073709551616'], '--seed 18446744073709551616: out of range, 0..18446744073709551615'),
            (['--max-output', '1000'], '--max-output 1000: out of range, 65536..33554432'),
            (['--max-clients', '0'], '--max-clients 0: out of range, 1..65536'),
            (['--seed'], '--seed needs an argument'),
            (['--bogus', '1'], "unknown option '--bogus'"),
            (['-z'], "unknown option '-z'"),
            (['--quiet', 'extra'], "unexpected argument 'extra'"),
            (['--speedup', '0'], '--speedup 0: out of range, 1..100000'),
        ]
        # Options that parse but cannot be served: status 1.
        unusable = [
            (['--dump-state', '/nonexistent/state.json'], '--dump-state /nonexistent/state.json: No such file or directory'),
            (['--dump-state', HERE], '--dump-state %s: Is a directory' % HERE),
            (['--port', str(port)], 'cannot listen on 127.0.0.1:%d: Address already in use' % port),
        ]
        for status, table in ((2, cases), (1, unusable)):
            for args, reason in table:
                rc, out, err = run(*args)
                self.assertEqual((rc, out), (status, ''), args)
                self.assertEqual(err.splitlines()[0], 'kxd-sim: ' + reason, args)

    def test_help_lists_defaults_and_limits(self):
        rc, out, err = run('--help')
        self.assertEqual((rc, err), (0, ''))
        text = ' '.join(out.split())
        for name in ('help', 'version', 'port', 'hosts', 'conns', 'seed', 'interval', 'ticks', 'user', 'password',
                     'dump-state', 'max-clients', 'max-output', 'max-stall', 'quiet'):
            self.assertIn('--' + name, text)
        for row in ('--port N ', '(default 7830; 0..65535)', '--hosts N ', '(default 60; 10..100000)',
                    '--max-clients N ', '(default 256; 1..65536)', '--max-output BYTES ',
                    '(default 4194304; 65536..33554432)', '(default demo)'):
            self.assertIn(row, text)
        self.assertTrue(all(len(line) <= 79 for line in out.splitlines()))
        self.assertEqual(run('-h'), (rc, out, err))

    def test_population_stays_around_hosts(self):
        """Hours of the network's life at --speedup: hosts come and go around
        --hosts, and those without connections leave."""
        # (options, least and most hosts at the end, most hosts without connections)
        cases = [(['--hosts', '60'], 54, 66, 12),
                 (['--hosts', '30', '--conns', '6'], 27, 33, 30)]
        for options, least, most, idle in cases:
            sim = Sim(*['--interval', '10', '--speedup', '2000', '--ticks', '20000'] + options)
            self.addCleanup(sim.kill)
            self.assertEqual(sim.wait_line(b'frozen', [], 120), b'frozen after 20000 ticks\n')
            hosts = sim.stop()[1]['hosts']
            without = [h for h in hosts.values() if not sum(h['connections'])]
            self.assertTrue(least <= len(hosts) <= most, (options, len(hosts)))
            self.assertLessEqual(len(without), idle, options)

    def test_version(self):
        with open(os.path.join(HERE, '..', '..', 'kxtools', '_version.py')) as f:   # the project's one version
            version = re.search(r'__version__ *= *[\'"]([^\'"]+)', f.read()).group(1)
        self.assertEqual(run('--version'), (0, 'kxd-sim %s\n' % version, ''))

    def test_own_log_lines_name_the_simulator(self):
        p = subprocess.Popen([SIM, '--port', '0'], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        port = int(p.stdout.readline().strip().rsplit(b':', 1)[1])
        s = socket.create_connection(('127.0.0.1', port), 10)
        s.recv(100)  # the greeting: the simulator has seen the client
        s.close()
        p.send_signal(signal.SIGTERM)
        err = p.communicate()[1].decode('utf-8')
        self.assertEqual(p.returncode, 0)
        lines = err.splitlines()
        self.assertTrue(re.match(r'^\[kxd-sim:Info\] 127\.0\.0\.1:\d+: connected$', lines[0]), lines)
        self.assertEqual(lines[-1], '[kxd-sim:Info] stopped')
        self.assertFalse([line for line in lines if not line.startswith('[kxd-sim:')], lines)


if __name__ == '__main__':
    unittest.main()
