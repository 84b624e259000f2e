"""The blocking client: one TCP connection to the appliance daemon, and the
decoded tables it keeps current.

    from kxtools.client import KXClient
    import KXdv17_0 as kx

    with KXClient('127.0.0.1', 7830, user='demo', password='demo') as c:
        kx.requestUpdate(c)
        c.wait_for(lambda: c.update_done)
        for host in c.hosts.values():
            print(host)

Outgoing requests are built by KXdv17_0's request builders, which call
KXClient.writeMsg; incoming frames are cut out of the byte stream, wrapped in
KXMsg objects and passed by message type to the KXdv17_0 handler that decodes
them (Session.dispatch). The decoded values are kept in plain tables on the
client (hosts, conns, views, channels, ...), current as long as pump() (or a
call that waits: wait_for, sync, login) is called. docs/client.md describes
every table, its units and when it is filled.

Session holds the tables and the dispatch; KXClient adds the blocking socket,
kxtools.aio.AsyncClient an asyncio one. KXClient.offline() is a client
without a connection, for decoding recorded frames. With record='x.pcapng'
every frame sent and received is written to a capture file (kxtools.pcapng).
"""
import errno
import select
import socket
import struct
import time

import KXdv17_0 as kx
import KXMsgv17_0

try:
    import builtins
except ImportError:  # Python 2.7
    import __builtin__ as builtins
from kxtools import _protocol, pcapng
from kxtools.messages import FRAME_HEADER as HEADER
from kxtools.messages import HANDLER_TABLES, MAX_PAYLOAD, MESSAGES, NUMBERS  # noqa: F401 (for kxtools.aio, stubs)
from kxtools.errors import (ConnectError, ConnectionClosed, KXError, LoginRefused,  # noqa: F401
                            ProtocolError, Timeout)

# ---- message numbers this library uses itself (from the protocol definition) ----
_REQUEST_NUMBERS = dict((name, number) for number, (name, _) in _protocol.CLIENT_MESSAGES.items())
# Request types of the two host queries. KXdv17_0 has no constants for them: it
# looks both names up among the built-in names when hostShow or hostFindv4
# runs (Session.host_show and host_find bind them for that call).
KXD_PROTOCOL_CLIENT_HOSTVIEW_SHOW = _REQUEST_NUMBERS['HOSTVIEW_SHOW']
KXD_PROTOCOL_CLIENT_HOST_FIND = _REQUEST_NUMBERS['HOST_FIND']
# The daemon's answer to a host find.
PROTOCOL_SERVER_HOST_FIND_REPLY = NUMBERS['PROTOCOL_SERVER_HOST_FIND_REPLY']
# ----------------------------------------------------------------------------------

# Ring buffer sizes. A ring buffer holds its storage (256 KB blocks) until it
# is dropped, so an emptied one is replaced: its block goes back to the
# process-wide cache for the next buffer that needs one, and a client that
# is idle between messages holds none (a fleet of clients would otherwise
# hold 512 KB each).
_INBUF, _OUTBUF = 1 << 20, 1 << 22
PROTOCOL_NAMES = {1: 'icmp', 6: 'tcp', 17: 'udp', 58: 'icmpv6'}
_MISSING = object()
COUNTED_TYPES = 1024    # message types Session.counts keeps apart; the rest are counted together
OTHER_TYPES = -1        # ... under this key (no message has this type)
# Lists the daemon's replies fill keep the newest entries only, so that a
# daemon sending replies nobody asked for cannot grow them for ever; what is
# left out is counted in Session.replies_dropped. Session.reply_limit and
# Session.dump_limit (class or instance attributes) change the bounds.
REPLY_LIMIT = 1000      # refusals, not_available, view_errors, fwlog_results, vcrc_results, host_find_results
DUMP_LIMIT = 1 << 20    # bgp_entries, bgp_paths, the entries of one firewall-log query or diagnostics dump


class Host(object):
    """One entry of KXClient.hosts, keyed by hostid. The handlers set its
    attributes: addr (text), netobjects (list of ids) and the pairs below,
    (first, second) as they come from the daemon:

    speed       (bytes/s received by the host, bytes/s sent by it)
    connections (open connections it is the client of, ... the server of)
    cps         (new connections per second as client, ... as server)
    quality_packets, quality_internal_issues, quality_external_issues
                (inbound, outbound) packet and issue counters
    """

    def __init__(self, hostid):
        self.hostid = hostid

    def __repr__(self):
        return '<Host %s %s speed in/out %s B/s connections client/server %s>' % (
            self.hostid, getattr(self, 'addr', '?'), _pair(self, 'speed'), _pair(self, 'connections'))


