# The software stand-in platform against a real store in temporary directories, with
# and without sanitizers.
set -euo pipefail
source scripts/lib.sh
need_apt libssl-dev
cmake --preset linux >/dev/null
cmake --build --preset linux
ctest --preset linux -L standin
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan -L standin
