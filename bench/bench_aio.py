"""How many appliances one asyncio loop follows: N sessions with kxtools.aio
on kxd-sim processes (4, each serving N/4 sessions of a 60-host network
stepping once a second, as an appliance reports), all logged in, updated and
followed for SECONDS. Per N it prints the CPU share this process used, its
resident memory, the messages handled per second, the worst lateness of a
0.1 s timer on the loop (how far behind the loop ran) and the simulators'
CPU share. One loop keeps up while the lateness stays well under a second;
on a loaded machine the lateness grows with the load, while the CPU time per
message handled (also printed) does not.

    KX_AIO_SIZES=16,64,256 KX_AIO_SECONDS=5 python3 bench_aio.py
"""
from __future__ import print_function

import os
import resource
import sys
import time

if sys.version_info < (3, 8):
    print('bench_aio: skipped, kxtools.aio needs Python 3.8 or later')
    sys.exit(0)

import asyncio  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir))
sys.path.insert(0, os.path.join(HERE, os.pardir, 'tests', 'python'))

from kxtools import aio  # noqa: E402
from test_e2e import Sim  # noqa: E402

SIZES = [int(n) for n in os.environ.get('KX_AIO_SIZES', '16,64,256').split(',')]
SECONDS = float(os.environ.get('KX_AIO_SECONDS', '5'))
SIMS = 4


def rss_mb():
    with open('/proc/self/status') as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1]) / 1024.0
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / float(os.sysconf('SC_CLK_TCK'))


def follow_all(ports, n):
    """Runs n sessions on one new loop; (CPU s, wall s, messages, worst lateness s, sessions alive).
    Plain calls on the loop, so that Python 2.7 can read this file to skip it."""
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    run = loop.run_until_complete
    clients = run(asyncio.gather(*(aio.connect('127.0.0.1', ports[i % len(ports)], 'demo', 'demo', timeout=60)
                                   for i in range(n))))
    run(asyncio.gather(*(c.update(timeout=120) for c in clients)))
    handled = sum(sum(c.counts.values()) for c in clients)
    cpu, wall, lag = time.process_time(), loop.time(), 0.0
    while loop.time() - wall < SECONDS:
        due = loop.time() + 0.1
        run(asyncio.sleep(0.1))
        lag = max(lag, loop.time() - due)
    cpu, wall = time.process_time() - cpu, loop.time() - wall
    handled = sum(sum(c.counts.values()) for c in clients) - handled
    alive = sum(not c.closed for c in clients)
    for c in clients:
        c.close()
    loop.close()
    return cpu, wall, handled, lag, alive


def main():
    for n in SIZES:
        sims = [Sim('--seed', str(i + 1), '--interval', '1000', '--max-clients', str(n))
                for i in range(SIMS)]
        try:
            before = [cpu_seconds(s.proc.pid) for s in sims]
            t0 = time.time()
            cpu, wall, handled, lag, alive = follow_all([s.port for s in sims], n)
            sim_share = sum(cpu_seconds(s.proc.pid) - b for s, b in zip(sims, before)) / (time.time() - t0)
        finally:
            for s in sims:
                s.kill()
        print('aio_%-5d appliances %4d/%-4d  client cpu %5.1f%%  rss %6.1f MB  %8.0f msgs/s handled  '
              '%5.1f us cpu/msg  loop lag max %7.1f ms  kxd-sim cpu %5.1f%%'
              % (n, alive, n, 100 * cpu / wall, rss_mb(), handled / wall, 1e6 * cpu / max(handled, 1), 1000 * lag,
                 100 * sim_share))
        sys.stdout.flush()


if __name__ == '__main__':
    main()
