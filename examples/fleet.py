#!/usr/bin/env python3
"""Follows several appliances from one asyncio event loop and prints the
fleet's totals every interval:

    examples/fleet.py 127.0.0.1:7830 127.0.0.1:7831 --seconds 10

Each appliance is followed by kxtools.aio.follow(), which reconnects with
backoff when a session fails; the totals count the appliances that are up.
"""
import argparse
import asyncio
import sys
import time
from typing import Dict, Tuple

from _checkout import use_checkout

use_checkout()

from kxtools import aio  # noqa: E402


def parse_args(argv):
    p = argparse.ArgumentParser(description='Fleet totals of several appliances, from one event loop.')
    p.add_argument('targets', nargs='+', metavar='HOST:PORT', help='an appliance (PORT alone: on 127.0.0.1)')
    p.add_argument('--user', default='demo')
    p.add_argument('--password', default='demo')
    p.add_argument('--interval', type=float, default=1.0, help='seconds between two totals (default 1)')
    p.add_argument('--seconds', type=float, default=0, help='stop after this long (default: never)')
    args = p.parse_args(argv)
    args.targets = [t.rpartition(':')[::2] if ':' in t else ('127.0.0.1', t) for t in args.targets]
    args.targets = [(host or '127.0.0.1', int(port)) for host, port in args.targets]
    return args


async def setup(c):
    await c.update()


async def watch(host, port, args, up):
    """Keeps up[(host, port)] the client of a live session, absent otherwise."""
    async for event in aio.follow(host, port, args.user, args.password, setup=setup):
        if event.name == 'connected':
            up[(host, port)] = event.client
        elif event.name == 'disconnected':
            up.pop((host, port), None)
            print('down: %s' % event.error, flush=True)
        elif event.name == 'attempt_failed':
            print('attempt %d failed: %s' % (event.attempt, event.error), flush=True)


def totals(clients):
    hosts = conns = up_bytes = down_bytes = 0
    for c in clients:
        hosts += len(c.hosts)
        conns += len(c.conns)
        for conn in c.conns.values():
            if conn.speed is not None:
                up_bytes += conn.speed[0]
                down_bytes += conn.speed[1]
    return hosts, conns, up_bytes, down_bytes


async def main(argv=None):
    args = parse_args(argv)
    up: Dict[Tuple[str, int], aio.AsyncClient] = {}
    watchers = [asyncio.ensure_future(watch(host, port, args, up)) for host, port in args.targets]
    start = time.monotonic()
    try:
        while not args.seconds or time.monotonic() - start < args.seconds:
            await asyncio.sleep(args.interval)
            hosts, conns, c2s, s2c = totals(list(up.values()))
            print('up %d/%d  hosts %d  connections %d  client->server %.1f MB/s  server->client %.1f MB/s'
                  % (len(up), len(args.targets), hosts, conns, c2s / 1e6, s2c / 1e6), flush=True)
    finally:
        for w in watchers:
            w.cancel()
        await asyncio.gather(*watchers, return_exceptions=True)
    return 0


if __name__ == '__main__':
    try:
        sys.exit(asyncio.run(main()))
    except KeyboardInterrupt:
        sys.exit(130)
