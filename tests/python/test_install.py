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
import tarfile
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
        packer = next((p for p in (sys.executable, cmake_cache('KX_PYTHON3')) if has_module(p, 'setuptools')), None)
        cls.sdist = cls.make_sdist(packer) if packer else None
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
    def make_sdist(cls, python):
        """One source archive for every case, unpacked where the wheel builds of
        earlier runs find it (the files keep their times: a rebuild compiles only
        what changed); the egg-info goes to tmp, not the checkout."""
        out = os.path.join(cls.tmp, 'sdist')
        run([python, os.path.join(ROOT, 'setup.py'), '-q', 'sdist', '-d', out,
             'egg_info', '--egg-base', cls.tmp], ROOT, clean_env())
        archive = glob.glob(os.path.join(out, 'KXdv17_0-*.tar.gz'))[0]
        unpacked = os.path.join(os.path.abspath(BUILD), 'install-test')
        shutil.rmtree(os.path.join(unpacked, 'src'), ignore_errors=True)
        with tarfile.open(archive) as t:
            t.extractall(unpacked)
        os.rename(os.path.join(unpacked, os.path.basename(archive)[:-len('.tar.gz')]), os.path.join(unpacked, 'src'))
        return os.path.join(unpacked, 'src')

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
            names = z.namelist()
        self.assertIn('License: MIT\n', metadata)
        self.assertIn('Classifier: License :: OSI Approved :: MIT License\n', metadata)
        self.assertIn('Classifier: Programming Language :: Python :: %d.%d\n' % sys.version_info[:2], metadata)
        self.assertIn('Requires-Dist: prometheus_client; extra == "exporter"\n', metadata)
        self.assertTrue(sim_mode & 0o100, oct(sim_mode))
        # This interpreter's modules and nothing built for another; the stubs as
        # stub-only packages; kxtools and its metadata.
        suffix = sysconfig.get_config_var('EXT_SUFFIX') or '.so'
        self.assertEqual(sorted(n for n in names if '/' not in n), sorted(m + suffix for m in MODULES))
        self.assertEqual(sorted(n for n in names if n.startswith('KX') and '/' in n and '.dist-info/' not in n),
                         sorted(m + '-stubs/__init__.pyi' for m in MODULES))
        self.assertEqual(set(n.split('/')[0] for n in names if '/' in n),
                         set([m + '-stubs' for m in MODULES] + ['kxtools', 'KXdv17_0-%s.dist-info' % VERSION]))

    def check_types(self, python, work):
        """Debian's mypy, told the venv's interpreter and nothing else, finds the
        installed stubs and flags a wrongly typed call into each module (for
        its own Python version: it reads no other's site-packages)."""
        probe = 'import mypy, sys; sys.exit(sys.version_info[:2] != (%d, %d))' % sys.version_info[:2]
        if sys.version_info[0] < 3 or not has_module('/usr/bin/python3', 'mypy') or \
                subprocess.call(['/usr/bin/python3', '-c', probe]) != 0:
            return
        program = os.path.join(work, 'client.py')
        with open(program, 'w') as f:
            f.write('import KXdv17_0, KXMsgv17_0\n'
                    'class Conn:\n'
                    '    def writeMsg(self, msg: KXMsgv17_0.KXMsg) -> None: pass\n'
                    'KXdv17_0.createViewByName(Conn(), "7", "hosts")\n'
                    'KXMsgv17_0.KXMsg(b"1")\n')
        p = subprocess.Popen(['/usr/bin/python3', '-m', 'mypy', '--python-executable', python, '--no-incremental',
                              '--cache-dir', os.path.join(work, 'mypy-cache'), program],
                             cwd=work, env=clean_env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out = p.communicate()[0].decode('utf-8', 'replace')
        self.assertEqual(re.findall(r'^client\.py:(\d+): error: (.*)', out, re.M),
                         [('4', 'Argument 2 to "createViewByName" has incompatible type "str"; expected "int"  [arg-type]'),
                          ('5', 'Argument 1 to "KXMsg" has incompatible type "bytes"; expected "int"  [arg-type]')], out)

    def test_wheel(self):
        """pip builds the wheel where setuptools is at hand; kxwheel.py, which needs
        no setuptools, where it is not (the pyenv 3.12 and 3.13 venvs)."""
        if not self.sdist:
            self.skipTest('no interpreter with setuptools to make the source archive')
        py = sys.executable
        env = clean_env(KX_JOBS='2', KX_WHEEL_BUILD=os.path.join(os.path.dirname(self.sdist),
                                                                 'wheel-%d.%d' % sys.version_info[:2]))
        if sys.version_info[0] >= 3:
            venv = os.path.join(self.tmp, 'venv3')
            run([py, '-m', 'venv', venv], self.tmp, env)
            py = os.path.join(venv, 'bin', 'python')
        wheels = os.path.join(self.tmp, 'wheels')
        if has_module(py, 'setuptools'):
            run([py, '-m', 'pip', 'wheel', '--no-deps', '--no-build-isolation', '-w', wheels, self.sdist], self.tmp, env)
        else:
            run([py, os.path.join(self.sdist, 'cmake', 'kxwheel.py'), 'wheel', wheels], self.tmp, env)
        wheel = glob.glob(os.path.join(wheels, 'KXdv17_0-*.whl'))[0]
        self.check_wheel(wheel)
        if sys.version_info[0] >= 3:
            run([py, '-m', 'pip', 'install', '--no-deps', wheel], self.tmp, env)
            self.check_installation(py, os.path.join(venv, 'bin'), env)
            self.check_types(py, self.tmp)
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
        """Into a plain prefix (Python 2.7): every build, with launchers per
        interpreter. Into a venv (Python 3): the venv's build alone, which pip
        lists and uninstalls without a trace."""
        ver = '%d.%d' % sys.version_info[:2]
        if sys.version_info[0] >= 3:
            return self.check_cmake_install_venv(ver)
        prefix = os.path.join(self.tmp, 'prefix')
        run(['cmake', '--install', os.path.abspath(BUILD), '--prefix', prefix], self.tmp, clean_env())
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

    def check_cmake_install_venv(self, ver):
        venv = os.path.join(self.tmp, 'venv-cmake')
        run([sys.executable, '-m', 'venv', venv], self.tmp, clean_env())
        py, bin_dir = os.path.join(venv, 'bin', 'python'), os.path.join(venv, 'bin')
        def ours():
            return sorted(glob.glob(os.path.join(venv, 'lib', 'python*', '*-packages', '[Kk][Xx]*')) +
                          glob.glob(os.path.join(bin_dir, 'kx*')) + glob.glob(os.path.join(venv, 'share', 'kx*')))
        run(['cmake', '--install', os.path.abspath(BUILD), '--prefix', venv], self.tmp, clean_env())
        self.assertEqual(os.listdir(os.path.join(venv, 'lib')), ['python' + ver])
        self.assertEqual(sorted(os.path.basename(p) for p in glob.glob(os.path.join(bin_dir, 'kx*'))),
                         ['kxd-sim', 'kxdissect', 'kxexporter', 'kxtap', 'kxtop'])
        self.assertIn('KXdv17_0 ', run([py, '-m', 'pip', 'list'], self.tmp, clean_env()).replace('-0 ', '_0 '))
        self.check_installation(py, bin_dir, clean_env())
        run([py, '-m', 'pip', 'uninstall', '-y', 'KXdv17_0'], self.tmp, clean_env())
        self.assertEqual(ours(), [])

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
