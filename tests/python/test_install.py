"""Installs the project as a user would and uses it from there: an sdist from
setup.py, a wheel built from that sdist alone, the wheel installed into a
fresh environment (a virtual environment, or `pip install --target` into a
temporary folder where Python 2.7 has no virtualenv tool), then both modules
imported from the installation, their version checked and the installed
kxtop command logged into kxd-sim. The same for `cmake --install` of the
build. Each module's dynamic symbol table must hold its init function alone.

Each interpreter the suite runs under builds and installs for itself (the
wheel compiles the C++ once, about 20 s of CPU). Run under Python 2.7 in a
build without Python 3 modules, it also tries Python 3 (KX_PYTHON3, else
/usr/bin/python3), skipped while the modules do not compile for it.
"""
from __future__ import print_function

import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from test_e2e import BUILD, Sim

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, '..', '..'))
MODULES = ('KXdv17_0', 'KXMsgv17_0')

# Run by the installed interpreter, from a folder outside the source tree.
PROBE = '''
import json, KXdv17_0, KXMsgv17_0, kxtools, kxtools.client, kxtools.top
print(json.dumps(dict((m.__name__, [m.__version__, m.__file__]) for m in (KXdv17_0, KXMsgv17_0, kxtools))))
'''

def version():
    with open(os.path.join(ROOT, 'kxtools', '_version.py')) as f:
        return re.search(r"__version__ = '([^']+)'", f.read()).group(1)


def clean_env(**extra):
    """No PYTHONPATH: the modules must come from the installation, not the build."""
    env = dict((k, v) for k, v in os.environ.items() if k not in ('PYTHONPATH', 'PYTHONHOME'))
    env.update(PIP_NO_INDEX='1', PIP_DISABLE_PIP_VERSION_CHECK='1', PYTHONDONTWRITEBYTECODE='1')
    env.update(extra)
    return env


def run(cmd, cwd, env, timeout_hint=''):
    p = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = p.communicate()[0].decode('utf-8', 'replace')
    if p.returncode != 0:
        raise AssertionError('%s failed (%d)%s:\n%s' % (' '.join(cmd), p.returncode, timeout_hint, out[-4000:]))
    return out


def exported(path):
    """The names a shared object defines in its dynamic symbol table."""
    out = subprocess.check_output(['nm', '-D', '--defined-only', path]).decode('ascii')
    return sorted(line.split()[-1] for line in out.splitlines() if line.strip())


class Install(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix='kx-install-')
        # The simulator starts last: a failing setUpClass gets no tearDownClass,
        # and a simulator left running would hold the test's output open.
        cls.sdist = cls.make_sdist()
        cls.sim = Sim('--seed', '3', '--hosts', '12', '--interval', '20')

    @classmethod
    def tearDownClass(cls):
        cls.sim.kill()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    @classmethod
    def make_sdist(cls):
        """One source archive for every case, built in a copy of setup.py's inputs
        so the checkout gets no egg-info."""
        out = os.path.join(cls.tmp, 'sdist')
        run([sys.executable, os.path.join(ROOT, 'setup.py'), '-q', 'sdist', '-d', out,
             'egg_info', '--egg-base', cls.tmp], ROOT, clean_env())
        return glob.glob(os.path.join(out, 'KXdv17_0-*.tar.gz'))[0]

    def check_installation(self, python, bin_dir, env):
        """Imports from the installation, versions, symbols, kxtop against the simulator."""
        work = tempfile.mkdtemp(dir=self.tmp)
        found = json.loads(run([python, '-c', PROBE], work, env))
        for name, (ver, path) in found.items():
            self.assertEqual(ver, version(), name)
            self.assertFalse(os.path.realpath(path).startswith(ROOT + os.sep), '%s from the checkout: %s' % (name, path))
        for name in MODULES:
            self.assertEqual(exported(found[name][1]), ['init' + name] if python_major(python) == 2
                             else ['PyInit_' + name], name)
        out = run([os.path.join(bin_dir, 'kxtop'), '--port', str(self.sim.port), '--seconds', '1',
                   '--interval', '0.3', '--batch'], work, env)
        self.assertIn('top hosts', out)
        self.assertIn('uplink', out)

    def build_wheel(self, python, env):
        wheels = os.path.join(self.tmp, 'wheels-%d' % python_major(python))
        flags = ['--no-build-isolation'] if python_major(python) >= 3 else []
        run([python, '-m', 'pip', 'wheel', '--no-deps', '-w', wheels] + flags + [self.sdist], self.tmp, env)
        return glob.glob(os.path.join(wheels, 'KXdv17_0-*.whl'))[0]

    def test_python2_wheel(self):
        if sys.version_info[0] != 2:
            self.skipTest('the Python 2.7 run of this suite covers it')
        py = sys.executable
        env = clean_env(KX_JOBS='2')
        wheel = self.build_wheel(py, env)
        self.assertTrue(re.match(r'^KXdv17_0-%s-cp27-cp27mu?-linux_\w+\.whl$' % re.escape(version()),
                                 os.path.basename(wheel)), wheel)
        if has_module(py, 'virtualenv'):
            venv = os.path.join(self.tmp, 'venv2')
            run([py, '-m', 'virtualenv', '-q', venv], self.tmp, env)
            run([os.path.join(venv, 'bin', 'python'), '-m', 'pip', 'install', '--no-deps', wheel], self.tmp, env)
            self.check_installation(os.path.join(venv, 'bin', 'python'), os.path.join(venv, 'bin'), env)
        else:
            target = os.path.join(self.tmp, 'target2')
            run([py, '-m', 'pip', 'install', '--no-deps', '--target', target, wheel], self.tmp, env)
            self.check_installation(py, os.path.join(target, 'bin'), clean_env(PYTHONPATH=target))

    def test_python3_venv(self):
        if sys.version_info[0] >= 3:
            py3 = sys.executable
        elif os.path.isdir(os.path.join(BUILD, 'python3')):
            self.skipTest('the Python 3 run of this suite covers it')
        else:
            py3 = python3()
        if not py3:
            self.skipTest('no Python 3 interpreter')
        why = python3_build_problem(py3)
        if why:
            self.skipTest('the modules do not compile for Python 3 yet (%s)' % why)
        env = clean_env(KX_JOBS='2')
        venv = os.path.join(self.tmp, 'venv3')
        run([py3, '-m', 'venv', venv], self.tmp, env)
        vpy = os.path.join(venv, 'bin', 'python')
        wheel = self.build_wheel(vpy, env)
        run([vpy, '-m', 'pip', 'install', '--no-deps', wheel], self.tmp, env)
        self.check_installation(vpy, os.path.join(venv, 'bin'), env)

    def test_cmake_install(self):
        if sys.version_info[0] != 2:
            self.skipTest('installs the Python 2.7 build; the Python 2.7 run of this suite covers it')
        prefix = os.path.join(self.tmp, 'prefix')
        run(['cmake', '--install', os.path.abspath(BUILD), '--prefix', prefix], self.tmp, clean_env())
        site = glob.glob(os.path.join(prefix, 'lib', 'python2.7', '*-packages'))
        self.assertEqual(len(site), 1, os.listdir(prefix))
        self.assertTrue(os.access(os.path.join(prefix, 'bin', 'kxd-sim'), os.X_OK))
        self.check_installation(sys.executable, os.path.join(prefix, 'bin'), clean_env(PYTHONPATH=site[0]))


