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
             filter_kinds={}, conn_flags=[], conn_blocks=[], engine_flags=[], shaping_counters=[], host_groups=[],
             view_data=[])
    fields = None
    criteria_kinds = {}
    for macro, a in rows(path):
        if macro == 'KX_KIND':
            d['kinds'][a[0]] = a[1]
        elif macro == 'KX_CONST':
            d['constants'].append((a[0], a[1]))
        elif macro in ('KX_SERVER', 'KX_SERVER_LIB'):
            name = 'PROTOCOL_SERVER_' + a[0]
            d['server'][a[1]] = name
            if macro == 'KX_SERVER':
                d['constants'].append((name, a[1]))
        elif macro in PREFIXES:
            d['constants'].append((PREFIXES[macro] + a[0], a[1]))
            if macro == 'KX_FILTER_TYPE':
                d['filter_kinds'][a[1]] = a[2]
        elif macro in ('KX_CRITERION', 'KX_CRITERION_LIST'):
            d['constants'].append(('VIRTUAL_COND_' + a[0], a[1]))
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
            fields = None
        elif macro == 'KX_CONN_FLAG':
            d['conn_flags'].append((a[0], a[1]))
        elif macro == 'KX_CONN_BLOCK':
            bits = dict(d['conn_flags'])
            d['conn_blocks'].append((a[0], bits[a[1]] | bits[a[2]]))
        elif macro in ('KX_HOST_GROUP', 'KX_VIEW_DATA'):
            d['host_groups' if macro == 'KX_HOST_GROUP' else 'view_data'].append((a[0], a[2]))
        elif macro == 'KX_ENGINE_FLAG':
            d['engine_flags'].append((a[1], a[0]))
        elif macro in ('KX_SHAPING_COUNTER', 'KX_SHAPING_DIR_COUNTER', 'KX_SHAPING_DIR_ABSENT'):
            kind = a[2] if len(a) > 2 else 'absent'
            keys = [a[1]] if macro == 'KX_SHAPING_COUNTER' else None
            d['shaping_counters'].append((keys, a[1], kind))
        else:
            raise ValueError('unknown row %s' % macro)
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
    return d


HEADER = '''"""The management protocol's facts: generated by protocol/gen_protocol.py
from protocol/kx_protocol.def. Do not edit; change the definition and run
the generator (the build runs it too)."""
'''

DOCS = [
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
]


def pretty(value):
    """A dict or list one entry a line (sorted keys): the same text under 2.7 and 3."""
    if isinstance(value, dict):
        return '{\n%s}' % ''.join('    %r: %r,\n' % (k, value[k]) for k in sorted(value))
    return '[\n%s]' % ''.join('    %r,\n' % (v,) for v in value)


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
