"""The server messages kxtools knows, one entry per message number: the one
table that the blocking client's dispatch, kxtools.aio's events, kxdissect
and the exporter look messages up in.

    from kxtools.messages import MESSAGES
    MESSAGES[0x12001].name       # 'PROTOCOL_SERVER_HOST_UPDATE'
    MESSAGES[0x12001].handler    # 'on_host_update': the Session method
    MESSAGES[0x12001].table      # 'hosts': the Session table it changes
    MESSAGES[0x12001].decoder    # 'handleHostUpdate': the KXdv17_0 function
    MESSAGES[0x12001].label      # 'hostUpdate': its field names' prefix (kx.hostUpdate.hosts.hostid)
    MESSAGES[0x12001].record     # the rows of its payload, from the definition

Numbers, names and records come from the protocol definition
(kxtools._protocol); every server message of the definition has an entry,
those the client does not keep with handler, table and decoder None.
REQUESTS holds the requests' layouts in the same row form as the records,
so that one walk over rows (kxdissect's, the Lua dissector's) reads both. What the client does
with a message (its handler and the table it fills) is kxtools' own
choice, kept here beside the names.
"""
import re
import struct
from collections import namedtuple

from kxtools import _protocol

__all__ = ['Message', 'MESSAGES', 'NUMBERS', 'HANDLER_TABLES', 'REQUESTS', 'FRAME_HEADER', 'MAX_PAYLOAD',
           'SERVICE_TABLE', 'field_name']



class Message(namedtuple('Message', 'number name handler table decoder items label record')):
    """One server message: its number, its constant name, the Session method
    that handles it, the Session attribute that method changes, the KXdv17_0
    function that decodes it (None where there is none), the names of what
    that function returns (a tuple's items, or its one value: the record's
    field names), the prefix of its field names and the rows of its record."""
    __slots__ = ()


_PREFIX = 'PROTOCOL_SERVER_'

# Every message on the wire: u32 type, u16 payload length, the payload. A
# length over MAX_PAYLOAD (the message buffer's size) is a broken stream.
FRAME_HEADER = struct.Struct('>IH')
MAX_PAYLOAD = _protocol.FRAME['MAX_PAYLOAD']
if FRAME_HEADER.size != _protocol.FRAME['HEADER']:
    raise ImportError('kxtools.messages: the frame header is %d bytes in the protocol definition, not %d'
                      % (_protocol.FRAME['HEADER'], FRAME_HEADER.size))
# The string table that names the services.
SERVICE_TABLE = dict((name, n) for n, name in _protocol.VALUE_TABLES['STRTABLE']['values'])['SERVICES']

# Message name (without PROTOCOL_SERVER_) -> (Session handler, table, KXdv17_0 decoder,
# the names of the decoder's tuple items or of its one value: fields of the message's record).
_CLIENT = {
    'VERSION': ('on_version', 'version', 'handleVersion', ('version', 'server', 'first', 'second')),
    'AUTHENTICATION_OK': ('on_auth', 'auth', 'handleAuth', ('result',)),
    'FEATURES': ('on_features', 'features', 'handleFeatures', ('features',)),
    'EPERM': ('on_eperm', 'refusals', 'handleEperm', ('request',)),
    'NOT_AVAILABLE': ('on_not_available', 'not_available', 'handleNotAvail', ('text',)),
    'XFB_NAMES': ('on_xfb_names', 'xfb_names', 'handleServerXFBNames', ('names',)),
    'UPDATE_DONE': ('on_update_done', 'update_done', None, None),
    'PONG': ('on_pong', 'pongs', None, None),
    'STRTABLE_BEGIN': ('on_strtable_begin', 'strtables', 'handleStrtblBegin', ('table', 'entries')),
    'STRTABLE_ENTRIES': ('on_strtable_entries', 'strtables', 'handleStrtblEntries', ('entries',)),
    'STRTABLE_END': ('on_strtable_end', 'strtables', 'handleStrtblEnd', None),
    'HOST_ADD': ('on_host_add', 'hosts', 'handleHostAdd', None),
    'HOST_UPDATE': ('on_host_update', 'hosts', 'handleHostUpdate', None),
    'HOST_REMOVE': ('on_host_remove', 'hosts', 'handleHostRemove', ('hostid',)),
    'HOST_FIND_REPLY': ('on_host_find_reply', 'host_find_results', 'handleHostFindReply', ('hostid',)),
    'CONN_UPDATE': ('on_conn_update', 'conns', 'handleConnUpdate', None),
    'SESSION_CONTEXT_SCHEMATA': ('on_sc_schemata', 'sc_schemata', 'handleSessionContextSchemata', ('schemata',)),
    'SESSION_CONTEXT_ADD': ('on_sc_add', 'sc_rows', 'handleSessionContextAdd', ('schema', 'row', 'data')),
    'SESSION_CONTEXT_REMOVE': ('on_sc_remove', 'sc_rows', 'handleSessionContextRemove', ('rows',)),
    'VIEW_CAPS': ('on_view_caps', 'view_fields', 'handleViewCaps', ('filters', 'fields')),
    'VIEW_UPDATE': ('on_view_update', 'views', 'handleViewUpdate', None),
    'VIEW_ADD_ERROR': ('on_view_add_error', 'view_errors', 'handleViewAddError', ('viewid', 'text')),
    'CHANNEL_STATS_INFO': ('on_channels_info', 'channel_info', 'handleChannelsInfo', ('channels', 'statistics')),
    'CHANNEL_STATS_DATA': ('on_channels_data', 'channels', 'handleChannelsData', None),
    'SHAPING_RULES_INIT': ('on_shaping_rules', 'shaping_rules', 'handleShapingRulesInit', ('rules', 'flags')),
    'SHAPING_OBJECTS_INIT': ('on_ignored', None, None, None),
    'SHAPING_OBJECT': ('on_shaping_object', 'shaping_objects', 'shapingobjectUpdateHandle', None),
    'FW_RULES_INIT': ('on_fw_rules_init', 'fw_rules', 'handleFWRulesInit', ('rules', 'flags')),
    'FW_RULES': ('on_fw_rules', 'fw_rules', 'handleFWRulesData', None),
    'FWLOG_ENTRY_START': ('on_fwlog_start', 'fwlog_results', 'handleFWEntryStart', None),
    'FWLOG_ENTRY': ('on_fwlog_entry', 'fwlog_results', 'handleFWEntry', None),
    'FWLOG_ENTRY_END': ('on_fwlog_end', 'fwlog_results', None, None),
    'BGP_DUMP_ENTRY': ('on_bgp_entry', 'bgp_entries', 'handleBgpEntry',
                       ('first', 'prefix', 'second', 'third', 'fourth')),
    'BGP_DUMP_PATH': ('on_bgp_path', 'bgp_paths', 'handleBgpPath', ('id', 'elements')),
    'BGP_DUMP_DONE': ('on_bgp_done', 'bgp_done', None, None),
    'DRDL_SYSDIAG_BEGIN': ('on_sysdiag_begin', 'sysdiag', None, None),
    'DRDL_SYSDIAG_ENTRIES': ('on_sysdiag_entries', 'sysdiag', 'handleDrdlStatsDump', ('counters',)),
    'DRDL_SYSDIAG_END': ('on_sysdiag_end', 'sysdiag', None, None),
    'VCRC_TEST_RESULT': ('on_vcrc_result', 'vcrc_results', 'handleVcrcTest', None),
}


