"""Module namespace, constants, BadMessageError and the conventions every
function shares (arguments, message checks, lookups, tracebacks)."""
import os
import shutil
import subprocess
import sys
import tempfile
import traceback
import types
import unittest

import KXdv17_0 as kx
import KXMsgv17_0
from kxtest import TestCase, RecordingIO, msg, u8


def handlers():
    return [getattr(kx, n) for n in dir(kx) if n.startswith('handle')]


class NamespaceTest(unittest.TestCase):

    def test_constants(self):
        consts = dict((n, getattr(kx, n)) for n in dir(kx)
                      if n[0].isupper() and isinstance(getattr(kx, n), int))
        conds = sorted(v for n, v in consts.items() if n.startswith('VIRTUAL_COND_'))
        self.assertEqual(conds, range(0, 13) + range(14, 18))
        self.assertEqual(len(consts), 92)
        for name, value in [
                ('PROTOCOL_VERSION', 24576), ('L4ERRORMINVERSION', 0x4084),
                ('SHAPINGBYTESMINVERSION', 0x5002), ('PROTOCOL_SERVER_VERSION', 0x10001),
                ('PROTOCOL_SERVER_XFB_NAMES', 0x1000f), ('PROTOCOL_SERVER_HOST_ADD', 73728),
                ('PROTOCOL_SERVER_FWLOG_ENTRY_END', 0x19002),
                ('PROTOCOL_SERVER_VIEW_CAPS', 0x1b701), ('VIRTUAL_COND_PROPERTIES', 12),
                ('VIRTUAL_COND_DSCP_IN', 14), ('VIRTUAL_COND_CHANNEl_IN', 16),
                ('VIRTUAL_COND_CHANNEl_OUT', 17), ('PROTOCOL_FWRULE_QTYPE_OFFSETS', 2),
                ('FEATURES_VBS', 256), ('PROTOCOL_VIEW_FIELD_TYPE_BOOLEAN', 5),
                ('PROTOCOL_VIEW_FILTER_TYPE_BOOLEAN', 7),
                ('PROTOCOL_SERVER_VIEW_UPDATE_OP_STRING_SET', 3)]:
            self.assertEqual(consts.pop(name), value, name)
            self.assertIs(type(getattr(kx, name)), int)
        self.assertFalse(hasattr(kx, 'VIRTUAL_COND_CHANNEL_IN'))
        self.assertFalse(hasattr(kx, 'VIRTUAL_COND_CHANNEL_OUT'))

    def test_imported_modules(self):
        import socket
        import struct
        import __builtin__
        self.assertIs(kx.KXMsgv17_0, KXMsgv17_0)
        self.assertIs(kx.socket, socket)
        self.assertIs(kx.struct, struct)
        self.assertIs(kx.__builtins__, __builtin__)

    def test_functions_have_no_docstring(self):
        funcs = [getattr(kx, n) for n in dir(kx)
                 if isinstance(getattr(kx, n), types.BuiltinFunctionType)]
        self.assertTrue(funcs)
        for f in funcs:
            self.assertIsNone(f.__doc__, f.__name__)


class BadMessageErrorTest(unittest.TestCase):

    def test_class(self):
        E = kx.BadMessageError
        self.assertEqual(E.__bases__, (ValueError,))
        self.assertEqual(E.__module__, 'KXdv17_0')
        self.assertIsNone(E.__doc__)
        self.assertEqual(str(E()), "Couldn't read msg")
        self.assertEqual(E().args, ("Couldn't read msg",))
        self.assertEqual(str(E('other')), 'other')
        self.assertEqual(str(E(msg='kw')), 'kw')
        e = E.__new__(E)
        self.assertIsNone(E.__init__.im_func(self=e, msg='by keyword'))
        self.assertEqual(e.args, ('by keyword',))
        self.assertIsInstance(E(), ValueError)


