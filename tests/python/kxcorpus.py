"""Real server messages captured from kxd-sim (corpus/, written by scripts/capture-corpus) and the handler that
decodes each message type, with the arguments a client passes it."""
import glob
import os
import struct
import sys

import KXdv17_0 as kx
import KXMsgv17_0

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.abspath(os.path.join(HERE, '..', '..')))
from kxtools import _protocol  # noqa: E402
CORPUS = os.path.join(HERE, 'corpus')
PROTOCOL_SERVER_HOST_FIND_REPLY = 0x12003


def load():
    out = []
    for path in sorted(glob.glob(os.path.join(CORPUS, '*.bin'))):
        type_ = int(os.path.basename(path).split('-')[0], 16)
        with open(path, 'rb') as f:
            out.append((type_, f.read()))
    return out


class Record(object):
    __init__ = lambda self, *args: setattr(self, 'args', args)
    _set_views = lambda self, views: setattr(self, 'views', views)


populate = lambda conn, rows: setattr(conn, 'sc_rows', rows)


def fresh(func, extra):
    """The arguments after m for one call of func: a host add gets an empty host table (a host added twice is reported
    on stdout), the diagnostics reader an empty list (it appends to it); other tables are kept."""
    if func is kx.handleHostAdd:
        return (extra[0], {}) + tuple(extra[2:])
    if func is kx.handleDrdlStatsDump:
        return ([],)
    return extra


def view_update(m, fields):
    return kx.handleViewUpdateViewID(m), kx.handleViewUpdate(m, fields)


class Context(object):
    """The state a client keeps between messages."""

    def __init__(self, corpus):
        self.version = kx.PROTOCOL_VERSION
        self.hosts, self.conns, self.shaping, self.fw_rules = {}, {}, {}, {}
        self.fields, self.channel_info = {}, ({}, [])
        by_type = dict(corpus)
        last = lambda t: KXMsgv17_0.KXMsg(0, by_type[t])
        if kx.PROTOCOL_SERVER_VERSION in by_type:
            self.version = kx.handleVersion(last(kx.PROTOCOL_SERVER_VERSION))[0]
        if kx.PROTOCOL_SERVER_VIEW_CAPS in by_type:
            self.fields = dict((f['field'], f) for f in kx.handleViewCaps(last(kx.PROTOCOL_SERVER_VIEW_CAPS))[1])
        if kx.PROTOCOL_SERVER_CHANNEL_STATS_INFO in by_type:
            self.channel_info = kx.handleChannelsInfo(last(kx.PROTOCOL_SERVER_CHANNEL_STATS_INFO))
        if kx.PROTOCOL_SERVER_FW_RULES_INIT in by_type:
            self.fw_rules = kx.handleFWRulesInit(last(kx.PROTOCOL_SERVER_FW_RULES_INIT))[0]
        # Updates name hosts and connections added before them.
        for type_, payload in corpus:
            if type_ == kx.PROTOCOL_SERVER_HOST_ADD:
                # A host added again is reported on stdout: add into an empty table.
                added = {}
                kx.handleHostAdd(KXMsgv17_0.KXMsg(type_, payload), Record, added, self.version)
                self.hosts.update(added)
            elif type_ == kx.PROTOCOL_SERVER_CONN_UPDATE:
                try:
                    kx.handleConnUpdate(KXMsgv17_0.KXMsg(type_, payload), self.conns, Record, populate,
                                        self.version)
                except KeyError:
                    pass  # an update of a connection added in a message not kept

    def handler(self, type_):
        """(function, extra arguments after m), or None for types a client only counts."""
        H = dict((getattr(kx, 'PROTOCOL_SERVER_' + t), (getattr(kx, 'handle' + f), ())) for t, f in [
            ('VERSION', 'Version'), ('AUTHENTICATION_OK', 'Auth'), ('FEATURES', 'Features'), ('EPERM', 'Eperm'),
            ('NOT_AVAILABLE', 'NotAvail'), ('XFB_NAMES', 'ServerXFBNames'), ('STRTABLE_BEGIN', 'StrtblBegin'),
            ('STRTABLE_ENTRIES', 'StrtblEntries'), ('STRTABLE_END', 'StrtblEnd'), ('HOST_REMOVE', 'HostRemove'),
            ('SESSION_CONTEXT_SCHEMATA', 'SessionContextSchemata'), ('SESSION_CONTEXT_ADD', 'SessionContextAdd'),
            ('SESSION_CONTEXT_REMOVE', 'SessionContextRemove'), ('VIEW_CAPS', 'ViewCaps'),
            ('VIEW_ADD_ERROR', 'ViewAddError'), ('CHANNEL_STATS_INFO', 'ChannelsInfo'),
            ('SHAPING_RULES_INIT', 'ShapingRulesInit'), ('FW_RULES_INIT', 'FWRulesInit'),
            ('FWLOG_ENTRY_START', 'FWEntryStart'), ('FWLOG_ENTRY', 'FWEntry'), ('BGP_DUMP_ENTRY', 'BgpEntry'),
            ('BGP_DUMP_PATH', 'BgpPath'), ('VCRC_TEST_RESULT', 'VcrcTest')])
        H.update({
            PROTOCOL_SERVER_HOST_FIND_REPLY: (kx.handleHostFindReply, ()),
            kx.PROTOCOL_SERVER_HOST_ADD: (kx.handleHostAdd, (Record, self.hosts, self.version)),
            kx.PROTOCOL_SERVER_HOST_UPDATE: (kx.handleHostUpdate, (self.hosts, self.version)),
            kx.PROTOCOL_SERVER_CONN_UPDATE: (kx.handleConnUpdate, (self.conns, Record, populate, self.version)),
            kx.PROTOCOL_SERVER_VIEW_UPDATE: (view_update, (self.fields,)),
            kx.PROTOCOL_SERVER_CHANNEL_STATS_DATA: (kx.handleChannelsData, (self.channel_info,)),
            kx.PROTOCOL_SERVER_SHAPING_OBJECT: (kx.shapingobjectUpdateHandle, (self.shaping,)),
            kx.PROTOCOL_SERVER_FW_RULES: (kx.handleFWRulesData, (self.fw_rules,)),
            kx.PROTOCOL_SERVER_DRDL_SYSDIAG_ENTRIES: (kx.handleDrdlStatsDump, ([],)),
        })
        return H.get(type_)


