"""kxdissect: a capture of the management protocol, decoded frame by frame.

    kxdissect session.pcapng [--json] [-Y TYPE[,TYPE]] [--summary]

Prints each frame: number, time since the first frame, direction ('>' from
the client to the daemon, '<' from the daemon to the client), message type
name, payload length, then the decoded content. Server messages are decoded
by KXdv17_0's own handlers, with the state a client keeps (string tables,
view fields, channel info, the protocol version from the handshake, the host
and connection tables) carried from frame to frame by a kxtools.client
KXClient without a connection; for the host, connection, shaping and
firewall tables the content shown is what the frame changed. Client
requests are decoded by the table of request layouts below, one row per
field, so their fields are printed by name.

--json writes one JSON object per frame instead; -Y keeps only the frames
of the given types (names, with or without PROTOCOL_SERVER_, request names,
or numbers) while every frame still updates the carried state; --summary
prints frames and bytes per type. A frame that does not decode is shown
with the error and its bytes in hex, and the dissection goes on. Server
messages are shown with their fields named (SERVER_LAYOUTS below) and flag
words with the names of their bits. A capture of another link type, an
empty file or an unreadable one ends it with one line and status 1.
"""
from __future__ import absolute_import, division, print_function

from kxtools import _cli
_guard = _cli.ImportGuard('kxdissect')

import argparse  # noqa: E402
import binascii  # noqa: E402
import errno  # noqa: E402
import json  # noqa: E402
import os  # noqa: E402
import re  # noqa: E402
import socket  # noqa: E402
import struct  # noqa: E402
import sys  # noqa: E402

try:
    import KXdv17_0 as kx
    import KXMsgv17_0
    from kxtools import _protocol
    from kxtools import client as kxclient
    from kxtools import pcapng
    from kxtools.messages import MESSAGES, NUMBERS, REQUESTS as _REQUEST_ROWS, field_name
except BaseException:   # a failed import leaves the SIGINT handling as it was
    _guard.release()
    raise

try:
    text_type = unicode
except NameError:       # Python 3
    text_type = str

# ---- the field-by-field walk -----------------------------------------------------
#
# Every frame's payload, request or server message, is read field by field
# from the rows of its record in the protocol definition (kxtools.messages:
# the server records and the request layouts in the same row form), the same
# walk and the same field names as the Lua dissector (protocol/gen_lua.py):
# kx.<message>.<field>, kx.<message>.<list>.<field> for a list's items,
# <list>.count for a count on the wire, <pair>.first and <pair>.second, an
# IPv6 address as <field>_ipv6. Kinds: u8, u16, u32, u64, s16, s32, s64, bps
# (u32), boolean (u8), string (u32 length, the bytes: the text up to the first
# zero byte), blob and blob16 (u32 or u16 length, bytes), ip4 (4 bytes),
# ipaddr (family byte, 4 or 16 address bytes), family and addr (the same,
# apart), ipaddrplen (code byte: IPv4 prefix length, or 33 + the IPv6 one;
# then the prefix's bytes), and filter_value and field_value, a view filter's
# or field's value, whose kind the view capabilities received last decide.

REQUESTS = _REQUEST_ROWS

def _rows_within(row):
    """row and every row nested in it."""
    yield row
    nested = [row.get('items') or [], row.get('rows') or [], row.get('default') or []]
    nested += [rows for _, rows in row.get('cases', ())] + [rows for _, _, rows in row.get('groups', ())]
    for rows in nested:
        for r in rows:
            for inner in _rows_within(r):
                yield inner


_NUMBERS = {'u8': 'B', 'u16': 'H', 'u32': 'I', 'u64': 'Q', 's16': 'h', 's32': 'i', 's64': 'q', 'bps': 'I',
            'boolean': 'B', 'family': 'B'}
_VIEW_CAPS = NUMBERS['PROTOCOL_SERVER_VIEW_CAPS']
# A kind that depends on the view capabilities: (their list, its items' id key,
# the id's key in the record being read, kinds by type).
_DEPENDENT = {'filter_value': ('filters', 'filter', 'filter', _protocol.FILTER_VALUE_KINDS),
              'field_value': ('fields', 'field', 'id', _protocol.FIELD_VALUE_KINDS)}
