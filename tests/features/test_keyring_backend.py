"""biometric_keyring, installed, on the stand-in: the keyring backend around an in-memory
keyring, keyring's own suite for backends, its failures, and how keyring chooses it
(only when asked to)."""
import base64
import binascii
import itertools
import json
import os
import random
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("keyring", reason="keyring is not installed here")
import keyring.backends.fail  # noqa: E402
import keyring.errors  # noqa: E402
from keyring.compat import properties  # noqa: E402
from keyring.testing.backend import BackendBasicTests  # noqa: E402

import biometric_keyring  # noqa: E402
import biometric_keys  # noqa: E402
from conftest import ROOT  # noqa: E402
from memory_keyring import MemoryKeyring  # noqa: E402


@pytest.fixture
def env(monkeypatch):
    for name in ("KEYRING_PROPERTY_CREDENTIAL_NAME",):
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


def public_key_or_none(name):
    try:
        return biometric_keys.public_key(name)
    except biometric_keys.CredentialNotFoundError:
        return None


class TestKeyringSuite(BackendBasicTests):
    """keyring's cases for any backend, on this one over the stand-in and a MemoryKeyring."""

    @pytest.fixture(autouse=True)
    def _stand_in(self, store, env):
        pass

    def init_keyring(self):
        return biometric_keyring.BiometricKeyring(MemoryKeyring())


@pytest.mark.parametrize("arguments, variable, name, service", [
    ({}, None, "biometric-keyring", "biometric-keyring:mail"),
    ({}, "from-env", "from-env", "from-env:mail"),
    ({"credential_name": "work"}, "from-env", "work", "work:mail"),  # the argument wins
    ({"credential_name": "app:prod"}, None, "app:prod", "app\\:prod:mail"),
])
def test_set_get_delete(store, env, arguments, variable, name, service):
    if variable is not None:
        env.setenv("KEYRING_PROPERTY_CREDENTIAL_NAME", variable)
    inner = MemoryKeyring()
    ring = biometric_keyring.BiometricKeyring(inner, **arguments)
    assert ring.get_password("mail", "alice") is None
    assert public_key_or_none(name) is None  # a miss asks no one

    ring.set_password("mail", "alice", "s3cret ✓")
    key = biometric_keys.public_key(name)  # made on first use
    assert ring.get_password("mail", "alice") == "s3cret ✓"
    assert list(inner.entries) == [(service, "alice")]
    stored = inner.entries[(service, "alice")]
    assert "s3cret" not in stored and b"s3cret" not in base64.b64decode(stored, validate=True)

    # keyring's suite lets a backend find no username; this one finds it.
    found = ring.get_credential("mail", None)
    assert (found.username, found.password) == ("alice", "s3cret ✓")

    ring.delete_password("mail", "alice")
    assert inner.entries == {}
    assert biometric_keys.public_key(name) == key  # the credential stays, unreplaced


def test_each_name_and_service_has_its_own_entry(store, env):
    inner = MemoryKeyring()
    biometric_keyring.BiometricKeyring(inner, credential_name="x:").set_password("svc", "alice", "first")
    biometric_keyring.BiometricKeyring(inner, credential_name="x").set_password("::svc", "alice", "second")
    assert biometric_keyring.BiometricKeyring(inner, credential_name="x:").get_password("svc", "alice") == "first"
    # Every pair of strings of up to 3 characters, and random longer ones, of ':', '\\' and 'x'.
    short = ["".join(chars) for n in range(4) for chars in itertools.product(":\\x", repeat=n)]
    draw = random.Random(7)
    longer = ["".join(draw.choices(":\\x", k=draw.randrange(4, 12))) for _ in range(4000)]
    pairs = set(itertools.product(short, short)) | set(zip(longer[::2], longer[1::2]))
    assert len({biometric_keyring._entry_service(*pair) for pair in pairs}) == len(pairs)


def deny(ring, inner, env):
    env.setenv("BIOMETRIC_STANDIN_VERIFY", "deny")


def slow(ring, inner, env):
    env.setenv("BIOMETRIC_STANDIN_DELAY_MS", "20000")
    ring.timeout = 0.2


def move(ring, inner, env):
    ring.set_password("bank", "alice", "other")
    inner.entries[("biometric-keyring:mail", "alice")] = inner.entries.pop(("biometric-keyring:bank", "alice"))


def set_new(ring):
    ring.set_password("mail", "alice", "new")


def get(ring):
    ring.get_password("mail", "alice")


@pytest.mark.parametrize("stored, mend, call, error, cause, words", [
    (False, deny, set_new, keyring.errors.PasswordSetError, biometric_keys.UserCanceledError,  # at create
     "the password of 'alice' for 'mail' was not stored: the user cancelled the verification"),
    (True, deny, set_new, keyring.errors.PasswordSetError, biometric_keys.UserCanceledError, "not stored"),  # at seal
    (True, deny, get, keyring.errors.KeyringLocked, biometric_keys.UserCanceledError, "stays locked: the user cancel"),
    (True, slow, get, keyring.errors.KeyringLocked, TimeoutError, "stays locked: the user did not verify in time"),
    (True, lambda ring, inner, env: env.setenv("BIOMETRIC_STANDIN_VERIFY", "1"), get, keyring.errors.KeyringError,
     biometric_keys.KeyCredentialError, "the platform refused the credential 'biometric-keyring': Unseal failed"),
    (True, lambda *_: biometric_keys.create("biometric-keyring", replace=True), get, keyring.errors.KeyringError,
     biometric_keys.EnvelopeError, "does not open with the credential 'biometric-keyring': the envelope was sealed "
     "with another credential"),
    (True, lambda *_: biometric_keys.delete("biometric-keyring"), get, keyring.errors.KeyringError,
     biometric_keys.CredentialNotFoundError, "the credential 'biometric-keyring' is gone: it was deleted"),
    (True, move, get, keyring.errors.KeyringError, type(None), "holds the envelope of another entry"),
    (True, lambda ring, inner, env: inner.set_password("biometric-keyring:mail", "alice", "plain text"), get,
     keyring.errors.KeyringError, binascii.Error, "is not an envelope"),
], ids=["cancel-create", "cancel-seal", "cancel-unseal", "timeout-unseal", "other-status", "replaced", "deleted",
        "moved", "not-base64"])
