"""Capture files of the management protocol, in the pcapng format.

A file holds one section: a Section Header Block, one Interface Description
Block of link type LINKTYPE_USER0 named after what it carries, then one
Enhanced Packet Block per protocol frame. The packet data is the frame as it
went over the stream (u32 type, u16 length, payload), the timestamp is the
time it was read (microseconds), and the epb_flags option gives the
direction: INBOUND from the daemon to the client, OUTBOUND from the client
to the daemon. A frame that did not arrive whole, or that followed a broken
frame header, is recorded as far as it came, with a comment saying so.

    with Writer('session.pcapng') as w:
        w.write(frame, OUTBOUND)
    for p in read('session.pcapng'):
        p.time, p.direction, p.data, p.comment

Every block is written with one write and flushed, so that a file stays
readable up to its last frame when its writer stops for any reason.
The reader takes files of either byte order, several sections and
interfaces, and skips blocks it does not know. It refuses a block longer
than MAX_BLOCK (128 MiB, the bound other pcapng readers keep) before
reading any of it, so a length field cannot make it allocate gigabytes.
"""
from __future__ import absolute_import, division, print_function

import io
import struct
import time

# (a longer length than MAX_PAYLOAD in a frame header is a broken stream)
from kxtools.messages import FRAME_HEADER, MAX_PAYLOAD  # noqa: F401

LINKTYPE_USER0 = 147
INTERFACE_NAME = 'kxd-mgmt'
INTERFACE_DESCRIPTION = 'management protocol frames: u32 type, u16 length, payload'

INBOUND = 1     # from the daemon to the client
OUTBOUND = 2    # from the client to the daemon
DIRECTIONS = {INBOUND: 'in', OUTBOUND: 'out'}

MAX_RECORD = FRAME_HEADER.size + 0xffff
MAX_BLOCK = 128 << 20                # a longer block is refused unread

_SHB, _IDB, _SPB, _EPB = 0x0A0D0D0A, 1, 3, 6
_BYTE_ORDER_MAGIC = 0x1A2B3C4D
_OPT_END, _OPT_COMMENT = 0, 1
_IF_NAME, _IF_DESCRIPTION, _IF_TSRESOL = 2, 3, 9
_EPB_FLAGS = 2
_SHB_USERAPPL = 4


class FormatError(ValueError):
    pass


def _pad(n):
    return b'\0' * (-n % 4)


def _text(value):
    return value if isinstance(value, bytes) else value.encode('utf-8')


def _options(options):
    """options: (code, bytes) pairs; an empty list writes no option block."""
    if not options:
        return b''
    out = [struct.pack('<HH', code, len(value)) + value + _pad(len(value)) for code, value in options]
    out.append(struct.pack('<HH', _OPT_END, 0))
    return b''.join(out)


def _block(block_type, body):
    size = 12 + len(body)
    return struct.pack('<II', block_type, size) + body + struct.pack('<I', size)


class Writer(object):
    """Writes one capture. `target` is a file name or a binary file object
    (which the writer then leaves open)."""

    def __init__(self, target, name=INTERFACE_NAME, description=INTERFACE_DESCRIPTION, application='kxtools'):
        if hasattr(target, 'write'):
            self._file, self._owned = target, False
        else:
            self._file, self._owned = io.open(target, 'wb'), True
        self.frames = 0
        shb = struct.pack('<IHHq', _BYTE_ORDER_MAGIC, 1, 0, -1) + _options([(_SHB_USERAPPL, _text(application))])
        idb = struct.pack('<HHI', LINKTYPE_USER0, 0, MAX_RECORD) + _options(
            [(_IF_NAME, _text(name)), (_IF_DESCRIPTION, _text(description)), (_IF_TSRESOL, b'\x06')])
        self._emit(_block(_SHB, shb) + _block(_IDB, idb))

    def _emit(self, data):
        if self._file is None:
            raise ValueError('the capture is closed')
        self._file.write(data)
        self._file.flush()

    def write(self, data, direction, timestamp=None, comment=None):
        """Records one frame (bytes) read at `timestamp` (seconds, default now)."""
        data = bytes(data)
        if len(data) > MAX_RECORD:
            raise ValueError('a record holds at most %d bytes' % MAX_RECORD)
        usec = int(round((time.time() if timestamp is None else timestamp) * 1e6))
        options = [(_EPB_FLAGS, struct.pack('<I', direction & 3))]
        if comment:
            options.append((_OPT_COMMENT, _text(comment)))
        body = (struct.pack('<IIIII', 0, usec >> 32, usec & 0xffffffff, len(data), len(data)) + data +
                _pad(len(data)) + _options(options))
        self._emit(_block(_EPB, body))
        self.frames += 1

    def close(self):
        if self._file is not None:
            f, self._file = self._file, None
            if self._owned:
                f.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Packet(object):
    """One recorded frame: time (seconds), direction (INBOUND, OUTBOUND or 0
    when the file does not say), data (the frame's bytes), comment (text or None)."""

    __slots__ = ('time', 'direction', 'data', 'comment', 'interface', 'linktype')

    def __init__(self, time, direction, data, comment=None, interface=0, linktype=LINKTYPE_USER0):
        self.time = time
        self.direction = direction
        self.data = data
        self.comment = comment
        self.interface = interface
        self.linktype = linktype    # of the packet's interface: LINKTYPE_USER0 in our captures

    def frame(self):
        """(type, declared length, payload) of a whole frame; None when the
        packet is shorter than its header says or longer."""
        if len(self.data) < FRAME_HEADER.size:
            return None
        mtype, length = FRAME_HEADER.unpack_from(self.data)
        if len(self.data) != FRAME_HEADER.size + length:
            return None
        return mtype, length, self.data[FRAME_HEADER.size:]


