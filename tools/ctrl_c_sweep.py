"""Ctrl-C at random moments of biometric_keys.create on the stand-in: every run must either
have created (or replaced) the credential and returned its public key, or have left the
store as it was.

    PYTHONPATH=<dir of the built modules> python tools/ctrl_c_sweep.py [--runs 30] [--delay-ms 300]

A SIGINT that arrives after the request took effect and before the call returns is raised
by the interpreter right after the call; such runs are counted apart ("returned, then
KeyboardInterrupt"), and the width of that window is estimated from their share of the
moments tried.
"""
import argparse
import hashlib
import os
import pathlib
import random
import signal
import subprocess
import sys
import tempfile
import time

CHILD = r"""
import functools, hashlib, sys, time, biometric_keys
replace, window = sys.argv[1] == "replace", float(sys.argv[2])
results, after = [], False
try:
    print("go", flush=True)
    # extend() stores the result before the interpreter looks for a pending signal.
    results.extend(map(functools.partial(biometric_keys.create, replace=replace), ["k"]))
    after = True
    time.sleep(window)  # a late signal lands here
    outcome = "returned"
except KeyboardInterrupt:
    outcome = ("returned" if after else "returned-then-interrupted") if results else "cancelled"
except RuntimeError as error:
    outcome = "error " + str(error)
print(outcome, hashlib.sha256(results[0]).hexdigest() if results else "-", flush=True)
"""


def store_state(store):
    return {p.relative_to(store).as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(pathlib.Path(store).rglob("*")) if p.is_file()}


def public_key_hash(env):
    out = subprocess.run([sys.executable, "-c", "import hashlib, biometric_keys; "
                          "print(hashlib.sha256(biometric_keys.public_key('k')).hexdigest())"],
                         env=env, capture_output=True, text=True)
    return out.stdout.strip() if out.returncode == 0 else None


def run_once(replace, delay_ms, at, window_s):
    """SIGINT `at` seconds into a create (of a new name, or replacing one) whose user takes
    `delay_ms`: the outcome and whether the store agrees with it."""
    with tempfile.TemporaryDirectory() as store:
        env = dict(os.environ, BIOMETRIC_STANDIN_STORE=store, BIOMETRIC_STANDIN_DELAY_MS=str(delay_ms))
        if replace:
            subprocess.run([sys.executable, "-c", "import biometric_keys; biometric_keys.create('k')"],
                           env=dict(env, BIOMETRIC_STANDIN_DELAY_MS="0"), check=True)
        before = store_state(store)
        child = subprocess.Popen([sys.executable, "-c", CHILD, "replace" if replace else "new", str(window_s)], env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                 preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        assert child.stdout.readline() == "go\n"
        time.sleep(at)
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=60)
        outcome, returned = (stdout.split() + ["?", "?"])[:2]
        after = store_state(store)
        if outcome == "cancelled":
            ok = after == before
        elif outcome in ("returned", "returned-then-interrupted"):
            ok = after != before and public_key_hash(env) == returned
        else:
            ok = False
        return outcome, ok, stderr


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--delay-ms", type=int, default=0)
    args = parser.parse_args()
    # The moments tried: from the call's start to a little past its usual end.
    window_s = args.delay_ms / 1000 + 0.4
    bad = 0
    for replace in (False, True):
        counts = {}
        for _ in range(args.runs):
            outcome, ok, stderr = run_once(replace, args.delay_ms, random.uniform(0, window_s), window_s)
            key = outcome if ok else f"BROKEN {outcome}"
            counts[key] = counts.get(key, 0) + 1
            if not ok:
                bad += 1
                print("  broken run:", outcome, stderr.strip()[-300:], file=sys.stderr)
        window = counts.get("returned-then-interrupted", 0) / args.runs * window_s
        print(f"create(replace={replace}) delay {args.delay_ms} ms, SIGINT within {window_s:.2f} s: "
              f"{dict(sorted(counts.items()))}; window after the commit ~{window * 1000:.1f} ms")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
