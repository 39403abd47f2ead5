# The machine the Linux TPM platform is tested on: a TPM simulator (swtpm), a system bus
# that starts the key service biometric-keyd on demand (D-Bus activation through the bus's
# setuid launch helper), the service installed by `python -m biometric_keys
# install-service`, polkitd, fprintd with its virtual device, a PAM stack that asks for a
# finger then the password, a test user with a known password and an enrolled finger, and
# a second user with a password of their own. Neither user is in tss.
#
# Sourced by a stage, which calls tpm_fixture_up and, on EXIT, tpm_fixture_down. The
# daemons are this shell's own children, so down stops them by pid and reaps them (this
# container's init reaps no orphans). Down undoes exactly what up did, in reverse, also
# after a step that failed half way; it starts nothing that already runs (a bus already
# served, a polkitd already on it) and stops only what it started.
#
# Run as a command, `scripts/tpm_fixture.sh run CMD ...` brings the fixture up, runs CMD
# (e.g. bash, for a shell to try things in) and takes it down.
#
# What the tests need is written to $TPM_FIXTURE_DIR/env (shell assignments, also read
# by tests/tpm_python): the user and its password, the TCTI of the simulator, the
# fingerprint socket.

TPM_FIXTURE_DIR=${TPM_FIXTURE_DIR:-/tmp/biometric-tpm-fixture}
TPM_FIXTURE_USER=${TPM_FIXTURE_USER:-biotpmtest}
TPM_FIXTURE_USER2=${TPM_FIXTURE_USER2:-biotpmother}
TPM_FIXTURE_PORT=${TPM_FIXTURE_PORT:-2321}
TPM_FIXTURE_ACTION=org.biometric.verify
TPM_FIXTURE_BUS_SOCKET=/run/dbus/system_bus_socket

# What up did, in order, as "kind argument" lines; down undoes them last first.
_tpm_fixture_done=()

_tpm_fixture_record() {
    _tpm_fixture_done+=("$*")
    echo "$*" >>"$TPM_FIXTURE_DIR/done"
}

_tpm_fixture_log() { echo "tpm fixture: $*" >&2; }

# Waits up to $1 tenths of a second for the command that follows to succeed.
_tpm_fixture_until() {
    local tries=$1
    shift
    while ! "$@" >/dev/null 2>&1; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}

_tpm_fixture_bus_served() {
    [ -S "$TPM_FIXTURE_BUS_SOCKET" ] &&
        dbus-send --system --print-reply --reply-timeout=2000 --dest=org.freedesktop.DBus / \
            org.freedesktop.DBus.GetId >/dev/null 2>&1
}

_tpm_fixture_has_owner() {
    dbus-send --system --print-reply --reply-timeout=2000 --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}

# Whether process $1 has ended: gone, or a zombie nobody reaps (not ours then).
_tpm_fixture_ended() {
    local state
    state=$(awk '{ sub(/^.*\) /, ""); print $1 }' "/proc/$1/stat" 2>/dev/null) || return 0
    [ -z "$state" ] || [ "$state" = Z ]
}

# Stops the daemon of pid $1 that this shell started: SIGTERM, then SIGKILL after 5 s.
_tpm_fixture_stop() {
    local pid=$1
    kill -TERM "$pid" 2>/dev/null || true
    if ! _tpm_fixture_until 50 _tpm_fixture_ended "$pid"; then
        _tpm_fixture_log "pid $pid did not stop on SIGTERM; killing it"
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}

# Installs file $2 (mode $3) from the text on standard input at path $1, keeping any file
# already there to be put back.
_tpm_fixture_install() {
    local path=$1 mode=$2 backup
    if [ -e "$path" ]; then
        backup="$TPM_FIXTURE_DIR/backup/$(echo "$path" | tr / _)"
        mkdir -p "$TPM_FIXTURE_DIR/backup"
        cp -a "$path" "$backup"
        _tpm_fixture_record restore "$path" "$backup"
    else
        _tpm_fixture_record remove "$path"
    fi
    cat >"$path.biometric-new"
    chmod "$mode" "$path.biometric-new"
    mv "$path.biometric-new" "$path"
}

