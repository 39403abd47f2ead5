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
#include "module/conversions.h"
#include "module/module.h"
#include "runtime/environment.h"
#include "runtime/interrupt.h"

namespace bio {
namespace {

constexpr std::string_view kKeyNameParameter[] = {"key_name"};
constexpr ParameterSpec kPublicKeySpec{"public_key", kKeyNameParameter, 1};
constexpr ParameterSpec kDeleteSpec{"delete", kKeyNameParameter, 1};
constexpr ParameterSpec kIsSupportedSpec{"is_supported", nullptr, 0};

// The exception classes of platform failures, by the code they stand for; any other code
// is the base class, KeyCredentialError.
struct ErrorClass {
    const char* name;
    std::int32_t code;  // 0: the base
    const char* doc;
};
constexpr ErrorClass kErrorClasses[] = {
    {"KeyCredentialError", 0,
     "A request the platform refused or that failed on the way; `code` is the signed code the message ends "
     "in: a KeyCredentialStatus, an HRESULT, or 0 for a call that yielded no object."},
    {"CredentialNotFoundError", KeyCredentialStatus_NotFound, "No credential of that name (2, NotFound)."},
    {"UserCanceledError", KeyCredentialStatus_UserCanceled, "The user cancelled the prompt (3, UserCanceled)."},
    {"UserPrefersPasswordError", KeyCredentialStatus_UserPrefersPassword,
     "The user chose a password instead (4, UserPrefersPassword)."},
    {"CredentialExistsError", KeyCredentialStatus_CredentialAlreadyExists,
     "A credential of that name exists already (5, CredentialAlreadyExists)."},
    {"SecurityDeviceLockedError", KeyCredentialStatus_SecurityDeviceLocked,
     "The security device is locked (6, SecurityDeviceLocked)."},
};

// "<operation> failed with error code: N" as the module's class for the code, with the
// code as its attribute `code`.
// A new instance of the module's exception class `name` with `message`, or the error of
// making it.
PyResult<PyRef> module_exception(PyObject* module, const char* name, const std::string& message) {
    PyRef type = PyRef::steal(PyObject_GetAttrString(module, name));
    if (!type) return fetch_error();
    PyRef instance = PyRef::steal(PyObject_CallFunction(type.get(), "s#", message.data(),
                                                        static_cast<Py_ssize_t>(message.size())));
    if (!instance) return fetch_error();
    return instance;
}

PyErr credential_failure(PyObject* module, std::string_view operation, std::int32_t code) {
    const char* name = kErrorClasses[0].name;
    for (const ErrorClass& error_class : kErrorClasses) {
        if (error_class.code == code && code != 0) name = error_class.name;
    }
    // A platform that is none says why with every failure (what a setting that names no
    // platform gets); the message still ends in the code.
    std::string message(default_platform().unusable_reason());
    if (!message.empty()) message += ". ";
    message += std::string(operation) + " failed with error code: " + std::to_string(code);
    PyResult<PyRef> made = module_exception(module, name, message);
    if (PyErr* err = std::get_if<PyErr>(&made)) return std::move(*err);
    PyRef& instance = std::get<PyRef>(made);
    PyRef code_object = PyRef::steal(PyLong_FromLong(code));
    if (!code_object || PyObject_SetAttrString(instance.get(), "code", code_object.get()) == -1) return fetch_error();
    // What the platform said of the failure (the store names a directory it refuses and
    // why) as a note, which a traceback shows under the message; not twice.
    if (const std::string text = take_failure_text(code); !text.empty() && message.find(text) == std::string::npos) {
        PyRef note = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
        if (!note) return fetch_error();
        PyRef added = PyRef::steal(PyObject_CallMethod(instance.get(), "add_note", "O", note.get()));
        if (!added) return fetch_error();
    }
    return PyErr::normalized(std::move(instance));
}

// The module's `name` with `message` as the error a call returns.
PyErr module_error(PyObject* module, const char* name, const std::string& message) {
    PyResult<PyRef> made = module_exception(module, name, message);
    if (PyErr* err = std::get_if<PyErr>(&made)) return std::move(*err);
    return PyErr::normalized(std::move(std::get<PyRef>(made)));
}

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

bool given(PyObject* object) { return object != nullptr && object != Py_None; }

PyErr value_error(std::string_view parameter, std::string_view text) {
    std::string message = "argument '";
    message += parameter;
    message += "': ";
    message += text;
    return new_error(ErrorKind::ValueError, std::move(message));
}

// `window`: None, or a non-negative int (a window handle).
PyResult<WindowHandle> window_from_object(PyObject* object) {
    if (!given(object)) return WindowHandle{0};
    // A bool is an int to Python, but never a window.
    if (PyBool_Check(object)) {
        return wrap_argument_error("window", new_error(ErrorKind::ArgumentError,
                                                       "'bool' object cannot be interpreted as an integer"));
    }
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return wrap_argument_error("window", fetch_error());
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && overflow == 0 && PyErr_Occurred() != nullptr) return fetch_error();
    if (overflow > 0) return value_error("window", "not a window handle");
    if (overflow < 0 || value < 0) return value_error("window", "a window handle is not negative");
    return static_cast<WindowHandle>(value);
}

// `timeout`: None, or a non-negative finite number of seconds.
PyResult<std::optional<std::chrono::steady_clock::time_point>> deadline_from_object(PyObject* object) {
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;
    if (!given(object)) return Deadline();
    if (PyBool_Check(object)) {
        return wrap_argument_error("timeout", new_error(ErrorKind::ArgumentError, "must be real number, not bool"));
    }
    constexpr std::string_view kNotSeconds = "must be a non-negative, finite number of seconds";
    const double seconds = PyFloat_AsDouble(object);
    if (seconds == -1.0 && PyErr_Occurred() != nullptr) {
        PyErr err = fetch_error();
        // An int too large for a float is as infinite as inf.
        if (PyErr_GivenExceptionMatches(error_type(err).get(), PyExc_OverflowError)) {
            return value_error("timeout", kNotSeconds);
        }
        return wrap_argument_error("timeout", std::move(err));
    }
    if (!std::isfinite(seconds) || seconds < 0) return value_error("timeout", kNotSeconds);
    // Beyond a year is as good as no limit, and keeps the arithmetic in range.
    if (seconds > 365.0 * 24 * 3600) return Deadline();
    return Deadline(std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(seconds)));
}

