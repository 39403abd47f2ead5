# The software stand-in platform against a real store in temporary directories, with
# and without sanitizers.
set -euo pipefail
source scripts/lib.sh
need_apt libssl-dev
preset_suite linux standin
preset_suite asan standin
