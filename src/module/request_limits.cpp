#include "module/request_limits.h"

#include <cmath>

#include "module/cancel_token.h"

namespace bio {
namespace {

bool given(PyObject* object) { return object != nullptr && object != Py_None; }

// `window`: None, or a non-negative int (a window handle).
PyResult<WindowHandle> window_from_object(PyObject* object) {
    if (!given(object)) return WindowHandle{0};
    // A bool is an int to Python, but never a window.
    if (PyBool_Check(object)) {
        return wrap_argument_error("window", new_error(ErrorKind::ArgumentError,
                                                       "'bool' object cannot be interpreted as an integer"));
    }
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return wrap_argument_error("window", fetch_error());
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && overflow == 0 && PyErr_Occurred() != nullptr) return fetch_error();
    if (overflow > 0) return value_error("window", "not a window handle");
    if (overflow < 0 || value < 0) return value_error("window", "a window handle is not negative");
    return static_cast<WindowHandle>(value);
}

// `timeout`: None, or a non-negative finite number of seconds.
PyResult<std::optional<std::chrono::steady_clock::time_point>> deadline_from_object(PyObject* object) {
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;
    if (!given(object)) return Deadline();
    if (PyBool_Check(object)) {
        return wrap_argument_error("timeout", new_error(ErrorKind::ArgumentError, "must be real number, not bool"));
    }
    constexpr std::string_view kNotSeconds = "must be a non-negative, finite number of seconds";
    const double seconds = PyFloat_AsDouble(object);
    if (seconds == -1.0 && PyErr_Occurred() != nullptr) {
        PyErr err = fetch_error();
        // An int too large for a float is as infinite as inf.
        if (PyErr_GivenExceptionMatches(error_type(err).get(), PyExc_OverflowError)) {
            return value_error("timeout", kNotSeconds);
        }
        return wrap_argument_error("timeout", std::move(err));
    }
    if (!std::isfinite(seconds) || seconds < 0) return value_error("timeout", kNotSeconds);
    // Beyond a year is as good as no limit, and keeps the arithmetic in range.
    if (seconds > 365.0 * 24 * 3600) return Deadline();
    return Deadline(std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(seconds)));
}

// `cancel`: None, or the module's CancelToken.
PyResult<const std::atomic<bool>*> token_from_object(PyObject* module, PyObject* object) {
    if (!given(object)) return static_cast<const std::atomic<bool>*>(nullptr);
    return cancel_token_flag(module, object);
}

}  // namespace

PyResult<WaitArguments> wait_arguments(PyObject* module, PyObject* window_object, PyObject* timeout_object,
                                       PyObject* cancel_object) {
    PyResult<WindowHandle> window = window_from_object(window_object);
    if (PyErr* err = std::get_if<PyErr>(&window)) return std::move(*err);
    auto deadline = deadline_from_object(timeout_object);
    if (PyErr* err = std::get_if<PyErr>(&deadline)) return std::move(*err);
    auto cancelled = token_from_object(module, cancel_object);
    if (PyErr* err = std::get_if<PyErr>(&cancelled)) return std::move(*err);
    return WaitArguments{std::get<WindowHandle>(window), std::get<0>(deadline), std::get<0>(cancelled)};
}

}  // namespace bio
