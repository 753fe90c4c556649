"""Peak memory of a call: what tracemalloc sees, and the resident set of a child process."""

import gc
import json
import subprocess
import sys
import tracemalloc


def traced_peak(function, args):
    """Peak bytes allocated through Python's allocators during the call, above the start."""
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        function(*args)
        return tracemalloc.get_traced_memory()[1] - start
    finally:
        tracemalloc.stop()


def child_peak_rss(setup, call, timeout=600):
    """Runs ``setup`` then ``call`` (Python source) in a fresh interpreter.

    Returns (growth of the peak resident set during ``call`` in bytes, seconds the call took,
    the JSON value ``call`` left in ``result`` or None). Linux only: the peak is reset through
    /proc/self/clear_refs before the call.
    """
    code = f"""
import json, time
{setup}
def _status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")
_before = _status_kib("VmRSS")
_start = time.perf_counter()
result = None
{call}
_seconds = time.perf_counter() - _start
print(json.dumps([(_status_kib("VmHWM") - _before) * 1024, _seconds, result]))
"""
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, check=True
    )
    peak, seconds, result = json.loads(done.stdout.strip().splitlines()[-1])
    return peak, seconds, result
