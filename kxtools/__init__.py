"""Client tools for the appliance daemon's management protocol.

kxtools.client  the client library: a connection, a dispatch table from
                message type to KXdv17_0 handler, and the decoded tables
kxtools.top     kxtop, a live summary of the daemon
"""

from kxtools._version import __version__  # noqa: F401
