"""Client tools for the appliance daemon's management protocol.

kxtools.client  the blocking client KXClient: a connection, the dispatch from
                message type to KXdv17_0 handler, and the decoded tables
kxtools.aio     the asyncio client (Python 3.8+): connect(), follow()
kxtools.errors  the exceptions, under KXError (also exported here)
kxtools.messages the server messages by number: name, handler, table, record
kxtools.top     kxtop, a live summary of the daemon
kxtools.pcapng  capture files of the protocol (pcapng), writer and reader
kxtools.tap     kxtap, a proxy that relays a client's session and records it
kxtools.dissect kxdissect, a capture decoded frame by frame

Importing kxtools or any of its modules changes nothing outside them.
"""

from kxtools._version import __version__  # noqa: F401
from kxtools.errors import (ConnectError, ConnectionClosed, KXError, LoginRefused,  # noqa: F401
                            ProtocolError, Timeout)
