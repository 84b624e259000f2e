#!/usr/bin/env python
"""Writes kxtools/_protocol.py from protocol/kx_protocol.def.

    gen_protocol.py [DEF [OUT]]        writes OUT when its text changes
    gen_protocol.py --check [DEF [OUT]]  exits 1 when OUT is not current

Runs under Python 2.7 and 3. The rows are those the definition's header
lists; the output holds them as plain Python data, so that tools (the
dissector, a capture filter generator) read names, widths and kinds from
one place.
"""
from __future__ import print_function

import io
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEF = os.path.join(HERE, 'kx_protocol.def')
OUT = os.path.join(HERE, os.pardir, 'kxtools', '_protocol.py')

ROW = re.compile(r'^(KX_[A-Z_]+)(?:\((.*)\))?\s*(?://.*)?$')


def parse_value(text):
    text = str(text.strip())  # a plain str under Python 2.7 too, as the output shows it
    if text.startswith('"'):
        return text[1:-1]
    if re.match(r'^(0x[0-9a-fA-F]+|[0-9]+)$', text):
        return int(text, 0)
    return text


def rows(path):
    """(macro, [arguments]) for every row after the header's defaults."""
    with io.open(path, encoding='utf-8') as f:
        for line in f:
            line = str(line.strip())
            if not line.startswith('KX_'):
                continue
            m = ROW.match(line)
            if not m:
                raise ValueError('not a row: %r' % line)
            args = [parse_value(a) for a in m.group(2).split(',')] if m.group(2) else []
            yield m.group(1), args


# Rows that bind a module constant named by a prefix and the row's name.
PREFIXES = {
    'KX_FEATURE': 'FEATURES_',
    'KX_FIELD_TYPE': 'PROTOCOL_VIEW_FIELD_TYPE_',
    'KX_FILTER_TYPE': 'PROTOCOL_VIEW_FILTER_TYPE_',
    'KX_VIEW_OP': 'PROTOCOL_SERVER_VIEW_UPDATE_OP_',
    'KX_FWLOG_QTYPE': 'PROTOCOL_FWRULE_QTYPE_',
    'KX_COND': 'VIRTUAL_COND_',
}


