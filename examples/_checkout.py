"""Lets the example scripts run from any directory of a source checkout.

use_checkout() puts the checkout (for kxtools) and its build's modules
($KX_MODULE_DIR, else $KX_BUILD_DIR/python, default build/python; python3/
or python3.X/ beside it for Python 3 when the build has one) first on sys.path. When the
running interpreter cannot load the modules (they are built for another
Python), the script starts again under the interpreter scripts/find-python27
finds.
"""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_AGAIN = 'KX_EXAMPLE_RESTARTED'


def use_checkout():
    build = os.environ.get('KX_BUILD_DIR') or os.path.join(ROOT, 'build')
    # The folder the tests name (KX_MODULE_DIR), else the build's folder for
    # this very version (python3.13/: a build for the newest pyenv Python),
    # else the one for its major version.
    own = os.path.join(build, 'python%d.%d' % sys.version_info[:2])
    modules = (os.environ.get('KX_MODULE_DIR') or (own if os.path.isdir(own) else None) or
               os.path.join(build, 'python3' if sys.version_info[0] >= 3 else 'python'))
    for path in (modules, ROOT):
        if path not in sys.path:
            sys.path.insert(0, path)
    try:
        import KXdv17_0  # noqa: F401
        return
    except ImportError:
        if os.environ.get(_AGAIN):
            raise
    try:
        python = subprocess.check_output([os.path.join(ROOT, 'scripts', 'find-python27')]).decode().strip()
    except (OSError, subprocess.CalledProcessError):
        python = None
    if not python or os.path.realpath(python) == os.path.realpath(sys.executable):
        import KXdv17_0  # noqa: F401,F811 - raises the ImportError the user needs to see
        return
    os.environ[_AGAIN] = '1'
    os.execv(python, [python, os.path.abspath(sys.argv[0])] + sys.argv[1:])
