// The module object: built once per process, in the first interpreter that imports it.
#include "module/module.h"

namespace bio {
namespace {

// An interned attribute name, made on first use and kept until the process ends.
PyObject* interned(PyObject*& cell, std::string_view text) {
    if (cell != nullptr) return cell;
    PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (name == nullptr) fail_after_api_error();
    PyUnicode_InternInPlace(&name);
    if (name == nullptr) fail_after_api_error();
    PyRef made = PyRef::steal(name);
    if (cell == nullptr) cell = made.release();
    return cell;
}

PyObject* g_all_name = nullptr;
PyObject* g_name_name = nullptr;

std::optional<PyErr> add_to_all(PyObject* module, PyObject* name) {
    PyRef all = PyRef::steal(PyObject_GetAttr(module, interned(g_all_name, "__all__")));
    if (!all) {
        PyErr err = fetch_error();
        PyRef type = error_type(err);
        if (!PyErr_GivenExceptionMatches(type.get(), PyExc_AttributeError)) return err;
        all = PyRef::steal(PyList_New(0));
        if (!all) fail_after_api_error();
        if (PyObject_SetAttr(module, interned(g_all_name, "__all__"), all.get()) == -1) return fetch_error();
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
            PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
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
        PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), interned(g_name_name, "__name__")));
        if (!name) return fetch_error();
        if (std::optional<PyErr> err = add_to_all(module, name.get())) return err;
        if (PyObject_SetAttr(module, name.get(), function.get()) == -1) return fetch_error();
    }
    return std::nullopt;
}

}  // namespace

EntryOutcome obtain_module(ModuleRecord& record) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return fetch_error();
    std::int64_t expected = -1;
    if (!record.interpreter_id.compare_exchange_strong(expected, id, std::memory_order_seq_cst) &&
        expected != id) {
        return new_error(ErrorKind::RefusedInitialisation,
                         std::string(record.definition.m_name) +
                             " does not yet support subinterpreters, see README.md#subinterpreters");
    }
    if (record.module != nullptr) return PyRef::borrow(record.module);

    PyRef module = PyRef::steal(PyModule_Create2(&record.definition, 1013));
    if (!module) return fetch_error();
    if (std::optional<PyErr> err = populate_module(module.get(), record)) return std::move(*err);
    if (record.module == nullptr) record.module = module.release();
    return PyRef::borrow(record.module);
}

}  // namespace bio
