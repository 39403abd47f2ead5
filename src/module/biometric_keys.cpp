// The module biometric_keys: the rest of a credential's life beside biometric's
// enrolment and signing (its public key, its removal, and whether the device supports
// key credentials at all). The library's only export is PyInit_biometric_keys.
#include <iterator>
#include <string>

#include "bio_windows.h"
#include "module/conversions.h"
#include "module/module.h"

namespace bio {
namespace {

constexpr std::string_view kKeyNameParameter[] = {"key_name"};
constexpr ParameterSpec kPublicKeySpec{"public_key", kKeyNameParameter, 1};
constexpr ParameterSpec kDeleteSpec{"delete", kKeyNameParameter, 1};
constexpr ParameterSpec kIsSupportedSpec{"is_supported", nullptr, 0};

// Binds the one argument `key_name` and converts it to text.
PyResult<TextView> bind_key_name(const ParameterSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (std::optional<PyErr> err = bind_arguments(spec, args, nargs, kwnames, slots)) return std::move(*err);
    PyResult<TextView> key_name = text_from_object(slots[0]);
    if (PyErr* err = std::get_if<PyErr>(&key_name)) return wrap_argument_error("key_name", std::move(*err));
    return key_name;
}

EntryOutcome public_key_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyResult<TextView> key_name = bind_key_name(kPublicKeySpec, args, nargs, kwnames);
    if (PyErr* err = std::get_if<PyErr>(&key_name)) return std::move(*err);

    PublicKeyResult result = read_public_key(default_platform(), std::get<TextView>(key_name));
    if (const auto* code = std::get_if<CredentialErrorCode>(&result)) {
        return operation_failure("Public key retrieval", *code);
    }
    return bytes_from_vector(std::move(std::get<std::vector<std::uint8_t>>(result)));
}

EntryOutcome delete_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyResult<TextView> key_name = bind_key_name(kDeleteSpec, args, nargs, kwnames);
    if (PyErr* err = std::get_if<PyErr>(&key_name)) return std::move(*err);

    if (std::optional<CredentialErrorCode> code = delete_credential(default_platform(), std::get<TextView>(key_name))) {
        return operation_failure("Delete", *code);
    }
    return none_result();
}

EntryOutcome is_supported_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (std::optional<PyErr> err = bind_arguments(kIsSupportedSpec, args, nargs, kwnames, nullptr)) {
        return std::move(*err);
    }
    SupportResult result = check_support(default_platform());
    if (const auto* code = std::get_if<CredentialErrorCode>(&result)) return operation_failure("Support check", *code);
    return bool_result(std::get<bool>(result));
}

PyObject* public_key_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&] { return public_key_body(args, nargs, kwnames); });
}

PyObject* delete_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&] { return delete_body(args, nargs, kwnames); });
}

PyObject* is_supported_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&] { return is_supported_body(args, nargs, kwnames); });
}

const FunctionRecord kFunctions[] = {
    {public_key_entry, "public_key", "public_key(key_name)\n--\n\n"},
    {delete_entry, "delete", "delete(key_name)\n--\n\n"},
    {is_supported_entry, "is_supported", "is_supported()\n--\n\n"},
};

#if defined(_WIN32)
constexpr const char* kModuleDoc =
    "Public keys, removal and the support check for the platform's key credentials.";
#else
constexpr const char* kModuleDoc =
    "Public keys, removal and the support check for the key credentials of a software stand-in for the "
    "platform's key-credential service, which verifies no user.";
#endif

PyMethodDef g_method_definitions[std::size(kFunctions)];

extern ModuleRecord g_record;
void free_module(void* module) { forget_module(g_record, module); }

ModuleRecord g_record{
    kFunctions,
    std::size(kFunctions),
    g_method_definitions,
    {PyModuleDef_HEAD_INIT, "biometric_keys", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, free_module},
};

}  // namespace
}  // namespace bio

extern "C" BIO_MODULE_EXPORT PyObject* PyInit_biometric_keys() {
    return bio::run_entry([] { return bio::obtain_module(bio::g_record); });
}
