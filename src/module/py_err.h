// PyErr: the module's Python error value.
//
// Made without touching the interpreter (deferred: a one-shot producer of the exception
// type and argument), or holding an exception instance (normalized). It travels up to
// the function entry as a value; only the entry restores it into the interpreter.
#pragma once

#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "runtime/fault.h"
#include "module/py_ref.h"
#include "utf8.h"

namespace bio {

// Captures the data of one error; called once, with the interpreter lock held, it
// yields new references to the exception type and the constructor argument.
class ErrorProducer {
public:
    virtual ~ErrorProducer() = default;
    struct Produced {
        PyRef type;
        PyRef argument;
    };
    virtual Produced produce() = 0;
};

class PyErr {
public:
    static PyErr deferred(std::unique_ptr<ErrorProducer> producer) noexcept {
        PyErr err;
        err.state_.emplace<Deferred>(std::move(producer));
        return err;
    }
    // Takes over a reference to an exception instance.
    static PyErr normalized(PyRef instance) noexcept {
        PyErr err;
        err.state_.emplace<PyRef>(std::move(instance));
        return err;
    }

    PyErr(PyErr&&) noexcept = default;
    PyErr& operator=(PyErr&&) noexcept = default;

    bool is_normalized() const noexcept { return state_.index() == 2; }
    bool is_deferred() const noexcept { return state_.index() == 1; }

private:
    using Deferred = std::unique_ptr<ErrorProducer>;
    PyErr() noexcept = default;

    // Empty only while normalize_error runs.
    std::variant<std::monostate, Deferred, PyRef> state_;

    friend PyObject* normalize_error(PyErr& err);
    friend void restore_error(PyErr&& err);
    friend void restore_state(std::variant<std::monostate, Deferred, PyRef>&& state);
};

// An object, or the error that stopped it from being made.
template <class T>
using PyResult = std::variant<T, PyErr>;

// The exception types of the errors the module makes.
enum class ErrorKind {
    OperationFailure,       // RuntimeError
    ArgumentError,          // TypeError
    MissingException,       // SystemError
    RefusedInitialisation,  // ImportError
    ValueError,             // ValueError
    TimedOut,               // TimeoutError
    Overflow,               // OverflowError
    Fault,                  // pyo3_runtime.PanicException, argument (text,)
};

PyErr new_error(ErrorKind kind, std::string owned_text);
PyErr new_error(ErrorKind kind, std::string_view static_text);
inline PyErr new_error(ErrorKind kind, const char* static_text) {
    return new_error(kind, std::string_view(static_text));
}
// TypeError "'{qualified name of the object's type}' object cannot be converted to
// '{target}'", its message made only when the error is restored or normalised.
PyErr type_mismatch_error(PyObject* object, const char* target);
// An error whose type is the object itself, raised without arguments.
PyErr error_from_object(PyRef object);

// Normalises (once) and returns the instance, borrowed from the error.
PyObject* normalize_error(PyErr& err);
PyRef error_type(PyErr& err);
PyObject* error_value(PyErr& err);
PyRef error_traceback(PyErr& err);

// Makes the error the interpreter's current exception.
void restore_error(PyErr&& err);

// The current exception, removed from the interpreter; nothing when none is set. A
// PanicException resumes its fault instead of being returned.
std::optional<PyErr> take_error();
// As take_error, with SystemError "attempted to fetch exception but none was set" when
// none is set. Follows every interpreter call whose failure goes back to Python.
PyErr fetch_error();

std::optional<PyErr> error_cause(PyErr& err);
void set_error_cause(PyErr& err, std::optional<PyErr> cause);
PyRef error_value_with_traceback(PyErr&& err);

// "PyErr { type: <class 'TypeError'>, value: TypeError('x'), traceback: None }"
std::string error_debug_text(PyErr& err);

// PanicException(text) for the payload of a caught fault.
PyErr error_from_fault(FaultPayload payload);

// The PanicException type (borrowed): one type object for the process, whichever module
// library makes it first. Each library finds it in the owning interpreter's sys module.
PyObject* fault_exception_type();
// Drops the library's reference to the type when its interpreter gives the module up.
void forget_fault_exception_type() noexcept;
PyResult<PyRef> new_exception_type(std::string_view name, std::optional<std::string_view> doc, PyObject* base);

// For an interpreter call that cannot fail but did: prints the pending error, then the
// internal fault "Python API call failed".
[[noreturn]] void fail_after_api_error(
    FaultLocation location = FaultLocation::from(std::source_location::current()));

// The text of str(object) for a message; its fallbacks are part of the result.
std::string object_text(PyObject* object);

// The UTF-8 text of a str (or str subclass) as it stands, without calling its __str__
// again; lone surrogates become U+FFFD.
std::string str_text(PyObject* str);

// The name of the library's module (static storage), for the texts that name it.
void set_module_name(const char* name) noexcept;

// The header of a PanicException that comes back from Python, naming the module that
// resumes it.
std::string resume_header();

}  // namespace bio
