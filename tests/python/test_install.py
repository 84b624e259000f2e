"""Installs the project as a user would (a wheel from an sdist alone, `cmake --install`) and uses it from there."""
from __future__ import print_function

import glob
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import unittest
import zipfile

from test_e2e import BUILD, TOP as ROOT, Sim, cmake_cache
from kxtools._version import __version__ as VERSION

MODULES = ('KXdv17_0', 'KXMsgv17_0')

# Run by the installed interpreter, from a folder outside the source tree.
PROBE = '''
import json, KXdv17_0, KXMsgv17_0, kxtools, kxtools.client, kxtools.top
print(json.dumps(dict((m.__name__, [m.__version__, m.__file__]) for m in (KXdv17_0, KXMsgv17_0, kxtools))))
'''

def clean_env(**extra):
    """No PYTHONPATH: the modules must come from the installation, not the build."""
    env = dict((k, v) for k, v in os.environ.items() if k not in ('PYTHONPATH', 'PYTHONHOME'))
    env.update(PIP_NO_INDEX='1', PIP_DISABLE_PIP_VERSION_CHECK='1', PYTHONDONTWRITEBYTECODE='1')
    env.update(extra)
    return env


def run(cmd, cwd, env):
    p = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = p.communicate()[0].decode('utf-8', 'replace')
    if p.returncode != 0:
        raise AssertionError('%s failed (%d):\n%s' % (' '.join(cmd), p.returncode, out[-4000:]))
    return out


