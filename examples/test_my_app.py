"""Testing an application's handling of what the user does at the verification prompt.

On Windows, `biometric.authenticate` shows Windows Hello, and the person at the keyboard
may confirm, cancel, choose a password instead, or find the device locked. Off Windows
the module runs on its software stand-in, where BIOMETRIC_STANDIN_VERIFY says what the
simulated user does at each request, so each of those paths can be tested in CI:

    pip install . pytest cryptography
    pytest examples/test_my_app.py

The first half is an imaginary application's sign-in; the second half tests it.
"""
import os
import pathlib
import re
from typing import Callable, NoReturn, TypeVar

import pytest

import biometric

# The platform is chosen at the first call: the stand-in, also on a machine with a TPM.
os.environ["BIOMETRIC_PLATFORM"] = "standin"

# KeyCredentialStatus values that the sign-in handles.
USER_CANCELED = 3
USER_PREFERS_PASSWORD = 4
T = TypeVar("T")


def status_of(error: RuntimeError) -> int:
    """The code at the end of "Authentication failed with error code: N"."""
    match = re.search(r"error code: (-?\d+)$", str(error))
    if match is None:
        raise error
    return int(match.group(1))


def sign_in(user: str, challenge: bytes, *, ask_password: Callable[[str], T], offer_retry: Callable[[], bool],
            attempts: int = 3) -> tuple[str, bytes | T]:
    """Signs `challenge` with the user's credential. A canceled prompt is offered again
    (`offer_retry()` says whether the user wants that) up to `attempts` times; a user who
    prefers a password gets `ask_password(user)`. Returns how the user signed in and the
    proof: ("biometric", signature) or ("password", whatever ask_password returned)."""
    for attempt in range(1, attempts + 1):
        try:
            return "biometric", bytes(biometric.authenticate(user, challenge))
        except RuntimeError as error:
            status = status_of(error)
            if status == USER_PREFERS_PASSWORD:
                return "password", ask_password(user)
            if status != USER_CANCELED or attempt == attempts or not offer_retry():
                raise
    raise ValueError(f"attempts must be at least 1, not {attempts}")


# --- the tests ----------------------------------------------------------------------


@pytest.fixture
def user(tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> str:
    """A user enrolled in a store of the test's own, with no one asked."""
    monkeypatch.setenv("BIOMETRIC_STANDIN_STORE", str(tmp_path / "store"))
    monkeypatch.delenv("BIOMETRIC_STANDIN_VERIFY", raising=False)
    monkeypatch.delenv("BIOMETRIC_STANDIN_DELAY_MS", raising=False)
    biometric.setup("alice")
    return "alice"


def never(*args: object) -> NoReturn:
    raise AssertionError("not expected to be called")


def test_a_confirmed_prompt_signs(user: str) -> None:
    how, proof = sign_in(user, b"challenge", ask_password=never, offer_retry=never)
    assert how == "biometric" and len(proof) == 256


def test_a_user_who_prefers_a_password_gets_the_password_form(user: str, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("BIOMETRIC_STANDIN_VERIFY", str(USER_PREFERS_PASSWORD))
    assert sign_in(user, b"challenge", ask_password=lambda u: f"password of {u}", offer_retry=never) == (
        "password", "password of alice")


def test_a_canceled_prompt_is_offered_again_and_then_confirmed(user: str, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("BIOMETRIC_STANDIN_VERIFY", "deny")
    offers: list[int] = []

    def offer_retry() -> bool:
        offers.append(len(offers) + 1)
        # The setting is read at every request: this time the user confirms.
        monkeypatch.setenv("BIOMETRIC_STANDIN_VERIFY", "allow")
        return True

    how, proof = sign_in(user, b"challenge", ask_password=never, offer_retry=offer_retry)
    assert how == "biometric" and len(proof) == 256
    assert offers == [1]


def test_a_user_who_keeps_canceling_gives_up_after_three_prompts(user: str, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("BIOMETRIC_STANDIN_VERIFY", "deny")
    offers: list[int] = []

    def offer_retry() -> bool:
        offers.append(1)
        return True

    with pytest.raises(RuntimeError, match=r"error code: 3$"):
        sign_in(user, b"challenge", ask_password=never, offer_retry=offer_retry)
    assert len(offers) == 2


def test_a_locked_device_is_an_error_for_the_caller(user: str, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("BIOMETRIC_STANDIN_VERIFY", "6")  # SecurityDeviceLocked
    with pytest.raises(RuntimeError, match=r"error code: 6$"):
        sign_in(user, b"challenge", ask_password=never, offer_retry=never)
