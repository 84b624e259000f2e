"""Decoding speed of host additions and updates: records per second on
generated messages (a few hundred records, every field group mixed)."""
from __future__ import print_function

import KXdv17_0 as kx
import floor
from kxtest import SameRandom, cpu_clock, msg, s, u8, u16, u32, u64

RECORDS = 300
RUNS = 7
REPEAT = 200
MAX_PAYLOAD = 32768
PV = kx.PROTOCOL_VERSION


class Host(object):
    def __init__(self, hostid):
        self.hostid = hostid


def words(rng, n):
    return b''.join(u32(rng.getrandbits(32)) for _ in range(n))


def group_bytes(rng, mask):
    out = b''
    if mask & 0x0002:
        out += u64(rng.getrandbits(64)) + u64(rng.getrandbits(64))
    if mask & 0x0004:
        out += words(rng, 2)
    if mask & 0x0010:
        out += words(rng, 2)
    if mask & 0x0080:
        out += words(rng, 6)
    if mask & 0x0100:
        out += s('l4 state %d' % rng.randrange(100)) + words(rng, 20)
    if mask & 0x0040:
        n = rng.randrange(5)
        out += u32(n) + words(rng, n)
    return out


def add_record(rng, hostid):
    n = rng.randrange(4)
    if rng.random() < 0.8:
        addr = u8(0) + words(rng, 1)
    else:
        addr = u8(1) + words(rng, 4)
    return (u32(hostid) + u32(n) + words(rng, n) + addr + s('host-%d.example' % hostid)
            + group_bytes(rng, 0x0196))


def update_record(rng, hostid):
    mask = rng.choice([0x0002, 0x0006, 0x0016, 0x0096, 0x0196, 0x0040, 0x01d6, 0x0014, 0x0080])
    return u32(hostid) + u16(mask) + group_bytes(rng, mask)


def pack(records):
    """Records into as few messages as fit in one payload each."""
    payloads, cur = [], b''
    for r in records:
        if len(cur) + len(r) > MAX_PAYLOAD:
            payloads.append(cur)
            cur = b''
        cur += r
    return [msg(p) for p in payloads + [cur]]


def best_rate(run, messages):
    best = None
    for _ in range(RUNS):
        t0 = cpu_clock()
        for _ in range(REPEAT):
            for m in messages:
                m.pos = 0
            run(messages)
        t = cpu_clock() - t0
        best = t if best is None else min(best, t)
    return RECORDS * REPEAT / best


def floors(adds, updates):
    """The floors of the add and update runs: the same hosts, attributes and
    table operations, from the decoded values."""
    f = floor.Floor()
    typ, hosts = f.cls(), f.table()
    for m in adds:
        kx.handleHostAdd(msg(m.payload), typ, hosts, PV)
    add = f.replay()
    f = floor.Floor()
    typ = f.cls()
    hosts = f.table((k, typ(k)) for k in hosts)
    del f.ops[:]
    for m in updates:
        kx.handleHostUpdate(msg(m.payload), hosts, PV)
    update = f.replay()
    return add, update


def main():
    rng = SameRandom(17)
    adds = pack([add_record(rng, i) for i in range(RECORDS)])
    updates = pack([update_record(rng, rng.randrange(RECORDS)) for _ in range(RECORDS)])
    table = {}

    def add(messages):
        hosts = {}
        for m in messages:
            kx.handleHostAdd(m, Host, hosts, PV)

    def update(messages):
        for m in messages:
            kx.handleHostUpdate(m, table, PV)

    for m in adds:
        kx.handleHostAdd(m, Host, table, PV)
    add_floor, update_floor = floors(adds, updates)
    replayed = {}
    add_floor(replayed, Host, None)
    assert floor.state(replayed) == floor.state(table)
    runs = [('handleHostAdd', add, adds, lambda messages: add_floor({}, Host, None)),
            ('handleHostUpdate', update, updates, lambda messages: update_floor(table, None, None))]
    for name, run, messages, floor_run in runs:
        rate = best_rate(run, messages)
        print('%-17s %d records in %d message(s): %.0f records/s (best of %d runs)' % (
            name, RECORDS, len(messages), rate, RUNS))
        print(floor.ratio_line(name, rate, best_rate(floor_run, messages), 'records'))


if __name__ == '__main__':
    main()
