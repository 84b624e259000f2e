"""How many appliances one kxexporter follows within a 1-second scrape: N
appliances on kxd-sim processes (4, each serving N/4 sessions of a 60-host
network stepping once a second), all followed by one exporter, scraped over
HTTP once a second for SECONDS. Per N it prints how many are up, the
exporter's CPU share and resident memory, the slowest scrape (request to
last byte), the scrape size and the worst lateness of the loop. The
exporter keeps up while the slowest scrape stays well under a second.

    KX_EXPORTER_SIZES=10,50,200 KX_EXPORTER_SECONDS=5 python3 bench_exporter.py
"""
from __future__ import print_function

import os
import sys
import time

if sys.version_info < (3, 8):
    print('bench_exporter: skipped, kxexporter needs Python 3.8 or later')
    sys.exit(0)
try:
    import prometheus_client  # noqa: F401
except ImportError:
    print('bench_exporter: skipped, no prometheus_client')
    sys.exit(0)

# The load run is asyncio code, which Python 2.7 cannot even compile.
from exporter_load import main  # noqa: E402

if __name__ == '__main__':
    main()
