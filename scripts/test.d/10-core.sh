# The runtime on its own, and the key-credential service against the scripted fake, with
# and without sanitizers.
set -euo pipefail
source scripts/lib.sh
preset_suite linux "runtime|core"
preset_suite asan "runtime|core"
