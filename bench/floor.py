"""The object floor of a handler: the Python objects it makes (instances of
the caller's classes, attribute and item stores, lists, tuples, dicts,
callback calls), made by straight-line Python code from values the module
has already decoded, reading no bytes. The handler's time over its floor's
time is what decoding costs.

A floor is made once, outside the timed region: the handler runs on
recording stand-ins (or its result is walked), and what it did becomes the
body of a Python function. Every number and text in it is an item of the
list of decoded values V, so nothing is read, parsed, or folded into a
constant when the function is compiled; lists, tuples and dicts are built
anew on each call, as the handler builds them."""
from __future__ import print_function


class Floor(object):

    def __init__(self):
        self.values = []
        self.ops = []

    def value(self, v, current=None):
        """Source text that makes v anew from the decoded values."""
        t = type(v)
        if t is list:
            return '[%s]' % ', '.join(self.value(x, current) for x in v)
        if t is tuple:
            return '(%s)' % ''.join(self.value(x, current) + ', ' for x in v)
        if t is dict:
            return '{%s}' % ', '.join('%s: %s' % (self.value(k), self.value(x, current)) for k, x in v.items())
        if current is not None and v is current:
            return 'o'
        self.values.append(v)
        return 'V[%d]' % (len(self.values) - 1)

    def function(self, params, lines):
        """def floor(params, V=<the values>): lines."""
        ns = {}
        src = 'def floor(%s):\n    %s\n' % (', '.join(params + ['V=V']), '\n    '.join(lines or ['pass']))
        exec(compile(src, '<floor>', 'exec'), {'V': self.values}, ns)
        return ns['floor']

    # ---- recording stand-ins for the caller's table, class and callback ----

    def table(self, items=()):
        """A dict that records the handler's item operations."""
        ops = self.ops

        class Table(dict):
            def __getitem__(self, k):
                v = dict.__getitem__(self, k)
                ops.append(('get', k, v))
                return v

            def __setitem__(self, k, v):
                ops.append(('store', k, v))
                dict.__setitem__(self, k, v)

            def __delitem__(self, k):
                ops.append(('del', k))
                dict.__delitem__(self, k)

            def __contains__(self, k):
                ops.append(('in', k))
                return dict.__contains__(self, k)
        return Table(items)

    def cls(self, methods=()):
        """A class whose construction, attribute stores and the named method
        calls are recorded."""
        ops = self.ops

        class Recorded(object):
            def __init__(self, *args):
                ops.append(('new', self, args))

            def __setattr__(self, name, v):
                ops.append(('set', self, name, v))
                object.__setattr__(self, name, v)

        def method(name):
            return lambda self, *args: ops.append(('call', self, name, args))
        for name in methods:
            setattr(Recorded, name, method(name))
        return Recorded

    def callback(self, *args):
        self.ops.append(('pop', args))

    def replay(self):
        """floor(table, typ, pop): what the recorded calls did, on `o`, the
        object the last construction or table read gave."""
        lines, o = [], None
        for op in self.ops:
            kind = op[0]
            if kind in ('new', 'get'):
                o = op[1] if kind == 'new' else op[2]
                lines.append('o = ' + ('typ(%s)' % ', '.join(self.value(a) for a in op[2]) if kind == 'new'
                                       else 'table[%s]' % self.value(op[1])))
            elif kind == 'set':
                assert op[1] is o
                lines.append('o.%s = %s' % (op[2], self.value(op[3], o)))
            elif kind == 'call':
                assert op[1] is o
                lines.append('o.%s(%s)' % (op[2], ', '.join(self.value(a, o) for a in op[3])))
            elif kind == 'pop':
                lines.append('pop(%s)' % ', '.join(self.value(a, o) for a in op[1]))
            elif kind == 'store':
                lines.append('table[%s] = %s' % (self.value(op[1]), self.value(op[2], o)))
            elif kind == 'del':
                lines.append('del table[%s]' % self.value(op[1]))
            else:
                lines.append('%s in table' % self.value(op[1]))
        return self.function(['table', 'typ', 'pop'], lines)


def state(table):
    """{key: the attributes of its object}, to check a floor against its handler."""
    return dict((k, vars(v)) for k, v in table.items())


def returning(result):
    """floor(): builds `result` again (its lists, tuples and dicts)."""
    f = Floor()
    return f.function([], ['return ' + f.value(result)])


def copied_records(result, records):
    """floor(records): {key: copy of records[key] with the items `result`
    adds to it}, as a handler that copies a record and stores into the copy."""
    f = Floor()
    lines = ['r = {}']
    for key, sample in result.items():
        k = f.value(key)
        lines += ['s = records[%s].copy()' % k, 'r[%s] = s' % k]
        lines += ['s[%s] = %s' % (f.value(name), f.value(v)) for name, v in sample.items()
                  if name not in records[key]]
    return f.function(['records'], lines + ['return r'])


def ratio_line(name, rate, floor_rate, unit):
    """The floor's line for `make bench`: its rate and module time / floor time."""
    return '%-17s %12.0f %s/s  module/floor time %.2f' % ('floor:' + name, floor_rate, unit, floor_rate / rate)
