"""Enrols a key credential if needed, reads its public key, has it sign a fresh random
nonce, and checks the signature as a server would.

    python examples/demo.py [NAME]

The public key comes from `biometric_keys.public_key` (DER SubjectPublicKeyInfo), the
signature from `biometric.authenticate`; the `cryptography` package verifies one with the
other. It names the platform that `biometric_keys.platform()` reports: on the software
stand-in, which verifies no user, also where its per-user store is.
"""
import pathlib
import secrets
import sys

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

import biometric
import biometric_keys

NAME = sys.argv[1] if len(sys.argv) > 1 else "biometric-demo"
ALREADY_EXISTS = 5  # KeyCredentialStatus.CredentialAlreadyExists
PLATFORMS = {
    "windows": "Windows key-credential service (Windows Hello verifies the user)",
    "tpm": "TPM 2.0 (polkit verifies the user)",
}


def enrol(name: str) -> str:
    try:
        biometric.setup(name)
    except RuntimeError as error:
        if not str(error).endswith(f": {ALREADY_EXISTS}"):
            raise
        return "already enrolled"
    return "enrolled now"


def main() -> int:
    platform = biometric_keys.platform()
    if platform == "standin":
        sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
        import standin_keys

        print(f"platform:  software stand-in (verifies no user), store {standin_keys.store_directory()}")
    else:
        print(f"platform:  {PLATFORMS[platform]}")
    if not biometric_keys.is_supported():
        print("supported: no, this device cannot make key credentials")
        return 1

    print(f"name:      {NAME!r} ({enrol(NAME)})")
    der = biometric_keys.public_key(NAME)
    key = serialization.load_der_public_key(der)
    if not isinstance(key, rsa.RSAPublicKey):
        print(f"key:       not an RSA key ({type(key).__name__})")
        return 1
    print(f"key:       {len(der)} bytes of SubjectPublicKeyInfo, RSA-{key.key_size}, from biometric_keys.public_key")
    nonce = secrets.token_bytes(32)
    print(f"nonce:     {nonce.hex()}")
    signature = bytes(biometric.authenticate(NAME, nonce))
    print(f"signature: {len(signature)} bytes, {signature[:16].hex()}...")

    try:
        key.verify(signature, nonce, padding.PKCS1v15(), hashes.SHA256())
    except InvalidSignature:
        print("verified:  NO, the signature does not match the credential's public key")
        return 1
    print("verified:  yes, RSASSA-PKCS1-v1_5 with SHA-256 against the credential's public key")
    return 0


if __name__ == "__main__":
    sys.exit(main())
