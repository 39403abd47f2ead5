// Argument binding and conversion of setup and authenticate, called as Python calls the
// module's functions (vectorcall with keyword names) in an embedded interpreter: any number of positional arguments and keywords, with any
// names (also ones that are not UTF-8). A call succeeds exactly when a reference binding
// says it should, and fails otherwise with the module's TypeError.
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fake_platform.h"
#include "fuzz_support.h"
#include "module/module.h"

namespace bio {
namespace {
testing::FakePlatform& fake() {
    static auto* platform = new testing::FakePlatform;
    return *platform;
}
}  // namespace
KeyCredentialPlatform& default_platform() { return fake(); }
}  // namespace bio

namespace {

PyObject* g_text = nullptr;
PyObject* g_bytes = nullptr;
PyObject* g_setup = nullptr;
PyObject* g_authenticate = nullptr;

struct Keyword {
    std::string name;  // as given; not always UTF-8
    bool text_value;
};

// The outcome binding and conversion should have: success, or some TypeError.
bool binds(const std::vector<std::string_view>& parameters, const std::vector<bool>& wants_text,
           const std::vector<bool>& positional_text, const std::vector<Keyword>& keywords) {
    if (positional_text.size() > parameters.size()) return false;
    std::vector<int> slots(parameters.size(), -1);  // -1 empty, 0 bytes, 1 str
    for (std::size_t i = 0; i < positional_text.size(); ++i) slots[i] = positional_text[i] ? 1 : 0;
    for (const Keyword& k : keywords) {
        std::size_t p = 0;
        while (p < parameters.size() && parameters[p] != k.name) ++p;
        if (p == parameters.size() || slots[p] != -1) return false;
        slots[p] = k.text_value ? 1 : 0;
    }
    for (std::size_t p = 0; p < parameters.size(); ++p) {
        if (slots[p] != (wants_text[p] ? 1 : 0)) return false;
    }
    return true;
}

}  // namespace

// The interpreter is never finalised, so whatever it holds at exit would be reported as
// leaked; the module's own leaks are the concern of valgrind and the pytest sweeps.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" PyObject* PyInit_biometric();

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Py_InitializeEx(0);
    g_text = PyUnicode_FromString("k");
    g_bytes = PyBytes_FromString("d");
    PyObject* module = PyInit_biometric();
    FUZZ_CHECK(module != nullptr);
    g_setup = PyObject_GetAttrString(module, "setup");
    g_authenticate = PyObject_GetAttrString(module, "authenticate");
    FUZZ_CHECK(g_setup != nullptr && g_authenticate != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const bool setup = (data[0] & 1) != 0;
    const std::size_t nargs = (data[0] >> 1) % 4;
    std::vector<bool> positional_text;
    for (std::size_t i = 0; i < nargs; ++i) positional_text.push_back(((data[1] >> i) & 1) != 0);

    // Keywords: segments separated by 0xFF (never part of UTF-8); a segment's first byte
    // chooses the value, the rest is the name.
    std::vector<Keyword> keywords;
    std::size_t at = 2;
    while (at < size && keywords.size() < 6) {
        std::size_t end = at;
        while (end < size && data[end] != 0xFF) ++end;
        if (end > at) {
            keywords.push_back({std::string(reinterpret_cast<const char*>(data) + at + 1, end - at - 1),
                                (data[at] & 1) != 0});
        }
        at = end + 1;
    }

    PyObject* kwnames = keywords.empty() ? nullptr : PyTuple_New(static_cast<Py_ssize_t>(keywords.size()));
    std::vector<PyObject*> args;
    for (bool text : positional_text) args.push_back(text ? g_text : g_bytes);
    for (std::size_t k = 0; k < keywords.size(); ++k) {
        // Bytes that are not UTF-8 become lone surrogates: a name with no UTF-8 form.
        PyObject* name = PyUnicode_DecodeUTF8(keywords[k].name.data(), static_cast<Py_ssize_t>(keywords[k].name.size()),
                                              "surrogateescape");
        FUZZ_CHECK(name != nullptr);
        PyTuple_SET_ITEM(kwnames, static_cast<Py_ssize_t>(k), name);
        args.push_back(keywords[k].text_value ? g_text : g_bytes);
    }

    PyObject* result = PyObject_Vectorcall(setup ? g_setup : g_authenticate, args.data(), nargs, kwnames);
    const bool expected = setup ? binds({"name"}, {true}, positional_text, keywords)
                                : binds({"key_name", "data"}, {true, false}, positional_text, keywords);
    if (result != nullptr) {
        FUZZ_CHECK(expected);
        FUZZ_CHECK(PyErr_Occurred() == nullptr);
        Py_DECREF(result);
    } else {
        FUZZ_CHECK(!expected);
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        FUZZ_CHECK(type == PyExc_TypeError);
        PyObject* text = PyObject_Str(value);
        FUZZ_CHECK(text != nullptr);
        const std::string_view message = PyUnicode_AsUTF8(text);
        const std::string_view function = setup ? "setup() " : "authenticate() ";
        FUZZ_CHECK(message.substr(0, function.size()) == function || message.substr(0, 10) == "argument '");
        Py_DECREF(text);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
    Py_XDECREF(kwnames);
    bio::fake().trim();
    FUZZ_CHECK(bio::fake().live_objects() == 0);
    return 0;
}