def build(path):
    d = dict(kinds={}, constants=[], server={}, client={}, requests={}, layouts={}, criteria=[],
             filter_kinds={}, field_kinds={}, conn_flags=[], conn_blocks=[], engine_flags=[], shaping_counters=[],
             host_groups=[], view_data=[], families={}, frame={})
    fields = None
    record = None
    d['records'] = {}
    d['tables'] = {}
    for macro, a in rows(path):
        if record is not None and macro != 'KX_END':
            if macro not in RECORD_ROWS:
                raise ValueError('%s in record rows' % macro)
            record.append((macro, a))
        elif macro == 'KX_RECORD':
            if a[0] in d['records'] or a[0] in d['layouts']:
                raise ValueError('record %s defined twice' % a[0])
            record = d['records'][a[0]] = []
        elif macro in ('KX_ENUM', 'KX_FLAG'):
            table = d['tables'].setdefault(a[0], (macro == 'KX_FLAG', []))
            table[1].append((a[2], a[1]))
        elif macro == 'KX_FRAME':
            d['frame'][a[0]] = a[1]
        elif macro == 'KX_KIND':
            d['kinds'][a[0]] = a[1]
        elif macro == 'KX_CONST':
            d['constants'].append((a[-1], a[0], a[1]))
        elif macro in ('KX_SERVER', 'KX_SERVER_LIB'):
            name = 'PROTOCOL_SERVER_' + a[0]
            d['server'][a[1]] = name
            if macro == 'KX_SERVER':
                d['constants'].append((a[-1], name, a[1]))
        elif macro in PREFIXES:
            d['constants'].append((a[-1], PREFIXES[macro] + a[0], a[1]))
            if macro == 'KX_FILTER_TYPE':
                d['filter_kinds'][a[1]] = a[2]
            if macro == 'KX_FIELD_TYPE':
                d['field_kinds'][a[1]] = a[2]
            if macro in TABLES:
                d['tables'].setdefault(TABLES[macro], (macro in FLAG_TABLES, []))[1].append((a[1], a[0]))
        elif macro in ('KX_CRITERION', 'KX_CRITERION_LIST'):
            d['constants'].append((a[-1], 'VIRTUAL_COND_' + a[0], a[1]))
            kind = a[3] if macro == 'KX_CRITERION' else ('list', a[3], a[4])
            d['criteria'].append((a[2], kind, a[1]))
        elif macro in ('KX_CLIENT', 'KX_CLIENT_LIB'):
            d['client'][a[1]] = (a[0], a[2])
            fields = d['requests'][a[1]] = []
        elif macro == 'KX_LAYOUT':
            fields = d['layouts'][a[0]] = []
        elif macro == 'KX_FIELD':
            fields.append((a[0], a[1]))
        elif macro in ('KX_LIST', 'KX_VALUES'):
            fields.append((a[0], ('list', a[1], a[2])))
        elif macro == 'KX_CRITERIA':
            fields.append(('*criteria', a[0]))
        elif macro == 'KX_END':
            fields = record = None
        elif macro == 'KX_CONN_FLAG':
            d['conn_flags'].append((a[0], a[1]))
            d['tables'].setdefault('CONN', (True, []))[1].append((a[1], a[0]))
        elif macro == 'KX_CONN_BLOCK':
            bits = dict(d['conn_flags'])
            d['conn_blocks'].append((a[0], bits[a[1]] | bits[a[2]]))
            d['families'].setdefault('CONN_BLOCK', []).append((a[0], bits[a[1]] | bits[a[2]], a[3], 0))
        elif macro in ('KX_HOST_GROUP', 'KX_VIEW_DATA'):
            d['host_groups' if macro == 'KX_HOST_GROUP' else 'view_data'].append((a[0], a[2]))
            family = 'HOST_GROUP' if macro == 'KX_HOST_GROUP' else 'VIEW_DATA'
            d['families'].setdefault(family, []).append((a[0], a[2], a[3], a[4] if len(a) > 4 else 0))
            d['tables'].setdefault('HOST' if family == 'HOST_GROUP' else family, (True, []))[1].append((a[2], a[1]))
        elif macro == 'KX_ENGINE_FLAG':
            d['engine_flags'].append((a[1], a[0]))
            d['tables'].setdefault('ENGINE', (True, []))[1].append((a[1], a[0]))
        elif macro in ('KX_SHAPING_COUNTER', 'KX_SHAPING_DIR_COUNTER', 'KX_SHAPING_DIR_ABSENT'):
            kind = a[2] if len(a) > 2 else 'absent'
            keys = [a[1]] if macro == 'KX_SHAPING_COUNTER' else None
            d['shaping_counters'].append((keys, a[1], kind))
        else:
            raise ValueError('unknown row %s' % macro)
    # The constants in binding order: each row's last argument is its place.
    places = sorted(c[0] for c in d['constants'])
    if places != list(range(len(places))):
        raise ValueError('constant places are not 0..%d each once' % (len(places) - 1))
    d['constants'] = [(name, value) for _, name, value in sorted(d['constants'])]
    # A counter set: the leading counters, then each direction's.
    lead = [(k[0], kind) for k, _, kind in d['shaping_counters'] if k]
    per_dir = [(key, kind) for k, key, kind in d['shaping_counters'] if not k]
    d['shaping_counters'] = lead + [(p + key, kind) for p in ('in ', 'out ') for key, kind in per_dir]
    # Requests and layouts as nested rows: (name, kind) or (name, kind, mask bit);
    # a list kind is ('list', count kind, rows or a kind).
    def expand(fields):
        out = []
        for name, kind in fields:
            if name == '*criteria':
                for key, ckind, bit in d['criteria']:
                    out.append((key, expand_kind(ckind), bit))
            else:
                out.append((name, expand_kind(kind)))
        return out

    def expand_kind(kind):
        if isinstance(kind, tuple):
            item = kind[2]
            return ('list', kind[1], expand(d['layouts'][item]) if item in d['layouts'] else item)
        if kind not in d['kinds']:
            raise ValueError('unknown kind %s' % kind)
        return kind

    d['requests'] = dict((n, (d['client'][n][1], expand(f))) for n, f in d['requests'].items())
    del d['layouts']
    expand_records(d)
    return d


