# The Python module surface: C++ tests in an embedded interpreter and pytest against
# the module's test build (the scripted fake as platform), then both again under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
source scripts/lib.sh

python=$(find_python312)
venv_python=$(test_venv build/venv-python "$python" pytest)
pytest_args=(-q -p no:cacheprovider tests/python)

preset_suite linux module
BIOMETRIC_TEST_MODULE_DIR="$PWD/build/linux/tests/module/python" "$venv_python" -m pytest "${pytest_args[@]}"

preset_suite asan module
# The interpreter itself is not built with the sanitizers, so their runtimes are loaded
# first. Leaks are checked by the C++ tests above: a whole CPython process leaves too much
# of its own behind at exit for LeakSanitizer to say anything about the module.
BIOMETRIC_TEST_MODULE_DIR="$PWD/build/asan/tests/module/python" \
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    BIOMETRIC_SWEEP_SCALE=0.2 "$venv_python" -m pytest "${pytest_args[@]}"
