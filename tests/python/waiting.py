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


def threads_since(before):
    """The ids of the threads started since the set `before` was taken and still running.

    Threads that other tests left ending may end meanwhile; counting them would make a test
    depend on their timing, so only new ids count."""
    return os_thread_ids() - before
