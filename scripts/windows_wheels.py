"""Writes the Windows wheels from the modules a Windows preset (zig-x64, zig-arm64,
mingw) cross-built.

    python scripts/windows_wheels.py <build dir> <output dir>

One wheel for the stable-ABI modules listed in <build>/windows-modules/modules.txt
(tag abi3): what the build installs for them (cmake --install --component abi3: the
modules and their type stubs), the metadata the project's build backend writes for any
wheel (prepare_metadata_for_build_wheel: METADATA and the license), a WHEEL file for
cp312-abi3-win_amd64 or -win_arm64 (every CPython from 3.12 on; the platform is the
modules' machine), and the RECORD. Each module's file must be fit to ship: under
1.5 MB, without DWARF, with its table of function names (or GCC's symbol table),
naming no directory of this build.
Needs pyproject-hooks and the backend installed in this interpreter's environment.
"""
import base64
import hashlib
import pathlib
import subprocess
import sys
import tempfile
import tomllib
import zipfile

from pyproject_hooks import BuildBackendHookCaller, quiet_subprocess_runner

ROOT = pathlib.Path(__file__).resolve().parents[1]
# The wheel platform of each PE machine type the modules may be built for.
PLATFORMS = {0x8664: "win_amd64", 0xAA64: "win_arm64"}
# The oldest CPython whose stable ABI the modules use.
PYTHON_TAG = "cp312"
# Fixed timestamps: the same inputs make the same wheel.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def backend_metadata(work):
    """The .dist-info directory the build backend prepares for a wheel of this project."""
    build_system = tomllib.loads((ROOT / "pyproject.toml").read_text())["build-system"]
    hooks = BuildBackendHookCaller(str(ROOT), build_system["build-backend"], runner=quiet_subprocess_runner)
    return work / hooks.prepare_metadata_for_build_wheel(str(work))


def record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def file_header(data):
    """Where a PE image's COFF file header starts (after its signature), or None for other bytes."""
    if data[:2] != b"MZ" or len(data) < 0x40:
        return None
    pe = int.from_bytes(data[0x3C:0x40], "little")
    return pe + 4 if data[pe : pe + 4] == b"PE\0\0" else None


def number(data, at, size):
    """The little-endian number of `size` bytes at `at`."""
    return int.from_bytes(data[at : at + size], "little")


def machine(data):
    """The machine type of a PE image's file header, or None for other bytes."""
    header = file_header(data)
    return None if header is None else number(data, header, 2)


def platform_of(files):
    """The wheel platform of the modules, the .pyd files in `files`: one machine for all."""
    machines = {machine(data) for path, data in files.items() if path.endswith(".pyd")}
    if len(machines) != 1 or next(iter(machines)) not in PLATFORMS:
        raise ValueError(f"modules for no single known machine: {sorted(map(str, machines))}")
    return PLATFORMS[next(iter(machines))]


def write_wheel(tag, build, dist_info, output):
    name, version = dist_info.name.removesuffix(".dist-info").split("-")
    with tempfile.TemporaryDirectory() as staging:
        staging = pathlib.Path(staging)
        subprocess.run(["cmake", "--install", str(build), "--component", tag, "--prefix", str(staging)],
                       check=True, stdout=subprocess.DEVNULL)
        files = {p.relative_to(staging).as_posix(): p.read_bytes() for p in sorted(staging.rglob("*")) if p.is_file()}
    wheel_tag = f"{PYTHON_TAG}-{tag}-{platform_of(files)}"
    # The backend's metadata, but this wheel's own WHEEL file.
    for path in sorted(dist_info.rglob("*")):
        relative = path.relative_to(dist_info).as_posix()
        if path.is_file() and relative not in ("WHEEL", "RECORD"):
            files[f"{dist_info.name}/{relative}"] = path.read_bytes()
    files[f"{dist_info.name}/WHEEL"] = (
        "Wheel-Version: 1.0\n"
        "Generator: biometric scripts/windows_wheels.py\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {wheel_tag}\n"
    ).encode()
    record = f"{dist_info.name}/RECORD"
    lines = [record_line(path, data) for path, data in files.items()] + [f"{record},,"]
    files[record] = ("\n".join(lines) + "\n").encode()

    wheel = output / f"{name}-{version}-{wheel_tag}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for path, data in files.items():
            info = zipfile.ZipInfo(path, ZIP_TIME)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    return wheel


# What a .pyd may weigh: its code and the table of names it names its frames from, not
# the debug data (kept beside it in the build, as <file>.debug).
MAX_PYD_BYTES = 1_500_000


def section_names(data, header):
    """The names in the section table of a PE image whose file header is at `header`."""
    count = number(data, header + 2, 2)
    first = header + 20 + number(data, header + 16, 2)
    return [data[at : at + 8].rstrip(b"\0").decode("ascii", "replace") for at in range(first, first + 40 * count, 40)]


def shipped_file_problem(data):
    """Why a module's file is not fit to ship, or None."""
    if len(data) >= MAX_PYD_BYTES:
        return f"has {len(data)} bytes, not fewer than {MAX_PYD_BYTES}"
    header = file_header(data)
    if header is None:
        return "is not a PE image"
    # The COFF symbol table's count of symbols, in the file header.
    if ".fnames" not in section_names(data, header) and number(data, header + 12, 4) == 0:
        return "has neither a table of its function names (.fnames) nor a symbol table to name its frames from"
    if b".debug_info" in data:
        return "carries DWARF debug data"
    for path in {str(ROOT), str(ROOT).replace("/", "\\")}:
        if path.encode() in data:
            return f"names the build's directory {path}"
    return None


def main(build, output):
    build, output = pathlib.Path(build).resolve(), pathlib.Path(output).resolve()
    manifest = build / "windows-modules" / "modules.txt"
    modules = [line.split(maxsplit=3) for line in manifest.read_text().splitlines() if line.strip()]
    tags = sorted({tag for _, tag, _, _ in modules})
    if not tags:
        sys.exit(f"no Windows modules listed in {manifest}")
    output.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        dist_info = backend_metadata(pathlib.Path(work))
        for tag in tags:
            wheel = write_wheel(tag, build, dist_info, output)
            with zipfile.ZipFile(wheel) as archive:
                names = archive.namelist()
                shipped = {name: archive.read(name) for name in names if name.endswith(".pyd")}
            missing = [module for module, module_tag, _, _ in modules
                       if module_tag == tag and not {f"{module}.pyd", f"{module}/_native.pyd"} & set(names)]
            if missing:
                sys.exit(f"{wheel.name} lacks the modules {missing}")
            for name, data in shipped.items():
                if problem := shipped_file_problem(data):
                    sys.exit(f"{wheel.name}: {name} {problem}")
            print(wheel.relative_to(ROOT) if wheel.is_relative_to(ROOT) else wheel)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
