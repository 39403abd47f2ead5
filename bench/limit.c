/* The limit: what `setup` and `authenticate` cost when they do only their Python-facing
 * work, written by hand against the C API with METH_FASTCALL | METH_KEYWORDS. The same
 * parameters (by position or keyword), the same type checks (str read as UTF-8 in place,
 * bytes and its subclasses only), and the same results: True, or a new list of 256 ints
 * from a fixed signature. Error messages are simpler; the benchmark never raises. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

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
    PyObject *list = PyList_New(256);
    if (list == NULL) return NULL;
    for (Py_ssize_t i = 0; i < 256; ++i) {
        PyObject *item = PyLong_FromLong(signature[i]);
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

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "bench_limit", NULL, -1, methods};

PyMODINIT_FUNC PyInit_bench_limit(void) {
    for (int i = 0; i < 256; ++i) signature[i] = (unsigned char)(i * 7 + 3);
    return PyModule_Create(&module);
}
