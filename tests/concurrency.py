"""Shared helpers of the thread tests: a watchdog that dumps every stack and
ends the process when a test hangs (while threads switch as often as the
interpreter allows), a start-together runner that collects exceptions, and
the digests of one script run at several worker counts of the pool."""
import contextlib
import faulthandler
import os
import struct
import subprocess
import sys
import threading


@contextlib.contextmanager
def watchdog(seconds):
    faulthandler.dump_traceback_later(seconds, exit=True)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # with the GIL: switch threads as often as possible
    try:
        yield
    finally:
        sys.setswitchinterval(interval)
        faulthandler.cancel_dump_traceback_later()


def run_threads(targets, timeout):
    """Starts one thread per target, all at once behind a barrier; every
    thread must end within `timeout` seconds. Exceptions are collected and
    fail the caller."""
    errors = []
    barrier = threading.Barrier(len(targets))

    def run(target):
        try:
            barrier.wait()
            target()
        except BaseException as exc:  # noqa: BLE001 - reported by the test
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(t,), daemon=True) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=timeout)
        assert not t.is_alive(), "a thread hangs"
    assert not errors, errors


def vec_bits(v):
    return struct.pack("<3d", v.x, v.y, v.z)


WORKER_COUNTS = ("1", "2", "3", "7")


def digests_by_worker_count(script, counts=WORKER_COUNTS, timeout=300):
    """Runs `script` (which prints one digest) in a fresh interpreter per
    worker count of the pool; the set of the digests printed."""
    digests = set()
    for workers in counts:
        env = dict(os.environ, RAYON_NUM_THREADS=workers)
        r = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=timeout)
        assert r.returncode == 0, f"RAYON_NUM_THREADS={workers}: {r.stderr}"
        digests.add(r.stdout.strip())
    return digests