def _pair(obj, name):
    value = getattr(obj, name, None)
    return '%d/%d' % tuple(value) if value is not None else '?'


def _stored(name, doc):
    """A read-only property for a value the handler stores under name (None
    until a record carried it)."""
    return property(lambda self: getattr(self, name, None), doc=doc)


class Connection(object):
    """One entry of KXClient.conns, keyed by connid: a connection through the
    appliance from client:clientport to server:serverport. The handler
    stores its values under fixed underscore names (_speed, _service_id, ...);
    the properties below read them, None until a record carried the value."""

    def __init__(self, connid, protocol, client, clientport, server, serverport):
        self.connid = connid
        self.protocol = protocol
        self.client = client
        self.clientport = clientport
        self.server = server
        self.serverport = serverport
        self.views = []
        self.sc_rows = []

    def _set_views(self, views):
        self.views = views

    start_time = _stored('_starttime', 'When the connection started: seconds on the daemon\'s clock.')
    service_id = _stored('_service_id', 'The service the daemon identified (an id of its string tables).')
    base_service_id = _stored('_base_service_id', 'The service that service_id refines (the same id when none).')
    engine_flags = _stored('_engineflags', 'Engine flag bits; engine_flag_names gives their names.')
    xfb_flags = _stored('_xfbflags', 'XFB flag bits (names in KXClient.xfb_names).')
    deepscan = _stored('_deepscan', 'Deep-scan classification ids (list of int).')
    shaping_priority = _stored('_shaping_prio', 'Shaping priority, 0..255.')
    shaping_rule_ids = _stored('_shaping_rule_ids', 'Ids of the shaping rules that apply (list).')
    stat_rule_ids = _stored('_stat_rule_ids', 'Ids of the statistics rules that apply (list).')
    server_hostname = _stored('_server_hostname', 'The server\'s host name as the daemon saw it, or empty.')
    speed = _stored('_speed', '(client to server, server to client), bytes per second.')
    transferred = _stored('_xfer', '(client to server, server to client), bytes since the connection started.')

    @property
    def engine_flag_names(self):
        """The names of the set engine flag bits (kx.resolve_engineflags)."""
        return None if self.engine_flags is None else kx.resolve_engineflags(self.engine_flags)

    @property
    def protocol_name(self):
        """'tcp', 'udp', 'icmp', 'icmpv6', else the IP protocol number as text."""
        return PROTOCOL_NAMES.get(self.protocol, str(self.protocol))

    def __repr__(self):
        return '<Connection %s %s %s:%s -> %s:%s speed c->s/s->c %s B/s>' % (
            self.connid, self.protocol_name, self.client, self.clientport, self.server, self.serverport,
            _pair(self, '_speed'))


