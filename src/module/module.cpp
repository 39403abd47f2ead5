// The module object: built once per process, in the first interpreter whose import succeeds.
#include "module/module.h"

#include "runtime/interrupt.h"

namespace bio {
namespace {

PyRef interned(const char* text) {
    PyRef name = PyRef::steal(PyUnicode_InternFromString(text));
    if (!name) fail_after_api_error();
    return name;
}

std::optional<PyErr> add_to_all(PyObject* module, PyObject* name) {
    PyRef all = PyRef::steal(PyObject_GetAttr(module, interned("__all__").get()));
    if (!all) {
        PyErr err = fetch_error();
        PyRef type = error_type(err);
        if (!PyErr_GivenExceptionMatches(type.get(), PyExc_AttributeError)) return err;
        all = PyRef::steal(PyList_New(0));
        if (!all) fail_after_api_error();
        if (PyObject_SetAttr(module, interned("__all__").get(), all.get()) == -1) return fetch_error();
    }
    if (PyList_Append(all.get(), name) == -1) {
        PyErr err = fetch_error();
        raise_fault("could not append __name__ to __all__: " + error_debug_text(err));
    }
    return std::nullopt;
}

std::optional<PyErr> populate_module(PyObject* module, const ModuleRecord& module_record) {
    for (std::size_t i = 0; i < module_record.function_count; ++i) {
        const FunctionRecord& record = module_record.functions[i];
        PyRef function;
        {
            PyRef module_name = PyRef::steal(PyUnicode_FromString(public_name(module_record)));
            if (!module_name) return fetch_error();
            // The function object may live until the process ends, and with it its
            // definition: kept in the record's static storage (a heap copy that is never
            // freed is lost once the interpreter frees the function at exit).
            PyMethodDef* definition = &module_record.method_definitions[i];
            *definition = PyMethodDef{
                record.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(record.entry)),
                METH_FASTCALL | METH_KEYWORDS, record.doc};
            function = PyRef::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
            if (!function) return fetch_error();
        }
        PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), interned("__name__").get()));
        if (!name) return fetch_error();
        // A private function (its name starts with "_") is not exported.
        if (record.name[0] != '_') {
            if (std::optional<PyErr> err = add_to_all(module, name.get())) return err;
        }
        if (PyObject_SetAttr(module, name.get(), function.get()) == -1) return fetch_error();
    }
    if (module_record.add_attributes != nullptr) return module_record.add_attributes(module);
    return std::nullopt;
}

PyErr refusal(const ModuleRecord& record) {
    return new_error(ErrorKind::RefusedInitialisation,
                     std::string(public_name(record)) +
                         " does not yet support subinterpreters, see README.md#subinterpreters");
}

}  // namespace

std::optional<PyErr> add_public_name(PyObject* module, const char* name) {
    PyRef key = interned(name);
    return add_to_all(module, key.get());
}

std::optional<PyErr> add_public_attribute(PyObject* module, const char* name, PyObject* value) {
    PyRef key = interned(name);
    if (std::optional<PyErr> err = add_to_all(module, key.get())) return err;
    if (PyObject_SetAttr(module, key.get(), value) == -1) return fetch_error();
    return std::nullopt;
}

EntryOutcome obtain_module(ModuleRecord& record) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return fetch_error();
    {
        std::lock_guard<std::mutex> guard(record.lock);
        if (record.interpreter_id != -1 && record.interpreter_id != id) return refusal(record);
        if (record.module != nullptr) return PyRef::borrow(record.module);
    }

    set_module_name(public_name(record));
    set_interrupt_check(signal_handler_raised);
    PyRef module = PyRef::steal(PyModule_Create2(&record.definition, PYTHON_ABI_VERSION));
    if (!module) return fetch_error();
    if (std::optional<PyErr> err = populate_module(module.get(), record)) return std::move(*err);

    std::lock_guard<std::mutex> guard(record.lock);
    // Another interpreter's import may have finished first.
    if (record.interpreter_id != -1 && record.interpreter_id != id) return refusal(record);
    if (record.module == nullptr) {
        // The main interpreter lives as long as the process: its module is kept, so that an
        // import after removal from sys.modules gives the same object. A subinterpreter's
        // import may still be refused by the interpreter (3.12 checks single-phase modules
        // after their init function), and the subinterpreter may end: its module is only
        // borrowed, and forget_module drops it with the ownership.
        record.interpreter_id = id;
        record.module = id == 0 ? module.release() : module.get();
    }
    return PyRef::borrow(record.module);
}

void forget_module(ModuleRecord& record, void* module) noexcept {
    std::lock_guard<std::mutex> guard(record.lock);
    if (record.module != module) return;
    record.module = nullptr;
    record.interpreter_id = -1;
    forget_fault_exception_type();
}

}  // namespace bio
