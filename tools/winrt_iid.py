"""Derives the interface identifiers of parameterised Windows Runtime interfaces.

An instantiation such as IAsyncOperation<Boolean> has no published identifier of its
own: the platform derives it from the type's signature (a name-based, SHA-1 UUID in the
Windows Runtime's namespace), and so must we. abi.h writes out the identifiers it uses;
this script derives them again and, with --check, compares every parameterised one with
what abi.h declares.

    python3 tools/winrt_iid.py            # prints each instantiation with its signature
    python3 tools/winrt_iid.py --check src/winrt/abi.h
"""
import hashlib
import re
import sys
import uuid

# The Windows Runtime's namespace for parameterised-type identifiers.
WINRT_PINTERFACE_NAMESPACE = uuid.UUID("11f47ad5-7b73-42c0-abae-878b1e16adee")

# Published identifiers of the generic types (Windows.Foundation).
IASYNC_OPERATION = "9fc2b0bb-e446-44e2-aa61-9cab8f636af2"
ASYNC_OPERATION_COMPLETED_HANDLER = "fcdcf02c-e5d8-4478-915a-4d90b74b83a5"

# Signatures of the type arguments: a runtime class is named with its default interface.
BOOLEAN = "b1"
KEY_CREDENTIAL_RETRIEVAL_RESULT = (
    "rc(Windows.Security.Credentials.KeyCredentialRetrievalResult;{58cd7703-8d87-4249-9b58-f6598cc9644e})"
)
KEY_CREDENTIAL_OPERATION_RESULT = (
    "rc(Windows.Security.Credentials.KeyCredentialOperationResult;{f53786c1-5261-4cdd-976d-cc909ac71620})"
)
KEY_CREDENTIAL_ATTESTATION_RESULT = (
    "rc(Windows.Security.Credentials.KeyCredentialAttestationResult;{78aab3a1-a3c1-4103-b6cc-472c44171cbb})"
)
# Enumerations are named with their underlying type: these two are signed (i4).
USER_CONSENT_VERIFIER_AVAILABILITY = "enum(Windows.Security.Credentials.UI.UserConsentVerifierAvailability;i4)"
USER_CONSENT_VERIFICATION_RESULT = "enum(Windows.Security.Credentials.UI.UserConsentVerificationResult;i4)"

# abi.h's name of each instantiation, with the generic type and its argument.
INSTANTIATIONS = {
    "IAsyncOperation_KeyCredentialRetrievalResult": (IASYNC_OPERATION, KEY_CREDENTIAL_RETRIEVAL_RESULT),
    "IAsyncOperation_KeyCredentialOperationResult": (IASYNC_OPERATION, KEY_CREDENTIAL_OPERATION_RESULT),
    "IAsyncOperation_boolean": (IASYNC_OPERATION, BOOLEAN),
    "AsyncOperationCompletedHandler_KeyCredentialRetrievalResult": (
        ASYNC_OPERATION_COMPLETED_HANDLER,
        KEY_CREDENTIAL_RETRIEVAL_RESULT,
    ),
    "AsyncOperationCompletedHandler_KeyCredentialOperationResult": (
        ASYNC_OPERATION_COMPLETED_HANDLER,
        KEY_CREDENTIAL_OPERATION_RESULT,
    ),
    "AsyncOperationCompletedHandler_boolean": (ASYNC_OPERATION_COMPLETED_HANDLER, BOOLEAN),
}
# Those of the application calls, each operation with its handler.
for _name, _argument in [
    ("UserConsentVerifierAvailability", USER_CONSENT_VERIFIER_AVAILABILITY),
    ("UserConsentVerificationResult", USER_CONSENT_VERIFICATION_RESULT),
    ("KeyCredentialAttestationResult", KEY_CREDENTIAL_ATTESTATION_RESULT),
]:
    INSTANTIATIONS[f"IAsyncOperation_{_name}"] = (IASYNC_OPERATION, _argument)
    INSTANTIATIONS[f"AsyncOperationCompletedHandler_{_name}"] = (ASYNC_OPERATION_COMPLETED_HANDLER, _argument)

# The identifiers the Windows SDK headers print for some of them: the derivation must
# reproduce these too, or it (or the signature) is wrong.
PUBLISHED = {
    "IAsyncOperation_UserConsentVerifierAvailability": "ddd384f3-d818-5d83-ab4b-32119c28587c",
    "AsyncOperationCompletedHandler_UserConsentVerifierAvailability": "28988174-ace2-5c15-a0df-580a26d94294",
    "IAsyncOperation_UserConsentVerificationResult": "fd596ffd-2318-558f-9dbe-d21df43764a5",
    "AsyncOperationCompletedHandler_UserConsentVerificationResult": "0cffc6c9-4c2b-5cd4-b38c-7b8df3ff5afb",
    "IAsyncOperation_KeyCredentialAttestationResult": "b83d29e9-f4e4-5aa4-92d5-b262cb40c622",
    "AsyncOperationCompletedHandler_KeyCredentialAttestationResult": "2c16e103-f783-5dd9-a5f3-3362bcbdaabd",
}


def signature(generic: str, argument: str) -> str:
    return f"pinterface({{{generic}}};{argument})"


def derive(sig: str) -> uuid.UUID:
    """A version-5 UUID of the signature's UTF-8 bytes in the Windows Runtime's namespace."""
    digest = bytearray(hashlib.sha1(WINRT_PINTERFACE_NAMESPACE.bytes + sig.encode("utf-8")).digest()[:16])
    digest[6] = (digest[6] & 0x0F) | 0x50
    digest[8] = (digest[8] & 0x3F) | 0x80
    return uuid.UUID(bytes=bytes(digest))


IID_LINE = re.compile(r"^BIO_ABI_IID\((\w+),\s*(.*)\)\s*$")


def declared(header: str) -> dict[str, uuid.UUID]:
    """The identifiers BIO_ABI_IID declares in `header`, by name."""
    found = {}
    for line in open(header, encoding="utf-8"):
        match = IID_LINE.match(line.strip())
        if not match:
            continue
        parts = [int(p, 16) for p in match.group(2).split(",")]
        data1, data2, data3, rest = parts[0], parts[1], parts[2], parts[3:]
        found[match.group(1)] = uuid.UUID(fields=(data1, data2, data3, rest[0], rest[1], int.from_bytes(bytes(rest[2:]), "big")))
    return found


def main(argv: list[str]) -> int:
    if len(argv) == 3 and argv[1] == "--check":
        ours = declared(argv[2])
        failures = 0
        for name, (generic, argument) in INSTANTIATIONS.items():
            expected = derive(signature(generic, argument))
            got = ours.get(name)
            published = PUBLISHED.get(name)
            if got != expected:
                state = f"MISMATCH: {argv[2]} has {got}"
            elif published is not None and uuid.UUID(published) != expected:
                state = f"MISMATCH: the SDK prints {published}"
            else:
                state = "ok, as the SDK prints it" if published else "ok"
            failures += state.startswith("MISMATCH")
            print(f"{name} {{{str(expected).upper()}}} {state}")
        return 1 if failures else 0
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    for name, (generic, argument) in INSTANTIATIONS.items():
        sig = signature(generic, argument)
        print(f"{name} {{{str(derive(sig)).upper()}}} {sig}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
