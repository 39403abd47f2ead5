"""The module's own heap, as the test build counts it: binding and converting arguments
allocate nothing, and a call allocates exactly what its result needs."""
import pytest

import biometric
from conftest import run_python


class Text(str):
    pass


class Data(bytes):
    pass


DATA = bytes(range(32))

CALLS = {
    "setup by position": lambda: biometric.setup("alice"),
    "setup by keyword": lambda: biometric.setup(name="alice"),
    "setup with an empty name": lambda: biometric.setup(""),
    "authenticate by position": lambda: biometric.authenticate("alice", DATA),
    "authenticate by keywords, reversed": lambda: biometric.authenticate(data=DATA, key_name="alice"),
    "authenticate mixed": lambda: biometric.authenticate("alice", data=DATA),
    "authenticate subclasses": lambda: biometric.authenticate(Text("k\u00e9y\U0001f600"), Data(b"d")),
    "authenticate with a NUL in the name and no data": lambda: biometric.authenticate("a\0b", b""),
}


def heap_change(fake, call):
    """Runs call; returns the module's heap growth (allocations, bytes) before the
    platform was first called, and over the whole call."""
    fake.trim()
    fake.heap_mark()
    before, _ = fake.heap()
    call()
    after, first = fake.heap()
    assert first is not None, "the platform was not called"
    diff = lambda a, b: (a[0] - b[0], a[1] - b[1])  # noqa: E731
    return diff(first, before), diff(after, before)


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_binding_and_conversion_allocate_nothing(fake, call):
    call()  # the interpreter may build a str's cached UTF-8 form on first use
    before_platform, _ = heap_change(fake, call)
    assert before_platform == (0, 0)


@pytest.mark.parametrize("size", [0, 1, 256, 4097])
def test_authenticate_allocates_only_the_signature(fake, size):
    signature = bytes(i % 256 for i in range(size))
    fake.set_signature(signature)
    _, whole = heap_change(fake, lambda: biometric.authenticate("alice", DATA))
    # One block of the signature's length; none for an empty one.
    assert whole == ((1, size) if size else (0, 0))
    assert biometric.authenticate("alice", DATA) == list(signature)


def test_setup_allocates_nothing_even_for_a_long_public_key(fake):
    fake.lib.bio_test_set_public_key_text(b"A" * 400)
    _, whole = heap_change(fake, lambda: biometric.setup("alice"))
    assert whole == (0, 0)


def test_import_allocates_nothing_that_could_be_lost():
    # The functions' definitions live in static storage: heap copies that are never
    # freed are lost once the interpreter frees the functions at exit.
    result = run_python(
        """
        counts = (ctypes.c_uint64 * 4)()
        fake.bio_test_heap(counts)
        print(counts[0], counts[1])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "0 0\n"
