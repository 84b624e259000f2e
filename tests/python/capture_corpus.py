"""Runs kxd-sim with a fixed seed, drives a client through every request and
keeps a few of the server's messages of each type as corpus files:
corpus/<type as 8 hex digits>-<n>.bin, the payload bytes. Run by
scripts/capture-corpus; the files are committed and read by kxcorpus.py."""
from __future__ import print_function

import glob
import os
import sys

import KXdv17_0 as kx
from kxtools import client as kxclient
import test_e2e
from test_e2e import Sim

PER_TYPE = 4


def capture():
    sim = Sim('--seed', '11', '--hosts', '24', '--interval', '30', '--ticks', '40')
    port = sim.port
    try:
        seen = {}

        def recording(client):
            dispatch = client.dispatch

            def record(m):
                seen.setdefault(m.type, []).append(m.payload)
                dispatch(m)
            client.dispatch = record
            return client
        c = recording(kxclient.KXClient('127.0.0.1', port))
        early = recording(kxclient.KXClient('127.0.0.1', port))
        early.wait_for(lambda: early.version is not None)
        kx.requestUpdate(early)                    # refused before the login
        early.wait_for(lambda: early.refusals)
        early.login('demo', 'wrong')
        assert c.login('demo', 'demo')
        kx.requestUpdate(c)
        c.wait_for(lambda: c.update_done)
        F = kx
        kx.createViewByName(c, 1, 'hosts')
        kx.createViewByName(c, 2, 'no-such-view')
        kx.createView(c, 3, [(1, True, F.PROTOCOL_VIEW_FILTER_TYPE_SMALL_INTS, [6, 17])], [(5, 'server')])
        kx.createView(c, 4, [], [(2, ''), (3, '')])
        kx.createView(c, 5, [], [(4, ''), (6, '')])
        kx.channelsShow(c)
        kx.shapingobjectShow(c)
        kx.fwrulesShow(c)
        for _ in range(30):
            c.pump(0.05)
        c.sync()
        hosts = sorted((hid, h.addr) for hid, h in c.hosts.items() if '.' in h.addr)
        c.host_show(hosts[0][0])
        c.host_show(999999)
        c.host_find(hosts[-1][1])
        kx.scRowQuery(c, sorted(c.sc_rows)[0])
        kx.bgpDump(c)
        kx.drdlStatsDump(c)
        kx.vcrcTest(c, 1, {})
        kx.vcrcTest(c, 2, {'protocol': 6, 'serverport': 22, 'service': 'ssh', 'clientip': '10.1.2.3',
                           'properties': [('user', 'alice')]})
        kx.fwlog_query(c, kx.PROTOCOL_FWRULE_QTYPE_OFFSETS, 0, -1, False, False)
        kx.fwlog_query(c, kx.PROTOCOL_FWRULE_QTYPE_ID, 3, 9, False, True)
        c.writeMsg(kxclient.KXMsgv17_0.newMsg(0x2fff0))
        c.sync()
        for _ in range(20):
            c.pump(0.05)
        c.close()
        early.close()
        return seen
    finally:
        sim.kill()


def pick(payloads):
    """The shortest, the longest and a few between, without repeats."""
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
