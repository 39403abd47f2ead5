"""Writes the frame-name table of a linked Windows module from its DWARF.

    python tools/frame_names.py <llvm-dwarfdump> <image with DWARF> <output>

The table names every function the image's debug information gives an address range:
its mangled name where it has one (its own, or that of the declaration or abstract
instance it refers to), else its plain name. The build adds the table to the shipped
image as the section .fnames, after the link and without the DWARF (a trailing section
moves no code), and the module reads it from its own file when it reports a fault
(src/runtime/coff_symbols.cpp reads the same format):

    8 bytes   "bio-fn1\\0"
    u32       count of functions
    count x   u32 start RVA, u32 end RVA (exclusive), u32 offset of the name
    ...       the names, each ending in NUL; offsets count from the first

all little-endian, functions by start address.
"""
import pathlib
import re
import struct
import subprocess
import sys

MAGIC = b"bio-fn1\0"

_DIE = re.compile(r"^0x[0-9a-f]+:\s+(DW_TAG_\w+)")
_ATTRIBUTE = re.compile(r"^\s+(DW_AT_\w+)\s+\((.*)\)$")
_ADDRESS = re.compile(r"^0x([0-9a-f]+)")
_REFERENCE_NAME = re.compile(r'^0x[0-9a-f]+ "(.*)"$')
_STRING = re.compile(r'^"(.*)"$')


def image_base(image):
    """The preferred load address of a PE image (its optional header's ImageBase)."""
    data = pathlib.Path(image).read_bytes()
    if data[:2] != b"MZ":
        raise ValueError(f"{image} is not a PE image")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe : pe + 4] != b"PE\0\0":
        raise ValueError(f"{image} is not a PE image")
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == 0x20B:  # PE32+
        return struct.unpack_from("<Q", data, optional + 24)[0]
    if magic == 0x10B:  # PE32
        return struct.unpack_from("<I", data, optional + 28)[0]
    raise ValueError(f"{image} has an unknown optional header (magic {magic:#x})")


def functions(dump):
    """(low, high, name) of each subprogram with an address range in llvm-dwarfdump's
    --debug-info text."""
    def finish(die):
        if die and die.get("tag") == "DW_TAG_subprogram" and "low" in die and "high" in die:
            name = die.get("DW_AT_linkage_name") or die.get("reference") or die.get("DW_AT_name")
            if name and die["high"] > die["low"]:
                yield die["low"], die["high"], name

    die = None
    for line in dump.splitlines():
        if match := _DIE.match(line):
            yield from finish(die)
            die = {"tag": match.group(1)}
        elif die is not None and (match := _ATTRIBUTE.match(line)):
            attribute, value = match.groups()
            if attribute in ("DW_AT_low_pc", "DW_AT_high_pc"):
                if address := _ADDRESS.match(value):
                    die["low" if attribute == "DW_AT_low_pc" else "high"] = int(address.group(1), 16)
            elif attribute in ("DW_AT_linkage_name", "DW_AT_name"):
                if string := _STRING.match(value):
                    die[attribute] = string.group(1)
            elif attribute in ("DW_AT_specification", "DW_AT_abstract_origin"):
                if reference := _REFERENCE_NAME.match(value):
                    die["reference"] = reference.group(1)
    yield from finish(die)


def table(entries, base):
    """The section's bytes for (low, high, name) at absolute addresses, image at `base`."""
    chosen = {}
    for low, high, name in entries:
        if low < base or high - base > 0xFFFFFFFF:
            continue  # not in this image (a discarded function keeps address 0)
        # One name per start: a mangled one over a plain one, else the first.
        if low not in chosen or (name.startswith("_Z") and not chosen[low][1].startswith("_Z")):
            chosen[low] = (high, name)
    names, offsets, rows = bytearray(), {}, []
    for low in sorted(chosen):
        high, name = chosen[low]
        if name not in offsets:
            offsets[name] = len(names)
            names += name.encode() + b"\0"
        rows.append(struct.pack("<III", low - base, high - base, offsets[name]))
    return MAGIC + struct.pack("<I", len(rows)) + b"".join(rows) + bytes(names)


def main(dwarfdump, image, output):
    dump = subprocess.run([dwarfdump, "--debug-info", image], check=True, capture_output=True, text=True).stdout
    data = table(functions(dump), image_base(image))
    count = struct.unpack_from("<I", data, len(MAGIC))[0]
    if count == 0:
        sys.exit(f"{image}: no function with an address range in its DWARF")
    pathlib.Path(output).write_bytes(data)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