class Stream(object):
    """Frames messages over a non-blocking socket through two KXRingbufs:
    u32 type, u16 length, payload. Socket failures raise ConnectionClosed
    naming address."""

    def __init__(self, sock, recorder=None, address=None):
        self.sock = sock
        self.address = address
        self.inbuf = KXMsgv17_0.KXRingbuf(_INBUF)
        self.broken = None          # the ProtocolError of a broken frame header, once one came
        self.outbuf = KXMsgv17_0.KXRingbuf(_OUTBUF)
        self.recorder = recorder    # a pcapng.Writer, or None

    def record(self, data, direction, comment=None):
        """Writes bytes that went by in direction to the capture, if any."""
        if self.recorder is not None:
            self.recorder.write(data, direction, comment=comment)

    def queue(self, m):
        """Appends one framed message to the outgoing buffer."""
        if not self.outbuf.writeMsg(m):
            raise ProtocolError('outgoing buffer full', self.address)
        self.record(HEADER.pack(m.type, len(m.payload)) + m.payload, pcapng.OUTBOUND)

    def flush(self):
        """Writes what the socket takes now; returns the bytes still queued."""
        wrote = False
        try:
            while self.outbuf.used():
                if self.outbuf.writeFd(self.sock.fileno(), self.outbuf.used()) is None:
                    break
                wrote = True
        except EnvironmentError as e:
            raise ConnectionClosed('send failed: %s' % (e.strerror or e), self.address)
        left = self.outbuf.used()
        if wrote and not left:
            self.outbuf = KXMsgv17_0.KXRingbuf(_OUTBUF)
        return left

    def send(self, m, timeout=10.0):
        """Queues m and writes until everything queued is sent."""
        self.queue(m)
        while self.flush():
            if not select.select([], [self.sock], [], timeout)[1]:
                raise Timeout('the daemon does not read', self.address)

    def receive(self):
        """Takes in what the socket holds; returns (messages, open). A broken
        frame header ends the messages: they are those before it, and
        broken is set to the ProtocolError that names it."""
        try:
            n = self.inbuf.readFd(self.sock.fileno())
        except EnvironmentError as e:
            if e.errno != errno.ECONNRESET:
                raise ConnectionClosed('receive failed: %s' % (e.strerror or e), self.address)
            n = 0
        msgs = []
        while self.inbuf.used() >= HEADER.size:
            length = HEADER.unpack(self.inbuf.peek(HEADER.size))[1]
            if length > MAX_PAYLOAD:
                self.record(self.inbuf.peek(self.inbuf.used()), pcapng.INBOUND,
                            'broken frame header: bytes as they came')
                self.broken = ProtocolError('broken frame header (length %d)' % length, self.address)
                return msgs, n != 0
            m = self.inbuf.readMsg()
            if m is None:
                break
            self.record(HEADER.pack(m.type, len(m.payload)) + m.payload, pcapng.INBOUND)
            msgs.append(m)
        if n == 0 and self.inbuf.used():
            self.record(self.inbuf.peek(self.inbuf.used()), pcapng.INBOUND,
                        'incomplete frame: the stream ended inside it')
        elif msgs and not self.inbuf.used():
            self.inbuf = KXMsgv17_0.KXRingbuf(_INBUF)
        return msgs, n != 0


def _ip_number(address):
    """An IPv4 address as dotted text or a number, as the number."""
    if isinstance(address, str) or not isinstance(address, (int, type(2 ** 64))):
        return struct.unpack('>I', socket.inet_aton(address))[0]
    return address


def _begun(state, what, first='its begin'):
    """state, the table a run of messages fills; ValueError when what came
    before first (state None)."""
    if state is None:
        raise ValueError('%s before %s' % (what, first))
    return state


def _with_builtin(name, value, call, *args):
    """Runs call(*args) with the built-in name bound to value, then restores
    the built-in namespace as it was."""
    saved = builtins.__dict__.get(name, _MISSING)
    setattr(builtins, name, value)
    try:
        return call(*args)
    finally:
        if saved is _MISSING:
            delattr(builtins, name)
        else:
            setattr(builtins, name, saved)


