"""Internal faults: the PanicException, the report on standard error, how the process ends.

Reports depend on process-wide state (the style read once, the first-note flag), so
each case runs in a fresh interpreter.
"""
import re
import signal

import pytest

import biometric
from conftest import E_FAIL, ROOT, run_python

LOCATION = r"src/bio_windows\.cpp:\d+:\d+"
MESSAGE = 'called `Result::unwrap()` on an `Err` value: Error { code: HRESULT(0x80004005), message: "boom" }'
HEADER = re.escape("thread '<unnamed>' panicked at ") + LOCATION + ":"
OFF_NOTE = "note: run with `BIOMETRIC_BACKTRACE=1` environment variable to display a backtrace"
SHORT_NOTE = "note: Some details are omitted, run with `BIOMETRIC_BACKTRACE=full` for a verbose backtrace."
TWO_FAULTS = """
first, second = fault(), fault()
print(type(first).__name__, type(first) is type(second), first.args == second.args)
"""


def fault_in_process(fake):
    fake.script("Length", "fail", E_FAIL, "boom")
    with pytest.raises(BaseException) as info:
        biometric.authenticate("k", b"d")
    return info.value


def test_panic_exception_type(fake):
    first, second = fault_in_process(fake), fault_in_process(fake)
    kind = type(first)
    assert type(second) is kind
    assert kind.__module__ == "pyo3_runtime"
    assert kind.__name__ == "PanicException"
    assert kind.__bases__ == (BaseException,)
    assert not isinstance(first, Exception)
    assert first.args == (MESSAGE,)
    assert str(first) == MESSAGE
    assert kind.__doc__.startswith("\n") and kind.__doc__.endswith("\n")
    assert "BaseException" in kind.__doc__ and "SystemExit" in kind.__doc__
    # The module goes on working, and everything the operation held was released.
    assert biometric.authenticate("k", b"d") == [0, 1, 127, 128, 255]
    assert fake.live_objects == 0


def reports(stderr):
    """Splits stderr into reports, each a list of lines starting at its header."""
    out = []
    for line in stderr.splitlines():
        if re.fullmatch(HEADER, line):
            out.append([])
        assert out, f"text before the first report: {line!r}"
        out[-1].append(line)
    return out


def check_short(report):
    assert report[1:3] == [MESSAGE, "stack backtrace:"]
    assert report[-1] == SHORT_NOTE
    frames = report[3:-1]
    numbers = [int(m.group(1)) for m in (re.match(r"^ {0,3}(\d+): \S", line) for line in frames) if m]
    assert numbers == list(range(len(numbers))) and numbers
    text = "\n".join(frames)
    # From the raise out to the entry: not the report machinery, not the interpreter.
    assert "raise_fault" in frames[0]
    assert "sign_with_credential" in text
    assert "write_fault_report" not in text and "_PyEval_EvalFrameDefault" not in text
    assert "short_backtrace" not in text
    # Sources under the current directory are shown relative to it.
    assert re.search(r"^ {13}at \./src/bio_windows\.cpp:\d+$", text, re.M), text
    for line in frames:
        assert re.match(r"^( {0,3}\d+: \S| {6}\S| {13}at \S| {6}\[\.\.\. omitted \d+ frames? \.\.\.\]$)", line), line


def check_full(report):
    assert report[1:3] == [MESSAGE, "stack backtrace:"]
    frames = report[3:]
    assert not any(line.startswith("note:") for line in frames)
    firsts = [line for line in frames if re.match(r"^ {0,3}\d+: ", line)]
    assert [int(line.split(":")[0]) for line in firsts] == list(range(len(firsts)))
    for line in firsts:
        assert re.match(r"^ {0,3}\d+: {1,16}0x[0-9a-f]+ - \S", line) and len(line.split(" - ")[0]) == 4 + 2 + 18, line
    text = "\n".join(frames)
    for name in ("write_fault_report", "end_short_backtrace", "sign_with_credential", "begin_short_backtrace"):
        assert name in text
    assert re.search(r"^ {31}at /\S*/src/bio_windows\.cpp:\d+$", text, re.M), text


