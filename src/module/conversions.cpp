#include "module/conversions.h"

#include <utility>

namespace bio {
namespace {

// A platform signature: RSA-2048, 256 bytes.
constexpr std::size_t kSignatureLength = 256;

// The ints 0..255, made once (under the interpreter lock) and kept for the process:
// CPython's own small ints, which every interpreter shares. Static storage: nothing of
// the module's heap.
PyObject* g_byte_values[256];
bool g_byte_values_made = false;

PyObject* const* byte_values() {
    if (g_byte_values_made) return g_byte_values;
    for (int i = 0; i < 256; ++i) {
        if (g_byte_values[i] != nullptr) continue;
        g_byte_values[i] = PyLong_FromLong(i);
        if (g_byte_values[i] == nullptr) fail_after_api_error();
    }
    g_byte_values_made = true;
    return g_byte_values;
}

// The stable ABI fills a new list only item by item, a call each: a tuple packed in one
// call and copied into the list in another costs less for a signature's 256 items.
template <std::size_t... I>
PyObject* pack_signature(PyObject* const* values, const std::uint8_t* bytes, std::index_sequence<I...>) {
    return PyTuple_Pack(static_cast<Py_ssize_t>(sizeof...(I)), values[bytes[I]]...);
}

}  // namespace

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
    if (consumed.size() == kSignatureLength) {
        PyRef tuple = PyRef::steal(
            pack_signature(byte_values(), consumed.data(), std::make_index_sequence<kSignatureLength>()));
        if (!tuple) fail_after_api_error();
        PyRef list = PyRef::steal(PySequence_List(tuple.get()));
        if (!list) fail_after_api_error();
        return list;
    }
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