// `replace`: a bool, as biometric reads its arguments: bool itself only.
PyResult<bool> flag_from_object(std::string_view parameter, PyObject* object) {
    if (object == nullptr) return false;
    if (object == Py_True) return true;
    if (object == Py_False) return false;
    return wrap_argument_error(parameter, type_mismatch_error(object, "PyBool"));
}

// The `window` and `timeout` that the waiting calls take.
// CancelToken: a flag that the program sets with cancel() (from any thread, a signal
// handler included: one atomic store) and that the waits beneath a call read between
// their slices. The call holds a reference to the token while it waits.
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

// The `window`, `timeout` and `cancel` that the waiting calls take.
struct WaitArguments {
    WindowHandle window = 0;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    const std::atomic<bool>* cancelled = nullptr;  // the token's flag
};

// `cancel`: None, or the module's CancelToken.
PyResult<const std::atomic<bool>*> token_from_object(PyObject* module, PyObject* object) {
    if (!given(object)) return static_cast<const std::atomic<bool>*>(nullptr);
    PyRef type = PyRef::steal(PyObject_GetAttrString(module, "CancelToken"));
    if (!type) return fetch_error();
    if (Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(type.get())) {
        return wrap_argument_error("cancel", type_mismatch_error(object, "CancelToken"));
    }
    return &token_flag(object);
}

PyResult<WaitArguments> wait_arguments(PyObject* module, PyObject* window_object, PyObject* timeout_object,
                                       PyObject* cancel_object) {
    PyResult<WindowHandle> window = window_from_object(window_object);
    if (PyErr* err = std::get_if<PyErr>(&window)) return std::move(*err);
    auto deadline = deadline_from_object(timeout_object);
    if (PyErr* err = std::get_if<PyErr>(&deadline)) return std::move(*err);
    auto cancelled = token_from_object(module, cancel_object);
    if (PyErr* err = std::get_if<PyErr>(&cancelled)) return std::move(*err);
    return WaitArguments{std::get<WindowHandle>(window), std::get<0>(deadline), std::get<0>(cancelled)};
}

