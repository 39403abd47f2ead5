"""biometric_keys' calls for applications on the scripted fake: which platform calls they
make, what they return, and how they fail."""
import math
import pickle

import pytest

import biometric_keys
from conftest import E_FAIL, assert_credential_error

KEY, SIGNATURE = b"\x01\x02\x03", b"\x00\x01\x7f\x80\xff"  # the fake's defaults


@pytest.mark.parametrize("call, kwargs, first_call, option, window", [
    ("create", {}, "RequestCreateAsync", 1, 0),
    ("create", {"replace": True, "window": 42}, "RequestCreateForWindowAsync", 0, 42),
    ("sign", {}, "RequestSignAsync", None, 0),
    ("sign", {"window": 2**40, "timeout": 5}, "RequestSignForWindowAsync", None, 2**40),
])
def test_create_and_sign_use_the_window_taking_call_for_a_window(keys_fake, call, kwargs, first_call, option, window):
    args = ("alice",) if call == "create" else ("alice", b"data")
    result = getattr(biometric_keys, call)(*args, **kwargs)
    assert type(result) is bytes and result == (KEY if call == "create" else SIGNATURE)
    assert first_call in keys_fake.calls
    assert keys_fake.last_window == window
    if option is not None:
        assert keys_fake.last_creation_option == option


AVAILABILITY = ["available", "device_not_present", "not_configured_for_user", "disabled_by_policy", "device_busy"]
VERIFICATION = ["verified"] + AVAILABILITY[1:] + ["retries_exhausted", "canceled"]


@pytest.mark.parametrize("value, name", list(enumerate(AVAILABILITY)))
def test_availability_names_the_platforms_answer(keys_fake, value, name):
    keys_fake.script("wait_for_results(availability)", "status", value)
    assert biometric_keys.availability() == name


@pytest.mark.parametrize("value, name", list(enumerate(VERIFICATION)))
def test_verify_user_names_the_platforms_answer(keys_fake, value, name):
    keys_fake.script("wait_for_results(verification)", "status", value)
    assert biometric_keys.verify_user("Unlock the vault", window=7) == name
    assert keys_fake.last_name == "Unlock the vault".encode()
    assert keys_fake.last_window == 7


@pytest.mark.parametrize("status, expected", [
    (0, ("success", KEY, SIGNATURE)), (1, ("unknown_error", b"", b"")),
    (2, ("not_supported", b"", b"")), (3, ("temporary_failure", b"", b"")),
])
def test_attestation_is_a_named_tuple(keys_fake, status, expected):
    keys_fake.script("Status(attestation)", "status", status)
    result = biometric_keys.attestation("alice")
    assert type(result) is biometric_keys.Attestation and tuple(result) == expected
    assert result._fields == ("status", "certificate_chain", "attestation")


@pytest.mark.parametrize("call, args, script, message", [
    ("create", ("a",), ("RequestCreateAsync", "fail", E_FAIL), f"Create failed with error code: {E_FAIL}"),
    ("create", ("a",), ("Status(retrieval)", "status", 7), "Create failed with error code: 7"),
    ("sign", ("a", b""), ("Status(operation)", "status", 3), "Sign failed with error code: 3"),
    ("sign", ("a", b""), ("OpenAsync", "fail", E_FAIL), f"Sign failed with error code: {E_FAIL}"),
    ("availability", (), ("CheckAvailabilityAsync", "fail", E_FAIL),
     f"Availability check failed with error code: {E_FAIL}"),
    ("availability", (), ("wait_for_results(availability)", "status", 5),
     "Availability check failed with error code: 5"),
    ("verify_user", ("m",), ("wait_for_results(verification)", "fail", E_FAIL),
     f"Verification failed with error code: {E_FAIL}"),
    ("attestation", ("a",), ("GetAttestationAsync", "no_object", 0), "Attestation failed with error code: 0"),
    ("attestation", ("a",), ("Status(attestation)", "status", 9), "Attestation failed with error code: 9"),
])
def test_failures_are_typed_runtime_errors_with_the_code(keys_fake, call, args, script, message):
    keys_fake.script(*script)
    if script[1] == "status" and script[0].startswith("Status("):
        keys_fake.script(*script)  # the second read decides
    with pytest.raises(RuntimeError) as info:
        getattr(biometric_keys, call)(*args)
    assert_credential_error(info.value, message)
    # Pickled as it was: the class, the message and the code.
    assert_credential_error(pickle.loads(pickle.dumps(info.value)), message)