class Session(object):
    """The decoded tables of one daemon session and the dispatch that fills
    them: dispatch(m) passes a received KXMsg to the KXdv17_0 handler of its
    type. Subclasses provide the transport (_send); KXClient is the
    blocking one, kxtools.aio.AsyncClient the asyncio one."""

    address = None      # (host, port) of the daemon; None without a connection
    closed = True
    reply_limit = REPLY_LIMIT
    dump_limit = DUMP_LIMIT

    def __init__(self):
        self._init_tables()

    def __repr__(self):
        where = '%s:%s' % self.address if self.address else 'offline'
        state = 'closed' if self.closed else ('logged in' if self.auth is not None else 'connected')
        return '<%s %s %s, %d hosts, %d connections>' % (type(self).__name__, where, state,
                                                          len(self.hosts), len(self.conns))

    def _init_tables(self):
        self.protocol_version = kx.PROTOCOL_VERSION
        self.version = None
        self.auth = None
        self.features = None
        self.xfb_names = None
        self.refusals = []          # values of permission-denied replies
        self._refused = 0           # permission-denied replies in all (refusals keeps the newest)
        self.replies_dropped = 0    # oldest entries the reply lists left out at their bound
        self.not_available = []     # texts of not-available replies
        self.pongs = 0
        self.update_done = False
        self.strtables = {}
        self.hosts = {}
        self.conns = {}
        self.sc_schemata = None
        self.sc_rows = {}           # row id -> (schema id, data)
        self.view_filters = None
        self.view_fields = None     # field id -> field description
        self.views = {}             # view id -> {row id: row dict}
        self.view_errors = []
        self.channel_info = None
        self.channels = {}          # channel id -> latest sample
        self.shaping_objects = {}
        self.shaping_rules = None
        self.shaping_rules_complete = None
        self.fw_rules = {}
        self.fw_rules_complete = None
        self.fwlog_results = []     # one dict per finished query
        self._fwlog = None
        self.bgp_entries = []
        self.bgp_paths = []
        self.bgp_done = False
        self.sysdiag = None
        self._sysdiag = None
        self._strtable = None
        self.vcrc_results = []
        self.host_find_results = []
        self.counts = {}            # message type -> number received
        # message type -> bound handler method, from kxtools.messages
        self.handlers = dict((n, getattr(self, m.handler)) for n, m in MESSAGES.items() if m.handler)

    def writeMsg(self, m):
        """Called by the request builders: sends one framed message. Raises
        ConnectionClosed on a closed client."""
        if self.closed:
            raise ConnectionClosed('the connection is closed', self.address)
        self._send(m)

    def _send(self, m):
        raise NotImplementedError

    def _keep(self, table, value, limit=None):
        """Appends value to table, a list replies fill; past limit
        (reply_limit by default) the oldest entries go, counted in
        replies_dropped."""
        table.append(value)
        self._trim(table, self.reply_limit if limit is None else limit)

    def _trim(self, table, limit):
        excess = len(table) - limit
        if excess > 0:
            del table[:excess]
            self.replies_dropped += excess

    def dispatch(self, m):
        """Counts m and passes it to the handler of its type (on_ignored for
        types without one). The handler's own errors (KXdv17_0.BadMessageError,
        KeyError for an update of an unknown entry, ValueError for entries
        with no begin) propagate unchanged."""
        counts = self.counts
        n = counts.get(m.type)
        if n is not None:
            counts[m.type] = n + 1
        else:   # a daemon sending ever new types must not grow the table for ever
            key = m.type if len(counts) < COUNTED_TYPES else OTHER_TYPES
            counts[key] = counts.get(key, 0) + 1
        self.handlers.get(m.type, self.on_ignored)(m)

    def _take(self):
        """Reads what the socket holds and handles every complete message in
        it; returns (the messages, whether the connection is still open).
        Raises ProtocolError for a message no handler takes, or for a broken
        frame once the messages before it are handled."""
        msgs, still_open = self.stream.receive()
        self._dispatch_all(msgs)
        if self.stream.broken is not None:
            raise self.stream.broken
        return msgs, still_open

    def _dispatch_all(self, msgs):
        """Dispatches received messages. Any error a handler raises (a
        message that does not decode, or that comes out of order: an entry
        with no begin, an update of an unknown entry) is a ProtocolError
        naming the message type; the messages after it are not handled, and
        the caller closes the session."""
        for i, m in enumerate(msgs):
            try:
                self.dispatch(m)
            except Exception as e:
                left = len(msgs) - i - 1
                raise ProtocolError('cannot handle message %s (0x%x): %s: %s%s' % (
                    _protocol.SERVER_MESSAGES.get(m.type, 'of unknown type'), m.type, type(e).__name__, e,
                    '; %d later message%s of the read not handled' % (left, 's' * (left != 1)) if left else ''),
                    self.address)

    def host_show(self, hostid):
        """Asks the daemon about one host (kx.hostShow); it answers with a
        host add, or a not-available text for an unknown id."""
        _with_builtin('KXD_PROTOCOL_CLIENT_HOSTVIEW_SHOW', KXD_PROTOCOL_CLIENT_HOSTVIEW_SHOW,
                      kx.hostShow, self, hostid)

    def host_find(self, address):
        """Asks which host owns an IPv4 address (text or number,
        kx.hostFindv4); the answer, its hostid or None, is appended to
        host_find_results."""
        _with_builtin('KXD_PROTOCOL_CLIENT_HOST_FIND', KXD_PROTOCOL_CLIENT_HOST_FIND,
                      kx.hostFindv4, self, _ip_number(address))

    # ---- session --------------------------------------------------------------

    def on_ignored(self, m):
        pass

    def on_version(self, m):
        self.version = kx.handleVersion(m)
        self.protocol_version = self.version[0]

    def on_auth(self, m):
        self.auth = kx.handleAuth(m)

    def on_features(self, m):
        self.features = kx.handleFeatures(m)

    def on_eperm(self, m):
        self._refused += 1
        self._keep(self.refusals, kx.handleEperm(m))

    def on_not_available(self, m):
        self._keep(self.not_available, kx.handleNotAvail(m))

    def on_xfb_names(self, m):
        self.xfb_names = kx.handleServerXFBNames(m)

    def on_update_done(self, m):
        self.update_done = True

    def on_pong(self, m):
        self.pongs += 1

    def on_strtable_begin(self, m):
        table, entries = kx.handleStrtblBegin(m)
        self._strtable = self.strtables[table] = dict(entries)

    def on_strtable_entries(self, m):
        _begun(self._strtable, 'string table entries').update(kx.handleStrtblEntries(m))

    def on_strtable_end(self, m):
        kx.handleStrtblEnd(m)
        self._strtable = None

    # ---- hosts and connections ------------------------------------------------

    def on_host_add(self, m):
        kx.handleHostAdd(m, Host, self.hosts, self.protocol_version)

    def on_host_update(self, m):
        kx.handleHostUpdate(m, self.hosts, self.protocol_version)

    def on_host_remove(self, m):
        self.hosts.pop(kx.handleHostRemove(m), None)

    def on_host_find_reply(self, m):
        self._keep(self.host_find_results, kx.handleHostFindReply(m))

    def _sc_populate(self, conn, rows):
        conn.sc_rows = rows

    def on_conn_update(self, m):
        kx.handleConnUpdate(m, self.conns, Connection, self._sc_populate, self.protocol_version)

    def on_sc_schemata(self, m):
        self.sc_schemata = dict((s['id'], s) for s in kx.handleSessionContextSchemata(m))

    def on_sc_add(self, m):
        schema, rowid, data = kx.handleSessionContextAdd(m)
        self.sc_rows[rowid] = (schema, data)

    def on_sc_remove(self, m):
        for rowid in kx.handleSessionContextRemove(m):
            self.sc_rows.pop(rowid, None)

    # ---- views ------------------------------------------------------------------

    def on_view_caps(self, m):
        self.view_filters, fields = kx.handleViewCaps(m)
        self.view_fields = dict((f['field'], f) for f in fields)

    def on_view_update(self, m):
        rows = self.views.setdefault(kx.handleViewUpdateViewID(m), {})
        for op, item in kx.handleViewUpdate(m, self.view_fields):
            if op == kx.PROTOCOL_SERVER_VIEW_UPDATE_OP_ADD:
                rowid, second, field, data = item
                rows[rowid] = dict(data, second=second, field=field)
            elif op == kx.PROTOCOL_SERVER_VIEW_UPDATE_OP_UPDATE:
                rows[item[0]].update(item[1])
            elif op == kx.PROTOCOL_SERVER_VIEW_UPDATE_OP_REMOVE:
                del rows[item]
            else:
                rows[item[0]]['label'] = item[1]

    def on_view_add_error(self, m):
        self._keep(self.view_errors, kx.handleViewAddError(m))

    # ---- channels, shaping, firewall ---------------------------------------------

    def on_channels_info(self, m):
        self.channel_info = kx.handleChannelsInfo(m)

    def on_channels_data(self, m):
        self.channels = kx.handleChannelsData(m, _begun(self.channel_info, 'channel data', 'the channel info'))

    def on_shaping_rules(self, m):
        self.shaping_rules, self.shaping_rules_complete = kx.handleShapingRulesInit(m)

    def on_shaping_object(self, m):
        kx.shapingobjectUpdateHandle(m, self.shaping_objects)

    def on_fw_rules_init(self, m):
        self.fw_rules, self.fw_rules_complete = kx.handleFWRulesInit(m)

    def on_fw_rules(self, m):
        kx.handleFWRulesData(m, self.fw_rules)

    def on_fwlog_start(self, m):
        self._fwlog = kx.handleFWEntryStart(m)
        self._fwlog['entries'] = []

    def on_fwlog_entry(self, m):
        self._keep(_begun(self._fwlog, 'firewall-log entry')['entries'], kx.handleFWEntry(m), self.dump_limit)

    def on_fwlog_end(self, m):
        self._keep(self.fwlog_results, _begun(self._fwlog, 'firewall-log end'))
        self._fwlog = None

    # ---- diagnostics ---------------------------------------------------------------

    def on_bgp_entry(self, m):
        self._keep(self.bgp_entries, kx.handleBgpEntry(m), self.dump_limit)

    def on_bgp_path(self, m):
        self._keep(self.bgp_paths, kx.handleBgpPath(m), self.dump_limit)

    def on_bgp_done(self, m):
        self.bgp_done = True

    def on_sysdiag_begin(self, m):
        self._sysdiag = []

    def on_sysdiag_entries(self, m):
        kx.handleDrdlStatsDump(m, _begun(self._sysdiag, 'diagnostics entries'))
        self._trim(self._sysdiag, self.dump_limit)

    def on_sysdiag_end(self, m):
        self.sysdiag, self._sysdiag = _begun(self._sysdiag, 'diagnostics end'), None

    def on_vcrc_result(self, m):
        self._keep(self.vcrc_results, kx.handleVcrcTest(m))