class ConventionsTest(TestCase):

    def test_message_argument_is_checked_first(self):
        # Each handler is called with None for every argument, at its own arity.
        arity = {}
        for h in handlers():
            for n in range(1, 6):
                try:
                    h(*([None] * n))
                except TypeError as e:
                    if 'incorrect type' in str(e):
                        arity[h.__name__] = n
                        self.assertEqual(
                            str(e), "Argument 'm' has incorrect type (expected KXMsg, got NoneType)")
                        break
        self.assertEqual(sorted(arity), sorted(h.__name__ for h in handlers()))
        with self.assertRaises(TypeError) as cm:
            kx.handleAuth('\x01')
        self.assertEqual(str(cm.exception),
                         "Argument 'm' has incorrect type (expected KXMsg, got str)")

    def test_subtype_is_accepted(self):
        class Sub(KXMsgv17_0.KXMsg):
            pass
        self.assertEqual(kx.handleAuth(Sub(0, u8(3))), 3)

    def test_keyword_arguments(self):
        self.assertEqual(kx.handleAuth(m=msg(u8(7))), 7)
        io = RecordingIO()
        kx.doAuth(passwd='p', io=io, username='u')
        self.assertEqual(len(io.sent), 1)
        self.assertRaises(TypeError, kx.handleAuth)
        self.assertRaises(TypeError, kx.handleAuth, msg(u8(1)), 2)
        self.assertRaises(TypeError, kx.handleAuth, mm=msg(u8(1)))

    def test_rebinding_bad_message_error(self):
        class Other(Exception):
            pass
        saved = kx.BadMessageError
        try:
            kx.BadMessageError = Other
            self.assertRaises(Other, kx.handleAuth, msg(''))
            del kx.BadMessageError
            with self.assertRaises(NameError) as cm:
                kx.handleAuth(msg(''))
            self.assertEqual(cm.exception.args, ('BadMessageError',))
        finally:
            kx.BadMessageError = saved
        self.assertBad(kx.handleAuth, msg(''))

    def test_traceback_entries(self):
        def names_of(func, *args):
            try:
                func(*args)
            except Exception:
                tb = sys.exc_info()[2]
                return [entry[2] for entry in traceback.extract_tb(tb)][1:]
            self.fail('no exception')
        self.assertEqual(names_of(kx.handleAuth, msg('')), ['KXdv17_0.handleAuth'])
        self.assertEqual(names_of(kx.handleAuth, None), ['KXdv17_0.handleAuth'])
        self.assertEqual(names_of(kx.ping, object()), ['KXdv17_0.ping'])

    def test_newmsg_is_looked_up_per_call(self):
        class Factory(object):
            def __init__(self, result):
                self.result = result

            def newMsg(self, type):
                return self.result
        saved = kx.KXMsgv17_0
        io = RecordingIO()
        try:
            for result, text in [(None, 'Cannot convert NoneType to KXMsg'),
                                 (42, 'Cannot convert int to KXMsg')]:
                kx.KXMsgv17_0 = Factory(result)
                with self.assertRaises(TypeError) as cm:
                    kx.ping(io)
                self.assertEqual(str(cm.exception), text)
            m = msg('')
            kx.KXMsgv17_0 = Factory(m)
            kx.ping(io)
            self.assertEqual(m.type, 0)  # the factory's message is used as it is
            self.assertEqual(io.sent, [(0, '')])
        finally:
            kx.KXMsgv17_0 = saved


FAKE_MODULES = {
    'not_a_type': ('KXMsg = 1\nKXRingbuf = 2\ndef newMsg(t): pass\n',
                   'TypeError: KXMsgv17_0.KXMsg is not a type object'),
    'wrong_size': ('class KXMsg(object):\n    pass\nKXRingbuf = KXMsg\n',
                   'ValueError: KXMsgv17_0.KXMsg does not appear to be the correct type object'),
    'ringbuf_wrong': ('import sys, imp\n'
                      'real = imp.load_dynamic("KXMsgv17_0", sys.argv[1])\n'
                      'KXMsg = real.KXMsg\nKXRingbuf = 5\n',
                      'TypeError: KXMsgv17_0.KXRingbuf is not a type object'),
}


class ImportChecksTest(unittest.TestCase):
    """The type checks at import, against fake message modules first on sys.path."""

    def test_fake_message_modules(self):
        real_msg = KXMsgv17_0.__file__
        kx_dir = os.path.dirname(kx.__file__)
        for name, (source, expected) in sorted(FAKE_MODULES.items()):
            tmp = tempfile.mkdtemp()
            try:
                with open(os.path.join(tmp, 'KXMsgv17_0.py'), 'w') as f:
                    f.write(source)
                code = ('import sys; sys.argv = ["x", %r]; sys.path[:0] = [%r, %r]\n'
                        'import KXdv17_0\n' % (real_msg, tmp, kx_dir))
                p = subprocess.Popen([sys.executable, '-c', code], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env={'PATH': os.environ.get('PATH', '')})
                out, err = p.communicate()
                self.assertNotEqual(p.returncode, 0, name)
                self.assertIn(expected, err, name)
                self.assertIn('KXdv17_0', err.splitlines()[-2], name)
            finally:
                shutil.rmtree(tmp)
