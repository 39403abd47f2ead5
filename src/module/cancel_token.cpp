#include "module/cancel_token.h"

#include <new>

#include "module/entry.h"
#include "module/module.h"

namespace bio {
namespace {

struct TokenObject {
    PyObject_HEAD
    std::atomic<bool> cancelled;
};

std::atomic<bool>& token_flag(PyObject* token) { return reinterpret_cast<TokenObject*>(token)->cancelled; }

PyObject* token_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_Size(args) != 0 || (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "CancelToken() takes no arguments");
        return nullptr;
    }
    PyObject* token = PyType_GenericNew(type, args, kwargs);
    if (token != nullptr) new (&token_flag(token)) std::atomic<bool>(false);
    return token;
}

PyObject* token_cancel(PyObject* token, PyObject*) {
    token_flag(token).store(true, std::memory_order_release);
    return Py_NewRef(Py_None);
}

PyObject* token_cancelled(PyObject* token, void*) {
    return PyBool_FromLong(token_flag(token).load(std::memory_order_acquire) ? 1 : 0);
}

PyMethodDef g_token_methods[] = {
    {"cancel", token_cancel, METH_NOARGS,
     "cancel($self, /)\n--\n\nCancels every request made with this token, now and later; never blocks."},
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef g_token_getset[] = {
    {"cancelled", token_cancelled, nullptr, "Whether cancel() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot g_token_slots[] = {
    {Py_tp_doc, const_cast<char*>("CancelToken()\n--\n\nA cancellation handle for the calls that wait for the user: "
                                  "pass it as `cancel`, and cancel() from any thread ends their requests.")},
    {Py_tp_new, reinterpret_cast<void*>(token_new)},
    {Py_tp_methods, g_token_methods},
    {Py_tp_getset, g_token_getset},
    {0, nullptr},
};
PyType_Spec g_token_spec{"biometric_keys.CancelToken", sizeof(TokenObject), 0, Py_TPFLAGS_DEFAULT, g_token_slots};


}  // namespace

std::optional<PyErr> add_cancel_token_type(PyObject* module) {
    PyRef token = PyRef::steal(PyType_FromModuleAndSpec(module, &g_token_spec, nullptr));
    if (!token) return fetch_error();
    return add_public_attribute(module, "CancelToken", token.get());
}

PyResult<const std::atomic<bool>*> cancel_token_flag(PyObject* module, PyObject* object) {
    PyRef type = PyRef::steal(PyObject_GetAttrString(module, "CancelToken"));
    if (!type) return fetch_error();
    if (Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(type.get())) {
        return wrap_argument_error("cancel", type_mismatch_error(object, "CancelToken"));
    }
    return &token_flag(object);
}

}  // namespace bio