# The rows a server record may hold.
RECORD_ROWS = ('KX_FIELD', 'KX_LIST', 'KX_VALUES', 'KX_CODED', 'KX_SKIP', 'KX_SKIP_N', 'KX_SKIP_SINCE',
               'KX_SKIP_FLAGGED', 'KX_PAIR', 'KX_WOVEN', 'KX_ABSENT', 'KX_COUNTERS', 'KX_INLINE', 'KX_CASE',
               'KX_CASE_ELSE', 'KX_WHEN', 'KX_GROUPS', 'KX_HOST_ADD_GROUPS', 'KX_LIST_FROM', 'KX_MAY_END',
               'KX_OPAQUE')

# The value tables the constant rows make, by row; those of flag words.
TABLES = {'KX_FEATURE': 'FEATURES', 'KX_FIELD_TYPE': 'FIELD_TYPE', 'KX_FILTER_TYPE': 'FILTER_TYPE',
          'KX_VIEW_OP': 'VIEW_OP', 'KX_FWLOG_QTYPE': 'FWLOG_QTYPE'}
FLAG_TABLES = ('KX_FEATURE',)
# How the C++ side names a value of a table (KX_CASE values, KX_WHEN bits).
CXX_PREFIX = {'FEATURES': 'FEATURES_', 'FIELD_TYPE': 'FIELD_', 'FILTER_TYPE': 'FILTER_', 'VIEW_OP': 'VIEW_OP_',
              'FWLOG_QTYPE': 'FWLOG_QTYPE_', 'CONN': 'CONN_', 'HOST': 'HOST_', 'VIEW_DATA': 'VIEW_DATA_',
              'ENGINE': 'ENGINE_'}


