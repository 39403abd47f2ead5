"""A `keyring` backend that never stores a value unsealed.

`BiometricKeyring` wraps another keyring, by default the one `keyring` would choose
without it, and keeps in it only envelopes: `set_password` seals the value with
`biometric_keys.seal` under one key credential of the backend's (made on first use, the
user verified) and stores the envelope, base64 text, under the service
"<credential name>:<service>" and the same username, where a '\\' or ':' of the
credential's name has a '\\' put before it. `get_password` unseals it, which has the
platform verify the user (one prompt); `delete_password` removes the envelope, not the
credential. Failures are keyring's errors whose message says what happened, with
`biometric_keys`' error as their cause.

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

# What each of biometric_keys' errors means to the user of a keyring, for the messages:
# "error code: 3" says nothing to them. The first row that matches applies; {name} is the
# backend's credential, {error} the error's own text.
_IN_WORDS: tuple[tuple[type[Exception], str], ...] = (
    (biometric_keys.UserCanceledError, "the user cancelled the verification"),
    (biometric_keys.UserPrefersPasswordError, "the user chose to use a password instead"),
    (biometric_keys.SecurityDeviceLockedError, "the security device is locked"),
    (TimeoutError, "the user did not verify in time"),
    (biometric_keys.CredentialNotFoundError, "the credential {name!r} is gone: it was deleted"),
    (biometric_keys.EnvelopeError, "its envelope does not open with the credential {name!r}: {error}"),
    (biometric_keys.KeyCredentialError, "the platform refused the credential {name!r}: {error}"),
)


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
        text = self._usable_inner().get_password(self._inner_service(service), username)
        return None if text is None else self._open(service, username, text)

    def set_password(self, service: str, username: str, password: str) -> None:
        # Before the user is asked: an envelope with nowhere to go is a prompt for nothing,
        # and maybe a credential made for nothing.
        inner = self._usable_inner()
        # The envelope names its entry: one copied to another entry does not open there.
        payload = json.dumps([service, username, password], ensure_ascii=False).encode("utf-8")
        try:
            envelope = self._seal(payload)
        except (biometric_keys.KeyCredentialError, TimeoutError) as error:
            raise keyring.errors.PasswordSetError(
                f"{_password(service, username)} was not stored: {self._in_words(error)}") from error
        inner.set_password(self._inner_service(service), username, base64.b64encode(envelope).decode("ascii"))

    def delete_password(self, service: str, username: str) -> None:
        self._usable_inner().delete_password(self._inner_service(service), username)

    def get_credential(self, service: str, username: str | None) -> keyring.credentials.Credential | None:
        # The inner keyring finds the username when none is given, where it can.
        found = self._usable_inner().get_credential(self._inner_service(service), username)
        if found is None:
            return None
        return keyring.credentials.SimpleCredential(found.username,
                                                    self._open(service, found.username, found.password))

    def _usable_inner(self) -> KeyringBackend:
        inner = self.inner
        if isinstance(inner, keyring.backends.fail.Keyring):
            raise keyring.errors.NoKeyringError(
                "there is no keyring to keep the sealed passwords in: keyring found none that works here "
                "(install one, or hand one to BiometricKeyring)")
        try:
            # As keyring tells a backend that cannot work here: its priority raises.
            _ = type(inner).priority
        except Exception as error:
            raise keyring.errors.NoKeyringError(
                f"the keyring to keep the sealed passwords in, {_class_name(inner)}, cannot work here: {error}"
            ) from error
        return inner

    def _inner_service(self, service: str) -> str:
        return _entry_service(self.credential_name, service)

    def _in_words(self, error: Exception) -> str:
        sentence = next(words for kind, words in _IN_WORDS if isinstance(error, kind))
        return sentence.format(name=self.credential_name, error=error)

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
        where = _password(service, username)
        try:
            envelope = base64.b64decode(text, validate=True)
        except binascii.Error as error:
            raise keyring.errors.KeyringError(f"{where} is not an envelope") from error
        try:
            payload = biometric_keys.unseal(self.credential_name, envelope, window=self.window, timeout=self.timeout)
        except _NOT_UNLOCKED as error:
            raise keyring.errors.KeyringLocked(f"{where} stays locked: {self._in_words(error)}") from error
        except (biometric_keys.KeyCredentialError, biometric_keys.EnvelopeError) as error:
            raise keyring.errors.KeyringError(f"{where} cannot be unsealed: {self._in_words(error)}") from error
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


def _entry_service(credential_name: str, service: str) -> str:
    """The inner keyring's service for `service` under the credential `credential_name`.

    A '\\' or ':' of the name gets a '\\' before it, so that the first ':' without one
    ends the name and each (name, service) has its own entry: the name "x:" with the
    service "svc" is "x\\::svc", the name "x" with "::svc" is "x:::svc".
    """
    escaped = credential_name.replace("\\", "\\\\").replace(":", "\\:")
    return f"{escaped}:{service}"


def _password(service: str, username: str) -> str:
    return f"the password of {username!r} for {service!r}"


def _class_name(ring: KeyringBackend) -> str:
    return f"{type(ring).__module__}.{type(ring).__qualname__}"


def _default_keyring() -> KeyringBackend:
    """The keyring that keyring would choose if this backend were not there."""
    for load in (keyring.core.load_env, keyring.core.load_config):
        chosen = load()
        if chosen is not None and not isinstance(chosen, BiometricKeyring):
            return chosen
    others = (ring for ring in keyring.backend.get_all_keyring() if not isinstance(ring, BiometricKeyring))
    nothing = keyring.backends.fail.Keyring()  # type: ignore[no-untyped-call]
    return max(others, default=nothing, key=keyring.backend.by_priority)
