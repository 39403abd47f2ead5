// The module biometric: setup and authenticate. The library's only export is
// PyInit_biometric.
#include <iterator>

#include "bio_windows.h"
#include "module/conversions.h"
#include "module/errors.h"
#include "module/module.h"

namespace bio {
namespace {

constexpr std::string_view kSetupParameters[] = {"name"};
constexpr std::string_view kAuthenticateParameters[] = {"key_name", "data"};
constexpr ParameterSpec kSetupSpec{"setup", kSetupParameters, 1};
constexpr ParameterSpec kAuthenticateSpec{"authenticate", kAuthenticateParameters, 2};

EntryOutcome setup_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (std::optional<PyErr> err = bind_arguments(kSetupSpec, args, nargs, kwnames, slots)) return std::move(*err);

    PyResult<TextView> name = text_from_object(slots[0]);
    if (PyErr* err = std::get_if<PyErr>(&name)) return wrap_argument_error("name", std::move(*err));

    EnrolmentResult result = enrol_credential(default_platform(), std::get<TextView>(name));
    if (const auto* code = std::get_if<CredentialErrorCode>(&result)) {
        return operation_failure("Setup", *code);
    }
    // The encoded public key is not part of setup's result.
    return true_result();
}

EntryOutcome authenticate_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2] = {};
    if (std::optional<PyErr> err = bind_arguments(kAuthenticateSpec, args, nargs, kwnames, slots)) {
        return std::move(*err);
    }

    PyResult<TextView> key_name = text_from_object(slots[0]);
    if (PyErr* err = std::get_if<PyErr>(&key_name)) return wrap_argument_error("key_name", std::move(*err));
    PyResult<ByteView> data = bytes_from_object(slots[1]);
    if (PyErr* err = std::get_if<PyErr>(&data)) return wrap_argument_error("data", std::move(*err));

    SigningResult result = sign_with_credential(default_platform(), std::get<TextView>(key_name),
                                                std::get<ByteView>(data));
    if (const auto* code = std::get_if<CredentialErrorCode>(&result)) {
        return operation_failure("Authentication", *code);
    }
    return list_from_bytes(std::move(std::get<std::vector<std::uint8_t>>(result)));
}

constexpr FunctionRecord kFunctions[] = {
    {platform_entry<setup_body>, "setup", "setup(name)\n--\n\n"},
    {platform_entry<authenticate_body>, "authenticate", "authenticate(key_name, data)\n--\n\n"},
};

#if defined(_WIN32)
constexpr const char* kModuleDoc = "User-verified signing with the platform's key-credential service.";
#else
// There is no such service here: say so where users look first.
constexpr const char* kModuleDoc =
    "Signing with a software stand-in for the platform's key-credential service, which verifies no user.";
#endif

constexpr ModuleSpec kModule{"biometric", nullptr, kModuleDoc, kFunctions, std::size(kFunctions), nullptr};

}  // namespace
}  // namespace bio

extern "C" BIO_MODULE_EXPORT PyObject* PyInit_biometric() { return bio::ModuleDefinition<bio::kModule>::init(); }
