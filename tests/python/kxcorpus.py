"""Real server messages captured from kxd-sim (corpus/, written by scripts/capture-corpus) and the handler that
decodes each message type, with the arguments a client passes it."""
import glob
import os

import KXdv17_0 as kx
import KXMsgv17_0

HERE = os.path.dirname(os.path.abspath(__file__))
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
