"""Settings for the whole suite."""
import os
import sysconfig

# distributed's statistical profiler samples the frames of every other thread
# of a worker (and of the process that runs the scheduler) every 10 ms. On the
# free-threaded 3.13 interpreter that read races the running threads and ends
# the process with SIGSEGV now and then, which the tests see as a lost worker
# or a crashed run. It only feeds the dashboard, so the tests turn it off
# there. The variable reaches dask's configuration at import and the worker
# processes by inheritance.
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    os.environ.setdefault("DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED", "False")
