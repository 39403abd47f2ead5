"""A credential's life, as an application lives it on each platform: made, its public key
read, a signature a server verifies with that key, a secret sealed and opened again; then
deleted, after which its key is not found."""
import re

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

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
    found = dict(re.findall(r"(platform|public|signature|unsealed|after delete): (\S+)", platform.run(LIFE)))
    key = serialization.load_der_public_key(bytes.fromhex(found["public"]))
    assert isinstance(key, rsa.RSAPublicKey) and key.key_size == 2048
    key.verify(bytes.fromhex(found["signature"]), b"challenge", padding.PKCS1v15(), hashes.SHA256())
    assert (found["platform"], found["unsealed"], found["after delete"]) == (platform.name, b"a-secret".hex(),
                                                                             "CredentialNotFoundError")
