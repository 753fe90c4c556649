"""The thread count of the native passes, under threadpoolctl's control.

Every threaded native pass takes its default thread count from one process-wide setting in the
shared library ``liborv_kernels`` (OMP_NUM_THREADS, else the usable CPUs, lowered by a limit).
Registering a threadpoolctl controller for that library lets ``threadpool_limits(n)`` (and
``threadpool_limits(n, user_api="openmp")``, the usual way to tame OpenMP code) lower it too.
"""

from importlib import metadata

LIBRARY_PREFIX = "liborv_kernels"
_registered = False


def register_with_threadpoolctl() -> None:
    """Register the controller once, when threadpoolctl (3.5 or newer) is installed."""
    global _registered
    if _registered:
        return
    try:
        import threadpoolctl
    except ImportError:
        return
    if not hasattr(threadpoolctl, "register"):
        return

    class OrvThreadsController(threadpoolctl.LibController):
        user_api = "openmp"
        internal_api = "orv"
        filename_prefixes = (LIBRARY_PREFIX,)

        def get_num_threads(self):
            return self.dynlib.orv_parallel_get_num_threads()

        def set_num_threads(self, num_threads):
            self.dynlib.orv_parallel_set_num_threads(int(num_threads))

        def get_version(self):
            try:
                return metadata.version("orv")
            except metadata.PackageNotFoundError:
                return None

    threadpoolctl.register(OrvThreadsController)
    _registered = True