class KXClient(Session):
    """A blocking client: one TCP connection to the daemon.

    KXClient(host, port, timeout=10.0, record=None, user=None, password=None)
    connects (ConnectError when it cannot) and, given a user, logs in
    (LoginRefused when refused). record: a capture file name, or a
    pcapng.Writer (left open), to record every frame sent and received.
    As a context manager it closes the connection on leaving.
    """

    def __init__(self, host='127.0.0.1', port=7830, timeout=10.0, record=None, user=None, password=None):
        Session.__init__(self)
        self.address = (host, port)
        try:
            self.sock = socket.create_connection(self.address, timeout)
        except (EnvironmentError, socket.error) as e:
            strerror = getattr(e, 'strerror', None)
            raise ConnectError('cannot connect: %s' % (strerror or e), self.address, getattr(e, 'errno', None),
                               strerror)
        self.sock.setblocking(False)
        self._own_recorder = record is not None and not isinstance(record, pcapng.Writer)
        self.stream = Stream(self.sock, pcapng.Writer(record, application='kxtools.client')
                             if self._own_recorder else record, self.address)
        self.closed = False
        if user is not None:
            try:
                if not self.login(user, password, timeout):
                    raise LoginRefused('login refused for user %r' % user, self.address)
            except KXError:
                self.close()
                raise

    @classmethod
    def offline(cls):
        """A client without a connection: the tables and the dispatch table."""
        c = cls.__new__(cls)
        c.sock = c.stream = None
        c.closed = True
        c._own_recorder = False
        c._init_tables()
        return c

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _send(self, m):
        try:
            self.stream.send(m)
        except ConnectionClosed:
            self.close()
            raise

    def close(self):
        """Closes the connection (and a capture file the client opened).
        Closing twice is harmless."""
        if not self.closed:
            self.closed = True
            self.sock.close()
            if self._own_recorder:
                self.stream.recorder.close()

    def pump(self, timeout=0.0):
        """Waits up to timeout seconds for data and handles every complete
        message. Returns the number of messages handled; when the daemon
        closes the connection the client is closed after the last message.
        Raises ConnectionClosed when called on a closed client, ProtocolError
        for a broken frame or a message that does not decode."""
        if self.closed:
            raise ConnectionClosed('the connection is closed', self.address)
        ready, _, _ = select.select([self.sock], [], [], timeout)
        if not ready:
            return 0
        try:
            msgs, still_open = self._take()
        except ProtocolError:
            self.close()
            raise
        if not still_open:
            self.close()
        return len(msgs)

    def wait_for(self, condition, timeout=10.0):
        """Pumps until condition() holds. Raises Timeout after timeout
        seconds, ConnectionClosed when the connection closes first."""
        deadline = time.time() + timeout
        while not condition():
            left = deadline - time.time()
            if self.closed:
                raise ConnectionClosed('connection closed by the daemon', self.address)
            if left <= 0:
                raise Timeout('timed out waiting for the daemon', self.address)
            self.pump(min(left, 0.2))

    def sync(self, timeout=10.0):
        """Pings and waits for the answer: everything the daemon sent before
        it has been handled when this returns."""
        want = self.pongs + 1
        kx.ping(self)
        self.wait_for(lambda: self.pongs >= want, timeout)

    def login(self, user, password, timeout=10.0):
        """Waits for the version announcement and logs in. Returns True when
        the daemon accepted the credentials, False when it refused them (it
        then closes the connection)."""
        self.wait_for(lambda: self.version is not None, timeout)
        refused = self._refused
        kx.doAuth(self, user, password)
        self.wait_for(lambda: self.auth is not None or self._refused > refused or self.closed, timeout)
        return self.auth is not None


def _describe_handlers():
    """Gives each on_* handler method a docstring naming what it fills."""
    for name, table in HANDLER_TABLES.items():
        func = Session.__dict__[name]
        func.__doc__ = 'Handler: decodes one message into %s (called by dispatch).' % table
    Session.__dict__['on_ignored'].__doc__ = 'Handler of message types the client does not keep: counts only.'
    Session.__dict__['_sc_populate'].__doc__ = 'Stores the session-context row ids of a connection.'


_describe_handlers()
