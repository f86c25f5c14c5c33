"""tarsk_interop's calls on a VecList that other threads use at the same time.

On a free-threaded interpreter these calls overlap the list's own methods for
real. A protocol-5 pickle hands the list's storage to the buffer's owner
while other threads read the list: every reader must see one whole state of
the list. A call that only reads the list (to_numpy, copies, pickling) holds
it as a method call does, so a change on another thread waits for it instead
of being refused; an as_numpy view still refuses changes while it lives. On
the GIL build the same tests check that nothing of this depends on how the
interpreter switches threads.

TARSK_THREAD_SECONDS bounds the time each race runs (here at most 1.5 s on a
free-threaded interpreter, 0.4 s with the GIL).
"""
import copy
import os
import pickle
import struct
import sysconfig
import threading
import time

import pytest

import tarsk_interop as ti
from tarsk_py import Quat, Vec3d, VecList

import concurrency
from concurrency import vec_bits

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
SECONDS = min(float(os.environ.get("TARSK_THREAD_SECONDS", "2.5")), 1.5 if FREE_THREADED else 0.4)
WATCHDOG = 120.0

# A half turn about x maps each element exactly and is its own inverse, so
# the rotated list moves between exactly two states.
HALF_TURN = Quat(0.0, 1.0, 0.0, 0.0)
ELEMENTS = [(1.5, 2.0, 3.0), (-4.0, 5.0, 6.25), (7.0, -8.0, 9.0), (10.0, 11.0, -12.0)]


@pytest.fixture(autouse=True)
def watchdog():
    with concurrency.watchdog(WATCHDOG):
        yield


def fresh_list():
    return VecList([Vec3d(*e) for e in ELEMENTS])


def states():
    """The bytes of the two states the list has, and of their last rows."""
    lst = fresh_list()
    first = ti.to_numpy(lst).tobytes()
    lst.rotate(HALF_TURN)
    second = ti.to_numpy(lst).tobytes()
    lst.rotate(HALF_TURN)
    assert ti.to_numpy(lst).tobytes() == first != second
    return {first, second}, {first[-24:], second[-24:]}



def run_threads(targets):
    concurrency.run_threads(targets, WATCHDOG)


# ---------------------------------------------------------------------------
# A protocol-5 pickle taken while other threads read the list

WHOLE, LAST_ROWS = states()
MAGNITUDES = struct.pack("<4d", *fresh_list().magnitude())

# Each reader reads the shared list once and says whether what it saw is a
# state the list had.
READERS = {
    "iteration": lambda lst: b"".join(vec_bits(e) for e in lst) in WHOLE,
    "indexing": lambda lst: vec_bits(lst[3]) in LAST_ROWS,
    "len": lambda lst: len(lst) == 4,
    "magnitude": lambda lst: struct.pack("<4d", *lst.magnitude()) == MAGNITUDES,
    "to_numpy": lambda lst: ti.to_numpy(lst).tobytes() in WHOLE,
    "protocol 4": lambda lst: ti.to_numpy(pickle.loads(pickle.dumps(lst, protocol=4))).tobytes() in WHOLE,
}


def pickle_while_reading(reader_names, seconds):
    """One thread pickles the shared list with protocol 5 (checking what it
    loads back) and rotates it, over and over; one thread per reader reads
    it. Returns {reader: (reads, wrong reads, exceptions)} and the pickler's
    (pickles, wrong pickles)."""
    lst = fresh_list()
    done = threading.Event()
    counts = {}
    pickles = [0, 0]

    def pickler():
        deadline = time.monotonic() + seconds
        try:
            while time.monotonic() < deadline:
                buffers = []
                data = pickle.dumps(lst, protocol=5, buffer_callback=buffers.append)
                back = pickle.loads(data, buffers=buffers)
                pickles[0] += 1
                pickles[1] += ti.to_numpy(back).tobytes() not in WHOLE
                try:
                    lst.rotate(HALF_TURN)
                except RuntimeError:
                    pass  # refused while a reader holds the list: counted by the refusal tests
        finally:
            done.set()

    def reader(name):
        read = READERS[name]

        def run():
            reads = wrong = raised = 0
            while not done.is_set() or reads == 0:
                try:
                    wrong += not read(lst)
                except Exception:  # noqa: BLE001 - counted: every read must succeed
                    raised += 1
                reads += 1
            counts[name] = (reads, wrong, raised)
        return run

    run_threads([pickler] + [reader(name) for name in reader_names])
    return counts, pickles