def expand_records(d):
    """d['records']: every record with its rows expanded (see SERVER_RECORDS'
    comment); d['server_records']: message number -> (name, rows)."""
    raw = d['records']
    kinds = d['kinds']
    counts = set(k for k in kinds if k in ('u8', 'u16', 'u32')) | set(['rest'])
    names = {}  # C++ constant name -> value
    for table, (_, values) in d['tables'].items():
        for value, name in values:
            names[CXX_PREFIX.get(table, table + '_') + name] = value
    names.update(d['constants'])
    messages = dict((name[len('PROTOCOL_SERVER_'):], number) for number, name in d['server'].items())

    def kind(k):
        if k not in kinds:
            raise ValueError('unknown kind %s' % k)
        return k

    def count(k):
        if k not in counts:
            raise ValueError('unknown count kind %s' % k)
        return k

    def value(name):
        if isinstance(name, int):
            return name
        if name not in names:
            raise ValueError('unknown constant %s' % name)
        return names[name]

    def rows_of(name, seen=()):
        if name not in raw:
            raise ValueError('unknown record %s' % name)
        if name in seen:
            raise ValueError('record %s names itself' % name)
        return expand(raw[name], seen + (name,))

    def group(family, seen, carried=None):
        if family not in d['families']:
            raise ValueError('unknown group family %s' % family)
        return [(g, bits, rows_of(rec, seen)) for g, bits, rec, add in d['families'][family]
                if carried is None or add == carried]

    def expand(rows, seen):
        out = []
        for macro, a in rows:
            if macro == 'KX_FIELD':
                out.append(dict(row='field', name=a[0], kind=kind(a[1])))
            elif macro == 'KX_CODED':
                if a[2] not in d['tables']:
                    raise ValueError('unknown value table %s' % a[2])
                out.append(dict(row='field', name=a[0], kind=kind(a[1]), values=a[2]))
            elif macro == 'KX_LIST':
                out.append(dict(row='list', name=a[0], count=count(a[1]), items=rows_of(a[2], seen)))
            elif macro == 'KX_VALUES':
                out.append(dict(row='list', name=a[0], count=count(a[1]), kind=kind(a[2])))
            elif macro == 'KX_LIST_FROM':
                out.append(dict(row='list', name=a[0], count='from', source=(messages[a[1]], a[2]),
                                items=rows_of(a[3], seen)))
            elif macro in ('KX_SKIP', 'KX_SKIP_N'):
                out.append(dict(row='skip', name=a[0], kind=kind(a[1]), repeat=a[2] if len(a) > 2 else 1))
            elif macro == 'KX_SKIP_SINCE':
                out.append(dict(row='skip', name=a[0], kind=kind(a[1]), repeat=1, since=(a[2], value(a[2]))))
            elif macro == 'KX_SKIP_FLAGGED':
                out.append(dict(row='skip', name=a[0], kind=kind(a[1]), repeat=1, flagged='u8'))
            elif macro == 'KX_PAIR':
                out.append(dict(row='pair', name=a[0], kind=kind(a[1])))
            elif macro == 'KX_WOVEN':
                out.append(dict(row='woven', name=a[0], other=a[1], kind=kind(a[2])))
            elif macro == 'KX_ABSENT':
                out.append(dict(row='absent', name=a[0]))
            elif macro == 'KX_COUNTERS':
                out.extend(dict(row='absent', name=key) if k == 'absent' else dict(row='field', name=key, kind=k)
                           for key, k in d['shaping_counters'])
            elif macro == 'KX_INLINE':
                out.extend(rows_of(a[0], seen))
            elif macro in ('KX_CASE', 'KX_CASE_ELSE'):
                last = out[-1] if out else None
                if not (last and last['row'] == 'switch' and last['field'] == a[0]):
                    last = dict(row='switch', field=a[0], cases=[], default=None)
                    out.append(last)
                if macro == 'KX_CASE':
                    last['cases'].append((value(a[1]), rows_of(a[2], seen)))
                else:
                    last['default'] = rows_of(a[1], seen)
            elif macro == 'KX_WHEN':
                out.append(dict(row='when', field=a[0], bit=value(a[1]), rows=rows_of(a[2], seen)))
            elif macro == 'KX_GROUPS':
                out.append(dict(row='groups', field=a[0], family=a[1], groups=group(a[1], seen)))
            elif macro == 'KX_HOST_ADD_GROUPS':
                carried = group('HOST_GROUP', seen, 1)
                mask = 0
                for _, bits, _ in carried:
                    mask |= bits
                out.append(dict(row='groups', field=None, family='HOST_GROUP', mask=mask, groups=carried))
            elif macro == 'KX_MAY_END':
                out.append(dict(row='may_end'))
            elif macro == 'KX_OPAQUE':
                out.append(dict(row='opaque', name=a[0]))
            else:
                raise ValueError('unknown record row %s' % macro)
        return out

    d['records'] = dict((name, rows_of(name)) for name in raw)
    d['server_records'] = {}
    for number, name in d['server'].items():
        short = name[len('PROTOCOL_SERVER_'):]
        if short not in raw:
            raise ValueError('server message %s has no record' % short)
        d['server_records'][number] = (short, d['records'][short])
    d['tables'] = dict((t, dict(flags=f, values=sorted(v))) for t, (f, v) in d['tables'].items())


HEADER = '''"""The management protocol's facts: generated by protocol/gen_protocol.py
from protocol/kx_protocol.def. Do not edit; change the definition and run
the generator (the build runs it too)."""
'''

RECORDS_DOC = '''Server message number -> (name, rows): its payload's record, each row a dict:
#   row 'field': a value; name, kind, values (a VALUE_TABLES name) when coded
#   row 'list': name, count (a count kind; 'rest': items until the payload ends;
#     'from': as many as list source[1] of the last message source[0] held), then
#     items (rows of each item) or kind (of each value)
#   row 'skip': repeat values of kind read past; since (constant, version): on the
#     wire from that protocol version on; flagged 'u8': a u8, the value follows when not 0
#   row 'pair': name, kind: two values; row 'woven': two pairs, name and other,
#     woven (name's first, other's first, name's second, other's second)
#   row 'absent': name, nothing on the wire (0)
#   row 'switch': field, cases [(value, rows)], default rows (None: a bad message)
#   row 'when': rows follow when bit of field is set
#   row 'groups': family, groups [(name, bits, rows)] in wire order, those whose
#     bits field has set; field None: the groups listed, mask their bits
#   row 'may_end': the payload may end here; row 'opaque': name, the rest of the payload'''

