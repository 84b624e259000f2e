"""Builds and installs KXdv17_0, KXMsgv17_0, the kxtools client package and
the simulated daemon kxd-sim for the interpreter that runs it, with nothing
fetched from the network (pyproject.toml names setuptools' legacy backend):

    pip install --no-build-isolation .
    pip wheel --no-deps --no-build-isolation .
    python setup.py sdist

The support library (common/) is compiled once into a static library and
linked into both modules and kxd-sim, with the sources, definitions and
warning flags of the CMake build (CMakeLists.txt); each module exports only
its init function (cmake/python-module.map). kxd-sim goes into the kxtools
package as kxtools/kxd-sim, run by the kxd-sim command (kxtools.kxdsim).
KX_JOBS sets how many sources compile at once.
"""
from __future__ import print_function

import base64
import glob
import hashlib
import multiprocessing
import os
import re
import shlex
import shutil
import sys
import sysconfig
import zipfile
from multiprocessing.pool import ThreadPool

from setuptools import Command, Extension, setup
from setuptools.command.build_ext import build_ext
from distutils import log

HERE = os.path.dirname(os.path.abspath(__file__))
NAME = 'KXdv17_0'


def read_version():
    with open(os.path.join(HERE, 'kxtools', '_version.py')) as f:
        return re.search(r"^__version__ *= *['\"]([^'\"]+)['\"]", f.read(), re.M).group(1)


VERSION = read_version()
EXPORTS_MAP = 'cmake/python-module.map'
SIM = 'kxd-sim'

# The CMake build's flags (RelWithDebInfo, warnings, definitions).
CXXFLAGS = ['-std=c++17', '-fPIC', '-O2', '-g', '-DNDEBUG', '-Wall', '-Wextra', '-Wno-format-zero-length',
            '-fmacro-prefix-map=%s/=' % HERE, '-DKX_VERSION="%s"' % VERSION]
MODULE_CXXFLAGS = ['-Wno-cast-function-type', '-Wno-missing-field-initializers', '-fvisibility=hidden', '-fno-plt']


def sources(folder):
    return sorted(glob.glob(os.path.join(folder, '*.cpp')))


class BuildExt(build_ext):
    """Compiles with the C++ compiler and the project's flags instead of the
    interpreter's C flags, builds the support library first, then the
    modules and kxd-sim, and compiles up to KX_JOBS sources in parallel."""

    def build_extensions(self):
        cc = self.compiler
        cxx = shlex.split(os.environ.get('CXX', 'c++'))
        cc.compiler_so = cxx + CXXFLAGS
        cc.compiler_cxx = cxx
        cc.linker_so = cxx + ['-shared'] + shlex.split(os.environ.get('LDFLAGS', ''))
        cc.linker_exe = cxx + shlex.split(os.environ.get('LDFLAGS', ''))
        cc.compile = self._parallel(cc.compile)

        # The interpreter's headers as system headers: they are not written
        # for C++17 and -Wall (CMake includes them the same way).
        py_include = sysconfig.get_paths()['include']
        objects = cc.compile(sources('common'), output_dir=self.build_temp, include_dirs=['include'])
        cc.create_static_lib(objects, 'kxcommon', output_dir=self.build_temp)
        for ext in self.extensions:
            ext.extra_compile_args = MODULE_CXXFLAGS + ['-isystem', py_include]
            ext.library_dirs = [self.build_temp]
            ext.libraries = ['kxcommon']
            ext.extra_link_args = ['-Wl,--version-script=%s' % os.path.join(HERE, EXPORTS_MAP)]
        build_ext.build_extensions(self)
        self.build_sim()
        # The modules' type stubs beside the modules (where type checkers look).
        if not self.inplace:
            for stub in glob.glob(os.path.join(HERE, 'stubs', '*.pyi')):
                self.copy_file(stub, os.path.join(self.build_lib, os.path.basename(stub)))

    def build_sim(self):
        """kxd-sim, as the CMake build makes it (sim/CMakeLists.txt), into the
        kxtools package."""
        cc = self.compiler
        package = 'kxtools' if self.inplace else os.path.join(self.build_lib, 'kxtools')
        objects = cc.compile(sources('sim'), output_dir=self.build_temp, include_dirs=['include'])
        cc.link_executable(objects, SIM, output_dir=package, libraries=['kxcommon'],
                           library_dirs=[self.build_temp], target_lang='c++')

    @staticmethod
    def _parallel(compile_one_batch):
        jobs = int(os.environ.get('KX_JOBS') or multiprocessing.cpu_count())

        def compile(sources, *args, **kw):
            if jobs <= 1 or len(sources) <= 1:
                return compile_one_batch(sources, *args, **kw)
            pool = ThreadPool(min(jobs, len(sources)))
            try:
                results = pool.map(lambda src: compile_one_batch([src], *args, **kw), sources)
            finally:
                pool.close()
            return [obj for objs in results for obj in objs]
        return compile


