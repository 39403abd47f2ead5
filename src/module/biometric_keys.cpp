// The module biometric_keys: the rest of a credential's life beside biometric's
// enrolment and signing (its public key, its removal, and whether the device supports
// key credentials at all), and the calls of applications, which give up the interpreter
// lock while they wait. This is the native module biometric_keys._native, the package's
// private core; the library's only export is PyInit__native.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <string>

#include "bio_windows.h"
#include "envelope.h"
#include "module/cancel_token.h"
#include "module/conversions.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/request_limits.h"

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

EntryOutcome public_key_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyResult<TextView> key_name = bind_key_name(kPublicKeySpec, args, nargs, kwnames);
    if (PyErr* err = std::get_if<PyErr>(&key_name)) return std::move(*err);

    PublicKeyResult result = read_public_key(default_platform(), std::get<TextView>(key_name));
    if (const auto* code = std::get_if<CredentialErrorCode>(&result)) {
        return credential_failure(module, "Public key retrieval", *code);
    }
    return bytes_from_vector(std::move(std::get<std::vector<std::uint8_t>>(result)));
}

EntryOutcome delete_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyResult<TextView> key_name = bind_key_name(kDeleteSpec, args, nargs, kwnames);
    if (PyErr* err = std::get_if<PyErr>(&key_name)) return std::move(*err);

    if (std::optional<CredentialErrorCode> code = delete_credential(default_platform(), std::get<TextView>(key_name))) {
        return credential_failure(module, "Delete", *code);
    }
    return none_result();
}

EntryOutcome is_supported_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (std::optional<PyErr> err = bind_arguments(kIsSupportedSpec, args, nargs, kwnames, nullptr)) {
        return std::move(*err);
    }
    SupportResult result = check_support(default_platform());
    if (const auto* code = std::get_if<CredentialErrorCode>(&result)) return credential_failure(module, "Support check", *code);
    return bool_result(std::get<bool>(result));
}

constexpr ParameterSpec kPlatformSpec{"platform", nullptr, 0};
constexpr ParameterSpec kAvailabilityReasonSpec{"_availability_reason", nullptr, 0};

EntryOutcome platform_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (std::optional<PyErr> err = bind_arguments(kPlatformSpec, args, nargs, kwnames, nullptr)) return std::move(*err);
    const std::string name(default_platform().platform_name());
    // None is chosen: platform() fails as every other call does, with the reason.
    if (name.empty()) return credential_failure(module, "Platform choice", E_INVALIDARG_CODE);
    return str_result(name.c_str());
}

// For `python -m biometric_keys status`: why availability() answers what it does. It asks
// what availability() asks, holding the interpreter: a command line has nothing else to run.
EntryOutcome availability_reason_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (std::optional<PyErr> err = bind_arguments(kAvailabilityReasonSpec, args, nargs, kwnames, nullptr)) {
        return std::move(*err);
    }
    // Words for a person, which may quote a path in any bytes: what is not UTF-8 is replaced.
    const std::string reason = default_platform().availability_reason();
    PyRef str = PyRef::steal(PyUnicode_DecodeUTF8(reason.data(), static_cast<Py_ssize_t>(reason.size()), "replace"));
    if (!str) return fetch_error();
    return str;
}

// ---- The calls of applications ----

constexpr std::string_view kCreateParameters[] = {"name", "replace", "window", "timeout", "cancel"};
constexpr std::string_view kSignParameters[] = {"key_name", "data", "window", "timeout", "cancel"};
constexpr std::string_view kVerifyParameters[] = {"message", "window", "timeout", "cancel"};
constexpr ParameterSpec kCreateSpec{"create", kCreateParameters, 5, 1, 1};
constexpr ParameterSpec kSignSpec{"sign", kSignParameters, 5, 2, 2};
constexpr ParameterSpec kAvailabilitySpec{"availability", nullptr, 0};
constexpr ParameterSpec kVerifySpec{"verify_user", kVerifyParameters, 4, 1, 1};
constexpr ParameterSpec kAttestationSpec{"attestation", kKeyNameParameter, 1};

constexpr std::size_t kMaxBufferLength = std::numeric_limits<std::uint32_t>::max();

