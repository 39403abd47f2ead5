# Shared helpers of the scripts; sourced, not run.

# Installs Debian packages that are missing (only as root; otherwise says what is missing).
need_apt() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages: ${missing[*]} (install them, or run as root)" >&2
        return 1
    fi
    echo "installing Debian packages: ${missing[*]} ..." >&2
    if [ -z "${BIOMETRIC_APT_UPDATED:-}" ]; then
        apt-get update -qq
        export BIOMETRIC_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Prints the path of a CPython 3.12 interpreter: $BIOMETRIC_PYTHON, pyenv's 3.12, or
# python3.12 on PATH.
find_python312() {
    local candidates=()
    [ -n "${BIOMETRIC_PYTHON:-}" ] && candidates+=("$BIOMETRIC_PYTHON")
    if [ -n "${PYENV_VERSION:-}" ] && [ -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$PYENV_VERSION" ]; then
        candidates+=("${PYENV_ROOT:-$HOME/.pyenv}/versions/$PYENV_VERSION/bin/python3")
    fi
    for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12 /usr/bin/python3.12 /usr/local/bin/python3.12; do
        [ -x "$p" ] && candidates+=("$p")
    done
    command -v python3.12 >/dev/null 2>&1 && candidates+=("$(command -v python3.12)")
    for p in "${candidates[@]}"; do
        if "$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; then
            echo "$p"
            return 0
        fi
    done
    echo "no CPython 3.12 found (set BIOMETRIC_PYTHON)" >&2
    return 1
}

# Like find_python312, for 3.13; prints nothing when there is none.
find_python313() {
    for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 /usr/bin/python3.13; do
        if [ -x "$p" ] && "$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then
            echo "$p"
            return 0
        fi
    done
    return 0
}

# A virtual environment for the tests at $1 made with interpreter $2, with the given
# PyPI packages installed; prints its python.
test_venv() {
    local dir=$1 python=$2
    shift 2
    if [ ! -x "$dir/bin/python" ]; then
        "$python" -m venv "$dir" >&2
    fi
    "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@" >&2
    echo "$dir/bin/python"
}

# Configures and builds a CMake preset (the Python module with CPython 3.12), then runs
# that preset's CTest suites of one label.
preset_suite() {
    local preset=$1 label=$2
    cmake --preset "$preset" -DPython_EXECUTABLE="$(find_python312)" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" -L "$label"
}

# Prints the build requirements of pyproject.toml, one per line.
build_requirements() {
    "$(find_python312)" -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))'
}

# Configures the mingw preset (GCC, kept for comparison), naming the CPython 3.12 whose
# headers the Windows modules (stable ABI) are built against. LLVM 16 adds the images'
# tables of frame names.
mingw_configure() {
    need_apt mingw-w64 g++-mingw-w64-x86-64-posix googletest cmake ninja-build llvm-16 || return 1
    cmake --preset mingw -DBIOMETRIC_WINDOWS_PYTHON_cp312="$(find_python312)" >/dev/null
}

# The Windows toolchain: zig, from PyPI's ziglang at this version, in build/venv-zig
# (which cmake/zig-windows.cmake finds). Its cache (libc++ and the C runtime, built once
# per target: minutes) is build/zig-cache. The wheels' digests, as PyPI serves them, for
# the Linux machines that build: x86_64 and aarch64.
ZIGLANG_VERSION=0.17.1
ZIGLANG_SHA256=(ea6cc5d87b033cf0aedfbc8f9549a908cae6c50ac31f1698188fa48a74524b54
                b7c5f02fccd40f89b999ee16a1f5ddced56e6182370f8affe494bcf8a28cf07e)

# Installs ziglang (once) and configures the zig preset $1 (zig-x64 or zig-arm64), naming
# the CPython 3.12 whose headers the Windows modules are built against. LLVM 16 reads and
# edits the images; mingw-w64's headers supply the runtime classes' declarations.
zig_configure() {
    local preset=$1
    need_apt cmake ninja-build llvm-16 mingw-w64-common || return 1
    if [ "$(build/venv-zig/bin/python -m ziglang version 2>/dev/null)" != "$ZIGLANG_VERSION" ]; then
        test_venv build/venv-zig "$(find_python312)" --require-hashes \
            -r <(echo "ziglang==$ZIGLANG_VERSION ${ZIGLANG_SHA256[*]/#/--hash=sha256:}") >/dev/null || return 1
    fi
    cmake --preset "$preset" -DBIOMETRIC_WINDOWS_PYTHON_cp312="$(find_python312)" >/dev/null
}

