# The modules as a user gets them: the source distribution (`python -m build --sdist`)
# installed into a fresh virtual environment, so that a file missing from it fails here;
# then pytest end to end on the software stand-in platform, the example tests in
# examples/, the installed-module tests that Windows CI runs too, and mypy's stubtest of
# the type stubs against the installed modules; for CPython 3.12, and 3.13 where there is
# one.
set -euo pipefail
source scripts/lib.sh
need_apt libssl-dev

sdist_python=$(test_venv build/venv-sdist "$(find_python312)" build)
rm -f dist/biometric-*.tar.gz
"$sdist_python" -m build --sdist --outdir dist . >&2
sdist=$(ls dist/biometric-*.tar.gz)
echo "--- $sdist"

interpreters=("$(find_python312)")
python313=$(find_python313)
[ -n "$python313" ] && interpreters+=("$python313")

for python in "${interpreters[@]}"; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    echo "--- CPython $version"
    venv=build/venv-standin-$version
    rm -rf "$venv"
    venv_python=$(test_venv "$venv" "$python" pytest cryptography mypy)
    "$venv_python" -m pip install -q --disable-pip-version-check "$sdist" >&2
    "$venv_python" -m pytest -q -p no:cacheprovider tests/standin_python
    # The example of testing an application against the simulated user.
    "$venv_python" -m pytest -q -p no:cacheprovider examples/test_my_app.py
    # Apart: each suite's conftest is imported as "conftest".
    "$venv_python" -m pytest -q -p no:cacheprovider tests/installed
    # From elsewhere, so that only the installed module and stub can be found.
    (cd build && "../$venv_python" -m mypy.stubtest biometric biometric_keys)
done
