"""kxd-sim, the simulated daemon, as a command of the installed package: runs
the kxd-sim binary that the wheel or `cmake --install` put into this package."""
import os
import sys

BINARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'kxd-sim')


def main():
    if not os.access(BINARY, os.X_OK):
        sys.stderr.write('kxd-sim: %s is missing; this kxtools was not installed from a wheel or by '
                         'cmake --install (a CMake build has build/sim/kxd-sim)\n' % BINARY)
        return 1
    os.execv(BINARY, [BINARY] + sys.argv[1:])


if __name__ == '__main__':
    sys.exit(main())
