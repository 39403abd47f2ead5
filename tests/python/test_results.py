"""Results and operation failures as Python sees them."""
import pytest

import biometric
from conftest import E_FAIL, E_POINTER


@pytest.mark.parametrize(
    "op, kind, value, code",
    [
        ("RequestCreateAsync", "fail", E_POINTER, -2147467261),
        ("wait_for_results(retrieval)", "no_object", 0, 0),
        ("Status(retrieval)", "status", 5, 5),
        ("EncodeToBase64String", "fail", E_FAIL, -2147467259),
    ],
)
def test_setup_failure_is_a_runtime_error_with_the_code(fake, op, kind, value, code):
    if op == "Status(retrieval)":
        # The second read of a status decides the code.
        fake.script(op, "status", 3)
    fake.script(op, kind, value)
    with pytest.raises(RuntimeError) as info:
        biometric.setup("alice")
    expected = code
    assert type(info.value) is RuntimeError
    assert info.value.args == (f"Setup failed with error code: {expected}",)
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "op, kind, value, code",
    [
        ("OpenAsync", "fail", E_POINTER, -2147467261),
        ("Credential", "no_object", 0, 0),
        ("RequestSignAsync", "fail", E_FAIL, -2147467259),
        ("CopyToByteArray", "fail", E_POINTER, -2147467261),
    ],
)
def test_authenticate_failure_is_a_runtime_error_with_the_code(fake, op, kind, value, code):
    fake.script(op, kind, value)
    with pytest.raises(RuntimeError) as info:
        biometric.authenticate("alice", b"nonce")
    assert info.value.args == (f"Authentication failed with error code: {code}",)


@pytest.mark.parametrize(
    "signature",
    [b"", b"\x00", bytes(range(256)), bytes(reversed(range(256))) * 3],
    ids=["empty", "zero", "all-bytes", "long"],
)
def test_signature_becomes_a_list_of_ints(fake, signature):
    fake.set_signature(signature)
    result = biometric.authenticate("alice", b"nonce")
    assert type(result) is list
    assert result == list(signature)
    assert all(type(item) is int for item in result)


def test_each_call_returns_a_new_list(fake):
    first = biometric.authenticate("alice", b"")
    second = biometric.authenticate("alice", b"")
    assert first == second and first is not second


def test_setup_returns_true_even_for_an_empty_public_key(fake):
    fake.lib.bio_test_set_public_key_text(b"")
    assert biometric.setup("alice") is True
