#!/usr/bin/env python3
"""A first look at KXdv17_0: build a login request and decode the server's
version announcement and feature mask, without a daemon."""
from __future__ import print_function

import binascii
import struct

from _checkout import use_checkout

use_checkout()

import KXdv17_0 as kx  # noqa: E402
import KXMsgv17_0  # noqa: E402


class PrintingConnection(object):
    """Stands in for a connection to the daemon: shows each request."""

    def writeMsg(self, m):
        print('request type 0x%x, %d payload bytes: %s' % (m.type, m.len, binascii.hexlify(m.payload).decode('ascii')))


def string_field(text):
    data = text.encode('utf-8')
    return struct.pack('>I', len(data) + 1) + data + b'\0'


def main():
    kx.doAuth(PrintingConnection(), 'demo', 'demo')

    version = KXMsgv17_0.KXMsg(kx.PROTOCOL_SERVER_VERSION,
                               struct.pack('>HQ', kx.PROTOCOL_VERSION, 17) +
                               string_field('kxd 17.0') + string_field('simulated'))
    print('version announcement: %r' % (kx.handleVersion(version),))

    features = KXMsgv17_0.KXMsg(kx.PROTOCOL_SERVER_FEATURES,
                                struct.pack('>Q', kx.FEATURES_BGP | kx.FEATURES_SHAPING | kx.FEATURES_VBS))
    mask = kx.handleFeatures(features)
    names = [n for n in sorted(dir(kx)) if n.startswith('FEATURES_') and mask & getattr(kx, n)]
    print('feature mask %d: %s' % (mask, ', '.join(names)))

    try:
        kx.handleVersion(KXMsgv17_0.KXMsg(kx.PROTOCOL_SERVER_VERSION, b'\x60'))
    except kx.BadMessageError as e:
        print('a one-byte version message is refused: %s' % e)


if __name__ == '__main__':
    main()
