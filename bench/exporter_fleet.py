"""One kxexporter following a fleet through /probe, run by hand (Python 3,
with prometheus_client):

    python3 bench/exporter_fleet.py [BUILD]

Starts `kxd-sim --appliances N` (KX_FLEET, default 1000) and one exporter
process, then probes every appliance once per KX_FLEET_INTERVAL seconds
(default 15, spread evenly, as Prometheus does) for KX_FLEET_ROUNDS rounds
(default 3) after a first round that starts the following. The simulated
appliances step once a second, each at its own moment (KX_FLEET_SIM: more
kxd-sim options, default --interval 1000 --stagger) on ports from 21000. Prints the
probe times (median, 99th percentile, slowest), the exporter's CPU share
during the measured rounds, its resident memory before the first probe
and at the end, and the memory per appliance.
"""
import asyncio
import os
import re
import subprocess
import sys
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(TOP, 'build'))
SIM = os.path.join(BUILD, 'sim', 'kxd-sim')
FLEET = int(os.environ.get('KX_FLEET', '1000'))
INTERVAL = float(os.environ.get('KX_FLEET_INTERVAL', '15'))
ROUNDS = int(os.environ.get('KX_FLEET_ROUNDS', '3'))
SIM_ARGS = os.environ.get('KX_FLEET_SIM', '--interval 1000 --stagger').split()
PORT = 21000     # below the ephemeral ports, where N in a row are free
TICK = os.sysconf('SC_CLK_TCK')


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def rss_kb(pid):
    with open('/proc/%d/status' % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith('VmRSS:'))


async def get(address, target):
    reader, writer = await asyncio.open_connection(*address)
    writer.write(b'GET /probe?target=%s HTTP/1.1\r\nX-Prometheus-Scrape-Timeout-Seconds: 10\r\n\r\n' % target.encode())
    try:
        return await reader.read()
    finally:
        writer.close()


async def probe(address, target):
    """(seconds, appliance up, answered 200) of one probe."""
    t = time.perf_counter()
    try:
        body = await asyncio.wait_for(get(address, target), 10)
    except (OSError, asyncio.TimeoutError):
        body = b''
    up = re.search(br'^kx_up\{[^}]*\} 1', body, re.M) is not None
    return time.perf_counter() - t, up, body.startswith(b'HTTP/1.1 200')


async def rounds(address, targets, pid):
    """The first round (following starts), then ROUNDS measured ones."""
    loop = asyncio.get_running_loop()
    step = INTERVAL / len(targets)
    times, up, failed, cpu = [], 0, 0, 0.0
    for r in range(ROUNDS + 1):
        if r == 1:
            cpu, wall = cpu_seconds(pid), loop.time()
        start = loop.time()
        pending = []
        for i, t in enumerate(targets):
            await asyncio.sleep(max(0.0, start + i * step - loop.time()))
            pending.append(asyncio.ensure_future(probe(address, t)))
        done = await asyncio.gather(*pending)
        if os.environ.get("KX_FLEET_DEBUG"):
            print(r, "failed", sum(1 for _, _, ok in done if not ok), "up", sum(1 for _, u, _ in done if u), "median", sorted(d for d, _, _ in done)[len(done) // 2], flush=True)
        if r:
            times += [d for d, _, _ in done]
            up = sum(1 for _, u, _ in done if u)
            failed += sum(1 for _, _, ok in done if not ok)
    return times, up, failed, (cpu_seconds(pid) - cpu) / (loop.time() - wall)


def main():
    sim = subprocess.Popen([SIM, '--port', str(PORT), '--appliances', str(FLEET), '--quiet'] + SIM_ARGS,
                           stdout=subprocess.PIPE)
    exporter = None
    try:
        first = int(sim.stdout.readline().decode().rsplit(':', 1)[1])
        targets = ['127.0.0.1:%d' % (first + i) for i in range(FLEET)]
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(BUILD, 'python3'), TOP]))
        exporter = subprocess.Popen([os.environ.get('KX_PYTHON3', '/usr/bin/python3'), '-m', 'kxtools.exporter',
                                     '--listen', '127.0.0.1:0', '--idle', str(4 * INTERVAL),
                                     '--log-level', 'warning'], stdout=subprocess.PIPE, env=env, cwd=TOP)
        line = exporter.stdout.readline().decode()
        host, port = line.split('http://', 1)[1].split('/', 1)[0].rsplit(':', 1)
        time.sleep(1)
        before = rss_kb(exporter.pid)
        times, up, failed, share = asyncio.run(rounds((host, int(port)), targets, exporter.pid))
        after = rss_kb(exporter.pid)
        times.sort()
        print('exporter_fleet %d appliances (%d up at the last probe), probed every %gs, %d rounds: %d probes '
              'failed; probe median %.1f ms, p99 %.1f ms, slowest %.1f ms; exporter cpu %.1f%% of a core; rss '
              '%.1f MB idle, %.1f MB following, %.0f KB per appliance'
              % (FLEET, up, INTERVAL, ROUNDS, failed, 1000 * times[len(times) // 2], 1000 * times[int(len(times) * 0.99)],
                 1000 * times[-1], 100 * share, before / 1024.0, after / 1024.0, (after - before) / float(FLEET)))
    finally:
        for p in (exporter, sim):
            if p is not None:
                p.kill()
                p.wait()


if __name__ == '__main__':
    main()
