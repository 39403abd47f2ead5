# The software stand-in platform against a real store in temporary directories, and the
# TPM key operations against a swtpm of the suite's own, with and without sanitizers.
set -euo pipefail
source scripts/lib.sh
need_apt libssl-dev libtss2-dev swtpm swtpm-tools libtss2-tcti-swtpm0
preset_suite linux "standin|tpm"
preset_suite asan "standin|tpm"