// The new bytes of a result, or "<operation> failed with error code: N".
auto bytes_or_failure(PyObject* module, std::string_view operation) {
    return [module, operation](std::variant<std::vector<std::uint8_t>, CredentialErrorCode>&& result) -> EntryOutcome {
        if (const auto* code = std::get_if<CredentialErrorCode>(&result)) return credential_failure(module, operation, *code);
        return bytes_from_vector(std::move(std::get<std::vector<std::uint8_t>>(result)));
    };
}

// Whether a request's result says it took effect: a credential made, a signature, an
// answer other than the cancel a cancelled verification ends with.
bool took_effect(const std::variant<std::vector<std::uint8_t>, CredentialErrorCode>& result) {
    return result.index() == 0;
}
bool took_effect(const ConsentResult& result) {
    const auto* answer = std::get_if<ConsentAnswer>(&result);
    return answer != nullptr && answer->value != UserConsent_Canceled;
}
bool took_effect(const AttestationOutcome& result) { return result.index() == 0; }
bool took_effect(const EnvelopeOutcome& result) { return result.index() == 0; }

// Runs `request` on `platform` without the interpreter lock, under the deadline and the token, with the
// platform's settings read from the environment before the lock is given up.
//
// A cancelled request has changed nothing, or the call returns its result: when Ctrl-C
// (a signal handler that raised), the program's token or the deadline ended a wait, and
// the request did not take effect, the call raises the handler's exception,
// RequestCancelledError "<operation> cancelled" or TimeoutError "<operation> timed out". A request that took effect all the same returns its result through `finish`, and
// the handler's exception is raised by the interpreter right after the call. Nothing is
// asked once the request has returned.
template <class Request, class Finish>
EntryOutcome run_released(PyObject* module, std::string_view operation, KeyCredentialPlatform& platform,
                          const WaitArguments& wait, Request&& request, Finish&& finish) {
    // A token cancelled already: nothing is asked.
    if (wait.cancelled != nullptr && wait.cancelled->load(std::memory_order_acquire)) {
        return module_error(module, "RequestCancelledError", std::string(operation) + " cancelled");
    }
    std::optional<decltype(request(platform))> result;
    WaitVerdict verdict = WaitVerdict::Continue;
    {
        RequestEnvironment environment(platform.environment_variables());
        RequestLimits limits(wait.deadline, wait.cancelled);
        AllowThreads released;
        result.emplace(request(platform));
        verdict = limits.verdict();
    }
    if (verdict != WaitVerdict::Continue && !took_effect(*result)) {
        if (std::optional<PyErr> interruption = take_interruption()) return std::move(*interruption);
        if (verdict == WaitVerdict::TimedOut) return new_error(ErrorKind::TimedOut, std::string(operation) + " timed out");
        if (verdict == WaitVerdict::Cancelled) return module_error(module, "RequestCancelledError", std::string(operation) + " cancelled");
    }
    // The handler's exception, if any, follows the result (run_entry).
    return finish(std::move(*result));
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

// The entry of a body: the module is the function's self.
template <EntryOutcome (*Body)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&] { return Body(module, args, nargs, kwnames); });
}

const FunctionRecord kFunctions[] = {
    {entry<public_key_body>, "public_key", "public_key(key_name)\n--\n\n"},
    {entry<delete_body>, "delete", "delete(key_name)\n--\n\n"},
    {entry<is_supported_body>, "is_supported", "is_supported()\n--\n\n"},
    {entry<platform_body>, "platform", "platform()\n--\n\n"},
    {entry<availability_reason_body>, "_availability_reason", "_availability_reason()\n--\n\n"},
    {entry<create_body>, "create", "create(name, *, replace=False, window=None, timeout=None, cancel=None)\n--\n\n"},
    {entry<sign_body>, "sign", "sign(key_name, data, *, window=None, timeout=None, cancel=None)\n--\n\n"},
    {entry<availability_body>, "availability", "availability()\n--\n\n"},
    {entry<verify_user_body>, "verify_user", "verify_user(message, *, window=None, timeout=None, cancel=None)\n--\n\n"},
    {entry<attestation_body>, "attestation", "attestation(key_name)\n--\n\n"},
    {entry<seal_body>, "seal", "seal(key_name, secret, *, window=None, timeout=None, cancel=None)\n--\n\n"},
    {entry<unseal_body>, "unseal", "unseal(key_name, envelope, *, window=None, timeout=None, cancel=None)\n--\n\n"},
};