// `replace`: a bool, as biometric reads its arguments: bool itself only.
PyResult<bool> flag_from_object(std::string_view parameter, PyObject* object) {
    if (object == nullptr) return false;
    if (object == Py_True) return true;
    if (object == Py_False) return false;
    return wrap_argument_error(parameter, type_mismatch_error(object, "PyBool"));
}

// The new bytes of a result, or "<operation> failed with error code: N".
auto bytes_or_failure(PyObject* module, std::string_view operation) {
    return [module, operation](std::variant<std::vector<std::uint8_t>, CredentialErrorCode>&& result) -> EntryOutcome {
        if (const auto* code = std::get_if<CredentialErrorCode>(&result)) return credential_failure(module, operation, *code);
        return bytes_from_vector(std::move(std::get<std::vector<std::uint8_t>>(result)));
    };
}

// The name of a UserConsent value, or null for one the table does not know.
const char* consent_name(std::int32_t value, bool verification) {
    switch (value) {
        case UserConsent_Available: return verification ? "verified" : "available";
        case UserConsent_DeviceNotPresent: return "device_not_present";
        case UserConsent_NotConfiguredForUser: return "not_configured_for_user";
        case UserConsent_DisabledByPolicy: return "disabled_by_policy";
        case UserConsent_DeviceBusy: return "device_busy";
        case UserConsent_RetriesExhausted: return verification ? "retries_exhausted" : nullptr;
        case UserConsent_Canceled: return verification ? "canceled" : nullptr;
        default: return nullptr;
    }
}

EntryOutcome consent_result(PyObject* module, std::string_view operation, ConsentResult&& result, bool verification) {
    if (const auto* code = std::get_if<CredentialErrorCode>(&result)) return credential_failure(module, operation, *code);
    const std::int32_t value = std::get<ConsentAnswer>(result).value;
    const char* name = consent_name(value, verification);
    if (name == nullptr) return credential_failure(module, operation, value);
    return str_result(name);
}

EntryOutcome create_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[5] = {};
    if (std::optional<PyErr> err = bind_arguments(kCreateSpec, args, nargs, kwnames, slots)) return std::move(*err);
    PyResult<TextView> name = text_from_object(slots[0]);
    if (PyErr* err = std::get_if<PyErr>(&name)) return wrap_argument_error("name", std::move(*err));
    PyResult<bool> replace = flag_from_object("replace", slots[1]);
    if (PyErr* err = std::get_if<PyErr>(&replace)) return std::move(*err);
    PyResult<WaitArguments> wait = wait_arguments(module, slots[2], slots[3], slots[4]);
    if (PyErr* err = std::get_if<PyErr>(&wait)) return std::move(*err);

    const auto option = std::get<bool>(replace) ? KeyCredentialCreationOption::ReplaceExisting
                                                : KeyCredentialCreationOption::FailIfExists;
    const WaitArguments& limits = std::get<WaitArguments>(wait);
    return run_released(
        module, "Create", default_platform(), limits,
        [&](KeyCredentialPlatform& platform) {
            return create_credential(platform, std::get<TextView>(name), option, limits.window);
        },
        bytes_or_failure(module, "Create"));
}

EntryOutcome sign_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[5] = {};
    if (std::optional<PyErr> err = bind_arguments(kSignSpec, args, nargs, kwnames, slots)) return std::move(*err);
    PyResult<TextView> key_name = text_from_object(slots[0]);
    if (PyErr* err = std::get_if<PyErr>(&key_name)) return wrap_argument_error("key_name", std::move(*err));
    PyResult<ByteView> data = bytes_from_object(slots[1]);
    if (PyErr* err = std::get_if<PyErr>(&data)) return wrap_argument_error("data", std::move(*err));
    // The platform's buffer holds at most 2^32-1 bytes: more is refused before it is asked.
    if (std::get<ByteView>(data).size > kMaxBufferLength) {
        return new_error(ErrorKind::Overflow,
                         "argument 'data': at most " + std::to_string(kMaxBufferLength) + " bytes can be signed");
    }
    // What seal signs is never a signature for anyone else: a server's challenge cannot be
    // the signature that opens an envelope.
    const ByteView bytes = std::get<ByteView>(data);
    if (bytes.size >= kSealPrefix.size() &&
        std::memcmp(bytes.data, kSealPrefix.data(), kSealPrefix.size()) == 0) {
        return value_error("data", "data that begins with b'biometric seal' is signed only to seal and unseal");
    }
    PyResult<WaitArguments> wait = wait_arguments(module, slots[2], slots[3], slots[4]);
    if (PyErr* err = std::get_if<PyErr>(&wait)) return std::move(*err);

    const WaitArguments& limits = std::get<WaitArguments>(wait);
    return run_released(
        module, "Sign", default_platform(), limits,
        [&](KeyCredentialPlatform& platform) {
            return sign_with_credential(platform, std::get<TextView>(key_name), std::get<ByteView>(data),
                                        limits.window);
        },
        bytes_or_failure(module, "Sign"));
}

