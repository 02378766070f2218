"""The C allocator's thresholds, set for a service that moves bodies in blocks of 64 KiB to
1 MiB. glibc serves a block of 128 KiB or more by mapping fresh pages, and hands the top of its
heap back to the system once 128 KiB of it is free; every block then costs page faults and
zeroing, which took over a third of the service's CPU on a 256 MiB upload through the proxy.
Larger thresholds let the heap keep and reuse those blocks: the peak stays the same, since the
blocks in flight are bounded anyway (the worker's queue)."""

import ctypes
import os

MMAP_THRESHOLD = 4 * 1024 * 1024  # blocks up to this come from the heap, and are reused
TRIM_THRESHOLD = 32 * 1024 * 1024  # free heap kept before any is handed back


# glibc section: mallopt(3). ------------------------------------------------------------------
M_TRIM_THRESHOLD, M_MMAP_THRESHOLD = -1, -3


def tune():
    """Returns whether the thresholds were set: under another C library (Windows, macOS, musl)
    the system's allocator is left as is."""
    try:
        if not os.confstr("CS_GNU_LIBC_VERSION"):
            return False
        mallopt = ctypes.CDLL(None).mallopt
    except (AttributeError, OSError, ValueError):  # no confstr, or not that name there
        return False
    return bool(mallopt(M_MMAP_THRESHOLD, MMAP_THRESHOLD)
                and mallopt(M_TRIM_THRESHOLD, TRIM_THRESHOLD))
# End of the glibc section. -------------------------------------------------------------------
