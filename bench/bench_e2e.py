"""End to end: messages and records per second that the example client
(kxtools/client.py) decodes from kxd-sim over loopback, with the simulator
stepping its network as fast as the client reads (--flood), and the
share of the client's CPU time spent inside KXdv17_0's handlers. Rates are
given per second of wall time and per second of the client's CPU time (on a
shared machine the client may get only part of a CPU).

The client runs unchanged except that its `kx` (the module it calls) is a
proxy that times every call of a handle* function; the module itself is not
touched, so calls it makes inside itself run as always. Records are counted
after the timed run by decoding the kept payloads again with counting
stand-ins for the caller's classes and tables: host and connection records,
view operations, channel records and session-context rows; any other message
counts as one record."""
from __future__ import division, print_function

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..'))

import KXdv17_0
import KXMsgv17_0
from kxtools import client as kxclient

# The process's CPU time: the machine may be shared, so the handlers' share is
# taken of the CPU time the client got, not of the wall time.
cpu_clock = getattr(time, 'process_time', None) or time.clock
SECONDS = float(os.environ.get('KX_E2E_SECONDS', '3'))
HOSTS = 400


class TimedModule(object):
    """Stands for KXdv17_0 in the client: handle* functions timed."""

    def __init__(self, mod):
        self._mod = mod
        self.handler_time = 0.0
        self.calls = 0
        self._wrapped = {}

    def __getattr__(self, name):
        f = getattr(self._mod, name)
        if not name.startswith('handle') or not callable(f):
            return f
        w = self._wrapped.get(name)
        if w is None:
            clock = cpu_clock

            def w(*args):
                t0 = clock()
                try:
                    return f(*args)
                finally:
                    self.handler_time += clock() - t0
                    self.calls += 1
            self._wrapped[name] = w
        return w


class Anything(object):
    """Takes any attribute and any call: the stand-in for a connection."""

    def __init__(self, *args):
        pass

    def _set_views(self, views):
        pass


class CountingTable(dict):
    """Never holds anything; counts the records that look an entry up."""

    def __init__(self):
        dict.__init__(self)
        self.lookups = 0

    def __missing__(self, key):
        self.lookups += 1
        return Anything()

    def __setitem__(self, key, value):
        pass

    def __delitem__(self, key):
        pass


def count_records(kept, client):
    K = KXdv17_0
    made = [0]

    def typ(*args):
        made[0] += 1
        return Anything()

    pv = client.protocol_version
    total = 0
    for mtype, payload in kept:
        m = KXMsgv17_0.KXMsg(mtype, payload)
        if mtype == K.PROTOCOL_SERVER_HOST_ADD:
            before = made[0]
            saved, sys.stdout = sys.stdout, open(os.devnull, 'w')
            try:
                K.handleHostAdd(m, typ, {}, pv)
            finally:
                sys.stdout.close()
                sys.stdout = saved
            total += made[0] - before
        elif mtype == K.PROTOCOL_SERVER_HOST_UPDATE:
            t = CountingTable()
            K.handleHostUpdate(m, t, pv)
            total += t.lookups
        elif mtype == K.PROTOCOL_SERVER_CONN_UPDATE:
            t = CountingTable()
            before = made[0]
            K.handleConnUpdate(m, t, typ, lambda conn, rows: None, pv)
            total += t.lookups + made[0] - before
        elif mtype == K.PROTOCOL_SERVER_VIEW_UPDATE:
            K.handleViewUpdateViewID(m)
            total += len(K.handleViewUpdate(m, client.view_fields))
        elif mtype == K.PROTOCOL_SERVER_CHANNEL_STATS_DATA:
            total += len(K.handleChannelsData(m, client.channel_info))
        elif mtype == K.PROTOCOL_SERVER_SESSION_CONTEXT_REMOVE:
            total += len(K.handleSessionContextRemove(m))
        else:
            total += 1
    return total


def main():
    # The build the modules come from (BUILD/python or BUILD/python3).
    build = os.path.dirname(os.path.dirname(os.path.abspath(KXdv17_0.__file__)))
    sim = subprocess.Popen([os.path.join(build, 'sim', 'kxd-sim'), '--port', '0', '--quiet',
                            '--flood', '--hosts', str(HOSTS)], stdout=subprocess.PIPE)
    try:
        line = sim.stdout.readline().decode()
        port = int(line.strip().rsplit(':', 1)[1])
        timed = TimedModule(KXdv17_0)
        kxclient.kx = timed
        c = kxclient.KXClient('127.0.0.1', port)
        if not c.login('demo', 'demo'):
            raise SystemExit('login refused')
        KXdv17_0.requestUpdate(c)
        KXdv17_0.channelsShow(c)
        c.wait_for(lambda: c.update_done and c.channel_info is not None, 30)
        # Keep what the timed run decodes, to count its records afterwards.
        kept = []
        dispatch = c.dispatch

        def keeping(m):
            kept.append((m.type, m.payload))
            dispatch(m)
        c.dispatch = keeping
        timed.handler_time = 0.0
        timed.calls = 0
        cpu0 = cpu_clock()
        t0 = time.time()
        while time.time() - t0 < SECONDS and not c.closed:
            c.pump(0.2)
        elapsed = time.time() - t0
        cpu = cpu_clock() - cpu0
        c.dispatch = dispatch
        handler_time, calls = timed.handler_time, timed.calls
        c.close()
    finally:
        sim.terminate()
        sim.wait()
    kxclient.kx = KXdv17_0
    records = count_records(kept, c)
    print('client from kxd-sim --flood over loopback, %.1f s (Python %d.%d):'
          % (elapsed, sys.version_info[0], sys.version_info[1]))
    size = sum(len(p) for _, p in kept)
    print('client-wall %8.0f messages %9.0f records %6.1f MB of payload per second of wall time'
          % (len(kept) / elapsed, records / elapsed, size / elapsed / 1e6))
    print('client-cpu  %8.0f messages/s %9.0f records/s %6.1f MB/s of payload, per second of '
          'the client\'s CPU time' % (len(kept) / cpu, records / cpu, size / cpu / 1e6))
    print('  the client used %.0f%% of one CPU; %.0f%% of its CPU time went to KXdv17_0 handlers '
          '(%d calls)' % (100 * cpu / elapsed, 100 * handler_time / cpu, calls))


if __name__ == '__main__':
    main()
