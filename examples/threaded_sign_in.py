"""Signs in on a thread of its own while the main thread goes on (here: counting), as a
Tk or Qt program's event loop would.

    BIOMETRIC_STANDIN_DELAY_MS=2000 python examples/threaded_sign_in.py

`biometric_keys.sign` gives the interpreter lock up while the platform's prompt is up
(off Windows: while the stand-in acts out the user), so the counter keeps running. On
Windows, pass the program's top-level window as `window=` to put the prompt in front of it.
"""
import secrets
import threading
import time

import biometric_keys

NAME = "biometric-threaded-demo"


def main() -> None:
    if biometric_keys.availability() != "available":
        raise SystemExit(f"cannot verify the user: {biometric_keys.availability()}")
    public_key = biometric_keys.create(NAME, replace=True)
    challenge = secrets.token_bytes(32)
    outcome: dict[str, object] = {}

    def sign_in() -> None:
        try:
            outcome["signature"] = biometric_keys.sign(NAME, challenge, timeout=60)
        except (RuntimeError, TimeoutError) as error:
            outcome["error"] = error

    worker = threading.Thread(target=sign_in)
    worker.start()
    ticks = 0
    while worker.is_alive():
        ticks += 1  # the program's own work, never blocked by the prompt
        time.sleep(0.01)
    worker.join()
    biometric_keys.delete(NAME)
    if "error" in outcome:
        raise SystemExit(f"sign-in failed: {outcome['error']}")
    print(f"public key: {len(public_key)} bytes; signature: {len(outcome['signature'])} bytes; "
          f"the main thread ticked {ticks} times meanwhile")


if __name__ == "__main__":
    main()
