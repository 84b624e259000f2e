"""Client tools for the appliance daemon's management protocol.

kxtools.client  the client library: a connection, a dispatch table from
                message type to KXdv17_0 handler, and the decoded tables
kxtools.top     kxtop, a live summary of the daemon
kxtools.pcapng  capture files of the protocol (pcapng), writer and reader
kxtools.tap     kxtap, a proxy that relays a client's session and records it
kxtools.dissect kxdissect, a capture decoded frame by frame
"""

from kxtools._version import __version__  # noqa: F401
