"""The native core of biometric_keys: import biometric_keys, which re-exports its public names."""

from concurrent.futures import CancelledError
from typing import Literal, NamedTuple, final

__all__ = ["public_key", "delete", "is_supported", "platform", "create", "sign", "availability", "verify_user", "attestation",
           "seal", "unseal", "Attestation", "KeyCredentialError", "CredentialNotFoundError", "UserCanceledError",
           "UserPrefersPasswordError", "CredentialExistsError", "SecurityDeviceLockedError", "EnvelopeError",
           "CancelToken", "RequestCancelledError"]

_Availability = Literal["available", "device_not_present", "not_configured_for_user", "disabled_by_policy",
                       "device_busy"]
_Verification = Literal["verified", "device_not_present", "not_configured_for_user", "disabled_by_policy",
                       "device_busy", "retries_exhausted", "canceled"]

class Attestation(NamedTuple):
    """A credential's key attestation; the buffers are empty unless the status is success."""

    status: Literal["success", "unknown_error", "not_supported", "temporary_failure"]
    certificate_chain: bytes
    attestation: bytes

class KeyCredentialError(RuntimeError):
    """A request the platform refused or that failed on the way; `code` is the signed code
    the message ends in: a KeyCredentialStatus, an HRESULT, or 0 for a call that yielded
    no object."""

    code: int

class CredentialNotFoundError(KeyCredentialError):
    """No credential of that name (2, NotFound)."""

class UserCanceledError(KeyCredentialError):
    """The user cancelled the prompt (3, UserCanceled)."""

class UserPrefersPasswordError(KeyCredentialError):
    """The user chose a password instead (4, UserPrefersPassword)."""

class CredentialExistsError(KeyCredentialError):
    """A credential of that name exists already (5, CredentialAlreadyExists)."""

class SecurityDeviceLockedError(KeyCredentialError):
    """The security device is locked (6, SecurityDeviceLocked)."""

class EnvelopeError(ValueError):
    """An envelope that unseal cannot open: not an envelope, of an unknown version, sealed
    with another credential than the name has now, or damaged."""

@final
class CancelToken:
    """A cancellation handle for the calls that wait for the user: pass it as `cancel`, and
    cancel() from any thread ends their requests."""

    def cancel(self, /) -> None:
        """Cancels every request made with this token, now and later; never blocks."""

    @property
    def cancelled(self) -> bool:
        """Whether cancel() was called."""

class RequestCancelledError(CancelledError):
    """The program cancelled the request (a CancelToken, or the asyncio task); nothing was
    created or signed."""

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

def platform() -> Literal["windows", "tpm", "standin"]:
    """The platform the calls of both modules use: "windows" (the Windows Runtime), "tpm"
    (Linux: keys in the TPM, the user verified through polkit) or "standin" (software keys,
    no one verified: for tests). On Linux the TPM platform is chosen when /dev/tpmrm0
    exists, else the stand-in; BIOMETRIC_PLATFORM=tpm or =standin chooses instead (read
    once, at the first call). The two keep their credentials apart.

    A BIOMETRIC_PLATFORM that names no platform chooses none: this raises KeyCredentialError
    (code -2147024809, E_INVALIDARG), as every call of this module then does, its message
    beginning 'BIOMETRIC_PLATFORM is "bogus": it names no platform of this system'."""

def create(name: str, *, replace: bool = False, window: int | None = None, timeout: float | None = None,
    cancel: CancelToken | None = None) -> bytes:
    """Creates a key credential under `name` (the platform verifies the user) and returns
    its public key as DER SubjectPublicKeyInfo.

    An existing credential of that name is replaced with `replace=True`, else an error
    (status 5). Raises RuntimeError "Create failed with error code: N".
    """

def sign(key_name: str, data: bytes, *, window: int | None = None, timeout: float | None = None,
    cancel: CancelToken | None = None) -> bytes:
    """The platform's signature of `data` with the credential of `key_name`
    (RSASSA-PKCS1-v1_5, SHA-256), after it verified the user.

    The signature is made by the key that had the name when the user verified, even if
    the name's credential was replaced or removed while the user did: check it against the
    public key you trust, not against a `public_key` read afterwards. Data that begins with
    b"biometric seal" is ValueError: it is signed only to seal and unseal. More than
    4294967295 bytes is OverflowError. Raises KeyCredentialError "Sign failed with error
    code: N".
    """

def availability() -> _Availability:
    """Whether the platform can verify the user now, and if not, why.

    Raises RuntimeError "Availability check failed with error code: N".
    """

def verify_user(message: str, *, window: int | None = None, timeout: float | None = None,
    cancel: CancelToken | None = None) -> _Verification:
    """Asks the platform to verify the user, showing `message`; no key is involved.

    Raises RuntimeError "Verification failed with error code: N".
    """

def attestation(key_name: str) -> Attestation:
    """The attestation of the credential's key (only a key in a TPM has one).

    Raises RuntimeError "Attestation failed with error code: N".
    """

def seal(key_name: str, secret: bytes, *, window: int | None = None, timeout: float | None = None,
    cancel: CancelToken | None = None) -> bytes:
    """Seals `secret` under the credential of `key_name` (the platform verifies the user
    once) and returns the envelope: b"BIOSEAL\\x01", the SHA-256 of the credential's public
    key, a random challenge and nonce, the AES-256-GCM ciphertext and its tag.

    An envelope is only handed out if the name's credential can open it: once the user
    has verified, the name is opened again, and a credential replaced meanwhile raises
    EnvelopeError, one removed CredentialNotFoundError, as unseal would; then the signature
    is checked. When seal raises, nothing was sealed: keep the secret until it returns. A
    secret of more than 4294967195 bytes is OverflowError. Raises KeyCredentialError "Seal
    failed with error code: N".
    """

def unseal(key_name: str, envelope: bytes, *, window: int | None = None, timeout: float | None = None,
    cancel: CancelToken | None = None) -> bytes:
    """The secret of an envelope of `seal`, after the platform verified the user once.

    An envelope that is not one, of an unknown version, sealed with another credential
    than `key_name` has now (replaced or made again since), or altered raises
    EnvelopeError; all but the last are found before the user is asked. An envelope of
    more than 4294967295 bytes is OverflowError. Raises
    KeyCredentialError "Unseal failed with error code: N" (CredentialNotFoundError for a
    name that is not enrolled, also before asking).
    """

def _availability_reason() -> str:
    """Why availability() answers what it does, in words, for the command line; empty where the platform says
    nothing."""
