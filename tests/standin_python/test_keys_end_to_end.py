"""biometric_keys on the stand-in platform, installed: names not found, deleted and
damaged, the store's permissions. (A credential's life is in
tests/features.)"""

import pytest

import biometric
import biometric_keys
import standin_keys


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: biometric_keys.public_key("nobody"), "Public key retrieval failed with error code: 2"),
        (lambda: biometric_keys.delete("nobody"), "Delete failed with error code: 2"),
    ],
    ids=["public_key", "delete"],
)
def test_a_name_that_is_not_enrolled_is_not_found(store, call, message):
    with pytest.raises(RuntimeError) as info:
        call()
    assert info.value.args == (message,)
    # Looking made no store.
    assert not store.exists()


def test_delete_removes_that_credential_only_and_frees_its_name(store):
    biometric.setup("../carol")
    biometric.setup("neighbour")
    first = biometric_keys.public_key("../carol")
    biometric_keys.delete("../carol")
    assert sorted(p for p in store.rglob("*") if p.is_file()) == [standin_keys.key_file("neighbour")]
    assert biometric.setup("../carol") is True
    assert biometric_keys.public_key("../carol") != first


def test_public_key_of_a_damaged_key_file_is_unknown_error(store):
    biometric.setup("dave")
    standin_keys.key_file("dave").write_bytes(b"not a key")
    with pytest.raises(RuntimeError, match=r"^Public key retrieval failed with error code: 1$"):
        biometric_keys.public_key("dave")
    # A damaged credential can still be removed, and enrolled again.
    biometric_keys.delete("dave")
    assert biometric.setup("dave") is True


def test_a_store_that_others_may_write_is_refused_and_the_error_says_why(store):
    biometric.setup("erin")
    store.chmod(0o777)
    with pytest.raises(biometric_keys.KeyCredentialError) as raised:
        biometric_keys.sign("erin", b"data")
    # The message stays the code's; the note, which a traceback shows, names the path and the fault.
    assert str(raised.value) == "Sign failed with error code: -2147024891"
    assert raised.value.__notes__ == [f"unsafe key-credential store {store}: group or others may write it (mode 0777)"]