NUMBER_KINDS = {'u8': '>B', 'u16': '>H', 'u32': '>I', 'u64': '>Q', 's16': '>h', 's32': '>i', 's64': '>q',
                'family': '>B', 'boolean': '>B', 'bps': '>I', 'ip4': '>I'}


class Walk(object):
    """One payload read by its record in kxtools._protocol.SERVER_RECORDS: fields, (name, value) of every named field
    but the coded ones, in wire order (strings without their zero byte, pairs as tuples); pos, where the record ended. `statistics` is the
    statistic list of the last channel description, `field_types` the view fields' types."""

    def __init__(self, rows, payload, version, statistics=(), field_types=None):
        self.data, self.pos, self.family, self.fields = payload, 0, 0, []
        self.version, self.statistics, self.field_types = version, statistics, field_types or {}
        self.rows(rows, [{}])

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError('short record')
        self.pos += n
        return self.data[self.pos - n:self.pos]

    def value(self, kind, scope):
        if kind in NUMBER_KINDS:
            fmt = NUMBER_KINDS[kind]
            v = struct.unpack(fmt, self.take(struct.calcsize(fmt)))[0]
            self.family = v if kind == 'family' else self.family
            return v * 8 if kind == 'bps' else v  # bytes per second on the wire, bits per second decoded
        if kind in ('string', 'blob', 'blob16'):
            raw = self.take(self.value('u16' if kind == 'blob16' else 'u32', scope))
            return raw[:-1].decode('latin-1') if kind == 'string' and raw.endswith(b'\0') else raw
        if kind == 'field_value':
            return self.value(_protocol.FIELD_VALUE_KINDS[self.field_types[lookup(scope, 'id')]], scope)
        if kind == 'ipaddrplen':
            code = self.value('u8', scope)
            return self.take((code - 33 + 7) // 8 if code > 32 else (code + 7) // 8)
        return self.take(16 if (self.value('u8', scope) if kind == 'ipaddr' else self.family) else 4)

    def rows(self, rows, scope):
        for r in rows:
            how, name = r['row'], r.get('name')
            if how == 'may_end' and self.pos == len(self.data):
                return
            if how == 'field':
                scope[-1][name] = v = self.value(r['kind'], scope)
                if 'values' not in r:  # a coded value the module may give as a name or a truth
                    self.fields.append((name, v))
            elif how in ('skip', 'pair', 'woven'):
                n = r['repeat'] if how == 'skip' else {'pair': 2, 'woven': 4}[how]
                if r.get('since', (0, 0))[1] > self.version or (r.get('flagged') and not self.value('u8', scope)):
                    n = 0
                values = [self.value(r['kind'], scope) for _ in range(n)]
                if how != 'skip':
                    self.fields.extend([(name, tuple(values))] if how == 'pair' else
                                       [(name, tuple(values[0::2])), (r['other'], tuple(values[1::2]))])
            elif how == 'list':
                count = {'rest': None, 'from': len(self.statistics)}.get(r['count'])
                count = self.value(r['count'], scope) if count is None and r['count'] != 'rest' else count
                items = []
                while len(items) != count and (count is not None or self.pos < len(self.data)):
                    if 'items' in r:
                        items.append({})
                        self.rows(r['items'], scope + [items[-1]])
                    else:
                        items.append(self.value(r['kind'], scope))
                scope[-1][name] = items
            elif how == 'switch':
                cases = dict(r['cases'])
                value = lookup(scope, r['field'])
                if value not in cases and r['default'] is None:
                    raise ValueError('no case for %r' % value)
                self.rows(cases.get(value, r['default']), scope)
            elif how in ('when', 'groups'):
                mask = r.get('mask') if r.get('field') is None else lookup(scope, r['field'])
                for _, bits, group in [(None, r.get('bit'), r.get('rows'))] if how == 'when' else r['groups']:
                    if mask & bits:
                        self.rows(group, scope)
            elif how == 'opaque':
                self.pos = len(self.data)


def lookup(scope, name):
    return [d[name] for d in scope if name in d][-1]
