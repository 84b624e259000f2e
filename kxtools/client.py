"""A small client library for the appliance daemon's management protocol.

KXClient owns one TCP connection. Outgoing requests are built by KXdv17_0's
request builders, which call KXClient.writeMsg; incoming frames are cut out
of the byte stream, wrapped in KXMsg objects and passed by message type to
the KXdv17_0 handler that decodes them. The decoded values are kept in plain
tables on the client (hosts, conns, views, channels, ...), current as long as
pump() is called.

    c = KXClient('127.0.0.1', 7830)
    c.login('demo', 'demo')
    kx.requestUpdate(c)
    c.wait_for(lambda: c.update_done)

With record='session.pcapng' every frame sent and received is written to a
capture file (see kxtools.pcapng), the same file kxtap records.
KXClient.offline() is a client without a connection: its tables and
handlers, for decoding recorded frames.
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

_REQUEST_NUMBERS = dict((name, number) for number, (name, _) in _protocol.CLIENT_MESSAGES.items())
_SERVER_NUMBERS = dict((name, number) for number, name in _protocol.SERVER_MESSAGES.items())

# Request types of the two host queries. KXdv17_0 looks both names up among
# the built-in names at every call; the daemon uses the same numbers.
KXD_PROTOCOL_CLIENT_HOSTVIEW_SHOW = _REQUEST_NUMBERS['HOSTVIEW_SHOW']
KXD_PROTOCOL_CLIENT_HOST_FIND = _REQUEST_NUMBERS['HOST_FIND']
builtins.KXD_PROTOCOL_CLIENT_HOSTVIEW_SHOW = KXD_PROTOCOL_CLIENT_HOSTVIEW_SHOW
builtins.KXD_PROTOCOL_CLIENT_HOST_FIND = KXD_PROTOCOL_CLIENT_HOST_FIND
# The daemon's answer to a host find.
PROTOCOL_SERVER_HOST_FIND_REPLY = _SERVER_NUMBERS['PROTOCOL_SERVER_HOST_FIND_REPLY']

HEADER = struct.Struct('>IH')
MAX_PAYLOAD = 32768


class ProtocolError(Exception):
    pass


class Host(object):
    """One entry of the host table; the handlers set its attributes."""

    def __init__(self, hostid):
        self.hostid = hostid


class Connection(object):
    """One entry of the connection table."""

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


class Stream(object):
    """Frames messages over a non-blocking socket through two KXRingbufs:
    u32 type, u16 length, payload."""

    def __init__(self, sock, recorder=None):
        self.sock = sock
        self.inbuf = KXMsgv17_0.KXRingbuf(1 << 20)
        self.outbuf = KXMsgv17_0.KXRingbuf(1 << 22)
        self.recorder = recorder    # a pcapng.Writer, or None

    def record(self, data, direction, comment=None):
        if self.recorder is not None:
            self.recorder.write(data, direction, comment=comment)

    def send(self, m, timeout=10.0):
        if not self.outbuf.writeMsg(m):
            raise ProtocolError('outgoing buffer full')
        self.record(HEADER.pack(m.type, len(m.payload)) + m.payload, pcapng.OUTBOUND)
        while self.outbuf.used():
            if self.outbuf.writeFd(self.sock.fileno(), self.outbuf.used()) is None:
                if not select.select([], [self.sock], [], timeout)[1]:
                    raise ProtocolError('the daemon does not read')

    def receive(self):
        """Takes in what the socket holds; returns (messages, open)."""
        n = self.inbuf.readFd(self.sock.fileno())
        msgs = []
        while self.inbuf.used() >= HEADER.size:
            length = HEADER.unpack(self.inbuf.peek(HEADER.size))[1]
            if length > MAX_PAYLOAD:
                self.record(self.inbuf.peek(self.inbuf.used()), pcapng.INBOUND,
                            'broken frame header: bytes as they came')
                raise ProtocolError('broken frame header (length %d)' % length)
            m = self.inbuf.readMsg()
            if m is None:
                break
            self.record(HEADER.pack(m.type, len(m.payload)) + m.payload, pcapng.INBOUND)
            msgs.append(m)
        if n == 0 and self.inbuf.used():
            self.record(self.inbuf.peek(self.inbuf.used()), pcapng.INBOUND,
                        'incomplete frame: the stream ended inside it')
        return msgs, n != 0


class KXClient(object):

    def __init__(self, host='127.0.0.1', port=7830, timeout=10.0, record=None):
        """record: a capture file name, or a pcapng.Writer (left open), to
        record every frame sent and received."""
        self.sock = socket.create_connection((host, port), timeout)
        self.sock.setblocking(False)
        self._own_recorder = record is not None and not isinstance(record, pcapng.Writer)
        self.stream = Stream(self.sock, pcapng.Writer(record, application='kxtools.client')
                             if self._own_recorder else record)
        self.closed = False
        self._init_tables()

    @classmethod
    def offline(cls):
        """A client without a connection: the tables and the dispatch table."""
        c = cls.__new__(cls)
        c.sock = c.stream = None
        c.closed = True
        c._own_recorder = False
        c._init_tables()
        return c

    def _init_tables(self):
        self.protocol_version = kx.PROTOCOL_VERSION
        self.version = None
        self.auth = None
        self.features = None
        self.xfb_names = None
        self.refusals = []          # values of permission-denied replies
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
        self.vcrc_results = []
        self.host_find_results = []
        self.counts = {}            # message type -> number received
        self.handlers = {
            kx.PROTOCOL_SERVER_VERSION: self.on_version,
            kx.PROTOCOL_SERVER_AUTHENTICATION_OK: self.on_auth,
            kx.PROTOCOL_SERVER_FEATURES: self.on_features,
            kx.PROTOCOL_SERVER_EPERM: self.on_eperm,
            kx.PROTOCOL_SERVER_NOT_AVAILABLE: self.on_not_available,
            kx.PROTOCOL_SERVER_XFB_NAMES: self.on_xfb_names,
            kx.PROTOCOL_SERVER_UPDATE_DONE: self.on_update_done,
            kx.PROTOCOL_SERVER_PONG: self.on_pong,
            kx.PROTOCOL_SERVER_STRTABLE_BEGIN: self.on_strtable_begin,
            kx.PROTOCOL_SERVER_STRTABLE_ENTRIES: self.on_strtable_entries,
            kx.PROTOCOL_SERVER_STRTABLE_END: self.on_strtable_end,
            kx.PROTOCOL_SERVER_HOST_ADD: self.on_host_add,
            kx.PROTOCOL_SERVER_HOST_UPDATE: self.on_host_update,
            kx.PROTOCOL_SERVER_HOST_REMOVE: self.on_host_remove,
            PROTOCOL_SERVER_HOST_FIND_REPLY: self.on_host_find_reply,
            kx.PROTOCOL_SERVER_CONN_UPDATE: self.on_conn_update,
            kx.PROTOCOL_SERVER_SESSION_CONTEXT_SCHEMATA: self.on_sc_schemata,
            kx.PROTOCOL_SERVER_SESSION_CONTEXT_ADD: self.on_sc_add,
            kx.PROTOCOL_SERVER_SESSION_CONTEXT_REMOVE: self.on_sc_remove,
            kx.PROTOCOL_SERVER_VIEW_CAPS: self.on_view_caps,
            kx.PROTOCOL_SERVER_VIEW_UPDATE: self.on_view_update,
            kx.PROTOCOL_SERVER_VIEW_ADD_ERROR: self.on_view_add_error,
            kx.PROTOCOL_SERVER_CHANNEL_STATS_INFO: self.on_channels_info,
            kx.PROTOCOL_SERVER_CHANNEL_STATS_DATA: self.on_channels_data,
            kx.PROTOCOL_SERVER_SHAPING_RULES_INIT: self.on_shaping_rules,
            kx.PROTOCOL_SERVER_SHAPING_OBJECTS_INIT: self.on_ignored,
            kx.PROTOCOL_SERVER_SHAPING_OBJECT: self.on_shaping_object,
            kx.PROTOCOL_SERVER_FW_RULES_INIT: self.on_fw_rules_init,
            kx.PROTOCOL_SERVER_FW_RULES: self.on_fw_rules,
            kx.PROTOCOL_SERVER_FWLOG_ENTRY_START: self.on_fwlog_start,
            kx.PROTOCOL_SERVER_FWLOG_ENTRY: self.on_fwlog_entry,
            kx.PROTOCOL_SERVER_FWLOG_ENTRY_END: self.on_fwlog_end,
            kx.PROTOCOL_SERVER_BGP_DUMP_ENTRY: self.on_bgp_entry,
            kx.PROTOCOL_SERVER_BGP_DUMP_PATH: self.on_bgp_path,
            kx.PROTOCOL_SERVER_BGP_DUMP_DONE: self.on_bgp_done,
            kx.PROTOCOL_SERVER_DRDL_SYSDIAG_BEGIN: self.on_sysdiag_begin,
            kx.PROTOCOL_SERVER_DRDL_SYSDIAG_ENTRIES: self.on_sysdiag_entries,
            kx.PROTOCOL_SERVER_DRDL_SYSDIAG_END: self.on_sysdiag_end,
            kx.PROTOCOL_SERVER_VCRC_TEST_RESULT: self.on_vcrc_result,
        }

    # ---- the connection -----------------------------------------------------

    def writeMsg(self, m):
        """Called by the request builders: sends one framed message."""
        self.stream.send(m)

    def close(self):
        if not self.closed:
            self.closed = True
            self.sock.close()
            if self._own_recorder:
                self.stream.recorder.close()

    def pump(self, timeout=0.0):
        """Waits up to timeout seconds for data and handles every complete
        message. Returns the number of messages handled."""
        if self.closed:
            return 0
        ready, _, _ = select.select([self.sock], [], [], timeout)
        if not ready:
            return 0
        try:
            msgs, still_open = self.stream.receive()
        except OSError as e:
            if e.errno != errno.ECONNRESET:
                raise
            msgs, still_open = [], False
        for m in msgs:
            self.dispatch(m)
        if not still_open:
            self.close()
        return len(msgs)

    def dispatch(self, m):
        self.counts[m.type] = self.counts.get(m.type, 0) + 1
        self.handlers.get(m.type, self.on_ignored)(m)

    def wait_for(self, condition, timeout=10.0):
        """Pumps until condition() holds; raises ProtocolError after timeout."""
        deadline = time.time() + timeout
        while not condition():
            left = deadline - time.time()
            if left <= 0:
                raise ProtocolError('timed out waiting for the daemon')
            if self.closed:
                raise ProtocolError('connection closed by the daemon')
            self.pump(min(left, 0.2))

    def sync(self, timeout=10.0):
        """Pings and waits for the answer: everything the daemon sent before
        it has been handled when this returns."""
        want = self.pongs + 1
        kx.ping(self)
        self.wait_for(lambda: self.pongs >= want, timeout)

    def login(self, user, password, timeout=10.0):
        """Waits for the version announcement and logs in. Returns True when
        the daemon accepted the credentials."""
        self.wait_for(lambda: self.version is not None, timeout)
        refused = len(self.refusals)
        kx.doAuth(self, user, password)
        self.wait_for(lambda: self.auth is not None or len(self.refusals) > refused or self.closed, timeout)
        return self.auth is not None

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
        self.refusals.append(kx.handleEperm(m))

    def on_not_available(self, m):
        self.not_available.append(kx.handleNotAvail(m))

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
        self._strtable.update(kx.handleStrtblEntries(m))

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
        self.host_find_results.append(kx.handleHostFindReply(m))

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
        self.view_errors.append(kx.handleViewAddError(m))

    # ---- channels, shaping, firewall ---------------------------------------------

    def on_channels_info(self, m):
        self.channel_info = kx.handleChannelsInfo(m)

    def on_channels_data(self, m):
        self.channels = kx.handleChannelsData(m, self.channel_info)

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
        self._fwlog['entries'].append(kx.handleFWEntry(m))

    def on_fwlog_end(self, m):
        self.fwlog_results.append(self._fwlog)
        self._fwlog = None

    # ---- diagnostics ---------------------------------------------------------------

    def on_bgp_entry(self, m):
        self.bgp_entries.append(kx.handleBgpEntry(m))

    def on_bgp_path(self, m):
        self.bgp_paths.append(kx.handleBgpPath(m))

    def on_bgp_done(self, m):
        self.bgp_done = True

    def on_sysdiag_begin(self, m):
        self._sysdiag = []

    def on_sysdiag_entries(self, m):
        kx.handleDrdlStatsDump(m, self._sysdiag)

    def on_sysdiag_end(self, m):
        self.sysdiag, self._sysdiag = self._sysdiag, None

    def on_vcrc_result(self, m):
        self.vcrc_results.append(kx.handleVcrcTest(m))
