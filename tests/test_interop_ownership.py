"""tarsk_interop: who owns the memory behind the arrays it hands out, how long a
list stays borrowed, and what the private native module accepts.

Cases that would crash the interpreter on a fault run in a child process."""
import io
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tarsk_interop as ti
from tarsk_py import Quat, Vec3d, VecList

BASE = np.random.default_rng(17).normal(size=(100_000, 3))


def run_child(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout


# ---------------------------------------------------------------------------
# The owner of an array's memory cannot be released before the array

def test_releasing_an_arrays_base_keeps_its_memory():
    out = run_child("""
        import numpy as np, tarsk_interop as ti
        from tarsk_py import Quat
        base = np.random.default_rng(1).normal(size=(100_000, 3))
        lst = ti.to_veclist(base)
        makers = {
            "normalize": lambda: ti.normalize(base),
            "rotate": lambda: ti.rotate(base, Quat(0.5, 0.5, 0.5, 0.5)),
            "magnitude": lambda: ti.magnitude(base),
            "is_unit": lambda: ti.is_unit(base),
            "to_numpy": lambda: ti.to_numpy(lst),
            "as_numpy": lambda: ti.as_numpy(lst),
        }
        for name, make in makers.items():
            arr = make()
            expected = make().tobytes()
            try:
                arr.base.release()
            except (AttributeError, BufferError):
                pass
            # Fresh allocations of the same size would reuse freed memory.
            scratch = [np.full(base.shape, 7.0) for _ in range(3)]
            assert arr.tobytes() == expected, name
            del scratch
        print("ok")
    """)
    assert out.strip() == "ok"


def test_a_view_holds_the_borrow_exactly_as_long_as_it_lives():
    lst = ti.to_veclist(BASE[:10])
    view = ti.as_numpy(lst)
    try:
        view.base.release()
    except (AttributeError, BufferError):
        pass
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        lst.append(Vec3d(0, 0, 0))
    sub = view[2:5]
    del view
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        lst.rotate(Quat(1, 0, 0, 0))
    del sub
    lst.append(Vec3d(0, 0, 0))
    assert len(lst) == 11


# ---------------------------------------------------------------------------
# Pickling leaves the list free once dump returns

@pytest.mark.parametrize("pickler", [pickle.Pickler, pickle._Pickler], ids=["C", "Python"])
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_a_long_lived_pickler_leaves_the_list_free(pickler, protocol):
    lst = ti.to_veclist(BASE[:1000])
    sink = io.BytesIO()
    p = pickler(sink, protocol=protocol)
    p.dump(lst)
    lst.append(Vec3d(1, 2, 3))
    lst.rotate(Quat(0.0, 1.0, 0.0, 0.0))
    p.dump(lst)  # the memo answers with the first pickle's object
    back = pickle.loads(sink.getvalue())
    assert ti.to_numpy(back).tobytes() == BASE[:1000].tobytes()
    assert len(lst) == 1001


def test_out_of_band_buffers_keep_their_bytes_when_the_list_changes():
    data = BASE[:5000]
    lst = ti.to_veclist(data)
    buffers = []
    stream = pickle.dumps(lst, protocol=5, buffer_callback=buffers.append)
    lst.rotate(Quat(0.0, 0.0, 1.0, 0.0))
    lst.append(Vec3d(1, 2, 3))
    assert bytes(buffers[0].raw()) == data.tobytes()
    back = pickle.loads(stream, buffers=buffers)
    assert ti.to_numpy(back).tobytes() == data.tobytes()
    back.append(Vec3d(4, 5, 6))  # the loaded list copies on its first change
    assert bytes(buffers[0].raw()) == data.tobytes()
    assert ti.to_numpy(back)[:-1].tobytes() == data.tobytes()


def test_a_protocol_5_pickle_under_a_live_view_copies_the_elements():
    # A view holds the list, so its storage cannot change owner: the buffer
    # gets a copy, and the list, the view and the buffer stay independent.
    data = BASE[:3000]
    lst = ti.to_veclist(data)
    view = ti.as_numpy(lst)
    buffers = []
    stream = pickle.dumps(lst, protocol=5, buffer_callback=buffers.append)
    assert _address(buffers[0].raw()) != _address(view)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        lst.rotate(Quat(0.0, 0.0, 1.0, 0.0))
    del view
    lst.rotate(Quat(0.0, 0.0, 1.0, 0.0))
    assert bytes(buffers[0].raw()) == data.tobytes()
    assert ti.to_numpy(pickle.loads(stream, buffers=buffers)).tobytes() == data.tobytes()
    # Without a view the elements move to the buffer's owner, no copy.
    buffers = []
    pickle.dumps(lst, protocol=5, buffer_callback=buffers.append)
    assert _address(buffers[0].raw()) == _address(ti.as_numpy(lst))


# ---------------------------------------------------------------------------
# Out-of-band buffers: raw bytes or native float64 only

def _stream_of(n):
    buffers = []
    stream = pickle.dumps(ti.to_veclist(BASE[:n]), protocol=5, buffer_callback=buffers.append)
    return stream


@pytest.mark.parametrize("make", [
    lambda b: np.frombuffer(b, dtype=np.float32).copy(),
    lambda b: np.frombuffer(b, dtype=np.float64).astype(">f8"),
    lambda b: np.array([object()] * (len(b) // 8), dtype=object),
    lambda b: np.frombuffer(b, dtype=np.int64).copy(),
], ids=["float32", "big-endian", "object", "int64"])
def test_typed_buffers_other_than_float64_are_refused(make):
    stream = _stream_of(2)
    raw = BASE[:2].tobytes()
    with pytest.raises(pickle.UnpicklingError, match="corrupted VecList data"):
        pickle.loads(stream, buffers=[make(raw)])


@pytest.mark.parametrize("make", [
    bytes, bytearray, memoryview,
    lambda b: memoryview(bytearray(b)).toreadonly(),
    lambda b: np.frombuffer(b, dtype=np.uint8).copy(),
    lambda b: np.frombuffer(b, dtype=np.float64).copy(),
    lambda b: pickle.PickleBuffer(bytearray(b)),
], ids=["bytes", "bytearray", "memoryview", "readonly-view", "uint8", "float64", "picklebuffer"])
def test_raw_and_float64_buffers_load_and_are_not_shared_when_writable(make):
    stream = _stream_of(300)
    raw = BASE[:300].tobytes()
    buffer = make(raw)
    back = pickle.loads(stream, buffers=[buffer])
    assert ti.to_numpy(back).tobytes() == raw
    # Whoever can write the buffer cannot change the list behind its back.
    target = buffer.raw() if isinstance(buffer, pickle.PickleBuffer) else buffer
    writable = memoryview(target)
    if not writable.readonly:
        writable.cast("B")[:24] = bytes(24)
        assert ti.to_numpy(back).tobytes() == raw


def test_misaligned_and_odd_sized_buffers():
    stream = _stream_of(4)
    raw = BASE[:4].tobytes()
    misaligned = memoryview(bytearray(b"\0" + raw))[1:]
    assert ti.to_numpy(pickle.loads(stream, buffers=[misaligned])).tobytes() == raw
    with pytest.raises(pickle.UnpicklingError, match="corrupted VecList data"):
        pickle.loads(stream, buffers=[raw[:-8]])


# ---------------------------------------------------------------------------
# The private native module checks every object it is given

def test_no_private_entry_point_reinterprets_unchecked_objects():
    out = run_child("""
        import itertools, types
        import numpy as np
        import tarsk_interop as ti
        from tarsk_interop import _native
        from tarsk_py import Quat, Vec3d, VecList
        big = np.zeros((2, 3))
        fake = types.SimpleNamespace(Vec3d=list, VecList=bytearray, Quat=dict)
        hostile = [big[:1], "append", "rotate", "__rmul__", Vec3d(7, 7, 7), Quat(1, 0, 0, 0),
                   VecList([Vec3d(1, 2, 3)]), fake, 5, None, b"\\0" * 24, bytearray(24),
                   np.zeros(3, dtype=object)]
        names = [n for n in dir(_native) if not n.startswith("__") and callable(getattr(_native, n))]
        calls = 0
        for name in names:
            fn = getattr(_native, name)
            for k in range(4):
                for args in itertools.product(hostile, repeat=k):
                    try:
                        fn(*args)
                    except Exception:
                        pass
                    calls += 1
        # Nothing wrote past the one-row array it was given.
        assert not big[1].any(), big
        # The module still works on the real classes.
        assert ti.to_numpy(VecList([Vec3d(1, 2, 3)])).tolist() == [[1.0, 2.0, 3.0]]
        print("ok", calls)
    """)
    assert out.startswith("ok ")


# ---------------------------------------------------------------------------
# Protocol 5 without copies where nobody can change the bytes

def _address(a):
    return np.asarray(a).__array_interface__["data"][0]


def test_loading_reads_immutable_buffers_in_place_and_copies_the_rest():
    data = BASE[:2000]
    buffers = []
    stream = pickle.dumps(ti.to_veclist(data), protocol=5, buffer_callback=buffers.append)
    immutable = bytes(buffers[0].raw())
    for buffer, shared in [(buffers[0], True), (immutable, True), (bytearray(immutable), False),
                           (np.frombuffer(immutable, dtype=np.float64).copy(), False)]:
        back = pickle.loads(stream, buffers=[buffer])
        source = np.frombuffer(buffer.raw() if isinstance(buffer, pickle.PickleBuffer) else buffer, dtype=np.uint8)
        assert (ti.as_numpy(back).__array_interface__["data"][0] == _address(source)) is shared
        assert ti.to_numpy(back).tobytes() == data.tobytes()
        # The first change moves the list into memory of its own.
        back.rotate(Quat(0.0, 1.0, 0.0, 0.0))
        assert bytes(source) == data.tobytes()
        assert ti.to_numpy(back).tobytes() == ti.rotate(data, Quat(0.0, 1.0, 0.0, 0.0)).tobytes()


def _shared_block(data):
    """A real block of rows that never change, as a protocol-5 pickle makes."""
    from tarsk_interop import _native
    return _native.share_rows(ti.to_veclist(data))


def test_the_loader_trusts_no_exporter_by_its_name():
    # A bytearray whose type is named like numpy's array and whose `base` is
    # a real shared block: the bytes are the bytearray's, which the loaded
    # list must not read in place.
    data = BASE[:500]
    block = _shared_block(data)
    impostor = type("numpy.ndarray", (bytearray,), {"base": block})(data.tobytes())
    back = pickle.loads(_stream_of(500), buffers=[impostor])
    impostor[:24] = bytes(24)
    assert ti.to_numpy(back).tobytes() == data.tobytes()
    del impostor
    scratch = [bytearray(b"\x7f" * data.nbytes) for _ in range(4)]  # reuses the freed bytes
    assert ti.to_numpy(back).tobytes() == data.tobytes()
    del scratch


def test_the_loader_reads_in_place_only_inside_the_block_it_claims():
    # numpy's own array over a shared block, its data pointer turned to a
    # bytearray's memory: the array claims the block but the bytes lie
    # outside it, so the list must copy them.
    ctypes = pytest.importorskip("ctypes")
    data = BASE[:500]
    arr = np.asarray(_shared_block(data))
    assert type(arr) is np.ndarray and type(arr.base).__name__ == "Block"
    slot = ctypes.c_void_p.from_address(id(arr) + object.__basicsize__)  # the array's data pointer
    if slot.value != _address(arr):
        pytest.skip("this numpy keeps an array's data pointer elsewhere")
    foreign = bytearray(data.tobytes())
    original = slot.value
    slot.value = ctypes.addressof((ctypes.c_char * len(foreign)).from_buffer(foreign))
    try:
        back = pickle.loads(_stream_of(500), buffers=[arr])
    finally:
        slot.value = original
    foreign[:24] = bytes(24)
    assert ti.to_numpy(back).tobytes() == data.tobytes()


# ---------------------------------------------------------------------------
# The cache of freed large blocks

def test_freed_large_blocks_are_reused_and_the_cache_is_bounded():
    from tarsk_interop import _native
    a = BASE[np.arange(1_000_000) % len(BASE)]  # 24 MB of rows
    _native.trim()
    assert _native.cache_state() == (0, 0)
    r = ti.normalize(a)
    address = r.__array_interface__["data"][0]
    del r
    blocks, held = _native.cache_state()
    assert blocks == 1 and 24_000_000 <= held < 24_000_000 + (2 << 20)
    # The next result of that size takes the same block (so no page is faulted in).
    lst = ti.to_veclist(a)
    assert ti.as_numpy(lst).__array_interface__["data"][0] == address
    del lst
    results = [ti.rotate(a, Quat(1, 0, 0, 0)) for _ in range(7)]
    del results
    blocks, held = _native.cache_state()
    assert blocks <= 4 and held <= 128 << 20
    _native.trim()
    assert _native.cache_state() == (0, 0)
    # Blocks below the huge-page size never wait there.
    small = ti.normalize(a[:100_000])
    del small
    assert _native.cache_state() == (0, 0)


def test_cached_blocks_are_given_back_after_waiting():
    import time
    from tarsk_interop import _native
    _native.trim()
    big = ti.normalize(BASE[np.arange(400_000) % len(BASE)])  # 9.6 MB
    del big
    assert _native.cache_state()[0] == 1
    time.sleep(1.2)
    other = ti.normalize(BASE[np.arange(250_000) % len(BASE)])  # 6 MB: another size
    del other
    blocks, held = _native.cache_state()
    assert blocks == 1 and held < 8 << 20  # only the fresh one waits
    _native.trim()