@pytest.mark.parametrize(
    "value, style",
    [(None, "off"), ("0", "off"), ("1", "short"), ("true", "short"), ("", "short"), ("FULL", "short"), ("full", "full")],
)
def test_report_styles(value, style):
    env = {} if value is None else {"BIOMETRIC_BACKTRACE": value}
    result = run_python(TWO_FAULTS, env, cwd=ROOT)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "PanicException True True\n"
    first, second = reports(result.stderr)
    if style == "off":
        assert first[1:] == [MESSAGE, OFF_NOTE]
        assert second[1:] == [MESSAGE]
    elif style == "short":
        check_short(first)
        check_short(second)
    else:
        check_full(first)
        check_full(second)


def test_full_backtrace_of_a_deep_stack_reaches_the_outermost_frame():
    # Each level calls back into Python through map(), which adds native frames.
    result = run_python(
        """
        def deep(n):
            return fault() if n == 0 else list(map(deep, [n - 1]))[0]
        print(type(deep(150)).__name__)
        """,
        {"BIOMETRIC_BACKTRACE": "full"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "PanicException\n"
    (report,) = reports(result.stderr)
    numbers = [int(m.group(1)) for m in (re.match(r"^ {0,3}(\d+): ", line) for line in report) if m]
    assert numbers == list(range(len(numbers))) and len(numbers) > 400
    assert "Py_BytesMain" in "\n".join(report[-8:])


def test_short_backtrace_from_the_root_directory_shows_paths_relative_to_it():
    result = run_python("fault()", {"BIOMETRIC_BACKTRACE": "1"}, cwd="/")
    assert result.returncode == 0, result.stderr
    shown = re.escape("./" + ROOT.as_posix().lstrip("/") + "/src/bio_windows.cpp")
    assert re.search(r"^ {13}at " + shown + r":\d+$", result.stderr, re.M), result.stderr


def test_first_report_exactly():
    result = run_python("fault()")
    assert result.returncode == 0
    assert re.fullmatch(HEADER + "\n" + re.escape(MESSAGE + "\n" + OFF_NOTE + "\n"), result.stderr), result.stderr


@pytest.mark.parametrize("initial, later", [(None, "full"), ("1", "0")])
def test_variable_is_read_once(initial, later):
    env = {} if initial is None else {"BIOMETRIC_BACKTRACE": initial}
    result = run_python(f"fault(); os.environ['BIOMETRIC_BACKTRACE'] = {later!r}; fault()", env)
    first, second = reports(result.stderr)
    if initial is None:
        assert second[1:] == [MESSAGE]
    else:
        check_short(second)


# The PanicException is biometric's (fault() makes it there); biometric_keys resumes the
# same type: one type object for the process.
@pytest.mark.parametrize("module, call, after", [
    ("biometric", "biometric.setup", "True"),
    ("biometric_keys", "biometric_keys.public_key", "b'\\x01\\x02\\x03'"),
])
def test_resumed_panic_from_python(module, call, after):
    result = run_python(
        f"""
        import biometric_keys
        Panic = type(fault())
        class Name(str):
            def __str__(self):
                raise Panic("from python")
        try:
            {call}(**{{Name("nam"): 1}})
        except BaseException as e:
            print(type(e) is Panic, e.args)
        print({call}("next"))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"True ('from python',)\n{after}\n"
    lines = result.stderr.splitlines()
    # The first fault's report, then no report for the resumed one: only its header
    # and the Python traceback.
    assert lines[3:5] == [
        f"--- {module} is resuming a panic after fetching a PanicException from Python. ---",
        "Python stack trace below:",
    ]
    assert lines[5] == "Traceback (most recent call last):"
    assert lines[-1] == "pyo3_runtime.PanicException: from python"
    assert not any("panicked at" in line for line in lines[3:])


def test_resumed_panic_whose_str_fails():
    result = run_python(
        """
        Panic = type(fault())
        class Bad:
            def __str__(self):
                raise ValueError("no text")
        class Name(str):
            def __str__(self):
                raise Panic(Bad())
        try:
            biometric.setup(**{Name("nam"): 1})
        except BaseException as e:
            print(type(e) is Panic, e.args)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True ('Unwrapped panic from Python code',)\n"
    assert "--- biometric is resuming a panic after fetching a PanicException from Python. ---" in result.stderr


def test_resumed_panic_text_is_the_str_its_str_returned():
    result = run_python(
        """
        Panic = type(fault())
        class Text(str):
            def __str__(self):
                raise ValueError("not again")
        Panic.__str__ = lambda self: Text("from python")
        class Name(str):
            def __str__(self):
                raise Panic()
        try:
            biometric.setup(**{Name("nam"): 1})
        except BaseException as e:
            print(type(e) is Panic, e.args)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True ('from python',)\n"
    assert "not again" not in result.stderr and "unprintable" not in result.stderr


def test_subclass_of_panic_exception_is_an_ordinary_error():
    result = run_python(
        """
        Panic = type(fault())
        class Sub(Panic):
            pass
        class Name(str):
            def __str__(self):
                raise Sub("sub")
        try:
            biometric.setup(**{Name("nam"): 1})
        except TypeError as e:
            print(e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "setup() got an unexpected keyword argument '<unprintable Name object>'\n"
    assert "resuming a panic" not in result.stderr
    assert "Exception ignored in" in result.stderr and "Sub: sub" in result.stderr


def test_fault_while_restoring_terminates_the_process():
    result = run_python(
        """
        entry = ctypes.PyDLL(biometric.__file__).bio_test_entry_failing_restore
        entry.restype = ctypes.py_object
        entry()
        print("returned to Python")
        """
    )
    assert result.returncode == -signal.SIGABRT
    assert result.stdout == ""
    stderr = result.stderr
    # The interpreter's own error, printed before the fault...
    assert "UnicodeDecodeError" in stderr
    first, second = reports_anywhere(stderr)
    assert first[1:] == ["Python API call failed", OFF_NOTE]
    # ...and the second fault, reported in full since two faults are in progress.
    assert second[1] == "uncaught panic at ffi boundary"
    assert second[2] == "stack backtrace:"
    assert re.match(r"^ {3}0: +0x[0-9a-f]+ - ", second[3])
    # The process ends right after the frames: no words of the C++ runtime's own.
    assert all(line.startswith(" ") for line in second[3:]), second


def reports_anywhere(stderr):
    out = []
    for line in stderr.splitlines():
        if line.startswith("thread '<unnamed>' panicked at "):
            out.append([])
        if out:
            out[-1].append(line)
    return out


def test_closed_stderr_still_raises():
    result = run_python(
        """
        os.close(2)
        e = fault()
        print(type(e).__name__, e.args[0][:28])
        print(biometric.setup("after"))
        """
    )
    assert result.returncode == 0
    assert result.stdout == "PanicException called `Result::unwrap()` on\nTrue\n"
    assert result.stderr == ""


def test_allocation_failure_ends_the_process():
    import os

    asan = os.environ.get("ASAN_OPTIONS", "")
    env = {"ASAN_OPTIONS": (asan + ":" if asan else "") + "allocator_may_return_null=1"}
    result = run_python("fake.bio_test_allocate(ctypes.c_size_t(1 << 62)); print('survived')", env)
    assert result.returncode == -signal.SIGABRT
    assert result.stdout == ""
    # Under AddressSanitizer its allocator announces the refusal first.
    stderr = "".join(line for line in result.stderr.splitlines(True) if not re.match(r"==\d+==WARNING: AddressSanitizer", line))
    assert stderr == "memory allocation of 4611686018427387904 bytes failed\n"
