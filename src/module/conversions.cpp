#include "module/conversions.h"

namespace bio {

PyResult<TextView> text_from_object(PyObject* object) {
    if (!PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_UNICODE_SUBCLASS)) {
        return type_mismatch_error(object, "PyString");
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return fetch_error();
    return TextView(utf8, static_cast<std::size_t>(size));
}

PyResult<ByteView> bytes_from_object(PyObject* object) {
    if (!PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_BYTES_SUBCLASS)) {
        return type_mismatch_error(object, "PyBytes");
    }
    return ByteView{reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(object)),
                    static_cast<std::size_t>(PyBytes_Size(object))};
}

PyRef true_result() { return PyRef::borrow(Py_True); }

PyRef bool_result(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

PyRef none_result() { return PyRef::borrow(Py_None); }

PyRef str_result(const char* text) {
    PyRef str = PyRef::steal(PyUnicode_FromString(text));
    if (!str) fail_after_api_error();
    return str;
}

PyRef bytes_from_vector(std::vector<std::uint8_t>&& bytes) {
    std::vector<std::uint8_t> consumed = std::move(bytes);
    PyRef object = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(consumed.data()),
                                                          static_cast<Py_ssize_t>(consumed.size())));
    if (!object) fail_after_api_error();
    return object;
}

PyRef list_from_bytes(std::vector<std::uint8_t>&& bytes) {
    std::vector<std::uint8_t> consumed = std::move(bytes);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(consumed.size())));
    if (!list) fail_after_api_error();
    for (std::size_t i = 0; i < consumed.size(); ++i) {
        PyObject* item = PyLong_FromLong(consumed[i]);
        if (item == nullptr) fail_after_api_error();
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) == -1) fail_after_api_error();
    }
    return list;
}

}  // namespace bio
