#!/usr/bin/env python
"""kxtap from a source checkout: python2.7 examples/kxtap.py --help"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))

from kxtools import tap  # noqa: E402

if __name__ == '__main__':
    sys.exit(tap.main())
