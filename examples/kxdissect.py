#!/usr/bin/env python3
"""kxdissect from a source checkout, from any directory: examples/kxdissect.py --help"""
import sys

from _checkout import use_checkout

use_checkout()

from kxtools import dissect  # noqa: E402

if __name__ == '__main__':
    sys.exit(dissect.main())
