"""Public keys, removal and the support check for the platform's key credentials.

The companion of `biometric`, on the same platform: on Windows the Windows Runtime's
KeyCredentialManager, elsewhere the software stand-in that verifies no user and keeps
its keys in a per-user store. None of these calls asks the user to verify.

Failures raise RuntimeError whose message ends in the platform's signed code, as for
`biometric`: a KeyCredentialStatus (such as 2, NotFound), an HRESULT, or 0 when the
platform yielded no object.
"""

__all__ = ["public_key", "delete", "is_supported"]

def public_key(key_name: str) -> bytes:
    """The public key of the credential of `key_name`, as DER SubjectPublicKeyInfo.

    It verifies what `biometric.authenticate` signs with that credential
    (RSASSA-PKCS1-v1_5, SHA-256). Raises RuntimeError "Public key retrieval failed with
    error code: N".
    """

def delete(key_name: str) -> None:
    """Removes the credential of `key_name`.

    A name that is not enrolled is an error with the platform's code (2 on the
    stand-in). Raises RuntimeError "Delete failed with error code: N".
    """

def is_supported() -> bool:
    """Whether the device can make and use key credentials.

    Raises RuntimeError "Support check failed with error code: N" when it cannot ask.
    """
