"""kxd-sim under hostile load: a client that does not read is held back
instead of growing the simulator, a well-behaved client keeps its pace
beside a flood, memory goes back afterwards, and the number of clients is
limited. The thresholds are the simulator's service promises; the baseline
is measured in the same run just before the flood, and medians are compared,
so a loaded machine shifts both sides alike."""
from __future__ import absolute_import, division, print_function

import errno
import json
import os
import resource
import select
import socket
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', '..'))

import KXdv17_0 as kx
from kxtools import client as kxclient
import flood
from test_e2e import Sim, sim_only
MB = 1 << 20
# In a sanitizer build the simulator's memory and speed are the
# instrumentation's: the flood runs, its figures are not held to the promises.
SANITIZED = 'libasan' in os.environ.get('LD_PRELOAD', '')


def median(values):
    values = sorted(values)
    n = len(values)
    return (values[n // 2] + values[(n - 1) // 2]) / 2.0


def raise_fd_limit(want):
    """The flood needs more descriptors than some default limits allow."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < want:
        new = want if hard == resource.RLIM_INFINITY else min(want, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (new, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def rss(sim):
    """The simulator's resident memory in bytes (VmRSS)."""
    with open('/proc/%d/status' % sim.proc.pid) as f:
        return int([line for line in f if line.startswith('VmRSS:')][0].split()[1]) * 1024


@sim_only
class Floods(unittest.TestCase):

    def start(self, *args):
        s = Sim(log=True, *args)
        self.addCleanup(s.kill)
        return s

    def good_client(self, sim):
        c = kxclient.KXClient('127.0.0.1', sim.port)
        self.assertTrue(c.login('demo', 'demo'))
        kx.requestUpdate(c)
        c.wait_for(lambda: c.update_done)
        kx.channelsShow(c)
        kx.shapingobjectShow(c)
        kx.fwrulesShow(c)
        return c

    def measure(self, c, seconds, each=lambda: None):
        """Pumps the client for `seconds`, pinging it ten times a second.
        Returns the messages received per second in each half second and
        every ping's round trip; calls each() on every turn."""
        rates, rtts = [], []
        start = window = next_ping = time.time()
        seen = sum(c.counts.values())
        while time.time() - start < seconds:
            each()
            if time.time() >= next_ping:
                want, sent = c.pongs + 1, time.time()
                kx.ping(c)
                c.wait_for(lambda: c.pongs >= want, 10)
                rtts.append(time.time() - sent)
                next_ping += 0.1
            c.pump(max(0, min(0.05, next_ping - time.time())))
            if time.time() - window >= 0.5:
                total = sum(c.counts.values())
                rates.append((total - seen) / (time.time() - window))
                window, seen = time.time(), total
        self.assertFalse(c.closed)
        return rates, rtts

    def test_flood_beside_a_good_client(self):
        self.assertGreaterEqual(raise_fd_limit(1024), flood.IDLE + flood.FLOODERS + 64,
                                'the descriptor limit (ulimit -n) is too low for the flood')
        sim = self.start('--interval', '50')
        c = self.good_client(sim)
        self.measure(c, 1.0)
        rss_start = rss(sim)
        base_rates, base_rtts = self.measure(c, 3.0)

        attack = subprocess.Popen([sys.executable, os.path.join(HERE, 'flood.py'), str(sim.port), '6'],
                                  stdout=subprocess.PIPE)
        peaks = [rss(sim)]
        self.measure(c, 1.5, lambda: peaks.append(rss(sim)))  # the flood sets in
        rates, rtts = self.measure(c, 4.0, lambda: peaks.append(rss(sim)))
        counts = json.loads(attack.communicate()[0].decode('ascii'))
        self.assertEqual(attack.returncode, 0)
        self.measure(c, 1.0)  # the simulator gives the memory back on its next ticks
        rss_after = rss(sim)

        figures = ('baseline %.0f msg/s, ping %.2f ms; flood %.0f msg/s, ping %.2f ms (max %.1f ms); '
                   'memory %.1f MB at start, %.1f MB at most under the flood, %.1f MB after; flood %s' %
                   (median(base_rates), median(base_rtts) * 1e3, median(rates), median(rtts) * 1e3,
                    max(rtts) * 1e3, rss_start / MB, max(peaks) / MB, rss_after / MB, counts))
        sys.stderr.write('\n' + figures + '\n')
        self.assertGreater(counts['sent'], 8 * MB, figures)  # the flooders did send
        self.assertGreater(counts['bad'], 100, figures)
        self.assertEqual(sim.stop()[0], 0)
        if SANITIZED:
            return
        self.assertGreaterEqual(median(rates), 0.8 * median(base_rates), figures)
        self.assertLess(median(rtts), 0.050, figures)
        self.assertLess(max(peaks), 200 * MB, figures)
        self.assertLessEqual(rss_after, 2 * rss_start, figures)

    def send_unread(self, c, pings):
        """Sends pings without reading until the simulator stops taking them;
        returns (all the bytes, how many went)."""
        data = flood.frame(0x20528) * pings
        sent = 0
        while sent < len(data) and select.select([], [c.sock], [], 0.5)[1]:
            sent += c.sock.send(data[sent:sent + (1 << 20)])
        return data, sent

    def test_idle_and_unread_clients_cost_little(self):
        """Two hundred connections that were greeted and then sent nothing
        hold no buffers in the simulator. A client that sends two million
        pings without reading is held back at the output bound: the pings
        wait in the socket, not as pongs in the simulator's memory. Once it
        reads, every pong arrives."""
        raise_fd_limit(1024)
        sim = self.start('--max-output', '65536')
        rss_before = rss(sim)
        idle = [socket.create_connection(('127.0.0.1', sim.port), 10) for _ in range(200)]
        self.addCleanup(lambda: [s.close() for s in idle])
        c = kxclient.KXClient('127.0.0.1', sim.port)
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
        received = []
        size = 0
        while size < 6 * pings:
            readable, writable = select.select([c.sock], [c.sock] if sent < len(data) else [], [], 10)[:2]
            self.assertTrue(readable or writable, 'the simulator stopped answering')
            if writable:
                sent += c.sock.send(data[sent:sent + (1 << 20)])
            if readable:
                received.append(c.sock.recv(1 << 20))
                self.assertTrue(received[-1], 'closed by the simulator')
                size += len(received[-1])
        self.assertEqual(b''.join(received), flood.frame(0x1b100) * pings)

    def test_a_client_that_never_reads_is_dropped(self):
        """A client whose replies stay above the bound while it reads none
        for --max-stall seconds is dropped, so the live stream cannot grow
        its queue for ever."""
        if SANITIZED:
            self.skipTest('too many messages for an instrumented simulator')
        sim = self.start('--max-output', '65536', '--max-stall', '1', '--interval', '20')
        c = kxclient.KXClient('127.0.0.1', sim.port)
        c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.assertTrue(c.login('demo', 'demo'))
        kx.requestUpdate(c)
        c.wait_for(lambda: c.update_done)
        self.send_unread(c, 1500000)  # more pongs than the kernel's buffers hold
        time.sleep(2.0)
        # Still connected, the client would now read slowly for a long time.
        closed, deadline = False, time.time() + 5
        c.sock.settimeout(5)
        try:
            while not closed and time.time() < deadline:
                closed = not c.sock.recv(1 << 20)
        except socket.timeout:
            pass
        except socket.error as e:
            closed = e.errno == errno.ECONNRESET
        self.assertTrue(closed, 'a client that never read is still connected')

    def test_clients_over_the_limit_are_refused(self):
        sim = self.start('--max-clients', '3')
        clients = [kxclient.KXClient('127.0.0.1', sim.port) for _ in range(3)]
        for c in clients:
            c.wait_for(lambda: c.version is not None)
        for _ in range(20):
            extra = socket.create_connection(('127.0.0.1', sim.port), 10)
            self.assertEqual(extra.recv(100), b'')  # closed without a greeting
            extra.close()
        clients[0].close()
        deadline = time.time() + 10
        while True:  # once the simulator has seen the client leave, a new one is served
            late = kxclient.KXClient('127.0.0.1', sim.port)
            try:
                self.assertTrue(late.login('demo', 'demo'))
                break
            except kxclient.ProtocolError:
                self.assertLess(time.time(), deadline)
                time.sleep(0.05)
        refusals = [line for line in sim.log_text().splitlines()
                    if 'refused: 3 clients connected already (--max-clients)' in line]
        self.assertTrue(1 <= len(refusals) < 5, refusals)  # at most one line a second


if __name__ == '__main__':
    unittest.main()
