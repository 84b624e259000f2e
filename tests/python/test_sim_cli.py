"""kxd-sim on its own: its command line, its log lines, the life of its network, and hostile load."""
from __future__ import absolute_import, division, print_function

import errno
import os
import re
import resource
import select
import socket
import struct
import subprocess
import time
import unittest

from test_e2e import HERE, SIM, Sim, frame, listening, run_tool, sim_only

import KXdv17_0 as kx
from kxtools import client as kxclient
from kxtest import s, sockets

MB = 1 << 20
# Under the sanitizers memory and speed are the instrumentation's: the load runs, its figures are not held.
SANITIZED = 'libasan' in os.environ.get('LD_PRELOAD', '')


def raise_fd_limit(want):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want if hard == resource.RLIM_INFINITY else min(want, hard), hard))


def rss(sim):
    with open('/proc/%d/status' % sim.proc.pid) as f:
        return int([line for line in f if line.startswith('VmRSS:')][0].split()[1]) * 1024


def drained(sock, timeout=5):
    """Reads sock to its end; False when the other side keeps it open for timeout seconds."""
    sock.settimeout(timeout)
    deadline = time.time() + timeout
    try:
        while sock.recv(1 << 20):
            if time.time() > deadline:
                return False
    except socket.timeout:
        return False
    except socket.error:
        pass
    return True


