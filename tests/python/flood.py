"""Hostile load for kxd-sim, run as its own process by test_flood.py (or by
hand: flood.py PORT SECONDS). Flooding clients log in and then send requests
without reading a byte; idle connections only connect; short-lived clients
send a broken header or break off in the middle of a frame. Prints one JSON
line of counts when done."""
from __future__ import absolute_import, division, print_function

import errno
import json
import select
import socket
import struct
import sys
import time

FLOODERS = 10
IDLE = 200
BAD_PER_SECOND = 40


def frame(type_, payload=b''):
    return struct.pack('>IH', type_, len(payload)) + payload


def text(value):
    """A string field: u32 length counting the zero byte, the bytes, the zero."""
    return struct.pack('>I', len(value) + 1) + value + b'\0'


LOGIN = frame(0x20001, text(b'demo') + text(b'demo'))
# Pings, update requests, routing and diagnostics dumps, a connection dump.
REQUESTS = (frame(0x20528) * 20 + frame(0x20002) + frame(0x205dc) + frame(0x10640) +
            frame(0x20578, text(b'/tmp/x') + text(b'r') + struct.pack('>II', 0, 1)))
BAD = [frame(0x20528)[:4] + struct.pack('>H', 40000) + b'x' * 64,  # longer than any message
       frame(0x20001, b'y' * 200)[:50]]                              # breaks off mid-frame


def connect(port):
    s = socket.create_connection(('127.0.0.1', port), 10)
    s.setblocking(False)
    return s


def send_some(sock, data):
    """Sends what the socket takes without waiting; False when it is gone."""
    try:
        sock.send(data)
    except socket.error as e:
        return e.errno in (errno.EAGAIN, errno.EWOULDBLOCK, errno.EINTR)
    return True


def bad_client(port, n):
    """One broken-header or mid-frame client: sends its bytes and leaves."""
    s = connect(port)
    send_some(s, BAD[n % len(BAD)])
    s.close()


def run(port, seconds):
    counts = {'flooders': FLOODERS, 'idle': IDLE, 'bad': 0, 'sent': 0, 'flooders_dropped': 0}
    flooders = [connect(port) for _ in range(FLOODERS)]
    for s in flooders:
        send_some(s, LOGIN)
    idle = [connect(port) for _ in range(IDLE)]
    blob = REQUESTS * (65536 // len(REQUESTS))
    start = time.time()
    next_bad = start
    while time.time() - start < seconds and flooders:
        writable = select.select([], flooders, [], 0.02)[1]
        for s in writable:
            try:
                counts['sent'] += s.send(blob)
            except socket.error as e:
                if e.errno not in (errno.EAGAIN, errno.EWOULDBLOCK, errno.EINTR):
                    flooders.remove(s)
                    counts['flooders_dropped'] += 1
        while next_bad <= time.time():
            bad_client(port, counts['bad'])
            counts['bad'] += 1
            next_bad += 1.0 / BAD_PER_SECOND
    for s in flooders + idle:
        s.close()
    return counts


if __name__ == '__main__':
    print(json.dumps(run(int(sys.argv[1]), float(sys.argv[2]))))
    sys.stdout.flush()
