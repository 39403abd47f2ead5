"""A `keyring` backend that never stores a value unsealed.

`BiometricKeyring` wraps another keyring, by default the one `keyring` would choose
without it, and keeps in it only envelopes: `set_password` seals the value with
`biometric_keys.seal` under one key credential of the backend's (made on first use, the
user verified) and stores the envelope, base64 text, under the service
"<credential name>:<service>" and the same username. `get_password` unseals it, which
has the platform verify the user (one prompt); `delete_password` removes the envelope,
not the credential.

Its priority is below that of keyring's own fallbacks, so keyring never chooses it: a
program opts in with `keyring.set_keyring(BiometricKeyring())`, a user with keyring's
configuration file (`default-keyring = biometric_keyring.BiometricKeyring`).
"""

from __future__ import annotations

import base64
import binascii
import json

import keyring.backend
import keyring.backends.fail
import keyring.core
import keyring.credentials
import keyring.errors
from keyring.backend import KeyringBackend
from keyring.compat import properties

import biometric_keys

__all__ = ["BiometricKeyring", "DEFAULT_CREDENTIAL_NAME"]

DEFAULT_CREDENTIAL_NAME = "biometric-keyring"

# What the person at the device did, rather than a fault: the keyring stays locked.
_NOT_UNLOCKED = (biometric_keys.UserCanceledError, biometric_keys.UserPrefersPasswordError,
                 biometric_keys.SecurityDeviceLockedError, TimeoutError)


class BiometricKeyring(KeyringBackend):
    """Keeps each value sealed by a key credential in another keyring, `inner`.

    `inner` defaults to the keyring that `keyring` would choose without this backend,
    found at the first call. `credential_name` names the backend's credential (also
    settable through the environment variable KEYRING_PROPERTY_CREDENTIAL_NAME, as for
    any keyring property); `window` and `timeout` are handed to each prompt, as in
    `biometric_keys`.
    """

    credential_name: str

    @properties.classproperty
    def priority(cls) -> float:
        # Below keyring's fail backend (0), which wins when nothing better is there, and
        # not above 0, where keyring's chainer would take this backend in.
        return -1

    def __init__(self, inner: KeyringBackend | None = None, *, credential_name: str | None = None,
                 window: int | None = None, timeout: float | None = None) -> None:
        self.credential_name = DEFAULT_CREDENTIAL_NAME
        super().__init__()  # type: ignore[no-untyped-call]  # sets KEYRING_PROPERTY_* attributes
        if credential_name is not None:
            self.credential_name = credential_name
        self._inner = inner
        self.window = window
        self.timeout = timeout

    @property
    def inner(self) -> KeyringBackend:
        """The keyring that holds the envelopes."""
        # Found at first use, not in __init__: keyring constructs every backend while it
        # collects them, and looking for the default then would collect them again.
        if self._inner is None:
            self._inner = _default_keyring()
        return self._inner

    def get_password(self, service: str, username: str) -> str | None:
        text = self.inner.get_password(self._inner_service(service), username)
        return None if text is None else self._open(service, username, text)

    def set_password(self, service: str, username: str, password: str) -> None:
        # The envelope names its entry: one copied to another entry does not open there.
        payload = json.dumps([service, username, password], ensure_ascii=False).encode("utf-8")
        try:
            envelope = self._seal(payload)
        except (biometric_keys.KeyCredentialError, TimeoutError) as error:
            raise keyring.errors.PasswordSetError(f"the password for {service!r} was not sealed: {error}") from error
        self.inner.set_password(self._inner_service(service), username, base64.b64encode(envelope).decode("ascii"))

    def delete_password(self, service: str, username: str) -> None:
        self.inner.delete_password(self._inner_service(service), username)

    def get_credential(self, service: str, username: str | None) -> keyring.credentials.Credential | None:
        # The inner keyring finds the username when none is given, where it can.
        found = self.inner.get_credential(self._inner_service(service), username)
        if found is None:
            return None
        return keyring.credentials.SimpleCredential(found.username,
                                                    self._open(service, found.username, found.password))

    def _inner_service(self, service: str) -> str:
        # A ':' of the credential's name is doubled, so that the first single ':' ends it:
        # the name "app:prod" with the service "db" and the name "app" with "prod:db" are
        # two entries.
        return f"{self.credential_name.replace(':', '::')}:{service}"

    def _seal(self, payload: bytes) -> bytes:
        try:
            return biometric_keys.seal(self.credential_name, payload, window=self.window, timeout=self.timeout)
        except biometric_keys.CredentialNotFoundError:
            pass
        try:
            biometric_keys.create(self.credential_name, window=self.window, timeout=self.timeout)
        except biometric_keys.CredentialExistsError:
            pass  # another process made it meanwhile
        return biometric_keys.seal(self.credential_name, payload, window=self.window, timeout=self.timeout)

    def _open(self, service: str, username: str, text: str) -> str:
        where = f"the password for {service!r}"
        try:
            envelope = base64.b64decode(text, validate=True)
        except binascii.Error as error:
            raise keyring.errors.KeyringError(f"{where} is not an envelope") from error
        try:
            payload = biometric_keys.unseal(self.credential_name, envelope, window=self.window, timeout=self.timeout)
        except _NOT_UNLOCKED as error:
            raise keyring.errors.KeyringLocked(f"{where} was not unsealed: {error}") from error
        except (biometric_keys.KeyCredentialError, biometric_keys.EnvelopeError) as error:
            raise keyring.errors.KeyringError(f"{where} cannot be unsealed: {error}") from error
        try:
            entry = json.loads(payload)
        except ValueError:
            entry = None
        if not (isinstance(entry, list) and len(entry) == 3 and all(isinstance(part, str) for part in entry)):
            raise keyring.errors.KeyringError(f"{where} holds something else, sealed under {self.credential_name!r}")
        if entry[:2] != [service, username]:
            raise keyring.errors.KeyringError(f"{where} holds the envelope of another entry")
        password: str = entry[2]
        return password


def _default_keyring() -> KeyringBackend:
    """The keyring that keyring would choose if this backend were not there."""
    for load in (keyring.core.load_env, keyring.core.load_config):
        chosen = load()
        if chosen is not None and not isinstance(chosen, BiometricKeyring):
            return chosen
    others = (ring for ring in keyring.backend.get_all_keyring() if not isinstance(ring, BiometricKeyring))
    nothing = keyring.backends.fail.Keyring()  # type: ignore[no-untyped-call]
    return max(others, default=nothing, key=keyring.backend.by_priority)
