# The modules as a user gets them: the sdist, and the wheel built from it with
# `pip install`, into a fresh virtual environment, then pytest end to end on the software
# stand-in platform, the example tests in examples/, and mypy's stubtest of the type
# stubs against the installed modules; for CPython 3.12, and 3.13 where there is one.
set -euo pipefail
source scripts/lib.sh
need_apt libssl-dev

interpreters=("$(find_python312)")
python313=$(find_python313)
[ -n "$python313" ] && interpreters+=("$python313")

for python in "${interpreters[@]}"; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    echo "--- CPython $version"
    venv=build/venv-standin-$version
    rm -rf "$venv"
    venv_python=$(test_venv "$venv" "$python" pytest cryptography mypy build)
    # Installed from the sdist: what it lacks for either module or stub fails the install.
    sdist_dir=build/sdist-$version
    rm -rf "$sdist_dir"
    "$venv_python" -m build -q --sdist --outdir "$sdist_dir" . >&2
    "$venv_python" -m pip install -q --disable-pip-version-check "$sdist_dir"/biometric-*.tar.gz >&2
    "$venv_python" -m pytest -q -p no:cacheprovider tests/standin_python
    # The example of testing an application against the simulated user.
    "$venv_python" -m pytest -q -p no:cacheprovider examples/test_my_app.py
    # From elsewhere, so that only the installed module and stub can be found.
    (cd build && "../$venv_python" -m mypy.stubtest biometric biometric_keys)
done