// The package biometric_keys (its __init__.py) re-exports what this module defines, and
// its classes, functions and messages carry the package's name.
constexpr const char* kPublicName = "biometric_keys";
constexpr const char* kModuleDoc =
    "The native core of biometric_keys: import biometric_keys, which re-exports its public names.";

PyMethodDef g_method_definitions[std::size(kFunctions)];

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

// The exception classes: KeyCredentialError(RuntimeError) and its subclasses by code,
// whose `code` is 0 until an instance has its own; EnvelopeError(ValueError).
std::optional<PyErr> add_error_classes(PyObject* module) {
    PyRef base;
    for (const ErrorClass& error_class : kErrorClasses) {
        const std::string name = std::string("biometric_keys.") + error_class.name;
        PyResult<PyRef> made = new_exception_type(name, error_class.doc, base ? base.get() : PyExc_RuntimeError);
        if (PyErr* err = std::get_if<PyErr>(&made)) return std::move(*err);
        PyRef& type = std::get<PyRef>(made);
        PyRef zero = PyRef::steal(PyLong_FromLong(0));
        if (!zero || PyObject_SetAttrString(type.get(), "code", zero.get()) == -1) return fetch_error();
        if (std::optional<PyErr> err = add_public_attribute(module, error_class.name, type.get())) return err;
        if (!base) base = std::move(type);
    }
    PyResult<PyRef> envelope = new_exception_type(
        "biometric_keys.EnvelopeError",
        "An envelope that unseal cannot open: not an envelope, of an unknown version, sealed with another "
        "credential than the name has now, or damaged.",
        PyExc_ValueError);
    if (PyErr* err = std::get_if<PyErr>(&envelope)) return std::move(*err);
    return add_public_attribute(module, "EnvelopeError", std::get<PyRef>(envelope).get());
}

// CancelToken, and RequestCancelledError, a concurrent.futures.CancelledError: the
// program cancelled, not the user.
std::optional<PyErr> add_cancellation(PyObject* module) {
    PyRef token = PyRef::steal(PyType_FromModuleAndSpec(module, &g_token_spec, nullptr));
    if (!token) return fetch_error();
    if (std::optional<PyErr> err = add_public_attribute(module, "CancelToken", token.get())) return err;
    PyRef futures = PyRef::steal(PyImport_ImportModule("concurrent.futures"));
    if (!futures) return fetch_error();
    PyRef base = PyRef::steal(PyObject_GetAttrString(futures.get(), "CancelledError"));
    if (!base) return fetch_error();
    PyResult<PyRef> made = new_exception_type(
        "biometric_keys.RequestCancelledError",
        "The program cancelled the request (a CancelToken, or the asyncio task); nothing was created or signed.",
        base.get());
    if (PyErr* err = std::get_if<PyErr>(&made)) return std::move(*err);
    return add_public_attribute(module, "RequestCancelledError", std::get<PyRef>(made).get());
}

std::optional<PyErr> add_attributes(PyObject* module) {
    if (std::optional<PyErr> err = add_attestation_type(module)) return err;
    if (std::optional<PyErr> err = add_error_classes(module)) return err;
    return add_cancellation(module);
}

extern ModuleRecord g_record;
void free_module(void* module) { forget_module(g_record, module); }

ModuleRecord g_record{
    kFunctions,
    std::size(kFunctions),
    g_method_definitions,
    add_attributes,
    {PyModuleDef_HEAD_INIT, "biometric_keys._native", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, free_module},
    kPublicName,
};

}  // namespace
}  // namespace bio

extern "C" BIO_MODULE_EXPORT PyObject* PyInit__native() {
    return bio::run_entry([] { return bio::obtain_module(bio::g_record); });
}
