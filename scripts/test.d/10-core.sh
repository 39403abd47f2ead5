# The key-credential service against the scripted fake, with and without sanitizers.
set -euo pipefail
source scripts/lib.sh
preset_suite linux core
preset_suite asan core
