# Runs a Windows test program under the Wine loader named first: wine-run.sh LOADER PROGRAM ARGS...
#
# Now and then, mostly under load, Wine ends a program before the program itself starts:
# a failing status in no time and not a byte of output. Our test programs always write
# to standard output before anything else (GoogleTest's banner), so only such a launch
# is repeated, once, and said so on standard error; a program that wrote anything keeps
# its status.
loader=$1
shift
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for attempt in 1 2; do
    : >"$out"
    "$loader" "$@" | tee "$out"
    status=${PIPESTATUS[0]}
    if [ "$status" -eq 0 ] || [ -s "$out" ] || [ "$attempt" -eq 2 ]; then
        exit "$status"
    fi
    echo "wine-run: $1 ended with status $status before writing anything; starting it again" >&2
done
