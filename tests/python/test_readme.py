"""Every fenced code block of README.md runs as written; `<!-- readme-test: skip - REASON -->` above one skips it."""
from __future__ import print_function

import io
import os
import re
import subprocess
import sys
import unittest

from kxtest import scratch
from test_e2e import BUILD, TOP as ROOT, Sim, cmake_cache

SKIP = re.compile(r'^<!-- readme-test: skip - (\S.*) -->$')
# Where the checkout's copy expects this interpreter's modules, and where they are.
MODULE_DIR = 'python3' if sys.version_info[0] >= 3 else 'python'
MODULES = os.environ.get('KX_MODULE_DIR') or os.path.join(BUILD, MODULE_DIR)


def python3():
    return sys.executable if sys.version_info[0] >= 3 else cmake_cache('KX_PYTHON3')


def checkout(test):
    """A copy of the checkout with this interpreter's modules where it expects them, and a bin/ with python3()."""
    top = scratch(test, 'kx-readme-')
    copy = os.path.join(top, 'checkout')
    os.makedirs(os.path.join(copy, 'build'))
    for name in os.listdir(ROOT):
        if name not in ('build', '.git'):
            os.symlink(os.path.join(ROOT, name), os.path.join(copy, name))
    for name in os.listdir(BUILD):
        if name != MODULE_DIR:
            os.symlink(os.path.join(os.path.abspath(BUILD), name), os.path.join(copy, 'build', name))
    os.symlink(os.path.abspath(MODULES), os.path.join(copy, 'build', MODULE_DIR))
    os.makedirs(os.path.join(top, 'bin'))
    os.symlink(python3(), os.path.join(top, 'bin', 'python3'))
    return copy, os.path.join(top, 'bin')


def blocks(text):
    """(line number, language, code, skip reason or None) for every fenced block."""
    found, lines, i = [], text.split('\n'), 0
    while i < len(lines):
        m = re.match(r'^```(\S*)\s*$', lines[i])
        if m:
            prev = lines[i - 1] if i else ''
            skip = SKIP.match(prev)
            end = lines.index('```', i + 1)
            found.append((i + 1, m.group(1), '\n'.join(lines[i + 1:end]) + '\n', skip and skip.group(1)))
            i = end + 1
            continue
        if lines[i].startswith('    ') and i and not lines[i - 1].strip():
            raise AssertionError('README.md:%d: an indented code block; fence it and name its language' % (i + 1))
        i += 1
    return found


class Readme(unittest.TestCase):

    def setUp(self):
        self.sim = Sim('--seed', '5', '--hosts', '20', '--interval', '50', test=self)
        self.checkout, self.bin = checkout(self)

    def run_block(self, cmd, code):
        env = dict(os.environ, KXD_PORT=str(self.sim.port), PWD=self.checkout, KX_PYTHON3=python3(),
                   PYTHONPATH=os.pathsep.join([os.path.join(self.checkout, 'build', MODULE_DIR), self.checkout]))
        p = subprocess.Popen(cmd, cwd=self.checkout, env=env, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out = p.communicate(code.encode('utf-8'))[0].decode('utf-8', 'replace')
        return p.returncode, out

    def test_code_blocks(self):
        """README.md's blocks, then docs/client.md's python ones (under 2.7 less those for Python 3 only)."""
        ran = {'python': 0, 'sh': 0, 'client': 0}
        found = []
        for doc in ('README.md', 'docs/client.md'):
            with io.open(os.path.join(ROOT, doc), encoding='utf-8') as f:
                found += [(doc,) + b for b in blocks(f.read())]
        for doc, line, lang, code, skip in found:
            where = '%s:%d (%s)' % (doc, line, lang)
            self.assertIn(lang, ('python', 'sh', 'text'), where + ': name the language')
            if lang == 'text' or skip or (sys.version_info[0] < 3 and re.search(r'\basync\b|aio', code)):
                continue
            cmd = [sys.executable, '-'] if lang == 'python' else ['sh', '-e']
            rc, out = self.run_block(cmd, code)
            self.assertEqual(rc, 0, '%s failed:\n%s\n--- output:\n%s' % (where, code, out))
            self.assertTrue(out.strip(), where + ' printed nothing')
            ran[lang] += 1
            if doc == 'README.md' and lang == 'python' and 'KXClient' in code:   # the first client: what it prints
                ran['client'] += 1
                self.assertIn('logged in to kxd-sim', out)
                self.assertEqual(len(re.findall(r'^host \S+ +speed in/out \(\d+L?, \d+L?\)$', out, re.M)), 5, out)
                self.assertEqual(len(re.findall(r'^conn [\d.:a-f]+:\d+ -> [\d.:a-f]+:\d+ \S+$', out, re.M)), 5, out)
                self.assertTrue(re.search(r'\n\d+ hosts, \d+ connections\n$', out), out)
        # README: the first client and the "Using it" example, the PYTHONPATH recipe; docs/client.md: three or more.
        self.assertGreaterEqual(ran['python'], 5)
        self.assertGreaterEqual(ran['sh'], 1)
        self.assertEqual(ran['client'], 1)

    def test_examples_run_from_any_directory(self):
        env = dict((k, v) for k, v in os.environ.items() if k != 'PYTHONPATH')
        env.update(KX_BUILD_DIR=os.path.join(self.checkout, 'build'), PATH=self.bin + os.pathsep + env.get('PATH', ''))
        cases = [('handshake.py', [], 'version announcement: (24576')]
        scripts = sorted(n for n in os.listdir(os.path.join(ROOT, 'examples'))
                         if n.endswith('.py') and not n.startswith('_') and
                         (sys.version_info[0] >= 3 or 'import asyncio' not in open(os.path.join(ROOT, 'examples', n)).read()))
        # Every other example at least starts and answers --help.
        cases += [(name, ['--help'], 'usage') for name in scripts if name not in [c[0] for c in cases]]
        for name, args, text in cases:
            p = subprocess.Popen([os.path.join(ROOT, 'examples', name)] + args, cwd=os.path.dirname(self.checkout), env=env, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT)
            out = p.communicate()[0].decode('utf-8', 'replace')
            self.assertEqual(p.returncode, 0, '%s: %s' % (name, out))
            self.assertIn(text, out, name)


if __name__ == '__main__':
    unittest.main()
