// An interpreter for the whole test binary; tests run on its main thread, which holds
// the interpreter lock, and enter the module's code through Entered.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "module/entry.h"
#include "module/py_err.h"

namespace bio::testing {

// What the module's entries do around a call: LockDepth raised, pool drained.
struct Entered {
    EntryLockDepth depth;
};

// The text of str(object).
inline std::string str_of(PyObject* object) {
    PyRef str = PyRef::steal(PyObject_Str(object));
    if (!str) return "<str failed>";
    return PyUnicode_AsUTF8(str.get());
}

// Runs body inside a fault boundary; returns the payload text of a fault, or "" when
// the body completes.
template <class Body>
std::string fault_text(Body&& body) {
    FaultPayload caught;
    if (fault_boundary(std::forward<Body>(body), caught)) return "";
    return std::string(caught.text());
}

}  // namespace bio::testing
