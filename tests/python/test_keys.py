"""biometric_keys on the scripted fake: the module object, binding, results and failures."""
import ctypes
import pickle

import pytest

import biometric
import biometric_keys
from conftest import E_FAIL, E_POINTER, assert_credential_error, run_python

FUNCTIONS = [("public_key", "(key_name)"), ("delete", "(key_name)"), ("is_supported", "()"), ("platform", "()"),
             ("create", "(name, *, replace=False, window=None, timeout=None, cancel=None)"),
             ("sign", "(key_name, data, *, window=None, timeout=None, cancel=None)"), ("availability", "()"),
             ("verify_user", "(message, *, window=None, timeout=None, cancel=None)"), ("attestation", "(key_name)"),
             ("seal", "(key_name, secret, *, window=None, timeout=None, cancel=None)"),
             ("unseal", "(key_name, envelope, *, window=None, timeout=None, cancel=None)")]
ERRORS = ["KeyCredentialError", "CredentialNotFoundError", "UserCanceledError", "UserPrefersPasswordError",
          "CredentialExistsError", "SecurityDeviceLockedError", "EnvelopeError", "CancelToken",
          "RequestCancelledError"]
ALL = [name for name, _ in FUNCTIONS] + ["Attestation"] + ERRORS


def test_module_attributes():
    assert biometric_keys.__all__ == ALL
    assert biometric_keys.__name__ == "biometric_keys"
    # The platform linked in names itself; a private helper of the command line is not exported.
    assert (biometric_keys.platform(), biometric_keys._native._availability_reason()) == ("fake", "")
    assert isinstance(biometric_keys.__doc__, str) and biometric_keys.__doc__.strip()
    # biometric is a module of its own and stays as it was.
    assert biometric.__all__ == ["setup", "authenticate"]


@pytest.mark.parametrize("name, signature", FUNCTIONS)
def test_function_attributes(name, signature):
    function = getattr(biometric_keys, name)
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__self__ is biometric_keys._native
    assert function.__module__ == "biometric_keys"


def test_second_init_returns_the_same_module():
    init = ctypes.PyDLL(biometric_keys._native.__file__).PyInit__native
    init.restype = ctypes.py_object
    assert init() is biometric_keys._native
    assert biometric_keys.__all__ == ALL


def test_legacy_subinterpreter_is_refused_naming_each_module(tmp_path):
    out = tmp_path / "out.txt"
    code = (
        "texts = []\n"
        "for name in ('biometric', 'biometric_keys'):\n"
        "    try:\n"
        "        __import__(name)\n"
        "        texts.append('imported')\n"
        "    except ImportError as e:\n"
        "        texts.append(str(e))\n"
        f"open({str(out)!r}, 'w').write('\\n'.join(texts))\n"
    )
    result = run_python(
        f"""
        import _testcapi, biometric_keys
        print(_testcapi.run_in_subinterp({code!r}))
        print(biometric_keys.is_supported())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "0\nTrue\n"
    assert out.read_text().split("\n") == [
        f"{name} does not yet support subinterpreters, see README.md#subinterpreters"
        for name in ("biometric", "biometric_keys")
    ]


@pytest.mark.parametrize(
    "function, args, kwargs, message",
    [
        ("public_key", (), {}, "public_key() missing 1 required positional argument: 'key_name'"),
        ("public_key", ("a", "b"), {}, "public_key() takes 1 positional arguments but 2 were given"),
        ("is_supported", (1,), {}, "is_supported() takes 0 positional arguments but 1 were given"),
        ("is_supported", (), {"key_name": "a"}, "is_supported() got an unexpected keyword argument 'key_name'"),
        ("delete", ("a",), {"key_name": "b"}, "delete() got multiple values for argument 'key_name'"),
        ("delete", (None,), {}, "argument 'key_name': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_errors(keys_fake, function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(biometric_keys, function)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert keys_fake.calls == []


@pytest.mark.parametrize("key", [b"", b"\x00", bytes(range(256)) * 2], ids=["empty", "zero", "long"])
def test_public_key_is_the_bytes_of_the_subject_public_key_info(keys_fake, key):
    keys_fake.set_public_key(key)
    result = biometric_keys.public_key("alice")
    assert type(result) is bytes and result == key
    assert keys_fake.last_blob_type == 0  # X509SubjectPublicKeyInfo


def test_key_name_reaches_the_platform_as_utf8(keys_fake):
    # The conversion itself is biometric's (test_binding.py); here, that both functions use it.
    name = "\u00e9\u20ac\U0001f600"
    biometric_keys.public_key(name)
    assert keys_fake.last_name == name.encode()
    assert biometric_keys.delete(key_name=name) is None
    assert keys_fake.last_name == name.encode()


@pytest.mark.parametrize("answer", [1, 0])
def test_is_supported_is_the_platforms_answer(keys_fake, answer):
    keys_fake.script("wait_for_results(support)", "answer", answer)
    assert biometric_keys.is_supported() is bool(answer)
    assert keys_fake.calls == ["IsSupportedAsync", "wait_for_results(support)"]


PUBLIC_KEY = "Public key retrieval failed with error code: {}"
DELETE = "Delete failed with error code: {}"
SUPPORT = "Support check failed with error code: {}"


@pytest.mark.parametrize(
    "function, script, message",
    [
        ("public_key", [("OpenAsync", "fail", E_POINTER)], PUBLIC_KEY.format(-2147467261)),
        # The second read of the status decides the code.
        ("public_key", [("Status(retrieval)", "status", 2), ("Status(retrieval)", "status", 6)], PUBLIC_KEY.format(6)),
        ("public_key", [("RetrievePublicKeyWithBlobType", "no_object", 0)], PUBLIC_KEY.format(0)),
        ("delete", [("wait_for_results(delete)", "fail", 2)], DELETE.format(2)),
        ("is_supported", [("IsSupportedAsync", "fail", E_FAIL)], SUPPORT.format(E_FAIL)),
    ],
)
def test_failures_are_runtime_errors_with_the_code(keys_fake, function, script, message):
    for op, kind, value in script:
        keys_fake.script(op, kind, value)
    args = () if function == "is_supported" else ("alice",)
    with pytest.raises(RuntimeError) as info:
        getattr(biometric_keys, function)(*args)
    assert_credential_error(info.value, message)
    assert info.value.__cause__ is None
    assert keys_fake.calls[-1] == script[-1][0]


@pytest.mark.parametrize("name", ERRORS + ["Attestation"])
def test_classes_carry_the_package_name_and_pickle_by_it(name):
    cls = getattr(biometric_keys, name)
    assert cls.__module__ == "biometric_keys"
    if issubclass(cls, BaseException):
        error = pickle.loads(pickle.dumps(cls("text")))
        assert (type(error), error.args) == (cls, ("text",))


def test_import_leaves_asyncio_and_concurrent_futures_for_their_first_use():
    out = run_python(
        "import sys, biometric_keys as k\n"
        "before = sorted(m for m in sys.modules if m.startswith(('asyncio', 'concurrent', 'biometric_keys.aio')))\n"
        "from biometric_keys import aio\n"
        "import concurrent.futures\n"
        "print(before, aio is k.aio, aio.__name__,\n"
        "      issubclass(k.RequestCancelledError, concurrent.futures.CancelledError),\n"
        "      k.RequestCancelledError is k._native.RequestCancelledError)\n")
    assert out.stdout == "[] True biometric_keys.aio True True\n", out.stderr