EntryOutcome availability_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (std::optional<PyErr> err = bind_arguments(kAvailabilitySpec, args, nargs, kwnames, nullptr)) {
        return std::move(*err);
    }
    return run_released(
        module, "Availability check", default_platform(), WaitArguments{},
        [](KeyCredentialPlatform& platform) { return check_availability(platform); },
        [module](ConsentResult&& result) { return consent_result(module, "Availability check", std::move(result), false); });
}

EntryOutcome verify_user_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[4] = {};
    if (std::optional<PyErr> err = bind_arguments(kVerifySpec, args, nargs, kwnames, slots)) return std::move(*err);
    PyResult<TextView> message = text_from_object(slots[0]);
    if (PyErr* err = std::get_if<PyErr>(&message)) return wrap_argument_error("message", std::move(*err));
    PyResult<WaitArguments> wait = wait_arguments(module, slots[1], slots[2], slots[3]);
    if (PyErr* err = std::get_if<PyErr>(&wait)) return std::move(*err);

    const WaitArguments& limits = std::get<WaitArguments>(wait);
    return run_released(
        module, "Verification", default_platform(), limits,
        [&](KeyCredentialPlatform& platform) {
            return verify_consent(platform, std::get<TextView>(message), limits.window);
        },
        [module](ConsentResult&& result) { return consent_result(module, "Verification", std::move(result), true); });
}

const char* attestation_status_name(std::int32_t status) {
    switch (status) {
        case KeyCredentialAttestationStatus_Success: return "success";
        case KeyCredentialAttestationStatus_UnknownError: return "unknown_error";
        case KeyCredentialAttestationStatus_NotSupported: return "not_supported";
        case KeyCredentialAttestationStatus_TemporaryFailure: return "temporary_failure";
        default: return nullptr;
    }
}

EntryOutcome attestation_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyResult<TextView> key_name = bind_key_name(kAttestationSpec, args, nargs, kwnames);
    if (PyErr* err = std::get_if<PyErr>(&key_name)) return std::move(*err);
    return run_released(
        module, "Attestation", default_platform(), WaitArguments{},
        [&](KeyCredentialPlatform& platform) { return read_attestation(platform, std::get<TextView>(key_name)); },
        [module](AttestationOutcome&& result) -> EntryOutcome {
            if (const auto* code = std::get_if<CredentialErrorCode>(&result)) {
                return credential_failure(module, "Attestation", *code);
            }
            KeyAttestation& attestation = std::get<KeyAttestation>(result);
            const char* status = attestation_status_name(attestation.status);
            if (status == nullptr) return credential_failure(module, "Attestation", attestation.status);
            PyRef type = PyRef::steal(PyObject_GetAttrString(module, "Attestation"));
            if (!type) return fetch_error();
            PyRef chain = bytes_from_vector(std::move(attestation.certificate_chain));
            PyRef attested = bytes_from_vector(std::move(attestation.attestation));
            PyRef made = PyRef::steal(PyObject_CallFunction(type.get(), "sOO", status, chain.get(), attested.get()));
            if (!made) return fetch_error();
            return made;
        });
}

constexpr std::string_view kSealParameters[] = {"key_name", "secret", "window", "timeout", "cancel"};
constexpr std::string_view kUnsealParameters[] = {"key_name", "envelope", "window", "timeout", "cancel"};
constexpr ParameterSpec kSealSpec{"seal", kSealParameters, 5, 2, 2};
constexpr ParameterSpec kUnsealSpec{"unseal", kUnsealParameters, 5, 2, 2};