def urlsafe_digest(data):
    return base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=').decode('ascii')


class BdistWheel(Command):
    """A wheel with the standard library alone, for interpreters without the
    `wheel` package (pip calls `setup.py bdist_wheel`; with the package
    installed, its own command is used instead)."""

    description = 'build a wheel (built-in; the wheel package is not installed)'
    user_options = [('dist-dir=', 'd', 'where to put the wheel'),
                    ('bdist-dir=', 'b', 'staging folder'),
                    ('python-tag=', None, 'accepted for pip; the tag is always the running interpreter\'s')]

    def initialize_options(self):
        self.dist_dir = None
        self.bdist_dir = None
        self.python_tag = None

    def finalize_options(self):
        self.dist_dir = self.dist_dir or 'dist'
        if self.bdist_dir is None:
            self.bdist_dir = os.path.join(self.get_finalized_command('bdist').bdist_base, 'wheel')

    @staticmethod
    def tags():
        impl = 'cp%d%d' % sys.version_info[:2]
        if sys.version_info[0] == 2:
            abi = impl + ('mu' if sys.maxunicode > 0xffff else 'm')
        else:
            abi = impl + getattr(sys, 'abiflags', '')
        return impl, abi, sysconfig.get_platform().replace('-', '_').replace('.', '_')

    def egg2dist(self, egg_info_dir, dist_info_dir):
        """The egg-info metadata setuptools wrote, as a .dist-info folder."""
        if not os.path.isdir(dist_info_dir):
            os.makedirs(dist_info_dir)
        with open(os.path.join(egg_info_dir, 'PKG-INFO'), 'rb') as f:
            metadata = f.read()
        with open(os.path.join(dist_info_dir, 'METADATA'), 'wb') as f:
            f.write(metadata)
        copies = [os.path.join(egg_info_dir, name) for name in ('entry_points.txt', 'top_level.txt')]
        for src in copies + [os.path.join(HERE, 'LICENSE')]:
            name = os.path.basename(src)
            if os.path.exists(src):
                with open(src, 'rb') as f:
                    data = f.read()
                with open(os.path.join(dist_info_dir, name), 'wb') as f:
                    f.write(data)

    def run(self):
        self.run_command('build')
        build = self.get_finalized_command('build')
        self.run_command('egg_info')
        egg_info = self.get_finalized_command('egg_info')

        if os.path.exists(self.bdist_dir):
            shutil.rmtree(self.bdist_dir)
        self.copy_tree(build.build_lib, self.bdist_dir)
        dist_name = re.sub(r'[^\w.]+', '_', self.distribution.get_name())
        dist_info = os.path.join(self.bdist_dir, '%s-%s.dist-info' % (dist_name, VERSION))
        self.egg2dist(egg_info.egg_info, dist_info)
        impl, abi, plat = self.tags()
        with open(os.path.join(dist_info, 'WHEEL'), 'w') as f:
            f.write('Wheel-Version: 1.0\nGenerator: KXdv17_0 setup.py\nRoot-Is-Purelib: false\n'
                    'Tag: %s-%s-%s\n' % (impl, abi, plat))

        if not os.path.isdir(self.dist_dir):
            os.makedirs(self.dist_dir)
        wheel = os.path.join(self.dist_dir, '%s-%s-%s-%s-%s.whl' % (dist_name, VERSION, impl, abi, plat))
        record_name = os.path.basename(dist_info) + '/RECORD'
        records = []
        log.info('creating %s', wheel)
        with zipfile.ZipFile(wheel, 'w', zipfile.ZIP_DEFLATED) as z:
            paths = []
            for root, _, files in os.walk(self.bdist_dir):
                for name in files:
                    path = os.path.join(root, name)
                    paths.append((os.path.relpath(path, self.bdist_dir).replace(os.sep, '/'), path))
            # .dist-info last, as installers expect.
            for arcname, path in sorted(paths, key=lambda p: ('.dist-info/' in p[0], p[0])):
                with open(path, 'rb') as f:
                    data = f.read()
                z.write(path, arcname)
                records.append('%s,sha256=%s,%d' % (arcname, urlsafe_digest(data), len(data)))
            records.append(record_name + ',,')
            z.writestr(record_name, '\n'.join(records) + '\n')


