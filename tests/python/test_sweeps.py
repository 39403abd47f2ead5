"""Sweeps for leaks and faults: every failure of the two operations and every internal
fault reachable from Python, many times over, from one thread and from eight.

BIOMETRIC_SWEEP_SCALE scales the repetitions (the sanitizer build runs them scaled down).
"""
import ctypes
import gc
import os
import sys
import threading

import pytest

import biometric
from conftest import E_FAIL, E_POINTER

SCALE = float(os.environ.get("BIOMETRIC_SWEEP_SCALE", "1"))
SIGNATURE = [0, 1, 127, 128, 255]
LENGTH_FAULT = 'called `Result::unwrap()` on an `Err` value: Error { code: HRESULT(0x80004005), message: "boom" }'


def times(n):
    return max(30, int(n * SCALE))


# (operation, steps scripted for one call, code). A status other than Success is read twice.
SETUP_FAILURES = [
    ("RequestCreateAsync", [("fail", E_POINTER)], E_POINTER),
    ("RequestCreateAsync", [("no_object", 0)], 0),
    ("wait_for_results(retrieval)", [("fail", E_FAIL)], E_FAIL),
    ("wait_for_results(retrieval)", [("no_object", 0)], 0),
    ("Status(retrieval)", [("fail", E_FAIL)], E_FAIL),
    ("Status(retrieval)", [("status", 3), ("status", 5)], 5),
    ("Status(retrieval)", [("status", 3), ("fail", E_POINTER)], E_POINTER),
    ("Credential", [("fail", E_FAIL)], E_FAIL),
    ("Credential", [("no_object", 0)], 0),
    ("RetrievePublicKeyWithDefaultBlobType", [("fail", E_POINTER)], E_POINTER),
    ("RetrievePublicKeyWithDefaultBlobType", [("no_object", 0)], 0),
    ("EncodeToBase64String", [("fail", E_FAIL)], E_FAIL),
]
AUTHENTICATE_FAILURES = [
    ("OpenAsync", [("fail", E_POINTER)], E_POINTER),
    ("OpenAsync", [("no_object", 0)], 0),
    ("wait_for_results(retrieval)", [("fail", E_FAIL)], E_FAIL),
    ("wait_for_results(retrieval)", [("no_object", 0)], 0),
    ("Status(retrieval)", [("fail", E_FAIL)], E_FAIL),
    ("Status(retrieval)", [("status", 2), ("status", 2)], 2),
    ("Status(retrieval)", [("status", 2), ("fail", E_POINTER)], E_POINTER),
    ("Credential", [("fail", E_POINTER)], E_POINTER),
    ("Credential", [("no_object", 0)], 0),
    ("CreateFromByteArray", [("fail", E_FAIL)], E_FAIL),
    ("CreateFromByteArray", [("no_object", 0)], 0),
    ("RequestSignAsync", [("fail", E_FAIL)], E_FAIL),
    ("RequestSignAsync", [("no_object", 0)], 0),
    ("wait_for_results(sign)", [("fail", E_FAIL)], E_FAIL),
    ("wait_for_results(sign)", [("no_object", 0)], 0),
    ("Status(operation)", [("fail", E_POINTER)], E_POINTER),
    ("Status(operation)", [("status", 3), ("status", 6)], 6),
    ("Status(operation)", [("status", 3), ("fail", E_FAIL)], E_FAIL),
    ("Result", [("fail", E_FAIL)], E_FAIL),
    ("Result", [("no_object", 0)], 0),
    ("CopyToByteArray", [("fail", E_POINTER)], E_POINTER),
]


def scripted(fake, op, steps, message=None):
    def arrange():
        for kind, value in steps:
            fake.script(op, kind, value, message)

    return arrange


def panic_type(fake):
    fake.script("Length", "fail", E_FAIL, "boom")
    try:
        biometric.authenticate("k", b"d")
    except BaseException as e:  # noqa: B036 - the PanicException derives from BaseException
        return type(e)
    raise AssertionError("no fault")


def resumed_panic_name(panic):
    """A keyword name whose str raises a PanicException: the module fetches it from Python
    and resumes the fault."""

    class Name(str):
        def __str__(self):
            raise panic("from python")

    return Name("nam")


def expect_raises(kind, text, call):
    try:
        call()
    except BaseException as e:  # noqa: B036
        assert type(e) is kind and e.args == (text,), (type(e), e.args)
        return
    raise AssertionError("nothing raised")


