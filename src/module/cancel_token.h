// CancelToken, biometric_keys' cancellation handle: a flag that the program sets with
// cancel() (from any thread, a signal handler included: one atomic store) and that the
// waits beneath a call read between their slices (RequestLimits, runtime/interrupt.h).
#pragma once

#include <atomic>
#include <optional>

#include "module/py_err.h"

namespace bio {

// Adds the type to the module and its __all__.
std::optional<PyErr> add_cancel_token_type(PyObject* module);

// The flag of `object`, which must be the module's CancelToken (a TypeError for argument
// `cancel` otherwise). The call holds a reference to the token while it waits.
PyResult<const std::atomic<bool>*> cancel_token_flag(PyObject* module, PyObject* object);

}  // namespace bio
