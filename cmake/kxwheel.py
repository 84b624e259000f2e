"""The KXdv17_0 distribution: its metadata, its wheels and the .dist-info of a
CMake install. Standard library only, Python 2.7 and 3.

    python cmake/kxwheel.py wheel [DIST_DIR]   # a wheel for this interpreter (default dist/)
    python cmake/kxwheel.py record SITE LIST   # the .dist-info of what cmake --install wrote

A wheel is what `cmake --install` of a build for this interpreter alone
(-DKX_ONE_PYTHON) puts into its site-packages, staged in a fresh folder, so
it holds this interpreter's files and nothing left from an earlier build. The
build folder, build-wheel/<tag> in the source tree (KX_WHEEL_BUILD names
another), is kept between wheels of the same interpreter so a rebuild
compiles only what changed. setup.py (pip's way in) and CMake's install
both take the metadata from here.
"""
from __future__ import print_function

import base64
import glob
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NAME = 'KXdv17_0'


def version():
    scope = {}
    with open(os.path.join(ROOT, 'kxtools', '_version.py')) as f:
        exec(f.read(), scope)
    return scope['__version__']


def console_scripts():
    tools = ['kxtop = kxtools.top:main', 'kxtap = kxtools.tap:main', 'kxdissect = kxtools.dissect:main',
             'kxd-sim = kxtools.kxdsim:main']
    if sys.version_info[0] >= 3:  # asyncio code
        tools.append('kxexporter = kxtools.exporter:main')
    return tools


def setup_arguments():
    """The distribution's metadata, as setuptools' setup() takes it."""
    with io.open(os.path.join(ROOT, 'README.md'), encoding='utf-8') as f:
        readme = f.read()
    return dict(
        name=NAME,
        version=version(),
        description='Client-side protocol modules for the appliance daemon\'s management protocol, '
                    'and the kxtools client (kxtop)',
        long_description=readme,
        long_description_content_type='text/markdown',
        license='MIT',
        python_requires='>=2.7, !=3.0.*, !=3.1.*, !=3.2.*, !=3.3.*, !=3.4.*, !=3.5.*, !=3.6.*, !=3.7.*',
        extras_require={'exporter': ['prometheus_client']},
        entry_points={'console_scripts': console_scripts()},
        classifiers=['License :: OSI Approved :: MIT License',
                     'Operating System :: POSIX :: Linux',
                     'Programming Language :: C++',
                     'Programming Language :: Python :: 2',
                     'Programming Language :: Python :: 2.7',
                     'Programming Language :: Python :: 3'] +
                    ['Programming Language :: Python :: 3.%d' % minor for minor in range(8, 14)] +
                    ['Programming Language :: Python :: Implementation :: CPython'],
    )


def metadata():
    """METADATA (core metadata 2.1) of setup_arguments()."""
    a = setup_arguments()
    lines = ['Metadata-Version: 2.1', 'Name: ' + a['name'], 'Version: ' + a['version'],
             'Summary: ' + a['description'], 'License: ' + a['license'], 'Requires-Python: ' + a['python_requires']]
    lines += ['Classifier: ' + c for c in a['classifiers']]
    for extra, requires in sorted(a['extras_require'].items()):
        lines.append('Provides-Extra: ' + extra)
        lines += ['Requires-Dist: %s; extra == "%s"' % (r, extra) for r in requires]
    lines.append('Description-Content-Type: ' + a['long_description_content_type'])
    return '\n'.join(lines) + '\n\n' + a['long_description']


def tags():
    """This interpreter's wheel tags: cp311-cp311-linux_x86_64, cp27-cp27mu-linux_x86_64, ..."""
    impl = 'cp%d%d' % sys.version_info[:2]
    if sys.version_info[0] == 2:
        abi = impl + ('mu' if sys.maxunicode > 0xffff else 'm')
    else:
        abi = impl + (sysconfig.get_config_var('ABIFLAGS') or '')
    return impl, abi, re.sub(r'[-.]', '_', sysconfig.get_platform())


def _record_line(site, path):
    with open(path, 'rb') as f:
        data = f.read()
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=').decode('ascii')
    return '%s,sha256=%s,%d' % (os.path.relpath(path, site).replace(os.sep, '/'), digest, len(data))


def write_dist_info(site, files, wheel_tag=None):
    """NAME-VERSION.dist-info in SITE (any other version's goes) for FILES,
    absolute paths (those outside SITE are recorded relative to it, as pip
    records scripts); a WHEEL file with WHEEL_TAG, else INSTALLER. Returns
    the paths it wrote."""
    for old in glob.glob(os.path.join(site, NAME + '-*.dist-info')):
        shutil.rmtree(old)
    dist_info = os.path.join(site, '%s-%s.dist-info' % (NAME, version()))
    written = write_metadata(dist_info, wheel_tag, None if wheel_tag else 'cmake')
    record = os.path.join(dist_info, 'RECORD')
    lines = [_record_line(site, p) for p in sorted(files) + written if os.path.isfile(p)]
    with open(record, 'w') as f:
        f.write('\n'.join(lines + [os.path.relpath(record, site) + ',,']) + '\n')
    return written + [record]


