"""Enrols a key credential if needed, has it sign a fresh random nonce, and checks the
signature.

    python examples/demo.py [NAME]

Off Windows the module runs on its software stand-in platform, which verifies no user
and keeps its keys in a per-user store; the demo then verifies the signature with the
`cryptography` package against the public key stored for NAME.
"""
import pathlib
import secrets
import sys

import biometric

NAME = sys.argv[1] if len(sys.argv) > 1 else "biometric-demo"
ALREADY_EXISTS = 5  # KeyCredentialStatus.CredentialAlreadyExists


def enrol(name: str) -> str:
    try:
        biometric.setup(name)
    except RuntimeError as error:
        if not str(error).endswith(f": {ALREADY_EXISTS}"):
            raise
        return "already enrolled"
    return "enrolled now"


def main() -> int:
    standin = sys.platform != "win32"
    if standin:
        sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
        import standin_keys

        print(f"platform:  software stand-in (verifies no user), store {standin_keys.store_directory()}")
    else:
        print("platform:  Windows key-credential service")

    print(f"name:      {NAME!r} ({enrol(NAME)})")
    nonce = secrets.token_bytes(32)
    print(f"nonce:     {nonce.hex()}")
    signature = bytes(biometric.authenticate(NAME, nonce))
    print(f"signature: {len(signature)} bytes, {signature[:16].hex()}...")

    if not standin:
        print("verified:  not checked here (the module does not hand out the public key)")
        return 0
    key = standin_keys.public_key(NAME)
    if standin_keys.verifies(key, nonce, signature):
        print(f"verified:  yes, RSASSA-PKCS1-v1_5 with SHA-256 against the stored RSA-{key.key_size} public key")
        return 0
    print("verified:  NO, the signature does not match the stored public key")
    return 1


if __name__ == "__main__":
    sys.exit(main())