# Call it as a plain command with errexit on (not inside `if` or `||`, where bash would
# ignore errexit in it): a step that fails then ends the shell, whose EXIT trap runs down.
tpm_fixture_up() {
    if [ "$(id -u)" -ne 0 ]; then
        _tpm_fixture_log "needs root (it adds a user and system files)"
        return 1
    fi
    if [ -e "$TPM_FIXTURE_DIR/done" ]; then
        _tpm_fixture_log "$TPM_FIXTURE_DIR/done exists: a fixture is up (or was not taken down)"
        return 1
    fi
    mkdir -p "$TPM_FIXTURE_DIR"
    chmod 755 "$TPM_FIXTURE_DIR"
    : >"$TPM_FIXTURE_DIR/done"
    _tpm_fixture_record dir "$TPM_FIXTURE_DIR"

    # The TPM simulator, answering on one port and controlled on the next.
    mkdir -p "$TPM_FIXTURE_DIR/swtpm"
    swtpm socket --tpm2 --tpmstate "dir=$TPM_FIXTURE_DIR/swtpm" --flags not-need-init,startup-clear \
        --server "type=tcp,port=$TPM_FIXTURE_PORT,bindaddr=127.0.0.1" \
        --ctrl "type=tcp,port=$((TPM_FIXTURE_PORT + 1)),bindaddr=127.0.0.1" &
    _tpm_fixture_record pid $! swtpm
    _tpm_fixture_until 50 swtpm_ioctl --tcp "127.0.0.1:$((TPM_FIXTURE_PORT + 1))" -g

    # The system bus where polkit's setuid helper looks for it. It activates services
    # through dbus-daemon's setuid launch helper, which reads the system's own bus
    # configuration for where their files are (the standard directory, where
    # install-service writes); polkitd and fprintd are started here before anyone asks.
    if _tpm_fixture_bus_served; then
        _tpm_fixture_log "using the system bus already served at $TPM_FIXTURE_BUS_SOCKET"
    else
        mkdir -p /run/dbus
        rm -f "$TPM_FIXTURE_BUS_SOCKET"  # not served (checked above): left by a bus that is gone
        cat >"$TPM_FIXTURE_DIR/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <user>messagebus</user>
  <auth>EXTERNAL</auth>
  <listen>unix:path=$TPM_FIXTURE_BUS_SOCKET</listen>
  <servicehelper>/usr/lib/dbus-1.0/dbus-daemon-launch-helper</servicehelper>
  <servicedir>/usr/share/dbus-1/system-services</servicedir>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
  <includedir>/etc/dbus-1/system.d</includedir>
</busconfig>
EOF
        dbus-daemon --config-file="$TPM_FIXTURE_DIR/bus.conf" --nofork --nopidfile &
        _tpm_fixture_record pid $! dbus-daemon
        _tpm_fixture_record remove "$TPM_FIXTURE_BUS_SOCKET"
        _tpm_fixture_until 50 _tpm_fixture_bus_served
    fi

    # polkit's configuration, in place before polkitd reads it.
    # The action as `python -m biometric_keys install-policy` writes it (the built
    # modules' command line, $TPM_FIXTURE_MODULES).
    PYTHONPATH=${TPM_FIXTURE_MODULES:-build/linux/src/module} "$(find_python312)" \
        -c 'import biometric_keys.__main__ as m; print(m.ACTION_FILE, end="")' >"$TPM_FIXTURE_DIR/action.policy"
    _tpm_fixture_install "/usr/share/polkit-1/actions/$TPM_FIXTURE_ACTION.policy" 644 <"$TPM_FIXTURE_DIR/action.policy"
    # fprintd lets only an active session's user verify a finger; there is no logind here.
    _tpm_fixture_install /etc/polkit-1/rules.d/40-biometric-ci-fprintd.rules 644 <<EOF
// CI only: the test user may verify a finger without a logind session.
polkit.addRule(function(action, subject) {
    if (action.id == "net.reactivated.fprint.device.verify" && subject.user == "$TPM_FIXTURE_USER")
        return polkit.Result.YES;
});
EOF
    # A finger first (one try, 10 s), then the password.
    _tpm_fixture_install /etc/pam.d/polkit-1 644 <<'EOF'
#%PAM-1.0
auth       sufficient   pam_fprintd.so max-tries=1 timeout=10
@include common-auth
@include common-account
@include common-password
session    required     pam_env.so readenv=1 user_readenv=0
@include common-session-noninteractive
EOF

    local polkitd
    for polkitd in /usr/libexec/polkitd /usr/lib/polkit-1/polkitd ""; do
        [ -x "$polkitd" ] && break
    done
    if _tpm_fixture_has_owner org.freedesktop.PolicyKit1; then
        _tpm_fixture_log "using the polkitd already on the bus"
    else
        [ -n "$polkitd" ] || { _tpm_fixture_log "polkitd not found"; return 1; }
        "$polkitd" --no-debug </dev/null >"$TPM_FIXTURE_DIR/polkitd.log" 2>&1 &
        _tpm_fixture_record pid $! polkitd
        _tpm_fixture_until 100 _tpm_fixture_has_owner org.freedesktop.PolicyKit1
    fi

    # The key service, as an administrator installs it, reaching the simulator. Down
    # uninstalls it with its keys and its user (and stops it, by the pid the bus gave it).
    if getent passwd biometric-keyd >/dev/null || [ -e /usr/local/lib/biometric-keyd ]; then
        _tpm_fixture_log "the key service is installed already; not touching it"
        return 1
    fi
    _tpm_fixture_record service
    _tpm_fixture_service install-service --tcti "swtpm:host=127.0.0.1,port=$TPM_FIXTURE_PORT" >"$TPM_FIXTURE_DIR/install.log"

    # The test users, each with a password nobody else knows.
    local password password2 user
    for user in "$TPM_FIXTURE_USER" "$TPM_FIXTURE_USER2"; do
        if getent passwd "$user" >/dev/null; then
            _tpm_fixture_log "user $user exists already; not touching it"
            return 1
        fi
    done
    password=pw-$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n')
    password2=pw-$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n')
    useradd --create-home --shell /bin/bash "$TPM_FIXTURE_USER"
    _tpm_fixture_record user "$TPM_FIXTURE_USER"
    echo "$TPM_FIXTURE_USER:$password" | chpasswd
    useradd --create-home --shell /bin/bash "$TPM_FIXTURE_USER2"
    _tpm_fixture_record user "$TPM_FIXTURE_USER2"
    echo "$TPM_FIXTURE_USER2:$password2" | chpasswd

    # fprintd on its virtual device, a socket that every user may write a scan to.
    if _tpm_fixture_has_owner net.reactivated.Fprint; then
        _tpm_fixture_log "an fprintd is on the bus already; it cannot be given the virtual device"
        return 1
    fi
    local socket=$TPM_FIXTURE_DIR/fprint.socket
    (umask 000; FP_VIRTUAL_DEVICE=$socket exec /usr/libexec/fprintd --no-timeout \
        </dev/null >"$TPM_FIXTURE_DIR/fprintd.log" 2>&1) &
    _tpm_fixture_record pid $! fprintd
    _tpm_fixture_until 100 _tpm_fixture_has_owner net.reactivated.Fprint
    # fprintd keeps prints under /var/lib/fprint/USER; removing the user removes them.
    _tpm_fixture_record remove "/var/lib/fprint/$TPM_FIXTURE_USER"

    # finger-A enrolled as the right index finger: scans until fprintd-enroll is done. The
    # device (and its socket) opens when fprintd-enroll claims it.
    fprintd-enroll -f right-index-finger "$TPM_FIXTURE_USER" >"$TPM_FIXTURE_DIR/enroll.log" 2>&1 &
    local enroll=$! scans=0
    while ! _tpm_fixture_ended "$enroll"; do
        sleep 0.2
        [ -S "$socket" ] && tpm_fixture_scan SCAN finger-A 2>/dev/null || true
        scans=$((scans + 1))
        if [ "$scans" -gt 30 ]; then
            kill -TERM "$enroll" 2>/dev/null || true
            wait "$enroll" || true
            _tpm_fixture_log "enrolment did not finish after $scans scans: $(cat "$TPM_FIXTURE_DIR/enroll.log")"
            tail -n 20 "$TPM_FIXTURE_DIR/fprintd.log" >&2
            return 1
        fi
    done
    if ! wait "$enroll" || ! grep -q 'enroll-completed' "$TPM_FIXTURE_DIR/enroll.log"; then
        _tpm_fixture_log "enrolment failed: $(cat "$TPM_FIXTURE_DIR/enroll.log")"
        return 1
    fi

    cat >"$TPM_FIXTURE_DIR/env" <<EOF
TPM_FIXTURE_USER=$TPM_FIXTURE_USER
TPM_FIXTURE_PASSWORD=$password
TPM_FIXTURE_USER2=$TPM_FIXTURE_USER2
TPM_FIXTURE_PASSWORD2=$password2
TPM_FIXTURE_TCTI=swtpm:host=127.0.0.1,port=$TPM_FIXTURE_PORT
TPM_FIXTURE_FPRINT_SOCKET=$socket
TPM_FIXTURE_ACTION=$TPM_FIXTURE_ACTION
EOF
    chmod 644 "$TPM_FIXTURE_DIR/env"
    _tpm_fixture_log "up: user $TPM_FIXTURE_USER, $(grep -c . "$TPM_FIXTURE_DIR/done") steps to undo"
}

