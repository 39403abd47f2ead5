# The Windows x64 build, cross-compiled with zig on the UCRT (the zig-x64 preset) and run
# under Wine: the Windows Runtime client against our test doubles and against Wine's own
# runtime classes, the Windows standard-error writer and backtrace, the core suite as
# built for Windows, and the Python modules for Windows: their export and import tables
# and a load beside a stand-in python3XY.dll. (The mingw preset's GCC build runs the same
# suite with `ctest --preset wine`, wine_setup taking BIOMETRIC_WINDOWS_BUILD=build/mingw.)
set -euo pipefail
source scripts/lib.sh
need_apt googletest cmake ninja-build
# Debian 12 packages the 64-bit Wine as wine64; later releases fold it into wine.
need_apt wine64 2>/dev/null || need_apt wine
# Wine's bcrypt does its cryptography with GnuTLS, which Wine only recommends; later
# releases name the library libgnutls30t64.
need_apt libgnutls30 2>/dev/null || need_apt libgnutls30t64

# The identifiers of the parameterised interfaces, derived afresh and compared with abi.h.
"$(find_python312)" tools/winrt_iid.py --check src/winrt/abi.h

start=$SECONDS
zig_configure zig-x64
cmake --build --preset zig-x64
echo "--- zig-x64 built in $((SECONDS - start)) s"

wine_setup

ctest --preset wine-zig
