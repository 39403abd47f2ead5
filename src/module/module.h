// Module definition: each module library's only export is its init function, which
// builds the module once per process from a ModuleRecord.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "module/entry.h"

#if defined(_WIN32)
#define BIO_MODULE_EXPORT __declspec(dllexport)
#else
#define BIO_MODULE_EXPORT __attribute__((visibility("default")))
#endif

namespace bio {

// One function of a module. Its docstring is only a text signature, so the interpreter
// reports __text_signature__ and a __doc__ of None.
struct FunctionRecord {
    PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    const char* name;
    const char* doc;
};

struct ModuleRecord {
    // Added in this order, each also to __all__.
    const FunctionRecord* functions;
    std::size_t function_count;
    PyMethodDef* method_definitions;  // static storage for function_count definitions
    PyModuleDef definition;
    std::atomic<std::int64_t> interpreter_id{-1};
    PyObject* module = nullptr;  // filled once, under the interpreter lock; never released
};

// A new reference to the record's module, built on the first call in the first
// interpreter; other interpreters are refused.
EntryOutcome obtain_module(ModuleRecord& record);

}  // namespace bio
