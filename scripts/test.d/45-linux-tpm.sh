# The Linux TPM platform's parts against real daemons: a TPM simulator (swtpm), a system
# bus that starts the key service biometric-keyd on demand (installed with `python -m
# biometric_keys install-service`), polkitd and fprintd's virtual device, with test users
# (not in tss) who prove who they are at a terminal of their own (scripts/tpm_fixture.sh
# sets it all up and takes it down). The C++ tests of the text agent; then tests/tpm_python
# and the feature suite (tests/features) on the TPM, run as root, which run what they test
# as the test users; last, that uninstalling the service leaves nothing behind. Needs root:
# it adds users, system files and daemons.
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

# --uninstall --purge (the fixture's last step down) leaves none of the service's files,
# its state or its user.
tpm_fixture_down
trap - EXIT
left=()
for path in /usr/local/lib/biometric-keyd /etc/biometric /var/lib/biometric \
    /usr/share/dbus-1/system.d/org.biometric.KeyCredentials1.conf \
    /usr/share/dbus-1/system-services/org.biometric.KeyCredentials1.service \
    /usr/share/polkit-1/actions/org.biometric.verify.policy; do
    [ ! -e "$path" ] || left+=("$path")
done
! getent passwd biometric-keyd >/dev/null || left+=("user biometric-keyd")
if [ ${#left[@]} -gt 0 ]; then
    echo "the key service left behind: ${left[*]}" >&2
    exit 1
fi
echo "uninstalled: nothing of the key service is left"
