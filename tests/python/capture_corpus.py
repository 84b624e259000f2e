"""Keeps a few of kxd-sim's messages of each type, from the end-to-end session, as corpus/<type>-<n>.bin payloads."""
from __future__ import print_function

import glob
import os
import sys

import test_e2e
from test_e2e import Sim, drive, refused_early

PER_TYPE = 4


def capture():
    sim = Sim('--seed', '11', '--hosts', '24', '--interval', '30', '--ticks', '40')
    try:
        seen = {}

        def recording(client):
            dispatch = client.dispatch

            def record(m):
                seen.setdefault(m.type, []).append(m.payload)
                dispatch(m)
            client.dispatch = record
            return client
        early = recording(sim.client())
        refused_early(early)
        c = recording(sim.client())
        drive(c, lambda: sim.wait_line(b'frozen', [c]))   # every request of the end-to-end scenario
        for _ in range(20):
            c.pump(0.05)
        c.close()
        early.close()
        return seen
    finally:
        sim.kill()


def pick(payloads):
    distinct = sorted(set(payloads), key=lambda p: (len(p), p))
    if len(distinct) <= PER_TYPE:
        return distinct
    step = (len(distinct) - 1) / float(PER_TYPE - 1)
    return [distinct[int(round(i * step))] for i in range(PER_TYPE)]


def main():
    test_e2e.SIM, out = sys.argv[1], sys.argv[2]
    seen = capture()
    if not os.path.isdir(out):
        os.makedirs(out)
    for old in glob.glob(os.path.join(out, '*.bin')):
        os.unlink(old)
    total = 0
    for type_ in sorted(seen):
        for i, payload in enumerate(pick(seen[type_])):
            with open(os.path.join(out, '%08x-%d.bin' % (type_, i)), 'wb') as f:
                f.write(payload)
            total += len(payload)
    print('%d message types, %d bytes in %s' % (len(seen), total, out))


if __name__ == '__main__':
    main()