@pytest.mark.parametrize("call, args, kwargs, kind, message", [
    ("create", (), {}, TypeError, "create() missing 1 required positional argument: 'name'"),
    ("create", ("a", True), {}, TypeError, "create() takes 1 positional arguments but 2 were given"),
    ("create", ("a",), {"replace": 1}, TypeError, "argument 'replace': 'int' object cannot be converted to 'PyBool'"),
    ("sign", ("a",), {}, TypeError, "sign() missing 1 required positional argument: 'data'"),
    ("sign", ("a", b""), {"window": "w"}, TypeError,
     "argument 'window': 'str' object cannot be interpreted as an integer"),
    ("sign", ("a", b""), {"window": -1}, ValueError, "argument 'window': a window handle is not negative"),
    ("sign", ("a", b""), {"window": 2**64}, ValueError, "argument 'window': not a window handle"),
    ("sign", ("a", b""), {"window": True}, TypeError,
     "argument 'window': 'bool' object cannot be interpreted as an integer"),
    # Zero pages of the allocator: nothing of the 4 GiB is touched.
    ("sign", ("a", bytes(2**32)), {}, OverflowError, "argument 'data': at most 4294967295 bytes can be signed"),
    ("verify_user", ("m",), {"timeout": 10**400}, ValueError,
     "argument 'timeout': must be a non-negative, finite number of seconds"),
    ("verify_user", ("m",), {"timeout": True}, TypeError, "argument 'timeout': must be real number, not bool"),
    ("sign", ("a", b""), {"cancel": object()}, TypeError,
     "argument 'cancel': 'object' object cannot be converted to 'CancelToken'"),
    ("verify_user", ("m",), {"timeout": -0.5}, ValueError,
     "argument 'timeout': must be a non-negative, finite number of seconds"),
    ("verify_user", ("m",), {"timeout": math.nan}, ValueError,
     "argument 'timeout': must be a non-negative, finite number of seconds"),
    ("verify_user", ("m",), {"timeout": "1"}, TypeError, "argument 'timeout': must be real number, not str"),
    ("verify_user", (b"m",), {}, TypeError, "argument 'message': 'bytes' object cannot be converted to 'PyString'"),
    ("availability", (), {"timeout": 1}, TypeError, "availability() got an unexpected keyword argument 'timeout'"),
])
def test_argument_errors_change_nothing(keys_fake, call, args, kwargs, kind, message):
    with pytest.raises(kind) as info:
        getattr(biometric_keys, call)(*args, **kwargs)
    assert type(info.value) is kind and info.value.args == (message,)
    assert keys_fake.calls == []


# A real RSA public key, so that the signature check itself is what refuses.
SPKI = bytes.fromhex(
    "30820122300d06092a864886f70d01010105000382010f003082010a0282010100c91a2f34325102f5e2c30fe43e3e60"
    "82f18efd352044f22b580c05333a08a9cdcad1e9b7d70e343fbfc25bebce60fea30cbf30749c97dd7c77a685856872ed"
    "a28180ff07a50e2fd28d01d6790dd1cd63c888286bbf52f1070ee38ef53527606b6a9dad5525891cb3a0e113858dfe9a"
    "40bd74a87f0c5077931efe2453eec6938b1911f7800127c3ce87a40e502ee77d54095b713a54ecb2fe5a43e3bfb320fc"
    "6f86f7020a4809554b38b16ab384a2d19b661069c57e7f0324ddbae0ea9de1ba8af15d976dba66d17dbf0e956fd00867"
    "4d7ccf2b18da2d0a3936aee335153df1393b65fe707802a1210b6ff918eb51775d6358fc7945b1a22c340fedcc799fef"
    "2f0203010001"
)
NTE_BAD_SIGNATURE = -2146893818


def test_seal_hands_out_no_envelope_whose_signature_does_not_verify(keys_fake):
    keys_fake.set_public_key(SPKI)
    keys_fake.set_signature(bytes(256))
    with pytest.raises(biometric_keys.KeyCredentialError) as info:
        biometric_keys.seal("a", b"secret")
    assert info.value.args == (f"Seal failed with error code: {NTE_BAD_SIGNATURE}",)


# The name's credential replaced or removed while the user was verified (the name opened
# again afterwards finds another key, or NotFound): seal raises what unseal would raise
# now. Unchanged, seal goes on to check the signature.
@pytest.mark.parametrize("changes, error, message", [
    ([("RetrievePublicKeyWithBlobType", "bytes", 3, b"\x04\x00\x06")], biometric_keys.EnvelopeError,
     "the credential of this name was replaced while the user was verified: an envelope sealed with the one "
     "before would not open; nothing was sealed"),
    ([("Status(retrieval)", "status", 2)] * 2, biometric_keys.CredentialNotFoundError,
     "Seal failed with error code: 2"),
    ([], biometric_keys.KeyCredentialError, f"Seal failed with error code: {NTE_BAD_SIGNATURE}"),
], ids=["replaced", "removed", "unchanged"])
def test_seal_hands_out_no_envelope_that_the_name_cannot_open_now(keys_fake, changes, error, message):
    keys_fake.set_public_key(SPKI)
    keys_fake.set_signature(bytes(256))
    for op in ("RetrievePublicKeyWithBlobType", "Status(retrieval)"):
        keys_fake.script(op, "succeed")  # the first open, before the user is asked
    for change in changes:
        keys_fake.script(*change)
    with pytest.raises(error) as info:
        biometric_keys.seal("a", b"secret")
    assert type(info.value) is error and info.value.args == (message,)
    calls = keys_fake.calls  # the name opened again once the user was verified
    assert calls.count("OpenAsync") == 2
    assert calls.index("RequestSignAsync") < calls.index("OpenAsync", calls.index("OpenAsync") + 1)


# What unseal finds out before it asks anyone: the form with no platform call at all, the
# credential's key without a signing request.
@pytest.mark.parametrize("envelope, opens", [
    (b"BIOSEAL\x01" + bytes(91), False),
    (b"BIOSEAL\x02" + bytes(92), False),
    (b"BIOSEAL\x01" + bytes(92), True),
], ids=["short", "version", "other key"])
def test_unseal_asks_no_one_for_an_envelope_it_cannot_open(keys_fake, envelope, opens):
    keys_fake.set_public_key(SPKI)
    with pytest.raises(biometric_keys.EnvelopeError):
        biometric_keys.unseal("a", envelope)
    assert ("OpenAsync" in keys_fake.calls) == opens
    assert "RequestSignAsync" not in keys_fake.calls
