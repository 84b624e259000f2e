"""kxtop: a live summary of the appliance daemon, refreshed every second.

    kxtop --port 7830 [--seconds 10]

Connects, logs in, subscribes to the host and connection tables, channel
statistics, shaping objects and firewall rules, and shows the busiest hosts,
the connection count, channel rates, shaping objects and firewall hits until
interrupted (Ctrl-C) or for --seconds.
"""
import argparse
import sys
import time

import KXdv17_0 as kx

from kxtools import client as kxclient


def rate(bits):
    for unit in ('', 'k', 'M', 'G'):
        if abs(bits) < 1000:
            return '%5.1f %sb/s' % (bits, unit)
        bits /= 1000.0
    return '%5.1f Tb/s' % bits


def summary(c, elapsed, width=78):
    lines = []
    name = c.version[2] if c.version else '?'
    lines.append('kxtop - %s - %d hosts, %d connections, %d context rows - %.0fs'
                 % (name, len(c.hosts), len(c.conns), len(c.sc_rows), elapsed))
    lines.append('')
    lines.append('%-40s %14s %14s %6s' % ('top hosts', 'in', 'out', 'conns'))
    busiest = sorted(c.hosts.values(), key=lambda h: -sum(getattr(h, 'speed', (0, 0))))[:8]
    for h in busiest:
        speed = getattr(h, 'speed', (0, 0))
        conns = getattr(h, 'connections', (0, 0))
        lines.append('%-40s %14s %14s %6d' % (h.addr[:40], rate(speed[0] * 8), rate(speed[1] * 8), sum(conns)))

    established = sum(1 for x in c.conns.values() if 'ESTABLISHED' in kx.resolve_engineflags(getattr(x, '_engineflags', 0)))
    by_service = {}
    names = c.strtables.get(2, {})
    for x in c.conns.values():
        svc = names.get(getattr(x, '_service_id', 0), '?')
        by_service[svc] = by_service.get(svc, 0) + 1
    top = sorted(by_service.items(), key=lambda kv: -kv[1])[:6]
    lines.append('')
    lines.append('connections: %d (%d established); by service: %s'
                 % (len(c.conns), established, ', '.join('%s %d' % kv for kv in top)))

    lines.append('')
    lines.append('%-12s %-8s %14s %14s' % ('channel', 'state', 'in', 'out'))
    for cid in sorted(c.channels):
        ch = c.channels[cid]
        r = ch.get('bytes(rate)', (0, 0))
        lines.append('%-12s %-8s %14s %14s' % (ch['name'], 'up' if ch['active'] else 'down', rate(r[0] * 8), rate(r[1] * 8)))

    lines.append('')
    lines.append('%-12s %14s %14s %8s %6s' % ('shaping', 'in', 'out', 'drops/s', 'conns'))
    for oid in sorted(c.shaping_objects):
        o = c.shaping_objects[oid]
        if 'in RX bps' not in o:
            continue
        lines.append('%-12s %14s %14s %8d %6d' % (o.get('name', oid), rate(o['in RX bps']), rate(o['out RX bps']),
                                                   o['in drops/s'] + o['out drops/s'], o['connections']))

    lines.append('')
    lines.append('%-20s %10s %8s' % ('firewall rule', 'hits', 'recent'))
    for rid, r in sorted(c.fw_rules.items(), key=lambda kv: -kv[1].get('hits', 0))[:7]:
        lines.append('%-20s %10d %8d' % (r['name'], r.get('hits', 0), r.get('hits_rate', 0)))
    return '\n'.join(l[:width] for l in lines)


def main(argv=None):
    p = argparse.ArgumentParser(description='Live summary of the appliance daemon.')
    p.add_argument('--host', default='127.0.0.1')
    p.add_argument('--port', type=int, default=7830)
    p.add_argument('--user', default='demo')
    p.add_argument('--password', default='demo')
    p.add_argument('--seconds', type=float, default=0, help='stop after this long (0: until Ctrl-C)')
    p.add_argument('--interval', type=float, default=1.0, help='seconds between refreshes')
    args = p.parse_args(argv)

    c = kxclient.KXClient(args.host, args.port)
    if not c.login(args.user, args.password):
        sys.stderr.write('kxtop: login refused\n')
        return 1
    kx.requestUpdate(c)
    kx.channelsShow(c)
    kx.shapingobjectShow(c)
    kx.fwrulesShow(c)
    c.wait_for(lambda: c.update_done)

    tty = sys.stdout.isatty()
    start = time.time()
    next_draw = start
    try:
        while not c.closed:
            now = time.time()
            if args.seconds and now - start >= args.seconds:
                break
            if now >= next_draw:
                text = summary(c, now - start)
                sys.stdout.write(('\x1b[H\x1b[2J' if tty else '\n') + text + '\n')
                sys.stdout.flush()
                next_draw += args.interval
            c.pump(max(0.0, min(next_draw, start + args.seconds if args.seconds else next_draw) - time.time()))
    except KeyboardInterrupt:
        pass
    if not c.closed:
        kx.channelsHide(c)
        kx.shapingobjectHide(c)
        kx.fwrulesHide(c)
    c.close()
    return 0


if __name__ == '__main__':
    sys.exit(main())
