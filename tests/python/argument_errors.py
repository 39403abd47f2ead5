"""Calls that fail in argument binding or conversion, before anything reaches the
platform, with the exact TypeError message each raises: (function, args, kwargs, message).
Shared by the tests of the test build and of the installed module."""

ARGUMENT_ERRORS = [
    ("setup", (), {}, "setup() missing 1 required positional argument: 'name'"),
    ("authenticate", (), {}, "authenticate() missing 2 required positional arguments: 'key_name' and 'data'"),
    ("authenticate", (), {"data": b""}, "authenticate() missing 1 required positional argument: 'key_name'"),
    ("authenticate", ("k",), {}, "authenticate() missing 1 required positional argument: 'data'"),
    ("setup", ("a", "b"), {}, "setup() takes 1 positional arguments but 2 were given"),
    ("authenticate", ("k", b"d", 3), {}, "authenticate() takes 2 positional arguments but 3 were given"),
    # Too many positional arguments is reported before any keyword is looked at.
    ("setup", ("a", "b"), {"nam": "c"}, "setup() takes 1 positional arguments but 2 were given"),
    ("setup", (), {"nam": "a"}, "setup() got an unexpected keyword argument 'nam'"),
    # Unmatched keywords come before missing arguments.
    ("authenticate", (), {"data": b"", "nam": 1}, "authenticate() got an unexpected keyword argument 'nam'"),
    ("setup", ("a",), {"name": "b"}, "setup() got multiple values for argument 'name'"),
    ("authenticate", ("k", b"d"), {"key_name": "k"}, "authenticate() got multiple values for argument 'key_name'"),
    # The first keyword that fails decides, in the order given.
    ("setup", ("a",), {"x": 1, "name": "b"}, "setup() got an unexpected keyword argument 'x'"),
    ("setup", ("a",), {"name": "b", "x": 1}, "setup() got multiple values for argument 'name'"),
    ("setup", (None,), {}, "argument 'name': 'NoneType' object cannot be converted to 'PyString'"),
    ("setup", (1,), {}, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ("setup", (b"n",), {}, "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
    # Parameters are converted in order; only the first failure is reported.
    ("authenticate", (1, 2), {}, "argument 'key_name': 'int' object cannot be converted to 'PyString'"),
    ("authenticate", ("k", bytearray(b"x")), {}, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    ("authenticate", ("k", [1, 2]), {}, "argument 'data': 'list' object cannot be converted to 'PyBytes'"),
    ("authenticate", ("k", memoryview(b"x")), {}, "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
    ("authenticate", ("k", "text"), {}, "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
]