def python3():
    """The Python 3 the build is configured for (KX_PYTHON3 in the environment
    or the CMake cache), else /usr/bin/python3, else python3 on PATH."""
    if os.environ.get('KX_PYTHON3'):
        return os.environ['KX_PYTHON3']
    try:
        with open(os.path.join(BUILD, 'CMakeCache.txt')) as f:
            m = re.search(r'^KX_PYTHON3:\w+=(.+)$', f.read(), re.M)
        if m:
            return m.group(1).strip()
    except IOError:
        pass
    if os.access('/usr/bin/python3', os.X_OK):
        return '/usr/bin/python3'
    return which('python3')


def which(name):
    for folder in os.environ.get('PATH', '').split(os.pathsep):
        path = os.path.join(folder, name)
        if os.access(path, os.X_OK):
            return path
    return None


def python_major(python):
    return int(subprocess.check_output([python, '-c', 'import sys; print(sys.version_info[0])']).decode().strip())


def has_module(python, name):
    return subprocess.call([python, '-c', 'import ' + name], stdout=open(os.devnull, 'w'),
                           stderr=subprocess.STDOUT) == 0


def python3_build_problem(py3):
    """A quick look before a full build: the two init sources (with the helper
    layer's header), compiled for syntax only against Python 3's headers. Returns
    the first error, or None."""
    inc = subprocess.check_output([py3, '-c', 'import sysconfig; print(sysconfig.get_paths()["include"])'])
    inc = inc.decode().strip()
    if not os.path.exists(os.path.join(inc, 'Python.h')):
        return 'no Python.h under %s' % inc
    srcs = [os.path.join(ROOT, 'module', 'frame.cpp'), os.path.join(ROOT, 'msgmodule', 'kxmsgmodule.cpp')]
    cmd = [os.environ.get('CXX', 'c++'), '-std=c++17', '-fsyntax-only', '-DKX_VERSION="0"',
           '-I', os.path.join(ROOT, 'include'), '-I', os.path.join(ROOT, 'module'), '-isystem', inc] + srcs
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = p.communicate()[0].decode('utf-8', 'replace')
    if p.returncode == 0:
        return None
    errors = [l for l in out.splitlines() if ': error: ' in l]
    first = (errors or out.splitlines() or ['compiler failed'])[0].replace(ROOT + os.sep, '')
    return first.encode('ascii', 'replace').decode('ascii')


if __name__ == '__main__':
    unittest.main()
