#include "module/errors.h"

#include "bio_windows.h"
#include "module/module.h"

namespace bio {
namespace {

constexpr const char* kRequestCancelled = "RequestCancelledError";

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

// A new instance of the exception class `type` with `message`, or the error of making it.
PyResult<PyRef> exception_instance(PyObject* type, const std::string& message) {
    PyRef instance = PyRef::steal(PyObject_CallFunction(type, "s#", message.data(),
                                                        static_cast<Py_ssize_t>(message.size())));
    if (!instance) return fetch_error();
    return instance;
}

// The same of the module's exception class `name`.
PyResult<PyRef> module_exception(PyObject* module, const char* name, const std::string& message) {
    PyRef type = PyRef::steal(PyObject_GetAttrString(module, name));
    if (!type) return fetch_error();
    return exception_instance(type.get(), message);
}

}  // namespace

PyErr operation_failure(std::string_view operation, std::int32_t code) {
    std::string message(operation);
    message += " failed with error code: ";
    message += std::to_string(code);
    return new_error(ErrorKind::OperationFailure, std::move(message));
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

PyResult<PyRef> request_cancelled_error(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (dict == nullptr) return fetch_error();
    PyObject* made_before = PyDict_GetItemString(dict, kRequestCancelled);  // borrowed; sets no error
    if (made_before != nullptr) return PyRef::borrow(made_before);
    PyRef futures = PyRef::steal(PyImport_ImportModule("concurrent.futures"));
    if (!futures) return fetch_error();
    PyRef base = PyRef::steal(PyObject_GetAttrString(futures.get(), "CancelledError"));
    if (!base) return fetch_error();
    PyResult<PyRef> made = new_exception_type(
        "biometric_keys.RequestCancelledError",
        "The program cancelled the request (a CancelToken, or the asyncio task); nothing was created or signed.",
        base.get());
    if (PyErr* err = std::get_if<PyErr>(&made)) return std::move(*err);
    if (PyObject_SetAttrString(module, kRequestCancelled, std::get<PyRef>(made).get()) == -1) return fetch_error();
    return made;
}

PyErr request_cancelled(PyObject* module, const std::string& message) {
    PyResult<PyRef> type = request_cancelled_error(module);
    if (PyErr* err = std::get_if<PyErr>(&type)) return std::move(*err);
    PyResult<PyRef> made = exception_instance(std::get<PyRef>(type).get(), message);
    if (PyErr* err = std::get_if<PyErr>(&made)) return std::move(*err);
    return PyErr::normalized(std::move(std::get<PyRef>(made)));
}


}  // namespace bio
