"""docs/api.md against the built modules and the protocol definition: names, keywords, constants, request types;
README's rules of module/ against its sources."""
from __future__ import absolute_import, division, print_function

import inspect
import io
import os
import re
import sys
import unittest

import KXdv17_0 as kx
import KXMsgv17_0
from kxtest import RecordingIO, builtins, rebound

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
DOC = os.path.join(ROOT, 'docs', 'api.md')
sys.path.insert(0, os.path.join(ROOT, 'protocol'))
import gen_protocol  # noqa: E402

# "### name(a, b)" or "### Type.attribute"; the parameter list may carry defaults.
HEADING = re.compile(r'^### ([A-Za-z_][\w.]*)(?:\(([^)]*)\))?[ \t]*$', re.M)
ANY_HEADING = re.compile(r'^#{2,3} ', re.M)
CONSTANT_ROW = re.compile(r'^\| `([A-Z][A-Za-z0-9_]*)` \| ([0-9]+) \|', re.M)
CONSTANT_MENTION = re.compile(r'`([A-Z][A-Za-z0-9_]*)` \((0x[0-9a-fA-F]+|[0-9]+)\)')
CONSTANT_PREFIXES = ('PROTOCOL_', 'FEATURES_', 'VIRTUAL_COND_')
SENDS_NUMBER = re.compile(r'\*\*Sends:\*\* request type (0x[0-9a-f]+) \(([0-9]+)\)')
SENDS_BUILTIN = re.compile(r'\*\*Sends:\*\* request type taken from the built-in name `(\w+)`')
CLASSES = ('BadMessageError', 'KXMsg', 'KXRingbuf')  # headings that are not module functions
# What the interpreter's argument parser says about wrong names or counts.
PARSER_ERROR = re.compile(r'keyword argument|[Rr]equired argument|takes (exactly|at most|at least|no) '
                          r'|positional argument|\(\d+ given\)')
# What README says of module/: only the reader and the request writer call the
# support library's message functions, the helper layer (kx*) never names a
# message, no file is over 1,000 lines.
MODULE = os.path.join(ROOT, 'module')
MESSAGE_CALL = re.compile(r'\bkx_msg_\w+\s*\(')
MESSAGE_NAME = re.compile(r'\b(?:SRV|CLI)_[A-Z]|\bk(?:Request|Layout)_[A-Z]')

def sections(text):
    found = {}
    for match in HEADING.finditer(text):
        name = str(match.group(1))
        params = None
        if match.group(2) is not None:
            params = [str(p.split('=')[0].strip()) for p in match.group(2).split(',') if p.strip()]
        following = ANY_HEADING.search(text, match.end())
        body = text[match.end():following.start() if following else len(text)]
        if name in found:
            raise AssertionError('%s is documented twice' % name)
        found[name] = (params, body)
    return found


def parser_error(func, *args, **kwargs):
    """The argument parser's complaint about this call, or None when it took the arguments."""
    try:
        func(*args, **kwargs)
    except Exception as e:  # the values are wrong on purpose; only the parser's verdict counts
        if isinstance(e, TypeError) and PARSER_ERROR.search(str(e)):
            return str(e)
    return None


class ApiDocTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        with io.open(DOC, encoding='utf-8') as f:
            cls.text = f.read()
        cls.sections = sections(cls.text)

    def function_sections(self):
        return dict((n, s) for n, s in self.sections.items() if '.' not in n and n not in CLASSES)

    def test_every_name_is_documented_and_every_documented_name_exists(self):
        # (the sections of the classes: test_documented_keywords_are_the_accepted_ones)
        functions = sorted(n for n in dir(kx) if type(getattr(kx, n)) is type(len))
        self.assertEqual(sorted(self.function_sections()), functions)
        for prefix, obj in [('KXMsgv17_0', KXMsgv17_0), ('KXMsg', KXMsgv17_0.KXMsg), ('KXRingbuf', KXMsgv17_0.KXRingbuf)]:
            documented = sorted(n.split('.', 1)[1] for n in self.sections if n.startswith(prefix + '.'))
            expected = sorted(n for n in dir(obj) if not n.startswith('_'))
            if obj is KXMsgv17_0:  # the two types have sections of their own
                expected = [n for n in expected if n not in ('KXMsg', 'KXRingbuf')]
            self.assertEqual(documented, expected, prefix)

    def test_documented_keywords_are_the_accepted_ones(self):
        # The probe tells a wrong or missing keyword from a wrong value.
        self.assertIsNotNone(parser_error(kx.handleAuth, mm=None))
        self.assertIsNotNone(parser_error(kx.handleHostUpdate, m=None, hosts=None))
        self.assertIsNone(parser_error(kx.handleHostUpdate, m=None, hosts=None, protocolversion=None))
        for name, (params, _) in sorted(self.function_sections().items()):
            self.assertIsNotNone(params, name)
            func = getattr(kx, name)
            self.assertIsNone(func.__doc__, name)
            if sys.version_info[0] >= 3:
                self.assertEqual(list(inspect.signature(func).parameters), params, name)
            if params[0] == 'm':    # every handler refuses m=None before anything else
                with self.assertRaises(TypeError) as cm:
                    func(**dict.fromkeys(params))
                self.assertEqual(str(cm.exception), "Argument 'm' has incorrect type (expected KXMsg, got NoneType)")
            # All arguments are required: the exact keyword set passes only when every name is right.
            self.assertIsNone(parser_error(func, **dict.fromkeys(params)), name)
            self.assertIsNone(parser_error(func, *[None] * len(params)), name)
        classes = [('BadMessageError', kx.BadMessageError), ('KXMsg', KXMsgv17_0.KXMsg),
                   ('KXRingbuf', KXMsgv17_0.KXRingbuf), ('KXMsgv17_0.newMsg', KXMsgv17_0.newMsg)]
        for name, func in classes:
            params = self.sections[name][0]
            self.assertIsNone(parser_error(func, **dict.fromkeys(params)), name)

    def test_documented_methods_take_the_documented_arguments(self):
        instances = {'KXMsg': KXMsgv17_0.KXMsg(1, b'ab'), 'KXRingbuf': KXMsgv17_0.KXRingbuf(1)}
        for name, (params, _) in sorted(self.sections.items()):
            owner, _, member = name.partition('.')
            if owner not in instances or not member:
                continue
            value = getattr(instances[owner], member)
            if params is None:  # an attribute
                self.assertFalse(callable(value), name)
            else:
                self.assertIsNone(parser_error(value, *[None] * len(params)), name)
                self.assertIsNotNone(parser_error(value, *[None] * (len(params) + 1)), name)

    def test_constants_and_their_values(self):
        constants = dict((n, getattr(kx, n)) for n in dir(kx)
                         if n[0].isupper() and isinstance(getattr(kx, n), int))
        rows = dict((str(n), int(v)) for n, v in CONSTANT_ROW.findall(self.text))
        self.assertEqual(rows, dict(gen_protocol.build(gen_protocol.DEF)['constants']))
        self.assertEqual(rows, constants)
        for name, number in CONSTANT_MENTION.findall(self.text):
            if str(name) in constants:
                self.assertEqual(int(number, 0), constants[str(name)], name)
        for name in re.findall(r'`((?:%s)\w*)`' % '|'.join(CONSTANT_PREFIXES), self.text):
            self.assertIn(str(name), constants)

    def test_handler_column_matches_the_entries(self):
        table = re.findall(r'^\| `(PROTOCOL_SERVER_\w+)` \| \d+ \| 0x[0-9a-f]+ \| (.*) \|$',
                           self.text, re.M)
        self.assertEqual(len(table), len([n for n in dir(kx) if n.startswith('PROTOCOL_SERVER_')
                                          and not n.startswith('PROTOCOL_SERVER_VIEW_UPDATE_OP_')]))
        for constant, handlers in table:
            for handler in re.findall(r'`(\w+)`', handlers):
                body = self.sections[str(handler)][1]
                message = re.search(r'\*\*Message:\*\*.*', body).group(0)
                self.assertIn('`%s`' % constant, message, handler)

    def test_request_types_are_the_documented_ones(self):
        # (the types each builder sends: its own suite)
        defined = gen_protocol.build(gen_protocol.DEF)['client']
        for name, (params, body) in sorted(self.function_sections().items()):
            if params[0] != 'io':
                continue
            numbered = SENDS_NUMBER.search(body)
            if numbered:
                expected = int(numbered.group(1), 16)
                self.assertEqual((int(numbered.group(2)), defined[expected][1]), (expected, name))
            else:  # hostShow and hostFindv4: one number
                conn = RecordingIO()
                with rebound(str(SENDS_BUILTIN.search(body).group(1)), 0x2abcd, builtins):
                    getattr(kx, name)(conn, 1)
                self.assertEqual(conn.sent[0][0], 0x2abcd, name)

    def test_generated_protocol_table_is_current(self):
        with io.open(gen_protocol.OUT, encoding='utf-8') as f:
            self.assertEqual(f.read(), gen_protocol.render(gen_protocol.build(gen_protocol.DEF)),
                             'run protocol/gen_protocol.py')


class ModuleRoomsTest(unittest.TestCase):

    def test_each_file_keeps_to_what_it_may_touch(self):
        for name in sorted(os.listdir(MODULE)):
            with io.open(os.path.join(MODULE, name), encoding='utf-8') as f:
                text = f.read()
            self.assertLessEqual(text.count('\n'), 1000, name)
            code = re.sub(r'//[^\n]*', '', text)
            if name.split('.')[0] not in ('kxreader', 'kxrequest'):
                self.assertIsNone(MESSAGE_CALL.search(code), name)
            if name.startswith('kx'):
                self.assertIsNone(MESSAGE_NAME.search(code), name)


if __name__ == '__main__':
    unittest.main()