def camel(name):
    """HOST_UPDATE -> hostUpdate."""
    words = name.lower().split('_')
    return words[0] + ''.join(w.capitalize() for w in words[1:])


def _names(rows):
    """The field names of record rows, nested ones included."""
    for row in rows:
        for key in ('name', 'other'):
            if key in row:
                yield row[key]
        nested = [row.get('items') or [], row.get('rows') or [], row.get('default') or []]
        nested += [r for _, r in row.get('cases', ())] + [r for _, _, r in row.get('groups', ())]
        for inner in nested:
            for name in _names(inner):
                yield name


def _build():
    out = {}
    for number, name in _protocol.SERVER_MESSAGES.items():
        short = name[len(_PREFIX):]
        m = out[number] = Message(number, name, *(_CLIENT.get(short, (None,) * 4) +
                                                   (camel(short), _protocol.SERVER_RECORDS[number][1])))
        unnamed = set(m.items or ()) - set(_names(m.record))
        if unnamed:     # one spelling: the decoder's items are named as the record's fields
            raise ImportError('kxtools.messages: %s has no field %s' % (short, ', '.join(sorted(unnamed))))
    unknown = set(_PREFIX + n for n in _CLIENT) - set(_protocol.SERVER_MESSAGES.values())
    if unknown:     # a message renamed or dropped in the definition
        raise ImportError('kxtools.messages: not in the protocol definition: %s' % ', '.join(sorted(unknown)))
    return out


MESSAGES = _build()
# Message name -> number.
NUMBERS = dict((m.name, n) for n, m in MESSAGES.items())
# The table each handler changes, by handler name.
HANDLER_TABLES = dict((m.handler, m.table) for m in MESSAGES.values() if m.table)


def field_name(key):
    """A field's name as a filter name takes it: the module's key with each run
    of other characters than letters, digits, '-', '_' and '.' as one '_'
    ('in RX bps' -> 'in_RX_bps', 'drops/s' -> 'drops_s')."""
    return re.sub(r'[^A-Za-z0-9_.-]+', '_', key)


def record_rows(layout):
    """A request layout's rows ((name, kind), (name, kind, mask bit), list kinds
    ('list', count kind, rows or a kind)) in the records' row form."""
    out = []
    for row in layout:
        name, kind = row[0], row[1]
        if isinstance(kind, tuple):
            r = dict(row='list', name=name, count=kind[1])
            r['items' if isinstance(kind[2], list) else 'kind'] = (record_rows(kind[2]) if isinstance(kind[2], list)
                                                                   else kind[2])
        else:
            r = dict(row='field', name=name, kind=kind)
        out.append(dict(row='when', field='mask', bit=1 << row[2], rows=[r]) if len(row) == 3 else r)
    return out


# Request number -> (builder, rows in the records' form); the builder is its field names' prefix.
REQUESTS = dict((n, (builder, record_rows(rows))) for n, (builder, rows) in _protocol.REQUESTS.items())


def name(number):
    """A message's constant name; the number in hex for one the definition does not know."""
    m = MESSAGES.get(number)
    return m.name if m else '0x%x' % number