DOCS = [
    ('FRAME', 'frame', 'Framing: HEADER, the frame header\'s size (u32 type, u16 payload length);\n'
                       '# MAX_PAYLOAD, the largest payload.'),
    ('KINDS', 'kinds', 'Wire kinds: name -> width in bytes (0: variable).'),
    ('CONSTANTS', 'constants', 'The module constants (name, value) in binding order.'),
    ('SERVER_MESSAGES', 'server', 'Server message number -> name.'),
    ('CLIENT_MESSAGES', 'client', 'Request number -> (name, request builder).'),
    ('REQUESTS', 'requests', 'Request number -> (builder, rows): (name, kind) or (name, kind, mask bit);\n'
                             '# a list kind is (\'list\', count kind, rows or a kind).'),
    ('FILTER_VALUE_KINDS', 'filter_kinds', 'View filter type -> the kind of its values.'),
    ('CRITERIA', 'criteria', 'Rule-test criteria (key, kind, mask bit) in wire order.'),
    ('CONN_FLAGS', 'conn_flags', "A connection record's update flags (name, bit)."),
    ('CONN_BLOCKS', 'conn_blocks', 'Connection record blocks (name, announcing flags) in wire order.'),
    ('ENGINE_FLAGS', 'engine_flags', 'Named engine flags (bit, name), ascending.'),
    ('HOST_GROUPS', 'host_groups', "A host record's groups (name, update mask bit) in wire order."),
    ('VIEW_DATA_GROUPS', 'view_data', "A view row's data groups (name, data mask bit) in wire order."),
    ('SHAPING_COUNTERS', 'shaping_counters', "A shaping object's counter set (key, kind) in wire order."),
    ('FIELD_VALUE_KINDS', 'field_kinds', 'View field type -> the kind of its values.'),
    ('VALUE_TABLES', 'tables', 'Value tables: name -> {flags: a flag word\'s bits (else an enumeration),\n'
                               '# values: [(value, name)] ascending}.'),
    ('SERVER_RECORDS', 'server_records', RECORDS_DOC),
]


def lit(value, indent=''):
    """value as Python text, dicts with sorted keys, a list of dicts one a line:
    the same text under 2.7 and 3."""
    deeper = indent + '    '
    if isinstance(value, dict):
        return '{%s}' % ', '.join('%r: %s' % (k, lit(value[k], indent)) for k in sorted(value))
    if isinstance(value, list) and any(isinstance(v, dict) for v in value):
        return '[\n%s%s]' % (''.join('%s%s,\n' % (deeper, lit(v, deeper)) for v in value), indent)
    if isinstance(value, (list, tuple)):
        items = [lit(v, indent) for v in value]
        if isinstance(value, tuple):
            return '(%s)' % (items[0] + ',' if len(items) == 1 else ', '.join(items))
        return '[%s]' % ', '.join(items)
    return repr(value)


def pretty(value):
    """A dict or list one entry a line (sorted keys): the same text under 2.7 and 3."""
    if isinstance(value, dict):
        return '{\n%s}' % ''.join('    %r: %s,\n' % (k, lit(value[k], '    ')) for k in sorted(value))
    return '[\n%s]' % ''.join('    %s,\n' % lit(v, '    ') for v in value)


def render(d):
    out = [HEADER]
    for var, key, doc in DOCS:
        out.append('\n# %s\n%s = %s\n' % (doc, var, pretty(d[key])))
    return ''.join(out)


def main(argv):
    check = '--check' in argv
    args = [a for a in argv if a != '--check']
    path = args[0] if args else DEF
    out = args[1] if len(args) > 1 else OUT
    text = render(build(path))
    try:
        with io.open(out, encoding='utf-8') as f:
            current = f.read()
    except IOError:
        current = None
    if check:
        if current != text:
            print('%s is not current: run %s' % (out, __file__), file=sys.stderr)
            return 1
        return 0
    if current != text:
        with io.open(out, 'w', encoding='utf-8') as f:
            f.write(text if isinstance(text, type(u'')) else text.decode('utf-8'))
    else:
        os.utime(out, None)  # current: newer than the definition for make's sake
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
