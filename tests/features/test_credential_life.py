"""A credential's life, as an application lives it on each platform: made, its public key
read, a signature a server verifies with that key, a secret sealed and opened again; then
deleted, after which its key is not found. A name never enrolled is not found either. On
the stand-in: a key as its file holds it, attestation, and what deleting and a damaged or
unsafe store do to its key files; on Windows, attestation as the platform gives it."""
import re

import pytest

LIFE = """
import biometric_keys as k
print("platform:", k.platform())
public = k.create("alice")
assert k.public_key("alice") == public
print("public:", public.hex())
print("signature:", k.sign("alice", b"challenge").hex())
print("unsealed:", k.unseal("alice", k.seal("alice", b"a-secret")).hex())
k.delete("alice")
try:
    k.public_key("alice")
except k.CredentialNotFoundError as error:
    print("after delete:", type(error).__name__)
"""


def test_a_credentials_life(platform):
    if platform.name == "windows":
        pytest.skip("the doubles open a name that was deleted as a new key: nothing is ever not found")
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import padding, rsa
    found = dict(re.findall(r"(platform|public|signature|unsealed|after delete): (\S+)", platform.run(LIFE)))
    key = serialization.load_der_public_key(bytes.fromhex(found["public"]))
    assert isinstance(key, rsa.RSAPublicKey) and key.key_size == 2048
    key.verify(bytes.fromhex(found["signature"]), b"challenge", padding.PKCS1v15(), hashes.SHA256())
    assert (found["platform"], found["unsealed"], found["after delete"]) == (platform.name, b"a-secret".hex(),
                                                                             "CredentialNotFoundError")


NOT_ENROLLED = """
import biometric_keys as k
for call in (k.public_key, k.delete):
    try:
        call("nobody")
    except k.CredentialNotFoundError as error:
        print("raised:", error)
"""


def test_a_name_that_is_not_enrolled_is_not_found(platform):
    if platform.name == "windows":
        pytest.skip("the doubles open a name never made as a new key: nothing is ever not found")
    assert platform.run(NOT_ENROLLED).splitlines() == [
        "raised: Public key retrieval failed with error code: 2", "raised: Delete failed with error code: 2"]
    if platform.name == "standin":  # looking made no store
        assert not platform.store.exists()


# The stand-in's own: a key as its file holds it, attestation, its key files and the
# store's permissions.

def test_create_sign_and_attest(standin, store):
    import biometric_keys
    import standin_keys
    key = biometric_keys.create("alice", window=1234)
    assert key == biometric_keys.public_key("alice")
    signature = biometric_keys.sign("alice", b"data", timeout=30)
    assert standin_keys.verifies(standin_keys.public_key("alice"), b"data", signature)
    with pytest.raises(RuntimeError, match=r"^Create failed with error code: 5$"):
        biometric_keys.create("alice")
    assert biometric_keys.create("alice", replace=True) != key
    assert biometric_keys.attestation("alice") == ("not_supported", b"", b"")
    with pytest.raises(RuntimeError, match=r"^Attestation failed with error code: 2$"):
        biometric_keys.attestation("nobody")


def test_delete_removes_that_credential_only_and_frees_its_name(store):
    import biometric
    import biometric_keys
    import standin_keys
    biometric.setup("../carol")
    biometric.setup("neighbour")
    first = biometric_keys.public_key("../carol")
    biometric_keys.delete("../carol")
    assert sorted(p for p in store.rglob("*") if p.is_file()) == [standin_keys.key_file("neighbour")]
    assert biometric.setup("../carol") is True
    assert biometric_keys.public_key("../carol") != first


def test_public_key_of_a_damaged_key_file_is_unknown_error(store):
    import biometric
    import biometric_keys
    import standin_keys
    biometric.setup("dave")
    standin_keys.key_file("dave").write_bytes(b"not a key")
    with pytest.raises(RuntimeError, match=r"^Public key retrieval failed with error code: 1$"):
        biometric_keys.public_key("dave")
    # A damaged credential can still be removed, and enrolled again.
    biometric_keys.delete("dave")
    assert biometric.setup("dave") is True


def test_a_store_that_others_may_write_is_refused_and_the_error_says_why(store):
    import biometric
    import biometric_keys
    biometric.setup("erin")
    store.chmod(0o777)
    with pytest.raises(biometric_keys.KeyCredentialError) as raised:
        biometric_keys.sign("erin", b"data")
    # The message stays the code's; the note, which a traceback shows, names the path and the fault.
    assert str(raised.value) == "Sign failed with error code: -2147024891"
    assert raised.value.__notes__ == [f"unsafe key-credential store {store}: group or others may write it (mode 0777)"]


# Windows: attestation as the doubles give it.

@pytest.mark.parametrize("status, name", [(0, "success"), (2, "not_supported")])
def test_windows_attestation_is_the_status_with_the_buffers_of_a_success(doubles, status, name):
    import biometric_keys
    doubles.script("AttestationStatus", value=status)
    attestation = biometric_keys.attestation("alice")
    assert type(attestation).__name__ == "Attestation"
    assert attestation == ((name, b"\x30\x82\x01", b"TPM\x00") if status == 0 else (name, b"", b""))