# python -m biometric_keys with the arguments, from the built modules ($TPM_FIXTURE_MODULES).
_tpm_fixture_service() {
    PYTHONPATH=${TPM_FIXTURE_MODULES:-build/linux/src/module} "$(find_python312)" -m biometric_keys "$@"
}

# Writes one command (e.g. "SCAN finger-A") to fprintd's virtual device.
tpm_fixture_scan() {
    python3 - "$TPM_FIXTURE_DIR/fprint.socket" "$*" <<'EOF'
import socket, sys
with socket.socket(socket.AF_UNIX) as s:
    s.connect(sys.argv[1])
    s.sendall(sys.argv[2].encode() + b"\n")
EOF
}

# Prints the path of a copy of interpreter $1 that the test user can run (pyenv's are under
# /root, which only root may enter), made in the fixture's directory (gone with it).
tpm_fixture_python() {
    local prefix version
    prefix=$("$1" -c 'import sys; print(sys.base_prefix)') || return 1
    version=$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])') || return 1
    if [ ! -d "$TPM_FIXTURE_DIR/python$version" ]; then
        mkdir -p "$TPM_FIXTURE_DIR/python$version"
        (cd "$prefix" && tar --exclude="./lib/python$version/test" --exclude="./lib/python$version/site-packages/*" \
            -cf - bin lib include 2>/dev/null) | tar -xf - -C "$TPM_FIXTURE_DIR/python$version" || return 1
        chmod -R a+rX "$TPM_FIXTURE_DIR/python$version"
    fi
    echo "$TPM_FIXTURE_DIR/python$version/bin/python$version"
}

