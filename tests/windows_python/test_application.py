"""biometric_keys' application calls in the real interpreter, against the doubles: each row
of their table, the owner window where the platform takes one, failures as errors
(attestation, timeouts and Ctrl-C that cancel, and calls from several threads are
tests/features').
The service's every path (each window case, each failing call, each call cancelled) is
tests/wine/application_test.cpp's, the mapping of every value tests/python's: here one
row of each, as the real interpreter sees them."""

import pytest

import biometric_keys
from windows_doubles import E_ACCESSDENIED, METHODS, UNUSABLE_WINDOW, run_python, window_id_of

KEY, SIGNATURE = b"\x04\x01\x02\x03", bytes([0, 1, 127, 128, 255])
WINDOW = 0x1234


def calls(doubles, method):
    return doubles.control.calls[METHODS.index(method)]


# call: (run it with these keywords, its result, the window-taking request, the older one)
OWNED = {
    "create": (lambda **kw: biometric_keys.create("alice", **kw), KEY, "RequestCreateForWindowAsync", "RequestCreateAsync"),
    "sign": (lambda **kw: biometric_keys.sign("alice", b"nonce", **kw), SIGNATURE, "RequestSignForWindowAsync",
             "RequestSignAsync"),
}  # fmt: skip


@pytest.mark.parametrize("window", [None, WINDOW, UNUSABLE_WINDOW])
@pytest.mark.parametrize("call", list(OWNED))
def test_create_and_sign_take_the_owner_window_where_it_can_be_used(doubles, call, window):
    run, result, owned, older = OWNED[call]
    doubles.control.last_window = 7
    assert run(window=window) == result
    used = window == WINDOW
    assert (calls(doubles, owned), calls(doubles, older)) == ((1, 0) if used else (0, 1))
    assert doubles.control.last_window == (window_id_of(WINDOW) if used else 7)
    assert doubles.control.last_name == "alice"
    if call == "sign":
        assert bytes(doubles.control.last_data[: doubles.control.last_data_length]) == b"nonce"


def test_without_the_window_interfaces_the_older_calls_serve_and_are_asked_for_once():
    checked = run_python("""
        import biometric_keys
        for method in ("CreateWithWindowQuery", "SignWithWindowQuery"):
            doubles.script(method, -2147467262)  # E_NOINTERFACE
        for _ in range(2):
            print(biometric_keys.create("a", window=0x1234).hex(), biometric_keys.sign("a", b"x", window=0x1234).hex())
        print([doubles.control.calls[windows_doubles.METHODS.index(m)] for m in (
            "CreateWithWindowQuery", "SignWithWindowQuery", "RequestCreateAsync", "RequestSignAsync",
            "RequestCreateForWindowAsync", "RequestSignForWindowAsync")])
    """)
    assert checked.stdout.splitlines() == ["04010203 00017f80ff"] * 2 + ["[1, 1, 2, 2, 0, 0]"], checked.stderr


FAILING = {
    "create": (lambda: biometric_keys.create("alice", window=WINDOW), "Create failed"),
    "sign": (lambda: biometric_keys.sign("alice", b"x", window=WINDOW), "Sign failed"),
    "verify_user": (lambda: biometric_keys.verify_user("m"), "Verification failed"),
}


@pytest.mark.parametrize(
    "call, method, hr, value, code",
    [("create", "RequestCreateForWindowAsync", E_ACCESSDENIED, None, E_ACCESSDENIED),
     ("sign", "OperationStatus", 0, 7, 7),  # AlgorithmNotSupported
     ("verify_user", "RequestVerificationForWindowAsync", E_ACCESSDENIED, None, E_ACCESSDENIED)],
)  # fmt: skip
def test_a_failed_platform_call_or_a_status_is_the_error_code(doubles, call, method, hr, value, code):
    doubles.script(method, hr, value=value)
    with pytest.raises(RuntimeError) as info:
        FAILING[call][0]()
    assert info.value.args == (f"{FAILING[call][1]} with error code: {code}",)
