"""Enrols and signs in, each on a thread of its own, while the main thread goes on (here:
counting), as a Tk or Qt program's event loop would.

    BIOMETRIC_STANDIN_DELAY_MS=2000 python examples/threaded_sign_in.py

`biometric_keys.create` and `sign` give the interpreter lock up while the platform's
prompt is up (off Windows: while the stand-in acts out the user), so the counter keeps
running through both. On Windows, pass the program's top-level window as `window=` to
put the prompt in front of it.
"""
import secrets
import threading
import time
from typing import Callable, TypeVar

import biometric_keys

NAME = "biometric-threaded-demo"
T = TypeVar("T")


def while_counting(what: str, call: Callable[[], T]) -> tuple[T, int]:
    """Runs `call` on a thread of its own and counts on this one until it is done: the
    program's own work, never blocked by the prompt. Returns its result and the count."""
    results: list[T] = []
    errors: list[Exception] = []

    def run() -> None:
        try:
            results.append(call())
        except (RuntimeError, TimeoutError) as error:
            errors.append(error)

    worker = threading.Thread(target=run)
    worker.start()
    ticks = 0
    while worker.is_alive():
        ticks += 1
        time.sleep(0.01)
    worker.join()
    if errors:
        raise SystemExit(f"{what} failed: {errors[0]}")
    return results[0], ticks


def main() -> None:
    if biometric_keys.availability() != "available":
        raise SystemExit(f"cannot verify the user: {biometric_keys.availability()}")
    public_key, enrol_ticks = while_counting("enrolment", lambda: biometric_keys.create(NAME, replace=True, timeout=60))
    try:
        challenge = secrets.token_bytes(32)
        signature, sign_ticks = while_counting("sign-in", lambda: biometric_keys.sign(NAME, challenge, timeout=60))
    finally:
        biometric_keys.delete(NAME)
    print(f"public key: {len(public_key)} bytes, the main thread ticked {enrol_ticks} times meanwhile; "
          f"signature: {len(signature)} bytes, the main thread ticked {sign_ticks} times meanwhile")


if __name__ == "__main__":
    main()
