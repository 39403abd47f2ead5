"""User-verified signing with the platform's key-credential service.

On Windows the Windows Runtime's KeyCredentialManager verifies the user (Windows Hello)
and keeps an RSA-2048 key pair per name. Elsewhere the module runs on a software
stand-in that verifies no user: it keeps the key pairs as PEM files in a per-user store
($BIOMETRIC_STANDIN_STORE, else $XDG_DATA_HOME/biometric/credentials, else
~/.local/share/biometric/credentials), so anyone who can read that store can sign.

Failures raise RuntimeError whose message ends in the platform's signed code: a
KeyCredentialStatus (1 UnknownError, 2 NotFound, 3 UserCanceled, 4 UserPrefersPassword,
5 CredentialAlreadyExists, 6 SecurityDeviceLocked), an HRESULT such as -2147024891
(0x80070005, access denied), or 0 when the platform yielded no object.
"""

__all__ = ["setup", "authenticate"]

def setup(name: str) -> bool:
    """Enrols a new key credential under `name`; fails if one exists already.

    Returns True. Raises RuntimeError "Setup failed with error code: N".
    """

def authenticate(key_name: str, data: bytes) -> list[int]:
    """Signs `data` with the credential of `key_name` (RSASSA-PKCS1-v1_5, SHA-256).

    Returns the signature as a list of ints from 0 to 255. Raises RuntimeError
    "Authentication failed with error code: N".
    """