def test_failures_change_nothing(store, env, stored, mend, call, error, cause, words):
    inner = MemoryKeyring()
    ring = biometric_keyring.BiometricKeyring(inner)
    if stored:
        ring.set_password("mail", "alice", "old")
    mend(ring, inner, env)
    entries, key = dict(inner.entries), public_key_or_none("biometric-keyring")
    with pytest.raises(error) as info:
        call(ring)
    assert type(info.value) is error and type(info.value.__cause__) is cause
    assert words in str(info.value)
    assert inner.entries == entries and public_key_or_none("biometric-keyring") == key


class Unusable(MemoryKeyring):
    @properties.classproperty
    def priority(cls):
        raise RuntimeError("no session bus")


@pytest.mark.parametrize("inner, cause, words", [
    (keyring.backends.fail.Keyring(), type(None), "there is no keyring to keep the sealed passwords in"),
    (Unusable(), RuntimeError, "test_keyring_backend.Unusable, cannot work here: no session bus"),
])
def test_no_usable_inner_keyring_asks_no_one(store, env, inner, cause, words):
    ring = biometric_keyring.BiometricKeyring(inner)
    for call in (set_new, get):
        with pytest.raises(keyring.errors.NoKeyringError) as info:
            call(ring)
        assert type(info.value.__cause__) is cause and words in str(info.value)
    assert public_key_or_none("biometric-keyring") is None  # nothing made, so no one asked


# Run in a fresh interpreter, as a program would: keyring finds its backends there.
CHOOSE = """
import json, sys
import keyring, keyring.backend
how = sys.argv[1]
if how != "alone":
    import memory_keyring  # priority 1
if how == "chained":
    class Lesser(memory_keyring.MemoryKeyring):
        priority = 0.5
if how == "set_keyring":
    import biometric_keyring
    keyring.set_keyring(biometric_keyring.BiometricKeyring())
name = lambda ring: f"{type(ring).__module__}.{type(ring).__qualname__}"
chosen = keyring.get_keyring()
result = {"chosen": name(chosen), "all": sorted(map(name, keyring.backend.get_all_keyring()))}
if hasattr(chosen, "backends"):
    result["chained"] = sorted(map(name, chosen.backends))
if hasattr(chosen, "inner"):
    keyring.set_password("mail", "alice", "pw")
    result.update(inner=name(chosen.inner), got=keyring.get_password("mail", "alice"),
                  entries=sorted(getattr(chosen.inner, "entries", {})))
print(json.dumps(result))
"""

OURS = "biometric_keyring.BiometricKeyring"
MEMORY = "memory_keyring.MemoryKeyring"
OPTED_IN = {"chosen": OURS, "inner": MEMORY, "got": "pw", "entries": [["biometric-keyring:mail", "alice"]]}


@pytest.mark.parametrize("how, config, variable, expected", [
    ("alone", None, None, {"chosen": "keyring.backends.fail.Keyring"}),
    ("chained", None, None, {"chosen": "keyring.backends.chainer.ChainerBackend",
                             "chained": ["__main__.Lesser", MEMORY]}),
    ("set_keyring", None, None, OPTED_IN),
    ("config", OURS, None, OPTED_IN),
    ("variable", None, OURS, OPTED_IN),
    # The inner keyring is the configured one when that is not this backend.
    ("set_keyring", "keyring.backends.null.Keyring", None,
     {"chosen": OURS, "inner": "keyring.backends.null.Keyring", "got": None, "entries": []}),
])
def test_keyring_chooses_it_only_when_asked(store, env, tmp_path_factory, how, config, variable, expected):
    home = tmp_path_factory.mktemp("config")
    if config is not None:
        (home / "python_keyring").mkdir()
        (home / "python_keyring" / "keyringrc.cfg").write_text(f"[backend]\ndefault-keyring = {config}\n")
    environment = {key: value for key, value in os.environ.items() if key != "PYTHON_KEYRING_BACKEND"}
    # No desktop keyring is reachable, whatever this machine has.
    environment.update(XDG_CONFIG_HOME=str(home), DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent",
                       PYTHONPATH=str(ROOT / "tests" / "features"))
    if variable is not None:
        environment["PYTHON_KEYRING_BACKEND"] = variable
    result = json.loads(subprocess.run([sys.executable, "-c", textwrap.dedent(CHOOSE), how], env=environment,
                                       capture_output=True, text=True, check=True, timeout=120).stdout)
    # The entry point registers the backend, viable, in every case.
    assert OURS in result.pop("all")
    assert result == expected