# Configures and builds the benchmarks' targets in build/bench with $1, a venv's python
# that has nanobind and pybind11.
build_bench() {
    local venv_python=$1
    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBIOMETRIC_BUILD_TESTS=OFF \
        -DBIOMETRIC_BUILD_BENCH=ON -DPython_EXECUTABLE="$venv_python" \
        -Dnanobind_DIR="$("$venv_python" -m nanobind --cmake_dir)" \
        -Dpybind11_DIR="$("$venv_python" -m pybind11 --cmakedir)" >/dev/null || return 1
    cmake --build build/bench --target biometric_bench_module bench_limit bench_nanobind bench_pybind11 \
        bench_limit_service bench_nanobind_service bench_pybind11_service bench_openssl bench_service >&2
}

# Configures and builds the fuzz preset (clang) for interpreter $1.
build_fuzz() {
    local python=$1
    need_apt clang-16 libclang-rt-16-dev libssl-dev cmake ninja-build || return 1
    # GCC's libbacktrace serves the fault reports in the clang build too; its header is
    # taken alone, not GCC's whole include directory.
    local include=build/fuzz-include
    mkdir -p "$include"
    cp "$(gcc -print-file-name=include/backtrace.h)" "$include/"
    cmake --preset fuzz -DPython_EXECUTABLE="$python" -DBIO_LIBBACKTRACE="$(gcc -print-file-name=libbacktrace.a)" \
        -DCMAKE_CXX_FLAGS="-isystem $PWD/$include" >/dev/null || return 1
    cmake --build --preset fuzz
}

# The x64 build whose programs, test doubles and modules the Wine stages run: zig's
# (the mingw preset's GCC build is kept for comparison, and runs the same way with
# BIOMETRIC_WINDOWS_BUILD=build/mingw).
windows_build=${BIOMETRIC_WINDOWS_BUILD:-build/zig-x64}

# Sets up Wine for the stages that run Windows programs: finds the loader and server
# (sets $wine and $wineserver), makes a fresh prefix (exports WINEPREFIX and the rest),
# starts one server for the whole run, ends it and removes the prefix on exit, and
# registers the test doubles of $windows_build (its tests/wine) for both runtime
# classes named in $@ (by default only KeyCredentialManager).
wine_setup() {
    wine=""
    # Debian 12 installs the loader and server under /usr/lib/wine (wine64), newer
    # releases may name the loader plain "wine".
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
        return 1
    fi

    export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
    WINEPREFIX=$(mktemp -d /tmp/biometric-wine.XXXXXX)
    trap '"$wineserver" -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT

    # One server for the whole run; the prefix is made before any test, with Wine's own
    # processes cut off from our pipes (they would otherwise hold them open for minutes).
    "$wineserver" -p
    "$wine" wineboot -i </dev/null >/dev/null 2>&1
    # A crash ends the process at once instead of starting the debugger.
    "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f \
        </dev/null >/dev/null 2>&1
    # The doubles, registered as the platform would find the real classes.
    local classes=("$@") class doubles
    [ ${#classes[@]} -eq 0 ] && classes=(Windows.Security.Credentials.KeyCredentialManager
                                         Windows.Security.Credentials.UI.UserConsentVerifier)
    doubles=$(windows_path "$(pwd -P)/$windows_build/tests/wine/bio_doubles.dll")
    for class in "${classes[@]}"; do
        "$wine" reg add "HKLM\\Software\\Microsoft\\WindowsRuntime\\ActivatableClassId\\$class" /v DllPath /t REG_SZ \
            /d "$doubles" /f </dev/null >/dev/null 2>&1
    done
    # Wine has no windowing API set: the double of its GetWindowIdFromWindow stands in,
    # where the system would have it.
    cp "$windows_build/tests/wine/bio_windowing.dll" "$WINEPREFIX/drive_c/windows/system32/ext-ms-win-windowing-external-l1-1-0.dll"
}

# The path Wine's programs see for the absolute host path $1 (its Z: drive).
windows_path() {
    echo "Z:${1//\//\\}"
}
