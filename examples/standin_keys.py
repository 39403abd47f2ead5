"""The stand-in platform's key store, read from Python.

Off Windows, `biometric` runs on a software stand-in for the platform's key-credential
service: it keeps each credential's RSA-2048 key pair as a PKCS#8 PEM file in a per-user
store. This module finds those files the way the stand-in names them, so that a test or
a demo can check signatures against a credential's public key.

The stand-in verifies no user: anyone who can read the store can use its keys.
"""
from __future__ import annotations

import os
import pathlib
import pwd

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

_COMPONENT_CHARS = 240
_LITERAL = frozenset(b"abcdefghijklmnopqrstuvwxyz0123456789-")


def store_directory() -> pathlib.Path:
    """$BIOMETRIC_STANDIN_STORE, else $XDG_DATA_HOME/biometric/credentials (absolute
    values only), else ~/.local/share/biometric/credentials."""
    store = os.environ.get("BIOMETRIC_STANDIN_STORE")
    if store:
        return pathlib.Path(store)
    data_home = os.environ.get("XDG_DATA_HOME", "")
    if data_home.startswith("/"):
        return pathlib.Path(data_home) / "biometric" / "credentials"
    home = os.environ.get("HOME") or pwd.getpwuid(os.getuid()).pw_dir
    return pathlib.Path(home) / ".local" / "share" / "biometric" / "credentials"


def key_file(name: str, store: pathlib.Path | None = None) -> pathlib.Path:
    """The key file of the credential `name`: its UTF-8 bytes with [a-z0-9-] kept and
    every other byte written as "_" and two hex digits, then ".key"; encodings longer
    than 240 characters are cut into nested directories of 240 characters each."""
    encoded = "".join(chr(b) if b in _LITERAL else f"_{b:02x}" for b in name.encode("utf-8"))
    parts = []
    while len(encoded) > _COMPONENT_CHARS:
        parts.append(encoded[:_COMPONENT_CHARS])
        encoded = encoded[_COMPONENT_CHARS:]
    parts.append(encoded + ".key")
    return (store if store is not None else store_directory()).joinpath(*parts)


def public_key(name: str, store: pathlib.Path | None = None) -> rsa.RSAPublicKey:
    """The public half of the key pair stored for `name`."""
    private = serialization.load_pem_private_key(key_file(name, store).read_bytes(), password=None)
    if not isinstance(private, rsa.RSAPrivateKey):
        raise ValueError(f"the key of {name!r} is not an RSA key")
    return private.public_key()


def verifies(key: rsa.RSAPublicKey, data: bytes, signature: bytes) -> bool:
    """Whether `signature` is an RSASSA-PKCS1-v1_5 signature of `data` with SHA-256."""
    try:
        key.verify(signature, data, padding.PKCS1v15(), hashes.SHA256())
    except InvalidSignature:
        return False
    return True
