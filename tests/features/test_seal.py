"""seal and unseal on the stand-in: the envelope's format, every way it cannot be opened,
and what is checked before the user is asked."""
import hashlib
import pathlib
import shutil

import pytest

import biometric_keys

HEADER = 84


@pytest.fixture
def alice(store, monkeypatch):
    for name in ("BIOMETRIC_STANDIN_VERIFY", "BIOMETRIC_STANDIN_DELAY_MS"):
        monkeypatch.delenv(name, raising=False)
    biometric_keys.create("alice")
    return monkeypatch


@pytest.mark.parametrize("secret", [b"", b"\x00", b"token " * 1000, bytes(100 * 2**20)], ids=["0", "1", "6k", "100MB"])
def test_a_sealed_secret_opens_again_with_the_same_credential(alice, secret):
    envelope = biometric_keys.seal("alice", secret)
    assert envelope[:8] == b"BIOSEAL\x01" and len(envelope) == len(secret) + HEADER + 16
    assert envelope[8:40] == hashlib.sha256(biometric_keys.public_key("alice")).digest()
    assert biometric_keys.unseal("alice", envelope) == secret
    # A new challenge and nonce every time.
    assert biometric_keys.seal("alice", secret)[40:HEADER] != envelope[40:HEADER]


def altered(at):
    def alter(envelope):
        changed = bytearray(envelope)
        changed[at] ^= 0x01
        return bytes(changed)
    return alter


# How the envelope or the credential differs from the sealing, whether the user may be
# asked before it is found out, and the error. A refusing user (deny) shows that the
# cases found out first ask no one: asked, the call would fail with UserCanceledError.
@pytest.mark.parametrize("change, asks, error", [
    ("magic", False, biometric_keys.EnvelopeError),
    ("version", False, biometric_keys.EnvelopeError),
    ("key hash", False, biometric_keys.EnvelopeError),
    ("truncated", False, biometric_keys.EnvelopeError),
    ("replaced credential", False, biometric_keys.EnvelopeError),
    ("other credential", False, biometric_keys.EnvelopeError),
    ("missing credential", False, biometric_keys.CredentialNotFoundError),
    ("challenge", True, biometric_keys.EnvelopeError),
    ("nonce", True, biometric_keys.EnvelopeError),
    ("ciphertext", True, biometric_keys.EnvelopeError),
    ("tag", True, biometric_keys.EnvelopeError),
])
def test_an_envelope_that_cannot_be_opened(alice, change, asks, error):
    envelope = biometric_keys.seal("alice", b"secret")
    name = "alice"
    alter = {"magic": altered(0), "version": altered(7), "key hash": altered(8), "challenge": altered(40),
             "nonce": altered(72), "ciphertext": altered(HEADER), "tag": altered(-1),
             "truncated": lambda e: e[:HEADER + 15]}.get(change, lambda e: e)
    if change == "replaced credential":
        biometric_keys.create("alice", replace=True)
    elif change == "other credential":
        biometric_keys.create("bob")
        name = "bob"
    elif change == "missing credential":
        biometric_keys.delete("alice")
    with pytest.raises(error):
        biometric_keys.unseal(name, alter(envelope))
    if not asks:
        alice.setenv("BIOMETRIC_STANDIN_VERIFY", "deny")
        with pytest.raises(error):
            biometric_keys.unseal(name, alter(envelope))


def test_the_user_decides_and_a_refusal_is_typed(alice):
    envelope = biometric_keys.seal("alice", b"secret")
    alice.setenv("BIOMETRIC_STANDIN_VERIFY", "deny")
    for call in (lambda: biometric_keys.seal("alice", b"secret"), lambda: biometric_keys.unseal("alice", envelope)):
        with pytest.raises(biometric_keys.UserCanceledError) as info:
            call()
        assert info.value.code == 3


def test_sign_never_makes_the_signature_that_opens_an_envelope(alice):
    envelope = biometric_keys.seal("alice", b"secret")
    with pytest.raises(ValueError, match="begins with b'biometric seal'"):
        biometric_keys.sign("alice", b"biometric seal v1\x00" + envelope[40:72])
    assert len(biometric_keys.sign("alice", b"biometric sea")) == 256


def test_an_envelope_of_version_1_sealed_by_an_earlier_build_opens(store):
    # Checked in when version 1 was the only one: every later build must open it.
    data = pathlib.Path(__file__).parent / "data"
    store.mkdir(mode=0o700)
    key = store / "known-answer.key"
    shutil.copyfile(data / "envelope-v1.key", key)
    key.chmod(0o600)
    envelope = (data / "envelope-v1.bin").read_bytes()
    assert biometric_keys.unseal("known-answer", envelope) == b"sealed by version 1 of the envelope"
