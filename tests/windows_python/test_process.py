"""What the real interpreter does with the modules as a whole: fault reports on the
standard error handle (a pipe, Wine's console), the backtrace setting, re-import and
reload, memory over many calls, several threads at once. Subinterpreters are
tests/installed's, which this stage runs too."""
import gc
import importlib
import os
import re
import sys
import threading

import pytest

import biometric
import biometric_keys
from windows_doubles import E_FAIL, run_python

HEADER = re.compile(r"thread '<unnamed>' panicked at src/bio_windows\.cpp:\d+:\d+:")
MESSAGE = re.compile(r"called `Result::unwrap\(\)` on an `Err` value: Error \{ code: HRESULT\(0x80004005\), message: \".+\" \}")
OFF_NOTE = "note: run with `BIOMETRIC_BACKTRACE=1` environment variable to display a backtrace"
SHORT_NOTE = "note: Some details are omitted, run with `BIOMETRIC_BACKTRACE=full` for a verbose backtrace."

FAULTS = f"""
doubles.script("Length", {E_FAIL})
import biometric
for _ in range(2):
    try:
        biometric.authenticate("alice", b"data")
    except BaseException as e:
        print(type(e).__module__, type(e).__name__, type(e).__bases__ == (BaseException,))
"""


def reports(stderr):
    """stderr as reports, each the list of its lines from its header on."""
    out = []
    for line in stderr.splitlines():
        if HEADER.fullmatch(line):
            out.append([])
        assert out, f"text before the first report: {line!r}"
        out[-1].append(line)
    return out


def frame_names(report):
    return [line.split(" - ", 1)[-1].split(": ", 1)[-1].strip() for line in report if re.match(r"^ *\d+: ", line)]


def check_report(report, style, first):
    assert MESSAGE.fullmatch(report[1]), report
    if style == "off":
        assert report[2:] == ([OFF_NOTE] if first else [])
        return
    assert report[2] == "stack backtrace:"
    names = frame_names(report)
    text = "\n".join(report)
    # The module's own frames by name (from its COFF symbol table: the shipped file has
    # no debug data that dbghelp could read).
    assert "bio::sign_with_credential" in names, text
    if style == "short":
        assert names[0] == "bio::raise_fault" and report[-1] == SHORT_NOTE, text
        assert "bio::write_fault_report" not in text
    else:
        entry = "bio::platform_entry<&bio::(anonymous namespace)::authenticate_body>"
        assert "bio::write_fault_report" in text and entry in text, text
        assert not any(line.startswith("note:") for line in report)


@pytest.mark.parametrize(
    "variable, at_start_up, style",
    [(None, True, "off"), ("0", True, "off"), ("1", True, "short"), ("full", True, "full"),
     ("1", False, "short"), ("full", False, "full")],
)
def test_fault_reports_over_a_pipe(variable, at_start_up, style):
    if at_start_up:
        env, code = ({} if variable is None else {"BIOMETRIC_BACKTRACE": variable}), FAULTS
    else:  # set by the program before the first fault, where the module reads it
        env, code = {}, f"os.environ['BIOMETRIC_BACKTRACE'] = {variable!r}\n" + FAULTS
    result = run_python(code, env)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "pyo3_runtime PanicException True\n" * 2
    first, second = reports(result.stderr)
    check_report(first, style, True)
    check_report(second, style, False)


def test_own_frames_are_named_without_dbghelp():
    # dbghelp set up for this process beforehand without its modules: it names no frame,
    # whether the module's own set-up then fails or finds it ready.
    setup = "import ctypes\nctypes.WinDLL('dbghelp').SymInitialize(ctypes.c_void_p(-1), None, False)\n"
    result = run_python(setup + FAULTS, {"BIOMETRIC_BACKTRACE": "full"})
    assert result.returncode == 0, result.stderr
    first, _ = reports(result.stderr)
    check_report(first, "full", True)
    names = frame_names(first)
    # A template's name starts with its return type ("_object* bio::run_entry<...>").
    ours = [n for n in names if "bio::" in n]
    assert names[: len(ours)] == ours and set(names[len(ours) :]) == {"<unknown>"}, names


