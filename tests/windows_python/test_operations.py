"""Every operation of both modules in the real interpreter, against the doubles: the
results, and each way the platform can refuse coming back as the documented error. (seal
and unseal with the doubles' real keys are tests/features'.)"""
import pytest

import biometric
import biometric_keys
from windows_doubles import E_ACCESSDENIED

CALLS = {
    "setup": (lambda: biometric.setup("alice"), "Setup failed"),
    "authenticate": (lambda: biometric.authenticate("alice", b"nonce"), "Authentication failed"),
    "public_key": (lambda: biometric_keys.public_key("alice"), "Public key retrieval failed"),
    "delete": (lambda: biometric_keys.delete("alice"), "Delete failed"),
    "is_supported": (lambda: biometric_keys.is_supported(), "Support check failed"),
}


@pytest.mark.parametrize("completion", ["before", "inside", "later"])
@pytest.mark.parametrize(
    "call, result, name",
    [("setup", True, "alice"), ("authenticate", [0, 1, 127, 128, 255], "alice"),
     ("public_key", b"\x04\x01\x02\x03", "alice"), ("delete", None, "alice"), ("is_supported", True, "")],
)
def test_each_operation_succeeds(doubles, completion, call, result, name):
    doubles.reset(completion)
    assert CALLS[call][0]() == result
    assert doubles.control.last_name == name
    doubles.settle()
    assert doubles.control.live_objects == 0


def test_authenticate_hands_the_data_to_the_platform(doubles):
    biometric.authenticate("alice", b"\x00nonce\xff")
    assert bytes(doubles.control.last_data[: doubles.control.last_data_length]) == b"\x00nonce\xff"


def test_is_supported_says_what_the_platform_says(doubles):
    doubles.control.supported = 0
    assert biometric_keys.is_supported() is False


def expect_error(call, code):
    with pytest.raises(RuntimeError) as info:
        CALLS[call][0]()
    # biometric's failures are RuntimeError itself; biometric_keys' are its classes by code.
    if call in ("setup", "authenticate"):
        assert type(info.value) is RuntimeError
    else:
        assert isinstance(info.value, biometric_keys.KeyCredentialError) and info.value.code == code
    assert info.value.args == (f"{CALLS[call][1]} with error code: {code}",)


STATUS_STEPS = [("setup", "RetrievalStatus"), ("authenticate", "RetrievalStatus"),
                ("authenticate", "OperationStatus"), ("public_key", "RetrievalStatus")]


@pytest.mark.parametrize("status", range(1, 8))
@pytest.mark.parametrize("call, method", STATUS_STEPS)
def test_each_status_is_the_error_code(doubles, call, method, status):
    doubles.script(method, value=status)
    expect_error(call, status)
    assert doubles.control.live_objects == 0


@pytest.mark.parametrize(
    "call, method",
    [("setup", "RequestCreateAsync"), ("authenticate", "RequestSignAsync"), ("public_key", "OpenAsync"),
     ("delete", "DeleteAsync"), ("is_supported", "IsSupportedAsync")],
)
def test_an_hresult_failure_is_the_error_code(doubles, call, method):
    doubles.script(method, E_ACCESSDENIED)
    expect_error(call, E_ACCESSDENIED)


@pytest.mark.parametrize("call", ["setup", "authenticate", "public_key"])
def test_no_object_is_error_code_zero(doubles, call):
    doubles.script("GetResults", null_out=True)
    expect_error(call, 0)


@pytest.mark.parametrize("completion", ["before", "later"])
@pytest.mark.parametrize("status, code", [(3, -2146893802), (2, -2147483634)])  # its code; E_ILLEGAL_METHOD_CALL
@pytest.mark.parametrize("call", list(CALLS))
def test_an_operation_ended_in_error_or_canceled_is_the_code_of_its_results(doubles, call, status, code, completion):
    doubles.reset(completion)
    doubles.control.final_status, doubles.control.error_code = status, -2146893802  # 0x80090016
    expect_error(call, code)
    doubles.settle()
    assert doubles.control.live_objects == 0
