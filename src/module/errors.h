// Where a request's outcome becomes a Python exception, for both modules: biometric's
// RuntimeError "<operation> failed with error code: N" (its contract), and
// biometric_keys' classes: KeyCredentialError and its subclasses by code, EnvelopeError
// and RequestCancelledError, made once per module and raised by name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "module/py_err.h"

namespace bio {

// RuntimeError("{operation} failed with error code: {code}"): how a platform's refusal
// reaches Python from biometric, the code in signed decimal.
PyErr operation_failure(std::string_view operation, std::int32_t code);

// The same message from biometric_keys, as the module's class for the code with the code
// as its attribute `code`. A platform that is none puts its reason first; a text the
// platform attached to the failure (the store's account of a directory it refuses)
// becomes a note.
PyErr credential_failure(PyObject* module, std::string_view operation, std::int32_t code);

// The module's exception class `name` with `message`, as the error a call returns.
PyErr module_error(PyObject* module, const char* name, const std::string& message);

// KeyCredentialError(RuntimeError) and its subclasses, EnvelopeError(ValueError): each
// added to the module and its __all__.
std::optional<PyErr> add_error_classes(PyObject* module);

// RequestCancelledError, a concurrent.futures.CancelledError (the program cancelled, not
// the user): made at its first use and kept in the module, not at import, so that a
// program that never cancels does not import concurrent.futures (and logging) for it.
PyResult<PyRef> request_cancelled_error(PyObject* module);
// A new RequestCancelledError with `message`, as the error a call returns.
PyErr request_cancelled(PyObject* module, const std::string& message);

}  // namespace bio
