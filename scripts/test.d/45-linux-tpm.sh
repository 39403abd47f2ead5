# The Linux TPM platform's parts against real daemons: a TPM simulator (swtpm), a system
# bus, polkitd and fprintd's virtual device, with a test user who proves who they are at a
# terminal of their own (scripts/tpm_fixture.sh sets it all up and takes it down). The
# C++ tests of the text agent; then tests/tpm_python and the feature suite (tests/features)
# on the TPM, run as root, which run what they test as the test user. Needs root: it adds a user, system files and daemons.
set -euo pipefail
source scripts/lib.sh
need_apt swtpm swtpm-tools libtss2-dev libtss2-tcti-swtpm0 libsystemd-dev dbus-daemon polkitd pkexec \
    fprintd libpam-fprintd util-linux
if [ "$(id -u)" -ne 0 ]; then
    echo "the TPM stage needs root (a test user, polkit's and PAM's files, the system bus)" >&2
    exit 1
fi

python=$(find_python312)
venv_python=$(test_venv build/venv-tpm "$python" pytest cryptography)
preset_suite linux tpm

source scripts/tpm_fixture.sh
trap tpm_fixture_down EXIT
tpm_fixture_up

# A verification polkit answers at once (root's): connection, check and close, timed.
build/linux/tests/tpm/bio_polkit_check time org.biometric.verify 200

# What the test user runs must be readable by them: copies in the fixture's directory.
modules=$TPM_FIXTURE_DIR/modules
mkdir -p "$modules"
cp -r build/linux/src/module/biometric.abi3.so build/linux/src/module/biometric_keys "$modules/"
chmod -R a+rX "$modules"
user_python=$(tpm_fixture_python "$python")
for suite in tests/tpm_python tests/features; do  # apart: each suite's conftest is imported as "conftest"
    BIOMETRIC_TPM_TEST_MODULES=$modules BIOMETRIC_TPM_TEST_PYTHON=$user_python \
        TPM_FIXTURE_DIR=$TPM_FIXTURE_DIR "$venv_python" -m pytest -q -p no:cacheprovider "$suite"
done