def sweep(fake, arrange, call, repetitions):
    """Arranges and makes the call `repetitions` times: a warm-up round (caches and free
    lists fill, such as the lines a traceback shows), then three rounds, at least one of
    which must leave the interpreter's block count as it was. Nothing may be left live
    at any time."""
    blocks = []
    for size in (max(200, repetitions // 4),) + (repetitions // 4,) * 3:
        for _ in range(size):
            arrange()
            call()
            assert fake.live_objects == 0 and fake.live_arrays == 0
            fake.trim()
        gc.collect()
        blocks.append(sys.getallocatedblocks())
    # A leak grows the count in every round, by a block per call or more; a cache that
    # is still filling grows it once in a while, and by more in the sanitizer build.
    round_size = repetitions // 4
    assert min(after - before for before, after in zip(blocks, blocks[1:])) < max(10, round_size // 2), blocks
    fake.reset()
    assert biometric.authenticate("k", b"d") == SIGNATURE
    assert biometric.setup("alice") is True


@pytest.mark.parametrize("op, steps, code", SETUP_FAILURES, ids=lambda v: str(v))
def test_setup_failure_sweep(fake, op, steps, code):
    expected = f"Setup failed with error code: {code}"
    sweep(fake, scripted(fake, op, steps), lambda: expect_raises(RuntimeError, expected, lambda: biometric.setup("a")),
          times(1000))


@pytest.mark.parametrize("op, steps, code", AUTHENTICATE_FAILURES, ids=lambda v: str(v))
def test_authenticate_failure_sweep(fake, op, steps, code):
    expected = f"Authentication failed with error code: {code}"
    call = lambda: expect_raises(RuntimeError, expected, lambda: biometric.authenticate("k", b"data"))  # noqa: E731
    sweep(fake, scripted(fake, op, steps), call, times(1000))


@pytest.mark.parametrize("case", ["Length unreadable", "Length at the limit", "array allocation fails"])
def test_internal_fault_sweep(fake, case):
    panic = panic_type(fake)
    if case == "array allocation fails":
        text = "Could not successfully allocate for Array"
        arrange = lambda: fake.lib.bio_test_fail_array_allocation(1)  # noqa: E731
    else:
        op, kind, value, message = {
            "Length unreadable": ("Length", "fail", E_FAIL, "boom"),
            "Length at the limit": ("Length", "length", 0xFFFFFFFF, None),
        }[case]
        text = LENGTH_FAULT if case == "Length unreadable" else "assertion failed: len < u32::MAX as usize"
        arrange = scripted(fake, op, [(kind, value)], message)
    sweep(fake, arrange, lambda: expect_raises(panic, text, lambda: biometric.authenticate("k", b"d")), times(1000))


def test_resumed_panic_sweep(fake):
    panic = panic_type(fake)
    name = resumed_panic_name(panic)
    # Each call prints a traceback, whose caches go on growing in bursts for several
    # hundred calls: the sanitizer build's shorter sweeps would take those for a leak.
    sweep(fake, lambda: None, lambda: expect_raises(panic, "from python", lambda: biometric.setup(**{name: 1})), 1000)


BAD_ARGUMENTS = [
    (lambda: biometric.setup(), "setup() missing 1 required positional argument: 'name'"),
    (lambda: biometric.setup("a", "b"), "setup() takes 1 positional arguments but 2 were given"),
    (lambda: biometric.setup(nam="a"), "setup() got an unexpected keyword argument 'nam'"),
    (lambda: biometric.authenticate("k", b"d", key_name="k"),
     "authenticate() got multiple values for argument 'key_name'"),
    (lambda: biometric.authenticate(1, 2), "argument 'key_name': 'int' object cannot be converted to 'PyString'"),
    (lambda: biometric.authenticate("k", bytearray(b"x")),
     "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
]


def test_bad_argument_sweep(fake):
    for call, text in BAD_ARGUMENTS:
        sweep(fake, lambda: None, lambda: expect_raises(TypeError, text, call), times(1000))


def test_ten_thousand_consecutive_panics_then_a_normal_call(fake):
    panic = panic_type(fake)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(times(10000)):
        fake.script("Length", "fail", E_FAIL, "boom")
        expect_raises(panic, LENGTH_FAULT, lambda: biometric.authenticate("k", b"d"))
        fake.trim()
    gc.collect()
    assert sys.getallocatedblocks() - before < 500
    assert fake.live_objects == 0
    assert biometric.authenticate("k", b"d") == SIGNATURE


def test_eight_threads_of_mixed_calls(fake):
    # Scripting holds the interpreter lock here (PyDLL), as the module's calls do, so the
    # fake is never used by two threads at once. Which call takes a scripted step is left
    # to the scheduler; the totals must still match.
    lib = ctypes.PyDLL(biometric.__file__)
    lib.bio_test_script.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_longlong, ctypes.c_char_p]
    panic = panic_type(fake)
    per_thread = times(10000)
    counts = {"ok": 0, "TypeError": 0, "RuntimeError": 0, "panic": 0, "scripted failures": 0, "scripted faults": 0}
    errors = []
    lock = threading.Lock()
    barrier = threading.Barrier(8)

    def worker(seed):
        local = dict.fromkeys(counts, 0)
        barrier.wait()
        try:
            for i in range(per_thread):
                kind = (i + seed) % 5
                try:
                    if kind == 0:
                        assert biometric.authenticate("k", b"data") == SIGNATURE
                    elif kind == 1:
                        biometric.setup(name="alice")
                    elif kind == 2:
                        biometric.authenticate("k", [1, 2])
                    elif kind == 3:
                        local["scripted failures"] += 1
                        lib.bio_test_script(b"RequestCreateAsync", b"fail", E_FAIL, None)
                        biometric.setup("alice")
                    else:
                        local["scripted faults"] += 1
                        lib.bio_test_script(b"Length", b"fail", E_FAIL, b"boom")
                        biometric.authenticate("k", b"data")
                    local["ok"] += 1
                except TypeError:
                    local["TypeError"] += 1
                except RuntimeError as e:
                    assert e.args == (f"Setup failed with error code: {E_FAIL}",)
                    local["RuntimeError"] += 1
                except panic as e:
                    assert e.args == (LENGTH_FAULT,)
                    local["panic"] += 1
                if i % 100 == 0:
                    lib.bio_test_trim()
        except BaseException as e:  # noqa: B036
            errors.append(e)
        with lock:
            for key, value in local.items():
                counts[key] += value

    gc.collect()
    before = sys.getallocatedblocks()
    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert errors == []
    gc.collect()
    assert sys.getallocatedblocks() - before < 200
    total = 8 * per_thread
    # Every scripted step was taken by exactly one call of its kind.
    assert counts["RuntimeError"] == counts["scripted failures"]
    assert counts["panic"] == counts["scripted faults"]
    assert counts["TypeError"] == total // 5
    assert counts["ok"] + counts["TypeError"] + counts["RuntimeError"] + counts["panic"] == total
    assert fake.live_objects == 0
    assert biometric.authenticate("k", b"d") == SIGNATURE
