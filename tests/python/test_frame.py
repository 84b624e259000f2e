"""Module namespace, BadMessageError and the conventions every function shares."""
import os
import shutil
import subprocess
import sys
import tempfile

import KXdv17_0 as kx
import KXMsgv17_0
from kxtest import PY3, TestCase, RecordingIO, builtins, msg, rebound, s, u8

# load(path): the KXMsgv17_0 extension, without taking its name in sys.modules.
LOAD_EXTENSION = '''import sys
try:
    import importlib.util
except ImportError:
    from imp import load_dynamic
    load = lambda path: load_dynamic("KXMsgv17_0", path)
else:
    def load(path):
        me = sys.modules["KXMsgv17_0"]  # loading the extension binds its own name
        found = importlib.util.spec_from_file_location("KXMsgv17_0", path)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
        sys.modules["KXMsgv17_0"] = me
        return module
'''

class NamespaceTest(TestCase):

    def test_arguments_and_modules(self):
        import socket, struct
        self.assertEqual(str(self.raisedIn(TypeError, kx.handleAuth, '\x01')[0]),
                         "Argument 'm' has incorrect type (expected KXMsg, got str)")
        self.assertEqual(kx.handleAuth(type('Sub', (KXMsgv17_0.KXMsg,), {})(0, u8(3))), 3)
        io = RecordingIO()
        kx.doAuth(passwd='p', io=io, username='u')
        self.assertEqual(io.sent, [(131073, s('u') + s('p'))])
        # the constants: test_docs, against the document and the protocol definition
        self.assertEqual([kx.KXMsgv17_0, kx.socket, kx.struct, kx.__builtins__],
                         [KXMsgv17_0, socket, struct, builtins])

    def test_bad_message_error(self):
        E = kx.BadMessageError
        self.assertEqual((E.__bases__, E.__module__, E.__doc__), ((ValueError,), 'KXdv17_0', None))
        self.assertEqual([E().args, E('other').args, E(msg='kw').args], [("Couldn't read msg",), ('other',), ('kw',)])
        e = E.__new__(E)
        init = E.__init__ if PY3 else E.__init__.im_func  # Python 3 has no unbound methods
        self.assertIsNone(init(self=e, msg='by keyword'))
        self.assertEqual(e.args, ('by keyword',))

    def test_call_time_lookups_and_tracebacks(self):
        with rebound('BadMessageError', None):
            self.assertEqual(self.raisedIn(NameError, kx.handleAuth, msg(b''))[0].args, ('BadMessageError',))
        for func, arg in [(kx.handleAuth, msg(b'')), (kx.handleAuth, None), (kx.ping, object())]:
            self.assertEqual(self.raisedIn(Exception, func, arg)[1], ['KXdv17_0.' + func.__name__])
        self.assertEqual(self.raisedIn(TypeError, kx.handleAuth, msg(u8(1)), 2)[1], ['KXdv17_0.handleAuth'])

    def test_newmsg_is_looked_up_per_call(self):
        io = RecordingIO()
        m = msg(b'')
        for result, text in [(None, 'Cannot convert NoneType to KXMsg'), (42, 'Cannot convert int to KXMsg'), (m, None)]:
            with rebound('KXMsgv17_0', type('Factory', (), {'newMsg': staticmethod(lambda t: result)})):
                if text:
                    self.assertEqual(str(self.raisedIn(TypeError, kx.ping, io)[0]), text)
                else:
                    kx.ping(io)
        self.assertEqual((io.sent, m.type), ([(0, b'')], 0))  # the factory's message is used as it is
        self.assertRaises(ZeroDivisionError, kx.ping, type('Broken', (), {'writeMsg': lambda self, m: 1 / 0})())

    def test_import_checks(self):
        cases = [('KXMsg = 1\nKXRingbuf = 2\n', 'TypeError: KXMsgv17_0.KXMsg is not a type object'),
                 ('class KXMsg(object):\n    pass\nKXRingbuf = KXMsg\n',
                  'ValueError: KXMsgv17_0.KXMsg does not appear to be the correct type object'),
                 # 24 bytes, but not laid out as the extension's type
                 ('class KXMsg(object):\n    __slots__ = ("a",)\nKXRingbuf = KXMsg\n',
                  'ValueError: KXMsgv17_0.KXMsg does not appear to be the correct type object'),
                 # a subclass made in Python without slots of its own is laid out as its base
                 (LOAD_EXTENSION + 'class KXMsg(load(sys.argv[1]).KXMsg):\n    __slots__ = ()\nKXRingbuf = 5\n',
                  'TypeError: KXMsgv17_0.KXRingbuf is not a type object')]
        for source, expected in cases:
            tmp = tempfile.mkdtemp()
            try:
                with open(os.path.join(tmp, 'KXMsgv17_0.py'), 'w') as f:
                    f.write(source)
                code = 'import sys; sys.argv = ["x", %r]; sys.path[:0] = [%r, %r]\nimport KXdv17_0\n' % (
                    KXMsgv17_0.__file__, tmp, os.path.dirname(kx.__file__))
                p = subprocess.Popen([sys.executable, '-c', code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     universal_newlines=True, env=dict((k, v) for k, v in os.environ.items() if k != 'PYTHONPATH'))
                err = p.communicate()[1]
                self.assertEqual((p.returncode, err.splitlines()[-1]), (1, expected))
                self.assertIn('KXdv17_0', err.splitlines()[-2])
            finally:
                shutil.rmtree(tmp)

    def test_imports_go_through_the_current_import_hook(self):
        code = ('try:\n    import builtins\nexcept ImportError:\n    import __builtin__ as builtins\n'
                'seen = []\nreal = builtins.__import__\n'
                # (the interpreter's own imports may pass keywords: encodings does in development mode)
                'def hook(name, *a, **k):\n    seen.append((name, a[-1] if a else k.get("fromlist")))\n'
                '    return real(name, *a, **k)\n'
                'builtins.__import__ = hook\nimport KXdv17_0\n'
                'print([s for s in seen if s[0] in ("KXMsgv17_0", "socket", "struct")])\n')
        p = subprocess.Popen([sys.executable, '-c', code], stdout=subprocess.PIPE, universal_newlines=True)
        out = p.communicate()[0]
        self.assertEqual(eval(out), [('KXMsgv17_0', ['KXMsg']), ('KXMsgv17_0', ['KXRingbuf']),
                                     ('KXMsgv17_0', []), ('socket', []), ('struct', [])])