// The arguments of seal and unseal: the name, the bytes (at most `limit` of them), the wait.
struct SealArguments {
    TextView key_name;
    ByteView bytes;
    WaitArguments wait;
};

PyResult<SealArguments> seal_arguments(PyObject* module, const ParameterSpec& spec, std::size_t limit,
                                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[5] = {};
    if (std::optional<PyErr> err = bind_arguments(spec, args, nargs, kwnames, slots)) return std::move(*err);
    PyResult<TextView> key_name = text_from_object(slots[0]);
    if (PyErr* err = std::get_if<PyErr>(&key_name)) return wrap_argument_error("key_name", std::move(*err));
    const std::string_view parameter = spec.parameters[1];
    PyResult<ByteView> bytes = bytes_from_object(slots[1]);
    if (PyErr* err = std::get_if<PyErr>(&bytes)) return wrap_argument_error(parameter, std::move(*err));
    if (std::get<ByteView>(bytes).size > limit) {
        return new_error(ErrorKind::Overflow, "argument '" + std::string(parameter) + "': at most " +
                                                  std::to_string(limit) + " bytes");
    }
    PyResult<WaitArguments> wait = wait_arguments(module, slots[2], slots[3], slots[4]);
    if (PyErr* err = std::get_if<PyErr>(&wait)) return std::move(*err);
    return SealArguments{std::get<TextView>(key_name), std::get<ByteView>(bytes), std::get<WaitArguments>(wait)};
}

// An envelope, like the platform's buffers, is at most 2^32-1 bytes.
constexpr std::size_t kMaxEnvelopeLength = kMaxBufferLength;

// A new bytes object of `size` bytes for the call to fill, and where they are: the
// result is written in place, without the lock, and handed out as it is.
PyResult<std::pair<PyRef, std::span<std::uint8_t>>> new_bytes(std::size_t size) {
    PyRef object = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!object) return fetch_error();
    char* data = PyBytes_AsString(object.get());
    if (data == nullptr) return fetch_error();
    return std::pair{std::move(object), std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(data), size)};
}

EntryOutcome seal_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyResult<SealArguments> bound =
        seal_arguments(module, kSealSpec, kMaxEnvelopeLength - kEnvelopeOverhead, args, nargs, kwnames);
    if (PyErr* err = std::get_if<PyErr>(&bound)) return std::move(*err);
    const SealArguments& a = std::get<SealArguments>(bound);
    auto made = new_bytes(envelope_size(a.bytes.size));
    if (PyErr* err = std::get_if<PyErr>(&made)) return std::move(*err);
    auto& [envelope, room] = std::get<0>(made);
    return run_released(
        module, "Seal", default_platform(), a.wait,
        [&](KeyCredentialPlatform& platform) {
            return seal_secret(platform, a.key_name, a.bytes, a.wait.window, room);
        },
        [&](SealOutcome&& result) -> EntryOutcome {
            if (const auto* code = std::get_if<CredentialErrorCode>(&result)) {
                return credential_failure(module, "Seal", *code);
            }
            if (const auto* problem = std::get_if<EnvelopeProblem>(&result)) {
                return module_error(module, "EnvelopeError", problem->message);
            }
            return std::move(envelope);
        });
}

EntryOutcome unseal_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyResult<SealArguments> bound = seal_arguments(module, kUnsealSpec, kMaxEnvelopeLength, args, nargs, kwnames);
    if (PyErr* err = std::get_if<PyErr>(&bound)) return std::move(*err);
    const SealArguments& a = std::get<SealArguments>(bound);
    auto made = new_bytes(secret_size(a.bytes.size));
    if (PyErr* err = std::get_if<PyErr>(&made)) return std::move(*err);
    auto& [secret, room] = std::get<0>(made);
    return run_released(
        module, "Unseal", default_platform(), a.wait,
        [&](KeyCredentialPlatform& platform) {
            return unseal_secret(platform, a.key_name, a.bytes, a.wait.window, room);
        },
        [&](UnsealOutcome&& result) -> EntryOutcome {
            if (const auto* code = std::get_if<CredentialErrorCode>(&result)) {
                return credential_failure(module, "Unseal", *code);
            }
            if (const auto* problem = std::get_if<EnvelopeProblem>(&result)) {
                return module_error(module, "EnvelopeError", problem->message);
            }
            return std::move(secret);
        });
}

