"""Argument binding and conversion: exact messages, their precedence, what reaches the platform."""
import sys

import pytest

import biometric
from argument_errors import ARGUMENT_ERRORS
from conftest import E_FAIL


def call(function, *args, **kwargs):
    return getattr(biometric, function)(*args, **kwargs)


@pytest.mark.parametrize("function, args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors(fake, function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(function, *args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    # Nothing reached the platform.
    assert fake.calls == []


def test_wrapped_conversion_error_has_no_cause_and_suppressed_context(fake):
    try:
        try:
            raise KeyError("pending")
        except KeyError:
            biometric.setup(1)
    except TypeError as e:
        error = e
    assert error.__cause__ is None
    assert error.__suppress_context__ is True


def test_qualified_name_of_a_local_class(fake):
    def f():
        class C:
            pass

        return C()

    with pytest.raises(TypeError, match=r"^argument 'key_name': 'test_qualified_name_of_a_local_class.<locals>.f.<locals>.C' object cannot be converted to 'PyString'$"):
        biometric.authenticate(f(), b"")


def test_lone_surrogate_name_raises_the_interpreters_error_unchanged(fake):
    with pytest.raises(UnicodeEncodeError) as info:
        biometric.setup("\udc80")
    assert "argument" not in str(info.value)
    assert fake.calls == []


def test_lone_surrogate_keyword_is_shown_with_replacement_characters(fake):
    with pytest.raises(TypeError) as info:
        biometric.setup(**{"a\udc80b": 1})
    assert info.value.args == ("setup() got an unexpected keyword argument 'a\ufffd\ufffd\ufffdb'",)


def test_keyword_whose_str_fails_is_shown_as_unprintable(fake, monkeypatch):
    class Name(str):
        def __str__(self):
            raise ValueError("no text")

    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    name = Name("nam")
    with pytest.raises(TypeError) as info:
        biometric.setup(**{name: 1})
    assert info.value.args == ("setup() got an unexpected keyword argument '<unprintable Name object>'",)
    # The failure of str() is reported as unraisable, against the keyword name.
    assert len(unraisable) == 1
    assert unraisable[0].exc_type is ValueError and unraisable[0].object == "nam"


def test_both_arguments_by_keyword_in_any_order(fake):
    assert biometric.authenticate(data=b"xyz", key_name="key") == [0, 1, 127, 128, 255]
    assert fake.last_name == b"key"
    assert fake.last_data == b"xyz"


@pytest.mark.parametrize(
    "name",
    ["", "alice", "a\0b", "\u00e9\u20ac\U0001f600"],
    ids=["empty", "ascii", "embedded-nul", "non-ascii"],
)
def test_name_reaches_the_platform_as_utf8(fake, name):
    assert biometric.setup(name) is True
    assert fake.last_name == name.encode()
    assert biometric.authenticate(name, b"") == [0, 1, 127, 128, 255]
    assert fake.last_name == name.encode()
    assert fake.last_data == b""


def test_subclasses_of_str_and_bytes_are_accepted(fake):
    class Name(str):
        pass

    class Data(bytes):
        pass

    assert biometric.setup(Name("sub")) is True
    assert fake.last_name == b"sub"
    assert biometric.authenticate(Name("k"), Data(b"\x00\xff")) == [0, 1, 127, 128, 255]
    assert fake.last_data == b"\x00\xff"


def test_calls_leak_nothing(fake):
    import gc
    import sys

    def failing_calls():
        # Fresh (mortal) objects, so that a reference kept too many keeps them alive.
        for args, kwargs in [((), {}), (("a", "b"), {}), (([],), {}), ((), {"nam": []}), (("\udc80",), {})]:
            try:
                biometric.setup(*args, **kwargs)
            except (TypeError, UnicodeEncodeError):
                pass
        fake.script("OpenAsync", "fail", E_FAIL)
        try:
            biometric.authenticate("k", b"d")
        except RuntimeError:
            pass
        try:
            biometric.authenticate("k", bytearray(3))
        except TypeError:
            pass
        biometric.setup("ok")
        biometric.authenticate(key_name="k", data=b"d")

    failing_calls()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(300):
        failing_calls()
    gc.collect()
    # Leaking one object per call would show as hundreds of blocks.
    assert sys.getallocatedblocks() - before < 50
