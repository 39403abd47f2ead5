#include "module/entry.h"

#include <csignal>
#include <string>
#include <utility>

#include "bio_windows.h"
#include "module/conversions.h"

namespace bio {
namespace {

// The exception of a signal handler that ran beneath this thread's call (take_interruption).
thread_local std::optional<PyErr> t_interruption;

// A pending call of the interpreter's: raises the exception it owns.
int raise_pending(void* exception) {
    PyErr_SetRaisedException(static_cast<PyObject*>(exception));
    return -1;
}

PyErr argument_error(std::string message) { return new_error(ErrorKind::ArgumentError, std::move(message)); }

std::string missing_message(const ParameterSpec& spec, PyObject* const* slots) {
    std::string names;
    const std::size_t required = spec.required_count();
    std::size_t missing = 0;
    for (std::size_t i = 0; i < required; ++i) missing += slots[i] == nullptr ? 1 : 0;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < required; ++i) {
        if (slots[i] != nullptr) continue;
        ++seen;
        if (seen > 1) names += missing == 2 ? " and " : (seen == missing ? ", and " : ", ");
        names += '\'';
        names += spec.parameters[i];
        names += '\'';
    }
    std::string message(spec.function);
    message += "() missing " + std::to_string(missing) + " required positional argument";
    message += missing == 1 ? ": " : "s: ";
    return message + names;
}

}  // namespace

std::optional<PyErr> bind_arguments(const ParameterSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, PyObject** slots) {
    const auto count = static_cast<Py_ssize_t>(spec.positional_count());
    if (args != nullptr) {
        for (Py_ssize_t i = 0; i < nargs && i < count; ++i) slots[i] = args[i];
    }
    if (nargs > count) {
        return argument_error(std::string(spec.function) + "() takes " + std::to_string(count) +
                              " positional arguments but " + std::to_string(nargs) + " were given");
    }

    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            // The interpreter's own tuple of str: the checked access cannot fail here.
            PyObject* name = PyTuple_GetItem(kwnames, k);
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
            if (utf8 != nullptr) {
                const std::string_view text(utf8, static_cast<std::size_t>(size));
                std::size_t match = spec.count;
                for (std::size_t p = 0; p < spec.count; ++p) {
                    // Length first, then bytes.
                    if (spec.parameters[p].size() == text.size() && spec.parameters[p] == text) {
                        match = p;
                        break;
                    }
                }
                if (match < spec.count) {
                    if (slots[match] != nullptr) {
                        return argument_error(std::string(spec.function) + "() got multiple values for argument '" +
                                              std::string(text) + "'");
                    }
                    slots[match] = args[nargs + k];
                    continue;
                }
            } else {
                (void)fetch_error();  // a name that is not UTF-8 matches no parameter
            }
            return argument_error(std::string(spec.function) + "() got an unexpected keyword argument '" +
                                  object_text(name) + "'");
        }
    }

    for (auto i = static_cast<std::size_t>(nargs < 0 ? 0 : nargs); i < spec.required_count(); ++i) {
        if (slots[i] == nullptr) return argument_error(missing_message(spec, slots));
    }
    return std::nullopt;
}

PyErr wrap_argument_error(std::string_view parameter, PyErr err) {
    PyRef type = error_type(err);
    if (type.get() != PyExc_TypeError) return err;
    std::string message = "argument '";
    message += parameter;
    message += "': ";
    message += object_text(error_value(err));
    PyErr wrapped = new_error(ErrorKind::ArgumentError, std::move(message));
    normalize_error(wrapped);
    set_error_cause(wrapped, error_cause(err));
    return wrapped;
}

PyErr value_error(std::string_view parameter, std::string_view text) {
    std::string message = "argument '";
    message += parameter;
    message += "': ";
    message += text;
    return new_error(ErrorKind::ValueError, std::move(message));
}

bool signal_handler_raised() noexcept {
    const AllowThreads* released = AllowThreads::current();
    if (released != nullptr && !released->on_main_thread()) return false;
    try {
        InterpreterLock lock;
        if (PyErr_CheckSignals() == 0) return false;
        std::optional<PyErr> raised = take_error();
        if (!raised) return false;
        // The first exception is the one the call raises; a later one would only have
        // replaced it in a handler of the program's.
        if (!t_interruption) t_interruption = std::move(raised);
        return true;
    } catch (...) {
        return false;
    }
}

std::optional<PyErr> take_interruption() { return std::exchange(t_interruption, std::nullopt); }

void raise_after_call(PyErr err) {
    PyRef exception = PyRef::borrow(normalize_error(err));
    if (Py_AddPendingCall(raise_pending, exception.get()) == 0) {
        (void)exception.release();
        return;
    }
    // The interpreter's queue of pending calls is full: a KeyboardInterrupt comes back
    // through SIGINT; anything else is reported as an exception no one could take.
    if (PyErr_GivenExceptionMatches(exception.get(), PyExc_KeyboardInterrupt)) {
        PyErr_SetInterruptEx(SIGINT);
    } else {
        PyErr_SetRaisedException(exception.release());
        PyErr_WriteUnraisable(nullptr);
    }
}

std::optional<PyErr> warn_about_platform_choice() {
    const std::optional<std::string> warning = default_platform().take_choice_warning();
    if (!warning) return std::nullopt;
    // biometric and biometric_keys each choose their platform: the first to warn marks
    // the interpreter (a private name of sys), and the other is then silent.
    constexpr const char* kWarned = "_biometric_platform_warned";
    if (PySys_GetObject(kWarned) != nullptr) return std::nullopt;
    if (PySys_SetObject(kWarned, Py_True) < 0) return fetch_error();
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning->c_str(), 1) < 0) return fetch_error();
    return std::nullopt;
}

}  // namespace bio