constexpr std::string_view kNameParameter[] = {"name"};
constexpr ParameterSpec kGetattrSpec{"__getattr__", kNameParameter, 1};

// The module's __getattr__, which Python asks for a name the module does not have yet:
// RequestCancelledError, made at its first use.
EntryOutcome module_getattr_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (std::optional<PyErr> err = bind_arguments(kGetattrSpec, args, nargs, kwnames, slots)) return std::move(*err);
    if (PyUnicode_Check(slots[0]) && PyUnicode_CompareWithASCIIString(slots[0], "RequestCancelledError") == 0) {
        return request_cancelled_error(module);
    }
    PyErr_Format(PyExc_AttributeError, "module 'biometric_keys._native' has no attribute %R", slots[0]);
    return fetch_error();
}

constexpr FunctionRecord kFunctions[] = {
    {platform_entry<public_key_body>, "public_key", "public_key(key_name)\n--\n\n"},
    {platform_entry<delete_body>, "delete", "delete(key_name)\n--\n\n"},
    {platform_entry<is_supported_body>, "is_supported", "is_supported()\n--\n\n"},
    {platform_entry<platform_body>, "platform", "platform()\n--\n\n"},
    {platform_entry<availability_reason_body>, "_availability_reason", "_availability_reason()\n--\n\n"},
    {platform_entry<create_body>, "create", "create(name, *, replace=False, window=None, timeout=None, cancel=None)\n--\n\n"},
    {platform_entry<sign_body>, "sign", "sign(key_name, data, *, window=None, timeout=None, cancel=None)\n--\n\n"},
    {platform_entry<availability_body>, "availability", "availability()\n--\n\n"},
    {platform_entry<verify_user_body>, "verify_user", "verify_user(message, *, window=None, timeout=None, cancel=None)\n--\n\n"},
    {platform_entry<attestation_body>, "attestation", "attestation(key_name)\n--\n\n"},
    {platform_entry<seal_body>, "seal", "seal(key_name, secret, *, window=None, timeout=None, cancel=None)\n--\n\n"},
    {platform_entry<unseal_body>, "unseal", "unseal(key_name, envelope, *, window=None, timeout=None, cancel=None)\n--\n\n"},
    {entry<module_getattr_body>, "__getattr__", "__getattr__(name)\n--\n\n"},
};

// The package biometric_keys (its __init__.py) re-exports what this module defines, and
// its classes, functions and messages carry the package's name.
constexpr const char* kPublicName = "biometric_keys";
constexpr const char* kModuleDoc =
    "The native core of biometric_keys: import biometric_keys, which re-exports its public names.";

// Attestation(status, certificate_chain, attestation), a named tuple of this module.
std::optional<PyErr> add_attestation_type(PyObject* module) {
    PyRef collections = PyRef::steal(PyImport_ImportModule("collections"));
    if (!collections) return fetch_error();
    PyRef type = PyRef::steal(PyObject_CallMethod(collections.get(), "namedtuple", "s(sss)", "Attestation", "status",
                                                  "certificate_chain", "attestation"));
    if (!type) return fetch_error();
    PyRef module_name = PyRef::steal(PyUnicode_FromString(kPublicName));
    if (!module_name) return fetch_error();
    if (PyObject_SetAttrString(type.get(), "__module__", module_name.get()) == -1) return fetch_error();
    return add_public_attribute(module, "Attestation", type.get());
}

std::optional<PyErr> add_attributes(PyObject* module) {
    if (std::optional<PyErr> err = add_attestation_type(module)) return err;
    if (std::optional<PyErr> err = add_error_classes(module)) return err;
    if (std::optional<PyErr> err = add_cancel_token_type(module)) return err;
    return add_public_name(module, "RequestCancelledError");
}

constexpr ModuleSpec kModule{"biometric_keys._native", kPublicName, kModuleDoc, kFunctions, std::size(kFunctions),
                             add_attributes};

}  // namespace
}  // namespace bio

extern "C" BIO_MODULE_EXPORT PyObject* PyInit__native() { return bio::ModuleDefinition<bio::kModule>::init(); }
