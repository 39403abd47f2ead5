"""Signing: biometric's authenticate signs any data with the key that setup made, as the
public key tells a verifier; and no signature is made that would open an envelope."""
import re

import pytest

SIGN = """
import biometric, biometric_keys as k
assert biometric.setup("bob") is True
signature = biometric.authenticate("bob", {data})
assert isinstance(signature, list) and all(type(b) is int and 0 <= b <= 255 for b in signature)
print("public:", k.public_key("bob").hex())
print("signature:", bytes(signature).hex())
"""


# The data as the snippet writes it, and as the verifier has it; 40 MiB is more than one
# message of the system bus carries (the TPM's key service is asked over it).
DATA = {"nonce": ('b"nonce"', b"nonce"), "empty": ('b""', b""),
        "40MiB": ("bytes(range(256)) * 163840", bytes(range(256)) * 163840)}


@pytest.mark.parametrize("data", DATA)
def test_signature_verifies_against_the_public_key(platform, data):
    try:
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import padding
    except ImportError:
        pytest.skip("no cryptography here to verify with (the Windows interpreters have none)")
    from cryptography.exceptions import InvalidSignature
    found = dict(re.findall(r"(public|signature): (\S+)", platform.run(SIGN.format(data=DATA[data][0]))))
    key, signature = serialization.load_der_public_key(bytes.fromhex(found["public"])), bytes.fromhex(found["signature"])
    assert key.key_size == 2048 and len(signature) == 256
    signed = DATA[data][1]
    key.verify(signature, signed, padding.PKCS1v15(), hashes.SHA256())
    with pytest.raises(InvalidSignature):
        key.verify(signature, signed + b"x", padding.PKCS1v15(), hashes.SHA256())


NEVER_OPENS = """
import biometric_keys as k
k.create("alice")
envelope = k.seal("alice", b"secret")
try:
    k.sign("alice", b"biometric seal v1\\x00" + envelope[40:72])
except ValueError as error:
    print("refused:", error)
print("signed:", len(k.sign("alice", b"biometric sea")))
"""


def test_sign_never_makes_the_signature_that_opens_an_envelope(platform):
    output = platform.run(NEVER_OPENS)
    assert "begins with b'biometric seal'" in output.split("refused: ", 1)[1], output
    assert output.splitlines()[-1] == "signed: 256"
