# The Windows build, cross-compiled with mingw-w64 and run under Wine: the Windows
# Runtime client against our test doubles and against Wine's own runtime classes, the
# Windows standard-error writer and backtrace, the core suite as built for Windows, and
# the Python modules for Windows: their export and import tables and a load beside a
# stand-in python3XY.dll.
set -euo pipefail
source scripts/lib.sh
need_apt mingw-w64 g++-mingw-w64-x86-64-posix googletest cmake ninja-build
# Debian 12 packages the 64-bit Wine as wine64; later releases fold it into wine.
need_apt wine64 2>/dev/null || need_apt wine

# The identifiers of the parameterised interfaces, derived afresh and compared with abi.h.
"$(find_python312)" tools/winrt_iid.py --check src/winrt/abi.h

mingw_configure
cmake --build --preset mingw

# The Wine loader and server: Debian 12 installs them under /usr/lib/wine (wine64),
# newer releases may name the loader plain "wine".
wine=""
for candidate in /usr/lib/wine/wine64 /usr/lib/wine/wine /usr/lib/x86_64-linux-gnu/wine/wine64 \
                 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine=$candidate; break; fi
done
wineserver=""
for candidate in "$(dirname "$wine")/wineserver" /usr/lib/wine/wineserver "$(command -v wineserver || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then wineserver=$candidate; break; fi
done
if [ -z "$wine" ] || [ -z "$wineserver" ]; then
    echo "no Wine loader or wineserver found" >&2
    exit 1
fi

export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/biometric-wine.XXXXXX)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
trap '"$wineserver" -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT

# One server for the whole run; the prefix is made before any test, with Wine's own
# processes cut off from our pipes (they would otherwise hold them open for minutes).
"$wineserver" -p
"$wine" wineboot -i </dev/null >/dev/null 2>&1
# A crash ends the process at once instead of starting the debugger.
"$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f \
    </dev/null >/dev/null 2>&1
# The KeyCredentialManager double, registered as the platform would find a real class.
"$wine" reg import "Z:$(pwd -P | tr / '\\')\\build\\mingw\\tests\\wine\\doubles.reg" </dev/null >/dev/null 2>&1

ctest --preset wine
