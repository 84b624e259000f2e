"""pip's way in (pyproject.toml names setuptools' legacy backend, which every
pip from Python 2.7's on drives): a wheel of KXdv17_0 for the interpreter
that runs this, built by CMake (cmake/kxwheel.py), offline:

    python -m pip install --no-build-isolation .
    python -m pip wheel --no-deps --no-build-isolation -w dist .
    python setup.py sdist

The build is CMake's alone (CMakeLists.txt: sources, flags, what is
installed); the metadata is cmake/kxwheel.py's.
"""
import os
import sys

from setuptools import Command, setup
from distutils.errors import DistutilsOptionError

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, 'cmake'))
import kxwheel  # noqa: E402


class BdistWheel(Command):
    """The wheel cmake/kxwheel.py builds (what pip runs to install)."""

    description = 'build a wheel for this interpreter with CMake'
    user_options = [('dist-dir=', 'd', 'where to put the wheel'),
                    ('bdist-dir=', 'b', 'ignored (the build is CMake\'s, in build-wheel/)'),
                    ('python-tag=', None, 'ignored: the tags are the running interpreter\'s'),
                    ('plat-name=', 'p', 'ignored: the tags are the running interpreter\'s')]

    def initialize_options(self):
        self.dist_dir = self.bdist_dir = self.python_tag = self.plat_name = None

    def finalize_options(self):
        self.dist_dir = self.dist_dir or 'dist'

    def run(self):
        kxwheel.build_wheel(os.path.abspath(self.dist_dir))

    @staticmethod
    def egg2dist(egg_info_dir, dist_info_dir):
        """What setuptools' dist_info (pip's metadata step) asks the wheel command for."""
        kxwheel.write_metadata(dist_info_dir)


class Refused(Command):
    """setup.py install, develop and editable installs would install the metadata alone."""

    user_options = [('dist-dir=', 'd', 'accepted for pip'), ('dist-info-dir=', 'I', 'accepted for pip'),
                    ('mode=', None, 'accepted for pip')]

    def initialize_options(self):
        self.dist_dir = self.dist_info_dir = self.mode = None

    def finalize_options(self):
        raise DistutilsOptionError('not supported: run `python -m pip install --no-build-isolation .` '
                                   '(README.md, "Install")')

    def run(self):
        pass


if __name__ == '__main__':
    os.chdir(HERE)
    setup(cmdclass={'bdist_wheel': BdistWheel, 'install': Refused, 'develop': Refused, 'editable_wheel': Refused},
          packages=[], py_modules=[], zip_safe=False, **kxwheel.setup_arguments())
