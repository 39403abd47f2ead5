# Runs a Windows test program under the Wine loader named first: wine-run.sh LOADER PROGRAM ARGS...
#
# Now and then, mostly under load, Wine ends a program with a failing status outside the
# program's own work: before it starts (no time, not a byte of output), or as it ends,
# after GoogleTest has written that every test passed. Only such a run is repeated, once,
# with its status said on standard error; a run that failed a test, or that fails the same
# way twice (an exit that really crashes), keeps its status.
loader=$1
shift
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for attempt in 1 2; do
    : >"$out"
    "$loader" "$@" | tee "$out"
    status=${PIPESTATUS[0]}
    if [ "$status" -eq 0 ] || [ "$attempt" -eq 2 ]; then
        exit "$status"
    fi
    if [ ! -s "$out" ]; then
        echo "wine-run: $1 ended with status $status before writing anything; starting it again" >&2
    elif grep -q '^\[  PASSED  \]' "$out" && ! grep -q '^\[  FAILED  \]' "$out"; then
        echo "wine-run: $1 passed its tests but ended with status $status; starting it again" >&2
    else
        exit "$status"
    fi
done