def write_metadata(dist_info, wheel_tag=None, installer=None):
    """The .dist-info's files but RECORD (WHEEL with WHEEL_TAG, INSTALLER
    with INSTALLER); returns their paths."""
    if not os.path.isdir(dist_info):
        os.makedirs(dist_info)
    entry_points = '[console_scripts]\n' + ''.join(s + '\n' for s in console_scripts())
    with open(os.path.join(ROOT, 'LICENSE')) as f:
        licence = f.read()
    contents = {'METADATA': metadata(), 'entry_points.txt': entry_points, 'LICENSE': licence,
                'top_level.txt': 'KXMsgv17_0\nKXdv17_0\nkxtools\n'}
    if wheel_tag:
        contents['WHEEL'] = ('Wheel-Version: 1.0\nGenerator: %s cmake/kxwheel.py\nRoot-Is-Purelib: false\n'
                             'Tag: %s\n' % (NAME, wheel_tag))
    if installer:
        contents['INSTALLER'] = installer + '\n'
    written = []
    for name, text in sorted(contents.items()):
        path = os.path.join(dist_info, name)
        with io.open(path, 'w', encoding='utf-8') as f:
            f.write(text if isinstance(text, type(u'')) else text.decode('utf-8'))
        written.append(path)
    return written


def _run(cmd):
    print(' '.join(cmd))
    sys.stdout.flush()
    if subprocess.call(cmd) != 0:
        raise SystemExit('kxwheel: %s failed' % ' '.join(cmd))


def build_wheel(dist_dir):
    """Builds with CMake for this interpreter alone and returns the wheel's path."""
    impl, abi, plat = tags()
    build = os.environ.get('KX_WHEEL_BUILD') or os.path.join(ROOT, 'build-wheel', '%s-%s' % (impl, abi))
    cache = os.path.join(build, 'CMakeCache.txt')
    if os.path.exists(cache):
        with open(cache) as f:
            home = re.search(r'^CMAKE_HOME_DIRECTORY:INTERNAL=(.*)$', f.read(), re.M)
        if not home or os.path.realpath(home.group(1)) != os.path.realpath(ROOT):
            shutil.rmtree(build)  # copied with the tree from another place
    _run(['cmake', '-S', ROOT, '-B', build, '-DKX_ONE_PYTHON=' + sys.executable, '-DCMAKE_BUILD_TYPE=RelWithDebInfo'])
    _run(['cmake', '--build', build, '-j', os.environ.get('KX_JOBS') or str(os.cpu_count() if hasattr(os, 'cpu_count') else 2)])
    stage = tempfile.mkdtemp(prefix='kxwheel-')
    try:
        _run(['cmake', '--install', build, '--prefix', stage])
        sites = glob.glob(os.path.join(stage, 'lib', 'python*', '*-packages'))
        if len(sites) != 1:
            raise SystemExit('kxwheel: the install wrote %d site-packages folders, not one' % len(sites))
        site = sites[0]
        for old in glob.glob(os.path.join(site, '*.dist-info')):
            shutil.rmtree(old)
        files = [os.path.join(top, name) for top, _, names in os.walk(site) for name in names]
        dist_info = write_dist_info(site, files, '%s-%s-%s' % (impl, abi, plat))
        if not os.path.isdir(dist_dir):
            os.makedirs(dist_dir)
        wheel = os.path.join(dist_dir, '%s-%s-%s-%s-%s.whl' % (NAME, version(), impl, abi, plat))
        with zipfile.ZipFile(wheel, 'w', zipfile.ZIP_DEFLATED) as z:
            for path in sorted(files) + dist_info:  # the .dist-info last, RECORD at the end
                z.write(path, os.path.relpath(path, site).replace(os.sep, '/'))
    finally:
        shutil.rmtree(stage)
    print('kxwheel: wrote ' + wheel)
    return wheel


def main(argv):
    if argv[:1] == ['wheel'] and len(argv) <= 2:
        build_wheel(argv[1] if len(argv) == 2 else os.path.join(ROOT, 'dist'))
    elif argv[:1] == ['record'] and len(argv) == 3:
        with open(argv[2]) as f:
            files = [line.strip() for line in f if line.strip()]
        for path in write_dist_info(argv[1], files):
            print(path)
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
