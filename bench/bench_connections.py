"""Times handleConnUpdate on generated connection-update messages: a few
hundred records per message mixing creations, changes and removals, every
block kind present. Prints records per second, best of several runs."""
from __future__ import print_function

import gc

import KXdv17_0 as kx
import floor
from kxtest import SameRandom, cpu_clock, long, msg, s, u8, u16, u32, u64
from test_connections import record, creation, second_endpoint

RUNS = 7
MIN_SECONDS = 0.2


class Conn(object):
    def __init__(self, connid, protocol, client, cport, server, sport):
        self.connid = connid
        self.protocol = protocol
        self.client, self.cport, self.server, self.sport = client, cport, server, sport

    def _set_views(self, views):
        self.views = views


def populate(conn, rows):
    conn.rows = rows


def change_body(rnd, flags):
    """Blocks 2 to 20 for the flags, in wire order."""
    parts = []
    if flags & 0x2: parts.append(u16(rnd.randrange(1, 400)) + u16(rnd.randrange(1, 400)))
    if flags & 0x4: parts.append(u16(1) + u16(3) + u16(6) + b'option')
    if flags & 0x8: parts.append(u32(rnd.choice([0x1, 0x3, 0x5, 0x4011])))
    if flags & 0x2000000: parts.append(u32(rnd.getrandbits(32)))
    if flags & 0x100000: parts.append(u32(3) + u16(10) + u16(20) + u16(30))
    if flags & 0x10: parts.append(u8(3) + u16(2) + u32(100) + u32(200))
    if flags & 0x80: parts.append(u16(2) + u32(5) + u32(6))
    if flags & 0x100: parts.append(s('server-%d.internal' % rnd.randrange(1000)))
    if flags & 0x200: parts.append(s('agent') + s('') + s('x') + s('y'))
    if flags & 0x60: parts.append(u32(rnd.getrandbits(20)) * 2 + u64(rnd.getrandbits(40)) * 2 + u32(0) * 2)
    if flags & 0x1000: parts.append(u32(0) * 6)
    if flags & 0x2000: parts.append((u16(0) + u32(0) + u64(0)) * 2)
    if flags & 0x10000: parts.append(u32(0) * 2)
    if flags & 0x8000000: parts.append(u32(0) * 4)
    if flags & 0x20000: parts.append(u8(0) * 2)
    if flags & 0x80000: parts.append(u16(3) + u16(1) + u16(2) + u16(7))
    if flags & 0x200000: parts.append(u32(0) + u64(0) * 4)
    if flags & 0x4000000: parts.append(u16(4) + b'abcd' + u16(0))
    if flags & 0x10000000: parts.append(u8(2) + u8(0) + u64(11) + u8(1) + u64(12))
    return b''.join(parts)


CREATE_FLAGS = [0x1 | 0x2 | 0x8 | 0x100, 0x1 | 0x40000 | 0x2 | 0x8 | 0x10 | 0x80000,
                0x800 | 0x2 | 0x4 | 0x100000 | 0x80 | 0x200]
CHANGE_FLAGS = [0x20 | 0x2000 | 0x1000, 0x40 | 0x10000 | 0x8000000 | 0x20000, 0x8 | 0x2000000 | 0x200000,
                0x20 | 0x10000000 | 0x4000000, 0x10 | 0x80 | 0x80000]
REMOVE_FLAGS = [0x400, 0x20 | 0x400]


def build(kind, rnd, seeded, limit=32000):
    """Records of one kind ('create', 'change', 'remove', 'mixed') until the payload is full."""
    records, next_id, live = [], 100000, list(seeded)
    size = 0
    while True:
        k = rnd.choice(['create', 'change', 'change', 'remove']) if kind == 'mixed' else kind
        if k == 'create' or not live:
            flags = rnd.choice(CREATE_FLAGS)
            family = rnd.random() < 0.2
            body = creation(family=int(family), marker=rnd.randrange(2))
            if flags & 0x40000:
                body += second_endpoint(int(family))
            rec = record(next_id, flags, body + change_body(rnd, flags))
            live.append(next_id)
            next_id += 1
        elif k == 'change':
            flags = rnd.choice(CHANGE_FLAGS)
            rec = record(rnd.choice(live), flags, change_body(rnd, flags))
        else:
            flags = rnd.choice(REMOVE_FLAGS)
            connid = live.pop(rnd.randrange(len(live)))
            rec = record(connid, flags, change_body(rnd, flags))
        if size + len(rec) > limit:
            return b''.join(records), len(records)
        records.append(rec)
        size += len(rec)


def best_rate(run, nrecords, seed_table):
    """Records per second of run(table), each time on a fresh copy of the seed table."""
    best = None
    gc.disable()  # as timeit does: collections triggered by the caller's objects are noise here
    for _ in range(RUNS):
        loops, elapsed = 0, 0.0
        while elapsed < MIN_SECONDS:
            table = seed_table.copy()
            t0 = cpu_clock()
            run(table)
            elapsed += cpu_clock() - t0
            loops += 1
        rate = nrecords * loops / elapsed
        best = rate if best is None else max(best, rate)
    gc.enable()
    return best


def module_run(payload):
    m = msg(payload)

    def run(table):
        m.pos = 0
        kx.handleConnUpdate(m, table, Conn, populate, 24576)
    return run


def floor_run(payload, seeded):
    """The same table changes, connections, attributes and calls, from the decoded values."""
    f = floor.Floor()
    typ = f.cls(['_set_views'])
    table = f.table((long(i), typ()) for i in seeded)
    del f.ops[:]
    kx.handleConnUpdate(msg(payload), table, typ, f.callback, 24576)
    replay = f.replay()
    return lambda table: replay(table, Conn, populate)


def main():
    rnd = SameRandom(17)
    seeded = list(range(1, 2001))
    seed_table = dict((long(i), Conn(i, 6, '10.0.0.1', 1, '10.0.0.2', 2)) for i in seeded)
    for kind in ['mixed', 'create', 'change', 'remove']:
        payload, n = build(kind, rnd, seeded)
        rate = best_rate(module_run(payload), n, seed_table)
        print('%-7s %4d records, %5d bytes: %9.0f records/s (%.2f us/record)' % (
            kind, n, len(payload), rate, 1e6 / rate))
        if kind == 'mixed':
            replay = floor_run(payload, seeded)
            done = [dict((long(i), Conn(i, 6, '10.0.0.1', 1, '10.0.0.2', 2)) for i in seeded) for _ in 'mf']
            module_run(payload)(done[0])
            replay(done[1])
            assert floor.state(done[0]) == floor.state(done[1])
            print(floor.ratio_line(kind, rate, best_rate(replay, n, seed_table), 'records'))


if __name__ == '__main__':
    main()
