/* The limit: what `setup` and `authenticate` cost when they do only their Python-facing
 * work, written by hand against the C API with METH_FASTCALL | METH_KEYWORDS. The same
 * parameters (by position or keyword), the same type checks (str read as UTF-8 in place,
 * bytes and its subclasses only), and the same results: True, or a new list of 256 ints
 * from a fixed signature. Error messages are simpler; the benchmark never raises.
 *
 * Built as C++ with BENCH_CALL_SERVICE (limit_service.cpp), the same functions also call
 * the key-credential service on the instant platform, as biometric's do, and build the
 * list from the signature it returns: the limit for a module that calls the service. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

#if defined(BENCH_CALL_SERVICE)
#include <string>
#include <variant>
#include <vector>

#include "bio_windows.h"
#endif

#ifndef BENCH_LIMIT_NAME
#define BENCH_LIMIT_NAME bench_limit
#endif
#define BENCH_TEXT(name) BENCH_TEXT_OF(name)
#define BENCH_TEXT_OF(name) #name
#define BENCH_INIT(name) BENCH_INIT_OF(name)
#define BENCH_INIT_OF(name) PyInit_##name

static unsigned char signature[256];

/* Binds positional and keyword arguments to `count` parameters named in `names`. */
static int bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, const char *const *names,
                Py_ssize_t count, PyObject **slots) {
    if (nargs > count) {
        PyErr_SetString(PyExc_TypeError, "too many positional arguments");
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) slots[i] = i < nargs ? args[i] : NULL;
    if (kwnames != NULL) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            Py_ssize_t length = 0;
            const char *keyword = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(kwnames, k), &length);
            Py_ssize_t i = 0;
            while (i < count && !(keyword != NULL && (size_t)length == strlen(names[i]) &&
                                  memcmp(keyword, names[i], (size_t)length) == 0)) {
                ++i;
            }
            if (i == count || slots[i] != NULL) {
                PyErr_SetString(PyExc_TypeError, "unexpected or repeated keyword argument");
                return -1;
            }
            slots[i] = args[nargs + k];
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (slots[i] == NULL) {
            PyErr_SetString(PyExc_TypeError, "missing argument");
            return -1;
        }
    }
    return 0;
}

static int text_of(PyObject *object, const char **text, Py_ssize_t *size) {
    if (!PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "expected str");
        return -1;
    }
    *text = PyUnicode_AsUTF8AndSize(object, size);
    return *text == NULL ? -1 : 0;
}

static PyObject *limit_setup(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"name"};
    PyObject *slots[1];
    const char *name;
    Py_ssize_t name_size;
    (void)self;
    if (bind(args, nargs, kwnames, names, 1, slots) < 0 || text_of(slots[0], &name, &name_size) < 0) return NULL;
#if defined(BENCH_CALL_SERVICE)
    bio::EnrolmentResult result =
        bio::enrol_credential(bio::default_platform(), std::string_view(name, (size_t)name_size));
    if (const bio::CredentialErrorCode *code = std::get_if<bio::CredentialErrorCode>(&result)) {
        PyErr_Format(PyExc_RuntimeError, "Setup failed with error code: %d", (int)*code);
        return NULL;
    }
#endif
    Py_RETURN_TRUE;
}

static PyObject *limit_authenticate(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"key_name", "data"};
    PyObject *slots[2];
    const char *key_name;
    Py_ssize_t key_name_size;
    (void)self;
    if (bind(args, nargs, kwnames, names, 2, slots) < 0 || text_of(slots[0], &key_name, &key_name_size) < 0) {
        return NULL;
    }
    if (!PyBytes_Check(slots[1])) {
        PyErr_SetString(PyExc_TypeError, "expected bytes");
        return NULL;
    }
#if defined(BENCH_CALL_SERVICE)
    bio::SigningResult result = bio::sign_with_credential(
        bio::default_platform(), std::string_view(key_name, (size_t)key_name_size),
        bio::ByteView{(const std::uint8_t *)PyBytes_AS_STRING(slots[1]), (size_t)PyBytes_GET_SIZE(slots[1])});
    if (const bio::CredentialErrorCode *code = std::get_if<bio::CredentialErrorCode>(&result)) {
        PyErr_Format(PyExc_RuntimeError, "Authentication failed with error code: %d", (int)*code);
        return NULL;
    }
    const std::vector<std::uint8_t> &bytes = std::get<std::vector<std::uint8_t>>(result);
    const unsigned char *source = bytes.data();
    const Py_ssize_t size = (Py_ssize_t)bytes.size();
#else
    const unsigned char *source = signature;
    const Py_ssize_t size = 256;
#endif
    PyObject *list = PyList_New(size);
    if (list == NULL) return NULL;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject *item = PyLong_FromLong(source[i]);
        if (item == NULL) {
            Py_DECREF(list);
            return NULL;
        }
        PyList_SET_ITEM(list, i, item);
    }
    return list;
}

static PyMethodDef methods[] = {
    {"setup", (PyCFunction)(void (*)(void))limit_setup, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"authenticate", (PyCFunction)(void (*)(void))limit_authenticate, METH_FASTCALL | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, BENCH_TEXT(BENCH_LIMIT_NAME), NULL, -1, methods};

PyMODINIT_FUNC BENCH_INIT(BENCH_LIMIT_NAME)(void) {
    for (int i = 0; i < 256; ++i) signature[i] = (unsigned char)(i * 7 + 3);
    return PyModule_Create(&module);
}
