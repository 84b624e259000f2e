"""The generated Wireshark dissector (kxtools/kx.lua) under tshark: it must be
current with the protocol's facts, and show every frame of a kxtap capture
and of a loopback capture of a live session with the message types,
lengths and request fields that kxdissect --json gives."""
from __future__ import absolute_import, division, print_function

import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.join(HERE, '..', '..')
sys.path.insert(0, TOP)
sys.path.insert(0, os.path.join(TOP, 'protocol'))

from test_capture import Tap, session, which  # noqa: E402
from test_e2e import Sim  # noqa: E402

from kxtools import client as kxclient  # noqa: E402

import gen_lua  # noqa: E402

LUA = os.path.join(TOP, 'kxtools', 'kx.lua')
TSHARK = which('tshark')
# Frame fields compared on their own; every other kx.* field is a request field.
HEADER_FIELDS = ('kx.type', 'kx.length', 'kx.name', 'kx.request', 'kx.direction', 'kx.payload', 'kx.item')


def kxdissect(path):
    out = subprocess.check_output([sys.executable, '-m', 'kxtools.dissect', '--json', path], cwd=TOP)
    return [json.loads(line) for line in out.decode('utf-8').splitlines()]


def flatten(prefix, value, out):
    """kxdissect's request content as {field name: [values in wire order]},
    named as the dissector names its fields."""
    if isinstance(value, dict) and set(value) == set(['hex']):
        out.setdefault(prefix, []).append(value['hex'])
    elif isinstance(value, dict):
        for k, v in value.items():
            flatten('%s.%s' % (prefix, k), v, out)
    elif isinstance(value, list):
        out.setdefault(prefix + '.count', []).append(str(len(value)))
        for item in value:
            flatten(prefix, item, out)
    elif isinstance(value, str) and ':' in value and '/' not in value:
        out.setdefault(prefix + '_ipv6', []).append(value)
    else:
        out.setdefault(prefix, []).append(str(value))
    return out


# tshark is not ours: a sanitizer build's preloaded runtimes (LD_PRELOAD) are
# for our interpreter only.
TOOL_ENV = dict((k, v) for k, v in os.environ.items() if k != 'LD_PRELOAD')


def tshark_frames(path, *options):
    """Every kx PDU tshark shows, in order: (request?, type, length, name, {field: [values]})."""
    cmd = [TSHARK, '-r', path, '-X', 'lua_script:' + LUA, '-T', 'json', '-J', 'kx'] + list(options)
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=TOOL_ENV)
    out, err = proc.communicate()
    assert proc.returncode == 0 and b'Lua Error' not in out + err, (out[-2000:], err)
    pdus = []

    def objects(value):
        """tshark writes a repeated key once, with an array of the values."""
        many = isinstance(value, list) and value and not isinstance(value[0], tuple)
        return value if many else [value]

    def fields(pairs, acc):
        for key, value in pairs:
            for v in objects(value):
                if isinstance(v, list):
                    fields(v, acc)
                elif key.startswith('kx.'):
                    acc.setdefault(key, []).append(v)
        return acc

    for packet in json.loads(out.decode('utf-8'), object_pairs_hook=list):
        for key, value in dict(dict(packet)['_source'])['layers']:
            for layer in objects(value) if key == 'kx' else []:
                f = fields(layer, {})
                request = f.pop('kx.direction') == ['request']
                head = [f.pop(k, [None])[0] for k in ('kx.type', 'kx.length', 'kx.name')]
                for k in HEADER_FIELDS:
                    f.pop(k, None)
                f = dict((k, [v.replace(':', '') if k.endswith('.data') else v for v in vs]) for k, vs in f.items())
                pdus.append((request, int(head[0], 16), int(head[1]), head[2], f))
    return pdus


def expected_frames(path):
    rows = []
    for d in kxdissect(path):
        request = d['direction'] == 'out'
        fields = flatten('kx.' + d['name'], d['content'], {}) if request and isinstance(d.get('content'), dict) else {}
        rows.append((request, d['type'], d['length'], d['name'], fields))
    return rows


class Generated(unittest.TestCase):

    def test_generated_lua_is_current(self):
        with open(LUA) as f:
            self.assertEqual(f.read(), gen_lua.generate(), 'kxtools/kx.lua is stale: run protocol/gen_lua.py')


@unittest.skipIf(sys.version_info < (3,), 'tshark\'s JSON is read with Python 3; the dissector is the same')
@unittest.skipIf(not TSHARK, 'no tshark (scripts/bootstrap installs it)')
class Tshark(unittest.TestCase):

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix='kxlua-')
        self.sim = Sim('--ticks', '3', '--interval', '20')
        self.addCleanup(self.sim.kill)

    def tearDown(self):
        for name in os.listdir(self.tmp):
            os.unlink(os.path.join(self.tmp, name))
        os.rmdir(self.tmp)

    def run_session(self, port, record=None):
        c = kxclient.KXClient('127.0.0.1', port, record=record)
        try:
            session(c, lambda: self.sim.wait_line(b'frozen after', [c]))
        finally:
            c.close()

    def check(self, got, want):
        self.assertGreater(len(want), 50)
        for direction in (True, False):
            g = [row for row in got if row[0] == direction]
            w = [row for row in want if row[0] == direction]
            self.assertEqual(len(g), len(w))
            for i, (a, b) in enumerate(zip(g, w)):
                self.assertEqual(a, b, 'frame %d of direction %s' % (i, 'request' if direction else 'server'))

    def test_kxtap_capture(self):
        path = os.path.join(self.tmp, 'tap.pcapng')
        tap = Tap(self.sim.port, path, '--once')
        self.addCleanup(tap.kill)
        self.run_session(tap.port)
        tap.stop()
        got, want = tshark_frames(path), expected_frames(path)
        self.assertEqual([r[1:4] for r in got], [r[1:4] for r in want])   # same frames, same order
        self.check(got, want)

    def test_loopback_capture(self):
        path = os.path.join(self.tmp, 'lo.pcapng')
        recorded = os.path.join(self.tmp, 'client.pcapng')
        dump = subprocess.Popen([TSHARK, '-i', 'lo', '-w', path, '-f', 'tcp port %d' % self.sim.port],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=TOOL_ENV)
        self.addCleanup(lambda: dump.poll() is None and dump.kill())
        deadline = time.time() + 20
        line = b''
        while b'Capture started' not in line and time.time() < deadline:
            line = dump.stderr.readline()
            if not line and dump.poll() is not None:
                break
        if b'Capture started' not in line:
            dump.kill()
            self.skipTest('capturing on lo is not permitted here: %s' % (line + dump.stderr.read()).decode()[-300:])
        self.run_session(self.sim.port, record=recorded)
        time.sleep(1.0)
        dump.terminate()
        dump.wait()
        dump.stderr.close()
        got = tshark_frames(path, '-o', 'kx.tcp_port:%d' % self.sim.port)
        self.check(got, expected_frames(recorded))


if __name__ == '__main__':
    unittest.main()