def _parse_options(raw, order):
    options = []
    pos = 0
    while pos + 4 <= len(raw):
        code, length = struct.unpack_from(order + 'HH', raw, pos)
        pos += 4
        if code == _OPT_END:
            break
        if pos + length > len(raw):
            raise FormatError('an option runs past its block')
        options.append((code, raw[pos:pos + length]))
        pos += length + (-length % 4)
    return options


def _read_exact(f, n, what):
    data = f.read(n)
    if len(data) != n:
        raise FormatError('the file ends inside %s' % what)
    return data


def read(source):
    """Yields the Packets of a capture (a file name or a binary file object)."""
    if hasattr(source, 'read'):
        for p in _read(source):
            yield p
        return
    with io.open(source, 'rb') as f:
        for p in _read(f):
            yield p


def _check_size(size, offset):
    if size > MAX_BLOCK:
        raise FormatError('block of %d bytes at offset %d: longer than the %d MiB a block may have'
                          % (size, offset, MAX_BLOCK >> 20))


def _read(f):
    order = None
    resolutions = []            # timestamp units per second, by interface
    linktypes = []              # link type, by interface
    offset = 0                  # of the block being read
    while True:
        head = f.read(8)
        if not head:
            return
        if len(head) < 8:
            raise FormatError('the file ends inside a block header')
        if order is None or struct.unpack('<I', head[:4])[0] == _SHB:
            if struct.unpack('<I', head[:4])[0] != _SHB:
                raise FormatError('not a pcapng file')
            magic = _read_exact(f, 4, 'a section header')
            if magic == struct.pack('<I', _BYTE_ORDER_MAGIC):
                order = '<'
            elif magic == struct.pack('>I', _BYTE_ORDER_MAGIC):
                order = '>'
            else:
                raise FormatError('bad byte-order magic')
            size = struct.unpack(order + 'I', head[4:])[0]
            if size < 28 or size % 4:
                raise FormatError('bad section header length %d' % size)
            _check_size(size, offset)
            _read_exact(f, size - 12, 'a section header')
            offset += size
            resolutions = []
            linktypes = []
            continue
        block_type, size = struct.unpack(order + 'II', head)
        if size < 12 or size % 4:
            raise FormatError('bad block length %d' % size)
        _check_size(size, offset)
        body = _read_exact(f, size - 8, 'a block')
        offset += size
        if struct.unpack(order + 'I', body[-4:])[0] != size:
            raise FormatError('block lengths disagree')
        body = body[:-4]
        if block_type == _IDB:
            if len(body) < 8:
                raise FormatError('short interface description')
            units = 10 ** 6
            for code, value in _parse_options(body[8:], order):
                if code == _IF_TSRESOL and value:
                    r = struct.unpack('B', value[:1])[0]
                    units = 2 ** (r & 0x7f) if r & 0x80 else 10 ** r
            resolutions.append(units)
            linktypes.append(struct.unpack_from(order + 'H', body)[0])
        elif block_type == _EPB:
            if len(body) < 20:
                raise FormatError('short packet block')
            iface, high, low, caplen, _ = struct.unpack_from(order + 'IIIII', body)
            if 20 + caplen > len(body):
                raise FormatError('packet data runs past its block')
            if iface >= len(resolutions):
                raise FormatError('packet of an undescribed interface %d' % iface)
            data = body[20:20 + caplen]
            direction, comment = 0, None
            for code, value in _parse_options(body[20 + caplen + (-caplen % 4):], order):
                if code == _EPB_FLAGS and len(value) == 4:
                    direction = struct.unpack(order + 'I', value)[0] & 3
                elif code == _OPT_COMMENT:
                    comment = value.decode('utf-8', 'replace')
            yield Packet(((high << 32) | low) / resolutions[iface], direction, data, comment, iface,
                         linktypes[iface])
        elif block_type == _SPB:
            if len(body) < 4 or not resolutions:
                raise FormatError('bad simple packet block')
            yield Packet(0.0, 0, body[4:4 + struct.unpack_from(order + 'I', body)[0]], linktype=linktypes[0])