CONSOLE = f"""
import ctypes
from ctypes import wintypes

class COORD(ctypes.Structure):
    _fields_ = [("X", ctypes.c_short), ("Y", ctypes.c_short)]

kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
kernel32.CreateConsoleScreenBuffer.restype = wintypes.HANDLE
# A screen buffer of this process's console of its own, as standard error.
screen = kernel32.CreateConsoleScreenBuffer(0xC0000000, 3, None, 1, None)
if screen in (None, wintypes.HANDLE(-1).value):
    raise SystemExit(f"no console: error {{ctypes.get_last_error()}}")
if not kernel32.SetConsoleScreenBufferSize(wintypes.HANDLE(screen), COORD(300, 200)):
    raise SystemExit(f"cannot size the screen buffer: error {{ctypes.get_last_error()}}")
kernel32.SetStdHandle(-12, wintypes.HANDLE(screen))
{FAULTS}
line, read = ctypes.create_unicode_buffer(300), wintypes.DWORD()
for y in range(200):
    kernel32.ReadConsoleOutputCharacterW(wintypes.HANDLE(screen), line, 300, COORD(0, y), ctypes.byref(read))
    print("console:", line.value[: read.value].rstrip())
"""


@pytest.mark.skipif(not os.environ.get("BIOMETRIC_WINDOWS_CONSOLE"), reason="the test process has no console")
def test_fault_report_on_the_console():
    result = run_python(CONSOLE, {"BIOMETRIC_BACKTRACE": "1"})
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    assert lines[:2] == ["pyo3_runtime PanicException True"] * 2
    shown = "\n".join(line.removeprefix("console: ") for line in lines[2:]).strip()
    first, second = reports(shown)
    check_report(first, "short", True)
    check_report(second, "short", False)


# The extension modules; biometric_keys is a Python package around its native core.
@pytest.mark.parametrize("module", [biometric, biometric_keys._native])
def test_reimport_and_reload_give_the_same_module(module):
    name = module.__name__
    del sys.modules[name]
    try:
        assert importlib.import_module(name) is module
    finally:
        sys.modules[name] = module
    assert importlib.reload(module) is module
    assert sys.modules[name] is module and module.__all__


def test_many_calls_leave_the_allocated_blocks_flat(doubles):
    def a_round():
        for _ in range(50):
            assert biometric.setup("alice") is True
            assert len(biometric.authenticate("alice", b"data" * 8)) == 5
            assert biometric_keys.public_key("alice") == b"\x04\x01\x02\x03"
            biometric_keys.delete("alice")
            assert biometric_keys.is_supported() is True
            doubles.script("OpenAsync", E_FAIL)
            with pytest.raises(RuntimeError):
                biometric.authenticate("alice", b"data")
            doubles.script("OpenAsync")

    a_round()
    gc.collect()
    before = sys.getallocatedblocks()
    a_round()
    a_round()
    gc.collect()
    # 600 calls; a leak of one block per call would be hundreds.
    assert sys.getallocatedblocks() - before < 30
    assert doubles.control.live_objects == 0


@pytest.mark.parametrize("completion, calls", [("inside", 50), ("later", 3)])
def test_several_threads_calling_at_once(doubles, completion, calls):
    doubles.reset(completion)
    results, errors = [], []
    start = threading.Barrier(6)

    def worker(index):
        try:
            start.wait()
            for _ in range(calls):
                results.append((biometric.authenticate(f"user{index}", b"data"), biometric_keys.public_key("k")))
        except BaseException as e:  # noqa: B036 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert errors == [] and not any(t.is_alive() for t in threads)
    assert results == [([0, 1, 127, 128, 255], b"\x04\x01\x02\x03")] * (6 * calls)
    doubles.settle()
    assert doubles.control.live_objects == 0
