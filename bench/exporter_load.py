"""The exporter load run of bench_exporter.py (Python 3.8 or later: it is
asyncio code, which Python 2.7 cannot compile)."""
import asyncio
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir))
sys.path.insert(0, os.path.join(HERE, os.pardir, 'tests', 'python'))

from bench_aio import cpu_seconds, rss_mb
from kxtools import exporter
from test_e2e import Sim

SIZES = [int(n) for n in os.environ.get('KX_EXPORTER_SIZES', '10,50,200').split(',')]
SECONDS = float(os.environ.get('KX_EXPORTER_SECONDS', '5'))
SIMS = 4


async def scrape(host, port):
    t = time.perf_counter()
    reader, writer = await asyncio.open_connection(host, port)
    writer.write(b'GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n')
    body = await reader.read()
    writer.close()
    return time.perf_counter() - t, len(body)


async def follow_all(ports, n):
    appliances = [exporter.Appliance('a%d' % i, '127.0.0.1', ports[i % len(ports)], 'demo', 'demo', timeout=60)
                  for i in range(n)]
    e = exporter.Exporter(appliances)
    host, port = await e.start('127.0.0.1', 0)
    loop = asyncio.get_running_loop()
    deadline = loop.time() + 120
    while sum(a.client is not None for a in appliances) < n and loop.time() < deadline:
        await asyncio.sleep(0.1)
    cpu, wall, lag, slowest, size = time.process_time(), loop.time(), 0.0, 0.0, 0
    while loop.time() - wall < SECONDS:
        due = loop.time() + 1.0
        took, size = await scrape(host, port)
        slowest = max(slowest, took)
        await asyncio.sleep(max(0.0, due - loop.time()))
        lag = max(lag, loop.time() - due)
    cpu, wall = time.process_time() - cpu, loop.time() - wall
    up = sum(a.client is not None for a in appliances)
    scrape_cpu = time.process_time()
    e.scrape()
    scrape_cpu = time.process_time() - scrape_cpu
    await e.stop()
    return up, cpu / wall, slowest, scrape_cpu, size, lag


def main():
    for n in SIZES:
        sims = [Sim('--seed', str(i + 1), '--interval', '1000', '--max-clients', str(n)) for i in range(SIMS)]
        try:
            before = [cpu_seconds(s.proc.pid) for s in sims]
            t0 = time.time()
            up, share, slowest, scrape_cpu, size, lag = asyncio.run(follow_all([s.port for s in sims], n))
            sim_share = sum(cpu_seconds(s.proc.pid) - b for s, b in zip(sims, before)) / (time.time() - t0)
        finally:
            for s in sims:
                s.kill()
        print('exporter_%-5d appliances up %4d/%-4d  exporter cpu %5.1f%%  rss %6.1f MB  slowest scrape %7.1f ms  '
              'scrape cpu %6.1f ms  %7.0f kB  loop lag max %6.1f ms  kxd-sim cpu %5.1f%%'
              % (n, up, n, 100 * share, rss_mb(), 1000 * slowest, 1000 * scrape_cpu, size / 1024.0, 1000 * lag, 100 * sim_share))
        sys.stdout.flush()


if __name__ == '__main__':
    main()
