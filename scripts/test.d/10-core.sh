# The key-credential service against the scripted fake, with and without sanitizers.
set -euo pipefail
cmake --preset linux >/dev/null
cmake --build --preset linux
ctest --preset linux -L core
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan -L core
