#!/usr/bin/env python3
"""kxtap from a source checkout, from any directory: examples/kxtap.py --help"""
import sys

from _checkout import use_checkout

use_checkout()

from kxtools import tap  # noqa: E402

if __name__ == '__main__':
    sys.exit(tap.main())
