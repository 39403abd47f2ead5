"""tools/frame_names.py: llvm-dwarfdump's text to functions, and the section's bytes."""
import importlib.util
import pathlib
import struct

import pytest

_path = pathlib.Path(__file__).resolve().parents[2] / "tools" / "frame_names.py"
_spec = importlib.util.spec_from_file_location("frame_names", _path)
frame_names = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(frame_names)

DUMP = """\
0x0000000b: DW_TAG_compile_unit
              DW_AT_low_pc	(0x0000000000000000)
0x00000100:   DW_TAG_subprogram
                DW_AT_low_pc	(0x0000000180001000)
                DW_AT_high_pc	(0x0000000180001040)
                DW_AT_linkage_name	("_ZN3bio1fEv")
                DW_AT_name	("f")
0x00000120:     DW_TAG_inlined_subroutine
                  DW_AT_low_pc	(0x0000000180001010)
                  DW_AT_high_pc	(0x0000000180001020)
0x00000140:   DW_TAG_subprogram
                DW_AT_linkage_name	("_ZN3bio11declarationEv")
                DW_AT_declaration	(true)
0x00000160:   DW_TAG_subprogram
                DW_AT_low_pc	(0x0000000180001040)
                DW_AT_high_pc	(0x0000000180001080)
                DW_AT_abstract_origin	(0x00011ac7 "_ZN3bio5PyErrD2Ev")
0x00000180:   DW_TAG_subprogram
                DW_AT_low_pc	(0x0000000180001080)
                DW_AT_high_pc	(0x0000000180001090)
                DW_AT_name	("PyInit_biometric")
"""


def test_functions_are_subprograms_with_addresses_by_their_best_name():
    assert list(frame_names.functions(DUMP)) == [
        (0x180001000, 0x180001040, "_ZN3bio1fEv"),
        (0x180001040, 0x180001080, "_ZN3bio5PyErrD2Ev"),
        (0x180001080, 0x180001090, "PyInit_biometric"),
    ]


def parse(data):
    assert data[:8] == frame_names.MAGIC
    count = struct.unpack_from("<I", data, 8)[0]
    names = 12 + 12 * count
    rows = [struct.unpack_from("<III", data, 12 + 12 * i) for i in range(count)]
    return [(start, end, data[names + at : data.index(b"\0", names + at)].decode()) for start, end, at in rows]


@pytest.mark.parametrize(
    "entries, expected",
    [
        # By start, relative to the image base; one copy of a name used twice.
        ([(0x20, 0x30, "g"), (0x10, 0x20, "_Zf"), (0x30, 0x40, "g")], [(0x10, 0x20, "_Zf"), (0x20, 0x30, "g"), (0x30, 0x40, "g")]),
        # At one start, a mangled name over a plain one, whatever the order.
        ([(0x10, 0x20, "f"), (0x10, 0x20, "_Zf")], [(0x10, 0x20, "_Zf")]),
        ([(0x10, 0x20, "_Zf"), (0x10, 0x18, "f")], [(0x10, 0x20, "_Zf")]),
        # A discarded function (address 0, below the image) is left out.
        ([(0x0, 0x10, "gone"), (0x10, 0x20, "f")], [(0x10, 0x20, "f")]),
    ],
)
def test_table(entries, expected):
    base = 0x180000000
    data = frame_names.table([(low + base if low else 0, high + base, name) for low, high, name in entries], base)
    assert parse(data) == expected
    assert data.count(b"g\0") <= 1

