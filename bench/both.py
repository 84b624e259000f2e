"""Runs every bench_*.py under Python 2.7 and Python 3, alternately and
ROUNDS times each, and prints the best rate of each benchmarked handler under
both interpreters with the Python 3 / Python 2.7 ratio, then the ratio of each
handler's time to its object floor's (bench/floor.py) under each.

    both.py PY2 MODDIR2 PY3 MODDIR3

A benchmark line is "<name> ... <rate> records/s" (or ops/s); the last rate
on the line is the one compared. Alternating the interpreters spreads the
noise of a shared machine over both sides; best-of keeps the least disturbed
run. Exits 1 when a ratio is below MIN_RATIO."""
from __future__ import print_function

import glob
import os
import re
import subprocess
import sys

ROUNDS = int(os.environ.get('KX_BENCH_ROUNDS', '3'))
MIN_RATIO = 0.90
FLOOR = 'floor:'  # the first word of a floor row: floor:<the handler's row>
RATE = re.compile(r'([0-9.]+) (?:records|ops)/s')
HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, os.pardir, 'tests', 'python')


def run(python, moddir, script):
    """{name: rate} of one run of one benchmark script."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([moddir, HERE, TESTS]), PYTHONDONTWRITEBYTECODE='1')
    out = subprocess.check_output([python, script], env=env, universal_newlines=True)
    rates = {}
    for line in out.splitlines():
        found = RATE.findall(line)
        if found:
            rates[line.split()[0]] = float(found[-1])
    return out, rates


def main(argv):
    py2, dir2, py3, dir3 = argv[1:5]
    rows = []
    for script in sorted(glob.glob(os.path.join(HERE, 'bench_*.py'))):
        best = ({}, {})
        name = os.path.basename(script)
        for r in range(ROUNDS):
            for side, (python, moddir) in enumerate([(py2, dir2), (py3, dir3)]):
                out, rates = run(python, moddir, script)
                if r == 0:
                    print('== %s (%s)' % (name, 'Python 2.7' if side == 0 else 'Python 3'))
                    sys.stdout.write(out)
                for key, rate in rates.items():
                    best[side][key] = max(best[side].get(key, 0.0), rate)
        rows += [(name[len('bench_'):-len('.py')], key, best[0][key], best[1].get(key, 0.0))
                 for key in sorted(best[0])]
    floors = [row for row in rows if row[1].startswith(FLOOR)]
    rows = [row for row in rows if not row[1].startswith(FLOOR)]
    print('\nbest of %d runs each          Python 2.7     Python 3   py3/py2' % ROUNDS)
    low = []
    for bench, key, r2, r3 in rows:
        ratio = r3 / r2
        print('%-11s %-17s %12.0f %12.0f %8.2f%s' % (bench, key, r2, r3, ratio, '  LOW' if ratio < MIN_RATIO else ''))
        if ratio < MIN_RATIO:
            low.append(key)
    # A floor row's rate is of the same objects built in Python from decoded
    # values; the best floor rate over the best module rate is module time
    # over floor time.
    print('\nmodule time / object floor time   Python 2.7     Python 3')
    module = dict(((bench, key), (r2, r3)) for bench, key, r2, r3 in rows)
    for bench, key, f2, f3 in floors:
        r2, r3 = module[bench, key[len(FLOOR):]]
        print('%-11s %-22s %10.2f %12.2f' % (bench, key[len(FLOOR):], f2 / r2, f3 / r3 if r3 else 0.0))
    if low:
        print('below %.0f%% of Python 2.7: %s' % (100 * MIN_RATIO, ', '.join(low)))
    return 1 if low else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