_DEFAULT_VERSION = dict(_protocol.CONSTANTS)['PROTOCOL_VERSION']
_VERSION = NUMBERS['PROTOCOL_SERVER_VERSION']
# The messages whose records the walk of others reads: read even where nothing is shown.
_REFERRED = set([_VERSION, _VIEW_CAPS] + [r['source'][0] for _, rows in _protocol.SERVER_RECORDS.values()
                                          for row in rows for r in _rows_within(row) if r.get('count') == 'from'])


class DecodeError(ValueError):
    pass


class Fields(object):
    """Reads one payload by the rows of its record: record() gives the values
    by name (lists as lists of records), fields the named values in wire order.
    last: message number -> the record of the last such message read (the view
    capabilities, the channel description, the version)."""

    def __init__(self, data, prefix, last):
        self.data = data
        self.pos = 0
        self.fields = []
        self.prefix = prefix
        self.last = last
        self.family = None

    def take(self, n):
        if self.pos + n > len(self.data):
            raise DecodeError('the record ends %d bytes short' % (self.pos + n - len(self.data)))
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def number(self, fmt):
        s = struct.Struct('>' + fmt)
        return s.unpack(self.take(s.size))[0]

    def add(self, path, kind, record, name):
        """Reads one value; adds it to the fields and to record."""
        value = self.value(kind, record)
        if kind in ('ipaddr', 'addr') and ':' in value:
            path += '_ipv6'
        self.fields.append((path, value))
        record[name] = value
        if kind == 'family':
            self.family = value
        return value

    def value(self, kind, record):
        if kind in _DEPENDENT:
            return self.value(self.dependent_kind(kind, record), record)
        if kind in _NUMBERS:
            return self.number(_NUMBERS[kind])
        if kind == 'string':     # (the text ends at its first zero byte, as the module reads it)
            return _text(self.take(self.number('I')).split(b'\0', 1)[0])
        if kind in ('blob', 'blob16'):
            return {'hex': _hex(self.take(self.number('I' if kind == 'blob' else 'H')))}
        if kind == 'ip4':
            return socket.inet_ntoa(self.take(4))
        if kind == 'ipaddr':
            self.family = self.number('B')
            return self.value('addr', record)
        if kind == 'addr':
            if self.family == 0:
                return socket.inet_ntoa(self.take(4))
            if self.family == 1:
                return _ip6_text(self.take(16))
            raise DecodeError('address family %s' % self.family)
        if kind == 'ipaddrplen':
            code = self.number('B')
            plen = code - 33 if code > 32 else code
            if plen > 128:
                raise DecodeError('prefix length %d' % plen)
            raw = self.take((plen + 7) // 8)
            if code > 32:
                return '%s/%d' % (_ip6_text(raw + b'\0' * (16 - len(raw))), plen)
            return '%s/%d' % (socket.inet_ntoa(raw + b'\0' * (4 - len(raw))), plen)
        raise DecodeError('no layout for %r' % (kind,))

    def dependent_kind(self, kind, record):
        items, key, own, kinds = _DEPENDENT[kind]
        caps = dict((c.get(key), c.get('type')) for c in (self.last.get(_VIEW_CAPS) or {}).get(items, ()))
        if record.get(own) not in caps or caps[record[own]] not in kinds:
            raise DecodeError('%s %s is not among the view capabilities seen' % (items[:-1], record.get(own)))
        return kinds[caps[record[own]]]

    def record(self, rows, prefix=None, record=None):
        """Reads the rows; returns the record of their values."""
        prefix = self.prefix if prefix is None else prefix
        record = {} if record is None else record
        for row in rows:
            kind = row['row']
            path = '%s.%s' % (prefix, field_name(row.get('name') or ''))
            if kind == 'may_end' and self.pos == len(self.data):
                break
            if kind == 'field':
                self.add(path, row['kind'], record, row['name'])
            elif kind == 'skip':
                version = (self.last.get(_VERSION) or {}).get('version', _DEFAULT_VERSION)
                if ('since' in row and version < row['since'][1]) or (row.get('flagged') and not self.number('B')):
                    continue
                for _ in range(row['repeat']):
                    self.add(path, row['kind'], record, row['name'])
            elif kind == 'pair':
                record[row['name']] = [self.add(path + part, row['kind'], {}, 0) for part in ('.first', '.second')]
            elif kind == 'woven':
                other = '%s.%s' % (prefix, field_name(row['other']))
                a1, b1, a2, b2 = [self.add(p + part, row['kind'], {}, 0) for part in ('.first', '.second')
                                  for p in (path, other)]
                record[row['name']], record[row['other']] = [a1, a2], [b1, b2]
            elif kind == 'list':
                record[row['name']] = self.list(row, path, record)
            elif kind == 'switch':
                cases = dict(row['cases'])
                rows = cases.get(record.get(row['field']), row['default'])
                if rows is None:
                    raise DecodeError('%s %s: a value the protocol does not know' % (row['field'],
                                                                                     record.get(row['field'])))
                self.record(rows, prefix, record)
            elif kind == 'when' and record.get(row['field'], 0) & row['bit']:
                self.record(row['rows'], prefix, record)
            elif kind == 'groups':
                bits = row['mask'] if row['field'] is None else record.get(row['field'], 0)
                for _, group_bits, rows in row['groups']:
                    if bits & group_bits:
                        self.record(rows, prefix, record)
            elif kind == 'opaque' and self.pos < len(self.data):
                self.fields.append((path, {'hex': _hex(self.take(len(self.data) - self.pos))}))
        return record

    def list(self, row, path, record):
        count = row['count']
        if count == 'from':
            source, key = row['source']
            n = len((self.last.get(source) or {}).get(key) or ())
        elif count == 'rest':
            n = None
        else:
            n = self.add(path + '.count', count, {}, 0)
        out = []
        while (len(out) < n) if n is not None else self.pos < len(self.data):
            start = self.pos
            if 'items' in row:
                out.append(self.record(row['items'], path))
            else:
                out.append(self.add(path, row['kind'], record, row['name']))
            if self.pos == start:   # items of no bytes: one is all there is to show
                break
        return out


def _text(raw):
    """UTF-8 bytes as text; other bytes with each from 0x80 up as \\xNN."""
    try:
        return raw.decode('utf-8')
    except UnicodeDecodeError:
        return ''.join(chr(b) if b < 0x80 else '\\x%02x' % b for b in bytearray(raw))


def _hex(data):
    return binascii.hexlify(data).decode('ascii')


def _ip6_text(raw):
    try:
        return socket.inet_ntop(socket.AF_INET6, raw)
    except (AttributeError, ValueError, socket.error):
        return ':'.join('%x' % w for w in struct.unpack('>8H', raw))


def walk(rows, prefix, payload, last):
    """(record, fields) of one payload read by its rows; DecodeError when it
    does not fit them (short, left over, a value out of range)."""
    f = Fields(payload, prefix, last)
    record = f.record(rows)
    if f.pos != len(payload):
        raise DecodeError('%d bytes left over after the last field' % (len(payload) - f.pos))
    return record, f.fields


# ---- server messages -----------------------------------------------------------

_changes = None     # (object, attribute, value) while a frame is decoded


class _Tracked(object):
    """Table entries that log every attribute the handlers set."""

    def __setattr__(self, name, value):
        object.__setattr__(self, name, value)
        if _changes is not None:
            _changes.append((self, name, value))


class TrackedHost(_Tracked, kxclient.Host):
    pass


class TrackedConnection(_Tracked, kxclient.Connection):
    pass


def _table_change(table, key, run, render):
    """Runs the handler on the table; returns what it added, changed and removed."""
    global _changes
    if not render:
        return run()
    before = set(table)
    _changes = []
    try:
        run()
        log = _changes
    finally:
        _changes = None
    added = dict((k, vars(table[k])) for k in table if k not in before)
    changed = {}
    for obj, name, value in log:
        k = getattr(obj, key, None)
        if k not in added:
            changed.setdefault(k, {})[name] = value
    out = {}
    if added:
        out['added'] = added
    if changed:
        out['changed'] = changed
    removed = sorted(before - set(table))
    if removed:
        out['removed'] = removed
    return out


def _dict_change(table, run, render):
    """Runs the handler on a table of dicts; returns the entries it changed, with
    only their changed keys."""
    if not render:
        return run()
    before = dict((k, dict(v) if isinstance(v, dict) else v) for k, v in table.items())
    run()
    out = {}
    for k, v in table.items():
        old = before.get(k)
        if isinstance(v, dict) and isinstance(old, dict):
            diff = dict((f, x) for f, x in v.items() if f not in old or old[f] != x)
            if diff:
                out[k] = diff
        elif old != v:
            out[k] = v
    return out


def _host_add(st, m, render):
    return _table_change(st.hosts, 'hostid', lambda: kx.handleHostAdd(m(), TrackedHost, st.hosts,
                                                                       st.protocol_version), render)


def _host_update(st, m, render):
    return _table_change(st.hosts, 'hostid', lambda: kx.handleHostUpdate(m(), st.hosts, st.protocol_version),
                         render)


def _conn_update(st, m, render):
    return _table_change(st.conns, 'connid', lambda: kx.handleConnUpdate(
        m(), st.conns, TrackedConnection, st._sc_populate, st.protocol_version), render)


def _through_client(table_of):
    """The client's own handler does the work; the content is what it changed."""
    def decode(st, m, render):
        return _dict_change(table_of(st), lambda: st.dispatch(m()), render)
    return decode


def _sysdiag_entries(st, m, render):
    before = len(st._sysdiag or []) + st.replies_dropped
    st.dispatch(m())
    entries = st._sysdiag or []
    added = len(entries) + st.replies_dropped - before   # some may have gone at the list's bound
    return entries[max(0, len(entries) - added):]


def _view_update(st, m):
    msg = m()   # the view id, then the operations, read from one message
    view = kx.handleViewUpdateViewID(msg)
    ops = kx.handleViewUpdate(msg, st.view_fields)
    names = dict((op, name.lower()) for op, name in _protocol.VALUE_TABLES['VIEW_OP']['values'])
    return {'viewid': view, 'ops': [[names.get(op, op), item] for op, item in ops]}


def _channels_data(st, m):
    return kx.handleChannelsData(m(), st.channel_info)


# By the handler kxtools.messages names for a message type: decoders that
# update the state themselves and return what the frame changed ...
_CHANGE = {
    'on_host_add': _host_add,
    'on_host_update': _host_update,
    'on_conn_update': _conn_update,
    'on_shaping_object': _through_client(lambda st: st.shaping_objects),
    'on_fw_rules': _through_client(lambda st: st.fw_rules),
    'on_sysdiag_entries': _sysdiag_entries,
}
# ... and decoders that need more than the message. Every other message with
# a decoder is shown as that KXdv17_0 function returns it, and its state is
# left to the client's handler.
_VALUE = {
    'on_view_update': _view_update,
    'on_channels_data': _channels_data,
}


def _value(entry, st, m):
    if entry.handler in _VALUE:
        return _VALUE[entry.handler](st, m)
    return getattr(kx, entry.decoder)(m()) if entry.decoder else None


def decode_server(mtype, payload, state, render=True):
    """Carries the state over one server message; returns its content, or
    None without render (the state alone is wanted: that is faster)."""
    def m():
        return KXMsgv17_0.KXMsg(mtype, payload)
    entry = MESSAGES.get(mtype)
    if entry and entry.handler in _CHANGE:
        content = _CHANGE[entry.handler](state, m, render)
        return label_server(mtype, content) if render else content
    content = _value(entry, state, m) if render and entry else None
    state.dispatch(m())
    return label_server(mtype, content) if render else None


# ---- server message layouts ----------------------------------------------------
#
# How a handler's value is shown: its items named as kxtools.messages names
# them (the record's field names), or, by handler, a function of the value.
# Handlers that return dicts are shown as they are.

FEATURE_NAMES = _protocol.VALUE_TABLES['FEATURES']['values']


def flag_names(value, names):
    """The names of the bits set in value; a bit without a name as its hex value."""
    out = [name for bit, name in names if value & bit]
    rest = value & ~sum(bit for bit, _ in names)
    if rest:
        out.append('0x%x' % rest)
    return out


def _entries(items):
    return [{'number': n, 'text': t} for n, t in items]


def _view_op(op, item):
    if op == 'add':
        row, second, (field, value), data = item
        return {'op': op, 'row': row, 'second': second, 'id': field, 'value': value, 'data': data}
    if op == 'update':
        return {'op': op, 'row': item[0], 'data': item[1]}
    if op == 'string_set':
        return {'op': op, 'row': item[0], 'text': item[1]}
    if op == 'remove':
        return {'op': op, 'row': item}
    return {'op': op, 'item': item}


SERVER_LAYOUTS = {
    'on_features': lambda v: {'features': v, 'features_names': flag_names(v, FEATURE_NAMES)},
    'on_strtable_begin': lambda v: {'table': v[0], 'entries': _entries(v[1])},
    'on_strtable_entries': lambda v: {'entries': _entries(v)},
    'on_view_update': lambda v: {'viewid': v['viewid'], 'ops': [_view_op(op, item) for op, item in v['ops']]},
}

# Flag words inside table entries, shown with their names beside the number.
ENTRY_FLAGS = {
    '_engineflags': lambda v: list(kx.resolve_engineflags(v)),
}


def _with_flag_names(record):
    """A copy of a table entry's attributes with the names of its flag words."""
    if not isinstance(record, dict):
        return record
    extra = dict((key + '_names', names(record[key])) for key, names in ENTRY_FLAGS.items()
                 if isinstance(record.get(key), _INTEGERS))
    if not extra:
        return record
    out = dict(record)
    out.update(extra)
    return out


def label_server(mtype, content):
    """A server message's decoded value with its fields named."""
    entry = MESSAGES.get(mtype)
    layout = entry and (SERVER_LAYOUTS.get(entry.handler) or entry.items)
    if content is None or not layout:
        if isinstance(content, dict):
            for part in ('added', 'changed'):
                if isinstance(content.get(part), dict):
                    content[part] = dict((k, _with_flag_names(r)) for k, r in content[part].items())
        return content
    if callable(layout):
        return layout(content)
    if len(layout) == 1:
        return {layout[0]: content}
    return dict(zip(layout, content))


# ---- names ---------------------------------------------------------------------

SERVER_NAMES = dict((n, m.name) for n, m in MESSAGES.items())
REQUEST_NAMES = dict((t, v[0]) for t, v in REQUESTS.items())


def type_name(mtype, direction):
    first, second = (REQUEST_NAMES, SERVER_NAMES) if direction == pcapng.OUTBOUND else (SERVER_NAMES, REQUEST_NAMES)
    return first.get(mtype) or (second.get(mtype) if not direction else None) or '0x%x' % mtype


def parse_types(text):
    """-Y's argument: names (any case, PROTOCOL_SERVER_ optional) or numbers."""
    by_name = {}
    for t, n in list(SERVER_NAMES.items()) + list(REQUEST_NAMES.items()):
        by_name[n.lower()] = t
        if n.startswith('PROTOCOL_SERVER_'):
            by_name[n[len('PROTOCOL_SERVER_'):].lower()] = t
    wanted = set()
    for item in text.split(','):
        item = item.strip()
        if not item:
            continue
        if item.lower() in by_name:
            wanted.add(by_name[item.lower()])
            continue
        try:
            wanted.add(int(item, 0))
        except ValueError:
            raise argparse.ArgumentTypeError('unknown message type %r' % item)
    return wanted


# ---- output --------------------------------------------------------------------

def plain(v):
    """A decoded value in JSON's shapes: tuples as lists, keys as text, table
    entries as their attributes, bytes as text when they are UTF-8 text
    without control characters and as {"hex": ...} otherwise."""
    if isinstance(v, (list, tuple)):
        return [plain(x) for x in v]
    if isinstance(v, (set, frozenset)):
        return sorted(plain(x) for x in v)
    if isinstance(v, dict):
        return dict((_key(k), plain(x)) for k, x in v.items())
    if isinstance(v, bytes):
        try:
            t = v.decode('utf-8')
        except UnicodeDecodeError:
            return {'hex': _hex(v)}
        return {'hex': _hex(v)} if _CONTROL.search(t) else t
    if v is None or isinstance(v, (bool, int, float, text_type)) or type(v).__name__ == 'long':
        return v
    if hasattr(v, '__dict__'):
        return plain(vars(v))
    return repr(v)


_CONTROL = re.compile(u'[\x00-\x08\x0b-\x1f]')
_INTEGERS = tuple(set((int, type(1 << 64))))


def _key(k):
    if isinstance(k, text_type):
        return k
    if isinstance(k, _INTEGERS) and not isinstance(k, bool):
        return str(k)
    k = plain(k)
    return k if isinstance(k, text_type) else json.dumps(k, sort_keys=True)


class _Printed(object):
    """What the module prints while a frame is decoded (it warns of a host
    added twice on sys.stdout), kept for the frame instead of mixed into
    the dissection's output."""

    def __init__(self):
        self.text = []

    def write(self, text):
        self.text.append(text if isinstance(text, text_type) else text.decode('utf-8', 'replace'))

    def line(self):
        """One line: each distinct line printed, with its count when repeated."""
        lines = [x for x in ''.join(self.text).splitlines() if x.strip()]
        seen = sorted(set(lines), key=lines.index)
        return '; '.join(x if lines.count(x) == 1 else '%s (%d times)' % (x, lines.count(x)) for x in seen)


class Dissector(object):
    """Decodes frames in order, carrying the client state from one to the next."""

    def __init__(self):
        self.state = kxclient.KXClient.offline()
        self.last = {}      # message number -> the record of the last one read
        self.number = 0
        self.first_time = None

    def frame(self, packet, render=True):
        """A dict describing one recorded packet; without render, the decoded
        content is left out (the frame still carries the state on)."""
        self.number += 1
        if self.first_time is None:
            self.first_time = packet.time
        out = {'frame': self.number, 'time': packet.time, 'rel': round(packet.time - self.first_time, 6),
               'direction': pcapng.DIRECTIONS.get(packet.direction, '?'), 'bytes': len(packet.data)}
        if packet.comment:
            out['comment'] = packet.comment
        whole = packet.frame()
        if len(packet.data) >= pcapng.FRAME_HEADER.size:
            mtype, length = pcapng.FRAME_HEADER.unpack_from(packet.data)
            out.update(type=mtype, name=type_name(mtype, packet.direction), length=length)
        if whole is None:
            out['error'] = ('not a whole frame: %d bytes, the header says %d' %
                            (len(packet.data), out['length'] + pcapng.FRAME_HEADER.size)
                            if 'length' in out else 'not a whole frame: %d bytes' % len(packet.data))
            out['hex'] = _hex(packet.data)
            return out
        mtype, length, payload = whole
        request = packet.direction == pcapng.OUTBOUND or (not packet.direction and mtype in REQUESTS)
        try:
            if request:
                self.walk_request(out, mtype, payload, render)
                if mtype not in REQUESTS and payload:
                    out['hex'] = _hex(payload)
            else:
                unread = self.walk_server(out, mtype, payload, render)
                known = mtype in self.state.handlers
                printed, sys.stdout = sys.stdout, _Printed()   # the module's warnings belong to the frame
                try:
                    content = decode_server(mtype, payload, self.state, render)
                except Exception:
                    if unread is None:
                        raise
                    content = None      # (the record's error is the one shown)
                finally:
                    printed, sys.stdout = sys.stdout, printed
                if printed.text:
                    out['warning'] = printed.line()
                out['content'] = plain(content) if render else None
                if unread is not None:  # (raised once the handler has carried the state on)
                    raise unread
                if not known and payload:
                    out['hex'] = _hex(payload)
        except Exception as e:  # the handlers' BadMessageError, a record's DecodeError, ...
            out['error'] = '%s: %s' % (type(e).__name__, e)
            out['hex'] = _hex(payload)
        return out

    def walk_request(self, out, mtype, payload, render):
        """A request read field by field: its record as the content, its fields."""
        out['content'] = None
        if mtype in REQUESTS:
            builder, rows = REQUESTS[mtype]
            record, fields = walk(rows, 'kx.' + builder, payload, self.last)
            if render:
                out['content'], out['fields'] = plain(record), plain(fields)

    def walk_server(self, out, mtype, payload, render):
        """A server message read field by field into out['fields'], kept as the
        last of its type; returns the DecodeError when it does not read."""
        entry = MESSAGES.get(mtype)
        if entry is None or not (render or mtype in _REFERRED):
            return None
        try:
            record, fields = walk(entry.record, 'kx.' + entry.label, payload, self.last)
        except DecodeError as e:
            self.last.pop(mtype, None)
            return e
        self.last[mtype] = record
        if render:
            out['fields'] = plain(fields)
        return None


# Control characters (C0, DEL, C1) of text bound for a terminal: an escape
# sequence in a capture comment would act on the reader's screen, a newline
# would fake an output line. Under Python 2 a line may be UTF-8 bytes, whose
# continuation bytes are not controls: only C0 and DEL are escaped there.
_UNPRINTABLE_TEXT = re.compile(u'[\x00-\x1f\x7f-\x9f]')
_UNPRINTABLE_BYTES = re.compile(b'[\x00-\x1f\x7f]')


def printable(text):
    """text with each control character written as a \\xNN escape."""
    pattern = _UNPRINTABLE_TEXT if isinstance(text, text_type) else _UNPRINTABLE_BYTES
    return pattern.sub(lambda m: '\\x%02x' % ord(m.group()), text)


def _natural(key):
    return (0, int(key), key) if key.isdigit() else (1, 0, key)


def text_lines(d):
    head = '%6d %12.6f %s %-40s %5s' % (d['frame'], d['rel'], {'in': '<', 'out': '>'}.get(d['direction'], '?'),
                                         d.get('name', '-'), d.get('length', '-'))
    lines = [head]
    if d.get('comment'):
        lines.append('    # ' + d['comment'])
    content = d.get('content')
    if isinstance(content, dict):
        for k in sorted(content):
            if k in ('added', 'changed') and isinstance(content[k], dict):   # table entries, one a line
                for key in sorted(content[k], key=_natural):
                    lines.append('    %s %s: %s' % (k, key, json.dumps(content[k][key], sort_keys=True)))
            else:
                lines.append('    %s: %s' % (k, json.dumps(content[k], sort_keys=True)))
    elif isinstance(content, list) and content:
        for item in content:
            lines.append('    ' + json.dumps(item, sort_keys=True))
    elif content is not None:
        lines.append('    ' + json.dumps(content, sort_keys=True))
    if 'warning' in d:
        lines.append('    warning: ' + d['warning'])
    if 'error' in d:
        lines.append('    error: ' + d['error'])
    if 'hex' in d:
        for i in range(0, len(d['hex']), 64):
            lines.append('    %04x  %s' % (i // 2, d['hex'][i:i + 64]))
    return [printable(line) for line in lines]


LINKTYPE_NAMES = {0: 'loopback', 1: 'Ethernet', 101: 'raw IP', 113: 'Linux cooked', 147: 'USER0',
                  228: 'raw IPv4', 229: 'raw IPv6', 276: 'Linux cooked v2'}


def linktype_text(linktype):
    name = LINKTYPE_NAMES.get(linktype)
    return '%d (%s)' % (linktype, name) if name else str(linktype)


def type_names_help():
    """The names -Y takes, for the help."""
    servers = sorted(n[len('PROTOCOL_SERVER_'):] for n in SERVER_NAMES.values())
    return ('-Y takes numbers (0x1b100) and these names, in any case: server messages (with or without '
            'PROTOCOL_SERVER_): %s; requests: %s.' % (', '.join(servers), ', '.join(sorted(REQUEST_NAMES.values()))))


def main(argv=None, out=None):
    return _cli.run('kxdissect', lambda: _main(argv, out or sys.stdout))


def _main(argv, out):
    p = _cli.parser('kxdissect', 'Decode a capture of the management protocol.', epilog=type_names_help())
    p.add_argument('file', help='a pcapng capture written by kxtap or the client\'s record= option')
    p.add_argument('--json', action='store_true', help='one JSON object per frame')
    p.add_argument('-Y', dest='types', type=parse_types, metavar='TYPE[,TYPE]',
                   help='only frames of these types (names listed below); default: every frame')
    p.add_argument('--summary', action='store_true', help='frames and bytes per message type')
    args = p.parse_args(argv)

    name = printable(args.file)
    try:
        _dissect(args, name, out)
        out.flush()
    except (IOError, OSError, pcapng.FormatError) as e:
        if getattr(e, 'errno', None) == errno.EPIPE:    # the reader went away (| head)
            _reader_gone(out)
            return 0
        try:
            out.flush()
        except (IOError, OSError):
            _reader_gone(out)
        raise _cli.Fatal('%s: %s' % (name, getattr(e, 'strerror', None) or e))
    return 0


def _dissect(args, name, out):
    """Writes what the command line asks of the capture to out."""
    d = Dissector()
    summary = {}
    frames = 0
    if os.path.isfile(args.file) and os.path.getsize(args.file) == 0:
        raise _cli.Fatal('%s: the file is empty' % name)
    for packet in pcapng.read(args.file):
        if packet.linktype != pcapng.LINKTYPE_USER0:
            raise _cli.Fatal('%s: link type %s, expected %s' % (
                name, linktype_text(packet.linktype), linktype_text(pcapng.LINKTYPE_USER0)))
        frames += 1
        wanted = args.types is None or (len(packet.data) >= pcapng.FRAME_HEADER.size and
                                        pcapng.FRAME_HEADER.unpack_from(packet.data)[0] in args.types)
        f = d.frame(packet, render=wanted and not args.summary)
        if not wanted:
            continue
        if args.summary:
            key = (f['direction'], f.get('name', '(short)'))
            count, size = summary.get(key, (0, 0))
            summary[key] = (count + 1, size + f['bytes'])
        elif args.json:
            out.write(json.dumps(f) + '\n')   # (sorted keys would need the slow pure-Python encoder)
        else:
            out.write('\n'.join(text_lines(f)) + '\n')
    if not frames:
        sys.stderr.write('kxdissect: %s: no frames in the capture\n' % name)
    if args.summary:
        rows = sorted(summary.items(), key=lambda kv: (kv[0][0], -kv[1][1]))
        if args.json:
            out.write(json.dumps([{'direction': k[0], 'name': k[1], 'frames': v[0], 'bytes': v[1]}
                                  for k, v in rows], sort_keys=True) + '\n')
        else:
            out.write('%-4s %-40s %8s %10s\n' % ('dir', 'type', 'frames', 'bytes'))
            for (direction, kind), (count, size) in rows:
                out.write(printable('%-4s %-40s %8d %10d' % (direction, kind, count, size)) + '\n')
            out.write('%-4s %-40s %8d %10d\n' % ('', 'total', sum(v[0] for v in summary.values()),
                                                   sum(v[1] for v in summary.values())))


def _reader_gone(out):
    """The output's reader went away: what is still buffered for it goes to
    /dev/null, so that the flush at exit does not fail again, loudly."""
    try:
        fd = out.fileno()
    except (AttributeError, IOError, OSError, ValueError):  # not a file: nothing is flushed at exit
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fd)
    os.close(devnull)


_guard.release()


if __name__ == '__main__':
    sys.exit(main())
