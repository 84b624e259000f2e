"""kxd-sim at appliance scale, run by hand (Python 3):

    python3 bench/sim_scale.py [BUILD] [fleet|hosts]...

fleet: `--appliances N` (KX_SIM_FLEET, default 1000) with default options:
the resident memory idle, then with one client per appliance logged in and
following the live stream with channels, shaping objects and firewall rules
shown (as an exporter does), and the simulator's CPU while it serves them
for KX_SIM_SECONDS (default 20).
hosts: seconds until `--hosts N` (KX_SIM_HOSTS, default 100000) listens,
its memory, and the CPU of its steps."""
import os
import selectors
import socket
import struct
import subprocess
import sys
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(TOP, 'build'))
sys.path[:0] = [os.path.join(BUILD, 'python3'), TOP]
import KXdv17_0 as kx  # noqa: E402

SIM = os.path.join(BUILD, 'sim', 'kxd-sim')
FLEET = int(os.environ.get('KX_SIM_FLEET', '1000'))
HOSTS = int(os.environ.get('KX_SIM_HOSTS', '100000'))
SECONDS = float(os.environ.get('KX_SIM_SECONDS', '20'))
HEADER = struct.Struct('>IH')
TICK = os.sysconf('SC_CLK_TCK')


class Frames(object):
    """The request builders' sink: frames collected as bytes."""

    def __init__(self):
        self.data = b''

    def writeMsg(self, m):
        self.data += HEADER.pack(m.type, len(m.payload)) + m.payload


def follower():
    f = Frames()
    kx.doAuth(f, 'demo', 'demo')
    for request in (kx.requestUpdate, kx.channelsShow, kx.shapingobjectShow, kx.fwrulesShow):
        request(f)
    return f.data


def start(*args):
    proc = subprocess.Popen([SIM, '--port', '0', '--quiet'] + list(args), stdout=subprocess.PIPE)
    ports = [int(proc.stdout.readline().split(b':')[-1])]
    return proc, ports


def rss_mb(pid):
    with open('/proc/%d/status' % pid) as f:
        return int([line for line in f if line.startswith('VmRSS:')][0].split()[1]) / 1024.0


def cpu_s(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / float(TICK)


def fleet():
    t = time.time()
    proc, ports = start('--appliances', str(FLEET))
    ports += [int(proc.stdout.readline().split(b':')[-1]) for _ in range(FLEET - 1)]
    print('fleet of %d: listening after %.2f s, %.1f MB idle' % (FLEET, time.time() - t, rss_mb(proc.pid)))
    sel = selectors.DefaultSelector()
    hello = follower()
    received = [0]
    for port in ports:
        c = socket.create_connection(('127.0.0.1', port), 10)
        c.sendall(hello)
        c.setblocking(False)
        sel.register(c, selectors.EVENT_READ)

    def pump(seconds):
        end = time.time() + seconds
        while time.time() < end:
            for key, _ in sel.select(0.1):
                try:
                    received[0] += len(key.fileobj.recv(1 << 20))
                except BlockingIOError:
                    pass
    pump(3)  # every network built and its first update sent
    cpu, received[0] = cpu_s(proc.pid), 0
    pump(SECONDS)
    cpu = cpu_s(proc.pid) - cpu
    print('fleet of %d followed: %.1f MB (%.0f KB per appliance), %.0f%% of a core, %.1f MB/s sent'
          % (FLEET, rss_mb(proc.pid), rss_mb(proc.pid) * 1024 / FLEET, 100 * cpu / SECONDS,
             received[0] / SECONDS / 1e6))
    for key in list(sel.get_map().values()):
        key.fileobj.close()
    proc.terminate()
    proc.wait()


def hosts():
    t = time.time()
    proc, _ = start('--hosts', str(HOSTS))
    print('--hosts %d: listening after %.2f s, %.1f MB' % (HOSTS, time.time() - t, rss_mb(proc.pid)))
    cpu = cpu_s(proc.pid)
    time.sleep(SECONDS / 2)
    print('--hosts %d: %.0f%% of a core stepping every 150 ms' % (HOSTS, 100 * (cpu_s(proc.pid) - cpu) / (SECONDS / 2)))
    t = time.time()
    proc.terminate()
    proc.wait()
    print('--hosts %d: stopped %.2f s after SIGTERM' % (HOSTS, time.time() - t))


if __name__ == '__main__':
    for part in sys.argv[2:] or ['fleet', 'hosts']:
        globals()[part]()
