"""The exceptions of kxtools, one hierarchy under KXError.

    KXError
    +-- ConnectError       the TCP connection could not be made (also an OSError)
    +-- ProtocolError      the session failed after it was connected
        +-- Timeout            the daemon did not answer in time
        +-- LoginRefused       the daemon refused the credentials
        +-- ConnectionClosed   the connection is closed (by the daemon, by a
                               socket error, or by close() on this side)

A ProtocolError raised as such means the daemon sent something the client
cannot take: a frame longer than the protocol allows, or a message its
handler could not decode. Every error that concerns one appliance carries
its address in `address` ((host, port), None for an offline client) and
names it in the text.
"""


class KXError(Exception):
    """Base class of every error kxtools raises."""

    def __init__(self, message, address=None):
        if address is not None:
            message = '%s:%s: %s' % (address[0], address[1], message)
        Exception.__init__(self, message)
        self.address = address

    def __str__(self):
        return self.args[0] if self.args else ''


class ConnectError(KXError, EnvironmentError):
    """The connection to the daemon could not be made: refused, unknown host
    name, no route, or no answer within the timeout. Also an OSError
    (EnvironmentError under Python 2.7), as the socket error it replaces;
    `errno` and `strerror` are the socket error's (None when it had none)."""

    def __init__(self, message, address=None, errno=None, strerror=None):
        KXError.__init__(self, message, address)
        self.errno = errno
        self.strerror = strerror


class ProtocolError(KXError):
    """The session with the daemon failed after the connection was made."""


class Timeout(ProtocolError):
    """The daemon did not send what was waited for within the timeout."""


class LoginRefused(ProtocolError):
    """The daemon refused the user name or password."""


class ConnectionClosed(ProtocolError):
    """The connection is closed: a call that needs it cannot be made."""