class Install(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.sim = None
        if os.environ.get('KX_GENERIC'):
            return
        cls.tmp = tempfile.mkdtemp(prefix='kx-install-')
        # The simulator starts last: a failing setUpClass gets no tearDownClass to kill it.
        cls.sdist = cls.make_sdist() if has_module(sys.executable, 'setuptools') else None
        cls.sim = Sim('--seed', '3', '--hosts', '12', '--interval', '20')

    @classmethod
    def tearDownClass(cls):
        if cls.sim:
            cls.sim.kill()
            shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        # Skipped test by test: Python 3.12's unittest fails a run in which no test ran.
        if not self.sim:
            self.skipTest('the KX_GENERIC build is not installed; the plain build\'s run covers installing')

    @classmethod
    def make_sdist(cls):
        """One source archive for every case; the egg-info goes to tmp, not the checkout."""
        out = os.path.join(cls.tmp, 'sdist')
        run([sys.executable, os.path.join(ROOT, 'setup.py'), '-q', 'sdist', '-d', out,
             'egg_info', '--egg-base', cls.tmp], ROOT, clean_env())
        return glob.glob(os.path.join(out, 'KXdv17_0-*.tar.gz'))[0]

    def check_installation(self, python, bin_dir, env, kxtop='kxtop'):
        work = tempfile.mkdtemp(dir=self.tmp)
        found = json.loads(run([python, '-c', PROBE], work, env))
        for name, (ver, path) in found.items():
            self.assertEqual(ver, VERSION, name)
            self.assertFalse(os.path.realpath(path).startswith(ROOT + os.sep), '%s from the checkout: %s' % (name, path))
        for name in MODULES:    # the module's init function is all it exports
            out = subprocess.check_output(['nm', '-D', '--defined-only', found[name][1]]).decode('ascii').split('\n')
            self.assertEqual([line.split()[-1] for line in out if line.strip()],
                             ['init' + name if sys.version_info[0] == 2 else 'PyInit_' + name], name)
        self.assertEqual(run([os.path.join(bin_dir, 'kxd-sim'), '--version'], work, env).strip(),
                         'kxd-sim ' + VERSION)
        out = run([os.path.join(bin_dir, kxtop), '--port', str(self.sim.port), '--seconds', '1',
                   '--interval', '0.3', '--batch'], work, env)
        self.assertIn('top hosts', out)
        self.assertIn('uplink', out)

    def check_wheel(self, wheel):
        impl = 'cp%d%d' % sys.version_info[:2]
        abi = impl + ('mu?' if sys.version_info[0] == 2 else '')
        plat = sysconfig.get_platform().replace('-', '_').replace('.', '_')
        self.assertTrue(re.match(r'^KXdv17_0-%s-%s-%s-%s\.whl$' % (re.escape(VERSION), impl, abi, plat),
                                 os.path.basename(wheel)), wheel)
        with zipfile.ZipFile(wheel) as z:
            metadata = z.read('KXdv17_0-%s.dist-info/METADATA' % VERSION).decode('utf-8')
            sim_mode = z.getinfo('kxtools/kxd-sim').external_attr >> 16
        self.assertIn('License: MIT\n', metadata)
        self.assertIn('Classifier: License :: OSI Approved :: MIT License\n', metadata)
        self.assertIn('Classifier: Programming Language :: Python :: %d.%d\n' % sys.version_info[:2], metadata)
        self.assertTrue(sim_mode & 0o100, oct(sim_mode))

    def test_wheel(self):
        if not self.sdist:
            self.skipTest('no setuptools for Python %d.%d here (and no package index to fetch it); '
                          'README: the CMake build installs for it' % sys.version_info[:2])
        py = sys.executable
        env = clean_env(KX_JOBS='2')
        if sys.version_info[0] >= 3:
            venv = os.path.join(self.tmp, 'venv3')
            run([py, '-m', 'venv', venv], self.tmp, env)
            py = os.path.join(venv, 'bin', 'python')
            if not has_module(py, 'setuptools'):
                self.skipTest('a virtual environment of Python %d.%d gets no setuptools here' % sys.version_info[:2])
        wheels = os.path.join(self.tmp, 'wheels')
        run([py, '-m', 'pip', 'wheel', '--no-deps', '--no-build-isolation', '-w', wheels, self.sdist], self.tmp, env)
        wheel = glob.glob(os.path.join(wheels, 'KXdv17_0-*.whl'))[0]
        self.check_wheel(wheel)
        if sys.version_info[0] >= 3:
            run([py, '-m', 'pip', 'install', '--no-deps', wheel], self.tmp, env)
            self.check_installation(py, os.path.join(venv, 'bin'), env)
        elif has_module(py, 'virtualenv'):
            venv = os.path.join(self.tmp, 'venv2')
            run([py, '-m', 'virtualenv', '-q', venv], self.tmp, env)
            run([os.path.join(venv, 'bin', 'python'), '-m', 'pip', 'install', '--no-deps', wheel], self.tmp, env)
            self.check_installation(os.path.join(venv, 'bin', 'python'), os.path.join(venv, 'bin'), env)
        else:
            target = os.path.join(self.tmp, 'target2')
            run([py, '-m', 'pip', 'install', '--no-deps', '--target', target, wheel], self.tmp, env)
            self.check_installation(py, os.path.join(target, 'bin'), clean_env(PYTHONPATH=target))

    def test_cmake_install(self):
        prefix = os.path.join(self.tmp, 'prefix')
        run(['cmake', '--install', os.path.abspath(BUILD), '--prefix', prefix], self.tmp, clean_env())
        ver = '%d.%d' % sys.version_info[:2]
        site = glob.glob(os.path.join(prefix, 'lib', 'python' + ver, '*-packages'))
        if not site:
            self.skipTest('this build installs no modules for Python ' + ver)
        self.assertEqual(len(site), 1, os.listdir(prefix))
        def shebang(name):
            with open(os.path.join(prefix, 'bin', name)) as f:
                return f.readline().strip()
        for tool in ('kxtop', 'kxtap', 'kxdissect'):
            self.assertEqual((shebang(tool + '-' + ver), shebang(tool)),
                             ('#!' + sys.executable, '#!' + cmake_cache('KX_PYTHON3')), tool)
        self.check_installation(sys.executable, os.path.join(prefix, 'bin'), clean_env(PYTHONPATH=site[0]),
                                kxtop='kxtop-' + ver)

    def test_other_minor_refused(self):
        """A Python 3 build for another minor version fails its import with ImportError naming both."""
        if sys.version_info[0] < 3:
            self.skipTest('a Python 3 check')
        mine = '%d.%d' % sys.version_info[:2]
        found = [(p, re.search(r'/(\w+)\.cpython-3(\d+)', p).groups())
                 for p in sorted(glob.glob(os.path.join(BUILD, 'python3*', '*.cpython-3*.so')))]
        cases = [(p, name, '3.' + minor) for p, (name, minor) in found if minor != str(sys.version_info[1])]
        if not cases:
            self.skipTest('no build for another Python 3 minor version')
        refused_by_init = 0
        for path, name, built in cases:
            # Lazy binding, so a function the other version lacks does not stop the load before the module's init
            # function runs. A data symbol it lacks still does: an ImportError before init, a refusal too.
            code = ('import importlib.util, os, sys; sys.setdlopenflags(os.RTLD_LAZY); '
                    'found = importlib.util.spec_from_file_location(%r, %r); '
                    'found.loader.exec_module(importlib.util.module_from_spec(found))' % (name, path))
            p = subprocess.Popen([sys.executable, '-c', code], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            out = p.communicate()[0].decode('utf-8', 'replace')
            refusal = ('ImportError: %s was built for Python %s and cannot be imported into Python %s\n'
                       % (name, built, mine))
            refused_by_init += refusal in out
            self.assertTrue(refusal in out or re.search(r'^ImportError: .*: undefined symbol: \w+$', out, re.M),
                            '%s: %s' % (path, out))
        self.assertGreater(refused_by_init, 0)


def has_module(python, name):
    with open(os.devnull, 'w') as null:
        return subprocess.call([python, '-c', 'import ' + name], stdout=null, stderr=subprocess.STDOUT) == 0


if __name__ == '__main__':
    unittest.main()