def test_readers_see_whole_states_while_protocol_5_pickles_hand_the_storage_over():
    counts, (pickles, wrong_pickles) = pickle_while_reading(list(READERS), SECONDS)
    assert pickles > 0 and wrong_pickles == 0, f"{wrong_pickles} of {pickles} pickles loaded a wrong list"
    bad = {name: c for name, c in counts.items() if c[1] or c[2]}
    assert not bad, f"(reads, wrong, raised) per reader: {counts}"


# ---------------------------------------------------------------------------
# Calls that only read a list hold it as a method call does: a change on
# another thread waits for them instead of being refused

REFUSAL_SECONDS = min(SECONDS, 0.4 if FREE_THREADED else 0.15)
CALL_READERS = {
    "VecList method": lambda lst: lst.magnitude(),
    "to_numpy": ti.to_numpy,
    "copy.copy": copy.copy,
    "copy.deepcopy": copy.deepcopy,
    "protocol 4": lambda lst: pickle.dumps(lst, protocol=4),
    "protocol 5": lambda lst: pickle.dumps(lst, protocol=5, buffer_callback=[].append),
}


def changes_refused_while_reading(read, seconds):
    """One thread appends to, extends and rotates a shared list (the next of
    a supply made beforehand after every 1000 changes, so that it stays
    small) while another reads it with `read`. Returns (changes, refused
    changes)."""
    # Every object both threads use exists before they start.
    supply = [fresh_list() for _ in range(3000)]
    box = [supply[0]]
    done = threading.Event()
    changes = [0, 0]

    def writer():
        deadline = time.monotonic() + seconds
        v, one = Vec3d(1.0, 2.0, 3.0), VecList([Vec3d(4.0, 5.0, 6.0)])
        try:
            for lst in supply:
                box[0] = lst
                for i in range(1000):
                    try:
                        if i % 50 == 49:
                            lst.rotate(HALF_TURN)
                        elif i % 10 == 9:
                            lst.extend(one)
                        else:
                            lst.append(v)
                    except RuntimeError:
                        changes[1] += 1
                changes[0] += 1000
                if time.monotonic() > deadline:
                    break
        finally:
            done.set()

    def reader():
        while not done.is_set():
            read(box[0])

    run_threads([writer, reader])
    return changes


@pytest.mark.parametrize("reader", list(CALL_READERS))
def test_a_change_waits_for_a_reading_call_on_another_thread(reader):
    changes, refused = changes_refused_while_reading(CALL_READERS[reader], REFUSAL_SECONDS)
    assert changes > 0
    assert refused == 0, f"{refused} of {changes} changes refused while another thread ran {reader}"


def test_a_view_refuses_changes_from_every_thread_while_it_lives():
    lst = fresh_list()
    view = ti.as_numpy(lst)
    outcome = []

    def change():
        for attempt in (lambda: lst.append(Vec3d(0.0, 0.0, 0.0)), lambda: lst.rotate(HALF_TURN)):
            try:
                attempt()
                outcome.append("changed")
            except RuntimeError as exc:
                outcome.append(str(exc))

    run_threads([change])
    assert outcome == ["Already borrowed", "Already borrowed"]
    assert view.tobytes() in WHOLE and len(lst) == 4
    del view
    run_threads([change])
    assert outcome[2:] == ["changed", "changed"] and len(lst) == 5
