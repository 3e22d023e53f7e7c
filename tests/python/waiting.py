"""Waiting for a condition instead of looking once: threads end and start on their own time,
more so on a loaded machine."""
import os
import time


def wait_until(condition, limit=5.0):
    """True as soon as condition() is, False when `limit` seconds passed first."""
    end = time.monotonic() + limit
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.001)
    return True


def os_thread_ids():
    """The ids of the process's OS threads (Linux)."""
    return set(os.listdir("/proc/self/task"))