tpm_fixture_down() {
    set +e
    local i entry kind arg rest
    for ((i = ${#_tpm_fixture_done[@]} - 1; i >= 0; i--)); do
        entry=${_tpm_fixture_done[i]}
        read -r kind arg rest <<<"$entry"
        case $kind in
            pid) _tpm_fixture_stop "$arg" ;;
            user) userdel --remove "$arg" 2>/dev/null || _tpm_fixture_log "could not remove user $arg" ;;
            service) _tpm_fixture_service install-service --uninstall --purge >/dev/null ||
                _tpm_fixture_log "could not uninstall the key service" ;;
            remove) rm -rf -- "$arg" ;;
            restore) mv -f -- "$rest" "$arg" ;;
            dir) rm -rf -- "$arg" ;;
        esac
    done
    _tpm_fixture_done=()
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    if [ "${1:-}" != run ] || [ $# -lt 2 ]; then
        echo "usage: $0 run COMMAND [ARGUMENTS...]   (or source it and call tpm_fixture_up/down)" >&2
        exit 2
    fi
    shift
    source "$(dirname "$0")/lib.sh"
    trap tpm_fixture_down EXIT
    set -e
    tpm_fixture_up
    set +e
    TPM_FIXTURE_DIR=$TPM_FIXTURE_DIR "$@"
fi
