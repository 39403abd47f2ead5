// Module definition: each module library's only export is its init function, which
// builds the module once per process from a ModuleRecord.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

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
    // Adds the module's other attributes (after its functions, each also to __all__); null
    // for none.
    std::optional<PyErr> (*add_attributes)(PyObject* module);
    PyModuleDef definition;  // its m_free calls forget_module for this record
    // The name that Python code knows the module's functions and texts by, where the
    // native module is the private core of a package (m_name "pkg._native"); null: m_name.
    const char* public_name = nullptr;
    // The owner: the interpreter whose import built `module`, and that module. Interpreters
    // with their own lock may import at the same time, hence the mutex.
    std::mutex lock{};
    std::int64_t interpreter_id = -1;
    PyObject* module = nullptr;
};

// The name the record's functions, classes and messages carry.
inline const char* public_name(const ModuleRecord& record) {
    return record.public_name != nullptr ? record.public_name : record.definition.m_name;
}

// Adds `value` to `module` under `name`, and the name to __all__.
std::optional<PyErr> add_public_attribute(PyObject* module, const char* name, PyObject* value);
// Only the name, for an attribute that the module's __getattr__ makes when first asked.
std::optional<PyErr> add_public_name(PyObject* module, const char* name);

// A new reference to the record's module, built on the first call in the owning
// interpreter; other interpreters are refused while the owner's module lives.
EntryOutcome obtain_module(ModuleRecord& record);

// The module's m_free: a module that the interpreter frees (a subinterpreter's, when its
// import was refused after the init function ran or when the subinterpreter ends) gives
// up the ownership, and nothing of that interpreter is kept.
void forget_module(ModuleRecord& record, void* module) noexcept;

// What a module library defines of its module; everything else of the definition is
// ModuleDefinition's.
struct ModuleSpec {
    const char* name;         // m_name
    const char* public_name;  // null: m_name (ModuleRecord::public_name)
    const char* doc;
    const FunctionRecord* functions;
    std::size_t function_count;
    std::optional<PyErr> (*add_attributes)(PyObject* module);  // null for none
};

// The module of a library, one per spec: its record, in static storage, and the body of
// its init function. A library's only export is then
//     extern "C" BIO_MODULE_EXPORT PyObject* PyInit_<name>() { return ModuleDefinition<kSpec>::init(); }
template <const ModuleSpec& Spec>
class ModuleDefinition {
public:
    static PyObject* init() {
        return run_entry([] { return obtain_module(record_); });
    }

private:
    static void free(void* module) { forget_module(record_, module); }

    static inline PyMethodDef method_definitions_[Spec.function_count]{};
    static inline ModuleRecord record_{
        Spec.functions,
        Spec.function_count,
        method_definitions_,
        Spec.add_attributes,
        {PyModuleDef_HEAD_INIT, Spec.name, Spec.doc, 0, nullptr, nullptr, nullptr, nullptr, &free},
        Spec.public_name,
    };
};

}  // namespace bio
