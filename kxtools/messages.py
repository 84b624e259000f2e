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
from collections import namedtuple

from kxtools import _protocol

__all__ = ['Message', 'MESSAGES', 'NUMBERS', 'HANDLER_TABLES', 'REQUESTS', 'field_name']



class Message(namedtuple('Message', 'number name handler table decoder label record')):
    """One server message: its number, its constant name, the Session method
    that handles it, the Session attribute that method changes, the KXdv17_0
    function that decodes it (None where there is none), the prefix of its
    field names and the rows of its record."""
    __slots__ = ()


_PREFIX = 'PROTOCOL_SERVER_'

# Message name (without PROTOCOL_SERVER_) -> (Session handler, table, KXdv17_0 decoder).
_CLIENT = {
    'VERSION': ('on_version', 'version', 'handleVersion'),
    'AUTHENTICATION_OK': ('on_auth', 'auth', 'handleAuth'),
    'FEATURES': ('on_features', 'features', 'handleFeatures'),
    'EPERM': ('on_eperm', 'refusals', 'handleEperm'),
    'NOT_AVAILABLE': ('on_not_available', 'not_available', 'handleNotAvail'),
    'XFB_NAMES': ('on_xfb_names', 'xfb_names', 'handleServerXFBNames'),
    'UPDATE_DONE': ('on_update_done', 'update_done', None),
    'PONG': ('on_pong', 'pongs', None),
    'STRTABLE_BEGIN': ('on_strtable_begin', 'strtables', 'handleStrtblBegin'),
    'STRTABLE_ENTRIES': ('on_strtable_entries', 'strtables', 'handleStrtblEntries'),
    'STRTABLE_END': ('on_strtable_end', 'strtables', 'handleStrtblEnd'),
    'HOST_ADD': ('on_host_add', 'hosts', 'handleHostAdd'),
    'HOST_UPDATE': ('on_host_update', 'hosts', 'handleHostUpdate'),
    'HOST_REMOVE': ('on_host_remove', 'hosts', 'handleHostRemove'),
    'HOST_FIND_REPLY': ('on_host_find_reply', 'host_find_results', 'handleHostFindReply'),
    'CONN_UPDATE': ('on_conn_update', 'conns', 'handleConnUpdate'),
    'SESSION_CONTEXT_SCHEMATA': ('on_sc_schemata', 'sc_schemata', 'handleSessionContextSchemata'),
    'SESSION_CONTEXT_ADD': ('on_sc_add', 'sc_rows', 'handleSessionContextAdd'),
    'SESSION_CONTEXT_REMOVE': ('on_sc_remove', 'sc_rows', 'handleSessionContextRemove'),
    'VIEW_CAPS': ('on_view_caps', 'view_fields', 'handleViewCaps'),
    'VIEW_UPDATE': ('on_view_update', 'views', 'handleViewUpdate'),
    'VIEW_ADD_ERROR': ('on_view_add_error', 'view_errors', 'handleViewAddError'),
    'CHANNEL_STATS_INFO': ('on_channels_info', 'channel_info', 'handleChannelsInfo'),
    'CHANNEL_STATS_DATA': ('on_channels_data', 'channels', 'handleChannelsData'),
    'SHAPING_RULES_INIT': ('on_shaping_rules', 'shaping_rules', 'handleShapingRulesInit'),
    'SHAPING_OBJECTS_INIT': ('on_ignored', None, None),
    'SHAPING_OBJECT': ('on_shaping_object', 'shaping_objects', 'shapingobjectUpdateHandle'),
    'FW_RULES_INIT': ('on_fw_rules_init', 'fw_rules', 'handleFWRulesInit'),
    'FW_RULES': ('on_fw_rules', 'fw_rules', 'handleFWRulesData'),
    'FWLOG_ENTRY_START': ('on_fwlog_start', 'fwlog_results', 'handleFWEntryStart'),
    'FWLOG_ENTRY': ('on_fwlog_entry', 'fwlog_results', 'handleFWEntry'),
    'FWLOG_ENTRY_END': ('on_fwlog_end', 'fwlog_results', None),
    'BGP_DUMP_ENTRY': ('on_bgp_entry', 'bgp_entries', 'handleBgpEntry'),
    'BGP_DUMP_PATH': ('on_bgp_path', 'bgp_paths', 'handleBgpPath'),
    'BGP_DUMP_DONE': ('on_bgp_done', 'bgp_done', None),
    'DRDL_SYSDIAG_BEGIN': ('on_sysdiag_begin', 'sysdiag', None),
    'DRDL_SYSDIAG_ENTRIES': ('on_sysdiag_entries', 'sysdiag', 'handleDrdlStatsDump'),
    'DRDL_SYSDIAG_END': ('on_sysdiag_end', 'sysdiag', None),
    'VCRC_TEST_RESULT': ('on_vcrc_result', 'vcrc_results', 'handleVcrcTest'),
}


def camel(name):
    """HOST_UPDATE -> hostUpdate."""
    words = name.lower().split('_')
    return words[0] + ''.join(w.capitalize() for w in words[1:])


def _build():
    out = {}
    for number, name in _protocol.SERVER_MESSAGES.items():
        short = name[len(_PREFIX):]
        out[number] = Message(number, name, *(_CLIENT.get(short, (None, None, None)) +
                                               (camel(short), _protocol.SERVER_RECORDS[number][1])))
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
    of other characters than letters, digits, '-' and '_' as one '_'
    ('in RX bps' -> 'in_RX_bps', 'drops/s' -> 'drops_s')."""
    return re.sub(r'[^A-Za-z0-9_-]+', '_', key)


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
