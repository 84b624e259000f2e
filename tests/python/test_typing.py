"""The type stubs against the built modules (mypy's stubtest), and mypy over the examples, kxtools.aio and a few lines
that misuse the API, which it must reject."""
import os
import sys
import unittest

from kxtest import scratch
from test_client import run_python
from test_readme import ROOT

try:
    import mypy  # noqa: F401 - only whether it is there
    WHY_NOT = None
except ImportError:
    WHY_NOT = 'mypy is not installed for this interpreter (scripts/bootstrap installs it)'
if sys.version_info < (3, 8):
    WHY_NOT = 'the stubs and kxtools.aio are checked under Python 3 (mypy runs there)'

# Lines mypy must reject, with what it must say about them.
MISUSE = [
    ('import KXdv17_0 as kx\nkx.handleAuth(None)\n', 'incompatible type "None"; expected "KXMsg"'),
    ('from kxtools.client import KXClient\nKXClient(port="7830")\n', 'incompatible type "str"; expected "int"'),
    ('from kxtools.client import KXClient\nKXClient.offline().conns[1].speed[0] + 1\n',
     'Value of type "Optional[Tuple[int, int]]" is not indexable'),
    ('from kxtools import aio\nasync def f() -> None:\n    c = await aio.connect("h", 1, "u", "p")\n'
     '    c.login("u", "p")\n', 'Value of type "Coroutine[Any, Any, None]" must be used'),
]


def run_mypy(*args):
    return run_python('', ('-m',) + args, MYPYPATH=os.path.join(ROOT, 'stubs'))

@unittest.skipIf(WHY_NOT, WHY_NOT)
class Typing(unittest.TestCase):

    def test_stubs_match_the_modules(self):
        rc, out = run_mypy('mypy.stubtest', 'KXdv17_0', 'KXMsgv17_0', 'kxtools.client', 'kxtools.errors')
        self.assertEqual(rc, 0, out)

    def test_examples_check_and_misuse_is_caught(self):
        examples = sorted(os.path.join('examples', n) for n in os.listdir(os.path.join(ROOT, 'examples'))
                          if n.endswith('.py'))
        folder = scratch(self, 'kx-typing-')
        misuse = []
        for i, (code, _) in enumerate(MISUSE):
            misuse.append(os.path.join(folder, 'misuse%d.py' % i))
            with open(misuse[-1], 'w') as f:
                f.write(code)
        rc, out = run_mypy('mypy', '--check-untyped-defs', '--follow-imports=silent', '--no-incremental',
                       'kxtools/aio.py', *(examples + misuse))
        for path, (code, expected) in zip(misuse, MISUSE):
            found = [line for line in out.splitlines() if line.startswith(path + ':') and ': error:' in line]
            self.assertEqual(len(found), 1, '%s\n%s' % (code, out))
            self.assertIn(expected, found[0], code)
        self.assertEqual(len([line for line in out.splitlines() if ': error:' in line]), len(MISUSE), out)

if __name__ == '__main__':
    unittest.main()