def bdist_wheel_command():
    try:
        from wheel.bdist_wheel import bdist_wheel  # noqa: F401
        return {}
    except ImportError:
        return {'bdist_wheel': BdistWheel}


def module(name, folder, *shared):
    """The extension `name` from the sources of `folder` and of the shared
    folders (pyfast/: the interpreter shortcuts, whose headers both modules
    include)."""
    return Extension(name, sources=sources(folder) + sum((sources(f) for f in shared), []),
                     include_dirs=['include', folder], language='c++',
                     depends=glob.glob('include/*.h') + glob.glob(os.path.join(folder, '*.h')) +
                     glob.glob('pyfast/*.h') +
                     glob.glob('protocol/*.def') + glob.glob('protocol/*.h') + [EXPORTS_MAP])


def write_protocol_table():
    """kxtools/_protocol.py from the protocol definition (an sdist carries both)."""
    sys.path.insert(0, os.path.join(HERE, 'protocol'))
    try:
        import gen_protocol
    finally:
        del sys.path[0]
    gen_protocol.main([])


def readme():
    with open(os.path.join(HERE, 'README.md')) as f:
        return f.read()


if __name__ == '__main__':
    os.chdir(HERE)
    write_protocol_table()
    cmdclass = {'build_ext': BuildExt}
    cmdclass.update(bdist_wheel_command())
    setup(
        name=NAME,
        version=VERSION,
        description='Client-side protocol modules for the appliance daemon\'s management protocol, '
                    'and the kxtools client (kxtop)',
        long_description=readme(),
        long_description_content_type='text/markdown',
        license='MIT',
        python_requires='>=2.7, !=3.0.*, !=3.1.*, !=3.2.*, !=3.3.*, !=3.4.*, !=3.5.*, !=3.6.*, !=3.7.*',
        ext_modules=[module('KXdv17_0', 'module', 'pyfast'), module('KXMsgv17_0', 'msgmodule')],
        packages=['kxtools'],
        package_data={'kxtools': ['kx.lua', 'py.typed', '*.pyi']},
        extras_require={'exporter': ['prometheus_client']},
        entry_points={'console_scripts': ['kxtop = kxtools.top:main',
                                          'kxtap = kxtools.tap:main',
                                          'kxdissect = kxtools.dissect:main',
                                          'kxexporter = kxtools.exporter:main',
                                          'kxd-sim = kxtools.kxdsim:main']},
        cmdclass=cmdclass,
        # Not build/, which is CMake's.
        options={'build': {'build_base': 'build-setuptools'}},
        zip_safe=False,
        classifiers=['License :: OSI Approved :: MIT License',
                     'Operating System :: POSIX :: Linux',
                     'Programming Language :: C++',
                     'Programming Language :: Python :: 2',
                     'Programming Language :: Python :: 2.7',
                     'Programming Language :: Python :: 3'] +
                    ['Programming Language :: Python :: 3.%d' % minor for minor in range(8, 14)] +
                    ['Programming Language :: Python :: Implementation :: CPython'],
    )
