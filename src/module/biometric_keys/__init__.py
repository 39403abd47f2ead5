"""Public keys, removal and the support check for the platform's key credentials, and the
calls of applications.

The companion of `biometric`, on the same platform (`platform()` names it): on Windows
the Windows Runtime's KeyCredentialManager and UserConsentVerifier; on Linux, keys made
in the machine's TPM 2.0 with the user verified through polkit (`python -m biometric_keys
status` tells what is missing); elsewhere, or as BIOMETRIC_PLATFORM chooses, the software
stand-in that verifies no user and keeps its keys in a per-user store. `public_key`,
`delete`, `is_supported` and `platform` ask no one. `create`, `sign`, `availability`, `verify_user` and
`attestation` give up the interpreter lock while they wait, so other Python threads go
on; `window` is the top-level window handle that owns the platform's prompt, and
`timeout` the seconds to wait (None: as long as the platform takes), after which the
request is cancelled and TimeoutError raised. Ctrl-C cancels it too.

`seal` and `unseal` keep a secret under the user's verification: the credential signs a
random challenge, and a key derived from the signature encrypts the secret.

Failures raise KeyCredentialError, a RuntimeError whose message ends in the platform's
signed code, as for `biometric`: a KeyCredentialStatus (such as 2, NotFound), an HRESULT,
or 0 when the platform yielded no object; the code is its attribute `code`, and the
common statuses have subclasses of their own. Where a BIOMETRIC_PLATFORM names no platform,
every call raises it with E_INVALIDARG, the message beginning with the variable's value.
"""

from biometric_keys._native import (Attestation, CancelToken, CredentialExistsError, CredentialNotFoundError,
                                    EnvelopeError, KeyCredentialError, SecurityDeviceLockedError, UserCanceledError,
                                    UserPrefersPasswordError, attestation, availability, create, delete, is_supported,
                                    platform, public_key, seal, sign, unseal, verify_user)

# True for type checkers; at run time importing typing would cost more than the module.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from biometric_keys import aio as aio
    from biometric_keys._native import RequestCancelledError as RequestCancelledError

__all__ = ["public_key", "delete", "is_supported", "platform", "create", "sign", "availability", "verify_user", "attestation",
           "seal", "unseal", "Attestation", "KeyCredentialError", "CredentialNotFoundError", "UserCanceledError",
           "UserPrefersPasswordError", "CredentialExistsError", "SecurityDeviceLockedError", "EnvelopeError",
           "CancelToken", "RequestCancelledError"]


def __getattr__(name: str) -> object:
    # What loads at its first use: biometric_keys.aio without its import (asyncio and the
    # thread pool), and RequestCancelledError (concurrent.futures, its base's module).
    if name == "aio":
        import importlib

        return importlib.import_module("biometric_keys.aio")
    if name == "RequestCancelledError":
        from biometric_keys import _native

        made = globals()[name] = _native.RequestCancelledError
        return made
    raise AttributeError(f"module 'biometric_keys' has no attribute {name!r}")
