// The way in from Python, shared by both modules: the entry wrapper every call runs
// inside, argument binding and the argument errors, and the signal handlers' exceptions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/fault.h"
#include "runtime/os.h"
#include "module/py_err.h"

namespace bio {

// A function's name and its parameters in declaration order. The first `positional` may
// be given by position or keyword, the rest by keyword only; the first `required` must be
// given (by default, all of them both).
struct ParameterSpec {
    std::string_view function;
    const std::string_view* parameters;
    std::size_t count;
    std::size_t positional = static_cast<std::size_t>(-1);
    std::size_t required = static_cast<std::size_t>(-1);

    constexpr std::size_t positional_count() const { return positional < count ? positional : count; }
    constexpr std::size_t required_count() const { return required < count ? required : count; }
};

// Binds the fast-call argument vector into `slots` (borrowed references, all null on
// entry). The first error met is returned as a TypeError.
std::optional<PyErr> bind_arguments(const ParameterSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, PyObject** slots);

// "argument '{parameter}': {text}" for a TypeError (exactly), keeping its cause; any
// other error unchanged.
PyErr wrap_argument_error(std::string_view parameter, PyErr err);

// ValueError "argument '{parameter}': {text}".
PyErr value_error(std::string_view parameter, std::string_view text);

using EntryOutcome = PyResult<PyRef>;

// The check between a wait's slices (runtime/interrupt.h): runs the program's signal
// handlers as the interpreter would, and says whether one raised, so that a request is
// cancelled if and only if Python would raise. Only the main thread of the main interpreter
// runs them; a call that has given up the lock takes it back for this, in that thread only.
bool signal_handler_raised() noexcept;

// An exception that a signal handler raised while a request of this thread was being
// made (the check between a wait's slices runs the program's handlers), not yet given to
// anyone; nothing when there is none. A call raises it when its request changed nothing.
std::optional<PyErr> take_interruption();

// Has the interpreter raise `err` right after the call returns, as it would have done had
// the signal arrived then: for a request that took effect, or a call whose contract keeps
// its own error.
void raise_after_call(PyErr err);

// Runs an entry's body (returning EntryOutcome) and turns its outcome into what the
// interpreter expects: a new reference, or null with the exception set.
//
// No fault may leave an entry for the interpreter. One that escapes the boundary (on
// entry, or while the error is restored) is caught here once the entry's LockDepth is
// given back: "uncaught panic at ffi boundary" is reported and the process ends, with
// nothing but the two reports written. Not noexcept: a thread that the C library ends
// inside a call unwinds through here (BIO_LET_THREAD_EXIT_PASS).
template <class Body>
BIO_THREAD_EXIT_PASSES PyObject* run_entry(Body&& body) {
    try {
        EntryLockDepth depth;
        std::optional<EntryOutcome> outcome;
        FaultPayload caught;
        auto guarded = [&] { outcome.emplace(body()); };
        const bool completed = fault_boundary([&] { run_in_short_backtrace(guarded); }, caught);
        if (!completed) outcome.emplace(error_from_fault(std::move(caught)));
        // A signal handler raised beneath the call: a call that failed changed nothing, and
        // raises the handler's exception instead; a result stands, and the exception
        // follows it. So does one beside a fault, whose report is already written.
        if (std::optional<PyErr> interruption = take_interruption()) {
            if (completed && std::holds_alternative<PyErr>(*outcome)) {
                outcome.emplace(std::move(*interruption));
            } else {
                raise_after_call(std::move(*interruption));
            }
        }
        if (PyRef* object = std::get_if<PyRef>(&*outcome)) return object->release();
        restore_error(std::move(std::get<PyErr>(*outcome)));
        return nullptr;
    } catch (Fault&) {
        raise_fault_and_end_process("uncaught panic at ffi boundary");
    }
    BIO_LET_THREAD_EXIT_PASS
    catch (...) {
        end_process();
    }
}

// The entry of a body that takes the module (the function's self).
template <EntryOutcome (*Body)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&] { return Body(module, args, nargs, kwnames); });
}

// The platform's warning about how it was chosen, as a RuntimeWarning, once per process
// (KeyCredentialPlatform::take_choice_warning); the exception when the program's warning
// filters make it one.
std::optional<PyErr> warn_about_platform_choice();

// The entry of a body that uses the platform: the warning about its choice comes first,
// and a warning made an error stops the call before it does anything.
template <EntryOutcome (*Body)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* platform_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&]() -> EntryOutcome {
        if (std::optional<PyErr> raised = warn_about_platform_choice()) return std::move(*raised);
        return Body(module, args, nargs, kwnames);
    });
}

}  // namespace bio
