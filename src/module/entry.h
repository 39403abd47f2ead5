// The way in from Python: the entry wrapper every call runs inside, argument binding,
// and the entry points of setup and authenticate.
#pragma once

#include <cstdint>
#include <exception>
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

// RuntimeError("{operation} failed with error code: {code}"): how a platform's refusal
// reaches Python, the code in signed decimal.
PyErr operation_failure(std::string_view operation, std::int32_t code);

using EntryOutcome = PyResult<PyRef>;

// No fault may leave an entry for the interpreter. One that escapes the boundary (on
// entry, or while the error is restored) meets this guard while it unwinds: the guard
// reports "uncaught panic at ffi boundary" and ends the process itself, so that nothing
// but the two reports is written.
class FfiBoundaryTrap {
public:
    FfiBoundaryTrap() noexcept : uncaught_(std::uncaught_exceptions()) {}
    ~FfiBoundaryTrap() {
        if (std::uncaught_exceptions() > uncaught_) {
            raise_fault_and_end_process("uncaught panic at ffi boundary");
        }
    }
    FfiBoundaryTrap(const FfiBoundaryTrap&) = delete;
    FfiBoundaryTrap& operator=(const FfiBoundaryTrap&) = delete;

private:
    int uncaught_;
};

// Runs an entry's body (returning EntryOutcome) and turns its outcome into what the
// interpreter expects: a new reference, or null with the exception set.
template <class Body>
PyObject* run_entry(Body&& body) noexcept {
    try {
        FfiBoundaryTrap trap;
        EntryLockDepth depth;
        std::optional<EntryOutcome> outcome;
        FaultPayload caught;
        auto guarded = [&] { outcome.emplace(body()); };
        if (!fault_boundary([&] { run_in_short_backtrace(guarded); }, caught)) {
            outcome.emplace(error_from_fault(std::move(caught)));
        }
        if (PyRef* object = std::get_if<PyRef>(&*outcome)) return object->release();
        restore_error(std::move(std::get<PyErr>(*outcome)));
        return nullptr;
    } catch (...) {
        // Not reached: the trap ends the process while the fault unwinds. The handler
        // lets the unwinding run the trap at all.
        end_process();
    }
}

PyObject* setup_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* authenticate_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace bio
