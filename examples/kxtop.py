#!/usr/bin/env python
"""kxtop from a source checkout: python2.7 (or python3) examples/kxtop.py --port 7830"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))

from kxtools import top  # noqa: E402

if __name__ == '__main__':
    sys.exit(top.main())
