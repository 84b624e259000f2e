#!/usr/bin/env python3
"""kxtop from a source checkout, from any directory: examples/kxtop.py --port 7830"""
import sys

from _checkout import use_checkout

use_checkout()

from kxtools import top  # noqa: E402

if __name__ == '__main__':
    sys.exit(top.main())