@sim_only
class CommandLine(unittest.TestCase):

    def test_wrong_options_are_named_with_the_reason(self):
        port = sockets(self, True)[0].getsockname()[1]
        cases = [
            (['--hosts', '5'], '--hosts 5: out of range, 10..100000'),
            (['--hosts', '100001', '--bogus'], '--hosts 100001: out of range, 10..100000'),   # the first is named
            (['--port', 'x'], '--port x: not a whole number, 0..65535'),
            (['--port', '-1'], '--port -1: not a whole number, 0..65535'),
            (['--seed', '18446744073709551616'], '--seed 18446744073709551616: out of range, 0..18446744073709551615'),
            (['--seed'], '--seed needs an argument'),
            (['--bogus', '1'], "unknown option '--bogus'"),
            (['-z'], "unknown option '-z'"),
            (['--quiet', 'extra'], "unexpected argument 'extra'"),
            (['--appliances', '3', '--port', '65534'], '--appliances 3: ports 65534..65536 pass 65535'),
            (['--appliances', '2', '--replay', HERE], '--appliances goes without --replay'),
        ]
        # Options that parse but cannot be served: status 1.
        unusable = [
            (['--dump-state', '/nonexistent/state.json'], '--dump-state /nonexistent/state.json: No such file or directory'),
            (['--dump-state', HERE], '--dump-state %s: Is a directory' % HERE),
            (['--port', str(port)], 'cannot listen on 127.0.0.1:%d: Address already in use' % port),
        ]
        for status, table in ((2, cases), (1, unusable)):
            for args, reason in table:
                rc, out, err = run_tool(SIM, *args)
                self.assertEqual((rc, out), (status, ''), args)
                self.assertEqual(err.splitlines()[0], 'kxd-sim: ' + reason, args)

    def test_help_lists_defaults_and_limits(self):
        rc, out, err = run_tool(SIM, '--help')
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
        self.assertEqual(run_tool(SIM, '-h'), (rc, out, err))

    def test_appliances_are_independent_networks(self):
        # A fleet's appliance i serves the network of a lone simulator with seed --seed + i; one without
        # a client yet has none. The networks do not step: the tables are the seeds' alone.
        still = ['--interval', '4000000000', '--hosts', '20']
        fleet = Sim(test=self, *still + ['--appliances', '3', '--seed', '5'])
        ports = [fleet.port] + [listening(fleet.proc.stdout) for _ in range(2)]
        self.assertEqual(ports, list(range(fleet.port, fleet.port + 3)))
        clients = [kxclient.KXClient('127.0.0.1', port) for port in (ports[0], ports[2])]
        for c in clients:
            self.addCleanup(c.close)
            c.wait_for(lambda: c.version is not None)
        c.sync()
        appliances = fleet.stop()[1]['appliances']
        self.assertEqual([a['port'] for a in appliances], ports)
        self.assertEqual([a['seed'] for a in appliances], [5, 6, 7])
        self.assertNotIn('hosts', appliances[1])
        for i in (0, 2):
            lone = Sim(test=self, *still + ['--seed', str(5 + i)]).stop()[1]
            self.assertEqual(appliances[i]['hosts'], lone['hosts'], i)
            self.assertEqual(len(appliances[i]['sessions']), 1)
        self.assertNotEqual(appliances[0]['hosts'], appliances[2]['hosts'])

    def test_stagger_spreads_a_fleets_steps(self):
        # Two appliances frozen after their first step of 2 s: together, or half an interval apart with --stagger.
        for options, least, most in (([], 0.0, 0.4), (['--stagger'], 0.6, 1.4)):
            fleet = Sim(test=self, *['--appliances', '2', '--interval', '2000', '--ticks', '1', '--hosts', '20'] + options)
            ports = [fleet.port, listening(fleet.proc.stdout)]
            clients = [kxclient.KXClient('127.0.0.1', port) for port in ports]
            for c in clients:
                self.addCleanup(c.close)
            times, deadline = [], time.time() + 30
            while len(times) < 2 and time.time() < deadline:     # lines that come together are read together
                if select.select([fleet.proc.stdout], [], [], 0.05)[0]:
                    data = os.read(fleet.proc.stdout.fileno(), 4096)
                    self.assertTrue(data, 'kxd-sim exited')
                    times += [time.time()] * data.count(b': frozen after 1 ticks')
                for c in clients:
                    c.pump(0)
            self.assertEqual(len(times), 2, options)
            self.assertTrue(least <= times[1] - times[0] <= most, (options, times[1] - times[0]))
            fleet.stop()

    def test_a_step_is_an_interval_of_network_time(self):
        # After one step of --interval MS, every counter holds its rate times MS, and the clock moved on by MS.
        for ms in (10, 150, 1000):
            sim = Sim(test=self, *['--interval', str(ms), '--ticks', '1'])
            sim.wait_line(b'frozen', [], 30)
            state = sim.stop()[1]
            self.assertEqual(state['now'], 1700000000 + ms // 1000)
            pairs = [(o[d + 'RX bytes'], o[d + 'RX bps'] / 8) for o in state['shaping_objects'].values()
                     for d in ('in ', 'out ')]
            pairs += [(o[d + key], o[d + rate]) for o in state['shaping_objects'].values() for d in ('in ', 'out ')
                      for key, rate in (('RX packets', 'RX pps'), ('total drops', 'drops/s'))]
            pairs += [(c[stat][side], c[stat + '(rate)'][side]) for c in state['channels'].values() if c['active']
                      for stat in ('bytes', 'packets', 'drops') for side in (0, 1)]
            self.assertGreater(sum(rate for _, rate in pairs), 0)
            for total, rate in pairs:
                self.assertLessEqual(abs(total - rate * ms / 1000.0), 0.5, (ms, total, rate))

    def test_population_stays_around_hosts(self):
        # (options, least and most hosts at the end, most hosts without connections)
        cases = [(['--hosts', '60'], 54, 66, 12),
                 (['--hosts', '30', '--conns', '6'], 27, 33, 30)]
        for options, least, most, idle in cases:
            sim = Sim(test=self, *['--interval', '10', '--speedup', '2000', '--ticks', '20000'] + options)
            self.assertEqual(sim.wait_line(b'frozen', [], 120), b'frozen after 20000 ticks\n')
            hosts = sim.stop()[1]['hosts']
            without = [h for h in hosts.values() if not sum(h['connections'])]
            self.assertTrue(least <= len(hosts) <= most, (options, len(hosts)))
            self.assertLessEqual(len(without), idle, options)


@sim_only
class Load(unittest.TestCase):

    def test_hostile_clients_leave_nothing_behind(self):
        sim = Sim('--interval', '50', log=True, test=self)
        good = sim.client()
        self.assertTrue(good.login('demo', 'demo'))
        kx.requestUpdate(good)
        good.wait_for(lambda: good.update_done)
        good.pump(0.5)
        rss_start = rss(sim)
        flood = (frame(0x20001, s('demo') + s('demo')) +
                 (frame(0x20528) * 20 + frame(0x20002) + frame(0x205dc) + frame(0x10640)) * 2000)
        hostile = [flood, frame(0x20528)[:4] + struct.pack('>H', 40000) + b'x' * 64,   # longer than any message
                   frame(0x20001, b'y' * 200)[:50]]                                   # breaks off mid-frame
        for _ in range(4):
            socks = [socket.create_connection(('127.0.0.1', sim.port), 10) for _ in range(45)]
            for i, h in enumerate(socks):
                h.setblocking(False)
                try:
                    h.send(hostile[i % 3])
                except socket.error as e:
                    self.assertIn(e.errno, (errno.EAGAIN, errno.EWOULDBLOCK))
            for _ in range(3):
                want = good.pongs + 1
                kx.ping(good)
                good.wait_for(lambda: good.pongs >= want, 5)
            for h in socks[1::3]:   # a broken header: the simulator closes the connection
                self.assertTrue(drained(h), 'a stream with a broken header is still open')
            for h in socks:
                h.close()
        deadline = time.time() + 15   # the simulator gives the memory back on its next ticks
        while rss(sim) > 2 * rss_start and time.time() < deadline:
            good.pump(0.2)
        rss_after = rss(sim)
        self.assertFalse(good.closed)
        self.assertEqual(sim.stop()[0], 0)
        if not SANITIZED:
            self.assertLessEqual(rss_after, 2 * rss_start, 'memory %.1f MB at start, %.1f MB after'
                                 % (rss_start / MB, rss_after / MB))

    def send_unread(self, c, pings):
        """Pings sent without reading until the simulator stops taking them: (all the bytes, how many went)."""
        data = frame(0x20528) * pings
        sent = 0
        while sent < len(data) and select.select([], [c.sock], [], 0.5)[1]:
            sent += c.sock.send(data[sent:sent + (1 << 20)])
        return data, sent

    def test_idle_and_unread_clients_cost_little(self):
        """Idle connections hold no buffers; a client that does not read is held back, and once it reads gets all."""
        raise_fd_limit(1024)
        sim = Sim('--max-output', '65536', log=True, test=self)
        rss_before = rss(sim)
        idle = [socket.create_connection(('127.0.0.1', sim.port), 10) for _ in range(200)]
        self.addCleanup(lambda: [s.close() for s in idle])
        c = sim.client()
        c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        self.assertTrue(c.login('demo', 'demo'))
        c.sync()  # every connection before it has been accepted and greeted; from here on only pongs come
        if not SANITIZED:  # a buffer kept per connection would be 50 MB
            self.assertLess(rss(sim) - rss_before, 10 * MB)
        rss_before = rss(sim)
        pings = 100000 if SANITIZED else 2000000  # instrumented, a message costs far more
        data, sent = self.send_unread(c, pings)
        time.sleep(0.5)
        # Unthrottled, the 12 MB of pongs less what the kernel holds would be queued.
        if not SANITIZED:
            self.assertLess(rss(sim) - rss_before, 3 * MB)
        received, size = [], 0
        while size < 6 * pings:
            readable, writable = select.select([c.sock], [c.sock] if sent < len(data) else [], [], 10)[:2]
            self.assertTrue(readable or writable, 'the simulator stopped answering')
            if writable:
                sent += c.sock.send(data[sent:sent + (1 << 20)])
            if readable:
                received.append(c.sock.recv(1 << 20))
                self.assertTrue(received[-1], 'closed by the simulator')
                size += len(received[-1])
        self.assertEqual(b''.join(received), frame(0x1b100) * pings)

    def test_a_client_that_never_reads_is_dropped(self):
        if SANITIZED:
            self.skipTest('too many messages for an instrumented simulator')
        sim = Sim('--max-output', '65536', '--max-stall', '1', '--interval', '20', log=True, test=self)
        c = sim.client()
        c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.assertTrue(c.login('demo', 'demo'))
        kx.requestUpdate(c)
        c.wait_for(lambda: c.update_done)
        self.send_unread(c, 1500000)  # more pongs than the kernel's buffers hold
        time.sleep(2.0)
        # Still connected, the client would now read slowly for a long time.
        self.assertTrue(drained(c.sock), 'a client that never read is still connected')

    def test_a_large_network_listens_soon_and_stops_at_any_moment(self):
        big = ['--hosts', '100000', '--interval', '4000000000']
        # (options, seconds before SIGTERM, or None to send it once listening; CPU seconds the run may take)
        cases = [(big, None, 6), (big + ['--conns', '1000000'], 0.3, 2.5)]  # built whole: 1 and 4 s
        for options, delay, most in cases:
            proc = subprocess.Popen([SIM, '--port', '0', '--quiet'] + options, stdout=subprocess.PIPE)
            self.addCleanup(lambda p=proc: p.poll() is None and p.kill())
            if delay is None:
                self.assertTrue(select.select([proc.stdout], [], [], 60)[0], 'not listening after 60 s')
                self.assertTrue(proc.stdout.readline().startswith(b'listening on'))
            else:
                time.sleep(delay)
            proc.terminate()
            deadline = time.time() + 10
            while True:
                pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
                if pid:
                    break
                self.assertLess(time.time(), deadline, 'still running 10 s after SIGTERM')
                time.sleep(0.02)
            proc.returncode = os.WEXITSTATUS(status)
            self.assertEqual((proc.returncode, proc.stdout.read()), (0, b''), options)  # never listened, or once
            proc.stdout.close()
            if not SANITIZED:
                self.assertLess(usage.ru_utime + usage.ru_stime, most, options)

    def test_clients_over_the_limit_are_refused(self):
        sim = Sim('--max-clients', '3', log=True, quiet=False, test=self)
        clients = [sim.client() for _ in range(3)]
        for c in clients:
            c.wait_for(lambda: c.version is not None)
        for _ in range(20):
            extra = socket.create_connection(('127.0.0.1', sim.port), 10)
            self.assertEqual(extra.recv(100), b'')  # closed without a greeting
            extra.close()
        clients[0].close()
        deadline = time.time() + 10
        while True:  # once the simulator has seen the client leave, a new one is served
            late = sim.client()
            try:
                self.assertTrue(late.login('demo', 'demo'))
                break
            except kxclient.ProtocolError:
                self.assertLess(time.time(), deadline)
                time.sleep(0.05)
        self.assertEqual(sim.stop()[0], 0)
        lines = sim.log_text().splitlines()
        refusals = [line for line in lines if 'refused: 3 clients connected already (--max-clients)' in line]
        self.assertTrue(1 <= len(refusals) < 5, refusals)  # at most one line a second
        # every line names the simulator
        self.assertTrue(re.match(r'^\[kxd-sim:Info\] 127\.0\.0\.1:\d+: connected$', lines[0]), lines)
        self.assertEqual(lines[-1], '[kxd-sim:Info] stopped')
        self.assertFalse([line for line in lines if not line.startswith('[kxd-sim:')], lines)


if __name__ == '__main__':
    unittest.main()
