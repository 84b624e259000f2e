#!/usr/bin/env python
"""kxdissect from a source checkout: python2.7 examples/kxdissect.py --help"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))

from kxtools import dissect  # noqa: E402

if __name__ == '__main__':
    sys.exit(dissect.main())
