#include "module/py_err.h"

#include <cstring>

#include "runtime/stderr_writer.h"

namespace bio {
namespace {

PyObject* exception_type_of(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::OperationFailure: return PyExc_RuntimeError;
        case ErrorKind::ArgumentError: return PyExc_TypeError;
        case ErrorKind::MissingException: return PyExc_SystemError;
        case ErrorKind::RefusedInitialisation: return PyExc_ImportError;
        case ErrorKind::ValueError: return PyExc_ValueError;
        case ErrorKind::TimedOut: return PyExc_TimeoutError;
        case ErrorKind::Overflow: return PyExc_OverflowError;
        case ErrorKind::Fault: return fault_exception_type();
    }
    return PyExc_SystemError;
}

PyRef new_str(std::string_view text) {
    PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (str == nullptr) fail_after_api_error();
    return PyRef::steal(str);
}

// Owned or static text; the argument is the str, or a 1-tuple of it for a fault.
class TextProducer final : public ErrorProducer {
public:
    TextProducer(ErrorKind kind, std::string owned) : kind_(kind), owned_(std::move(owned)), text_(owned_) {}
    TextProducer(ErrorKind kind, std::string_view static_text) : kind_(kind), text_(static_text) {}

    Produced produce() override {
        PyRef type = PyRef::borrow(exception_type_of(kind_));
        PyRef str = new_str(text_);
        if (kind_ != ErrorKind::Fault) return {std::move(type), std::move(str)};
        PyObject* tuple = PyTuple_New(1);
        if (tuple == nullptr) fail_after_api_error();
        if (PyTuple_SetItem(tuple, 0, str.release()) == -1) fail_after_api_error();
        return {std::move(type), PyRef::steal(tuple)};
    }

private:
    ErrorKind kind_;
    std::string owned_;
    std::string_view text_;
};

class TypeMismatchProducer final : public ErrorProducer {
public:
    TypeMismatchProducer(PyRef source_type, const char* target) : source_type_(std::move(source_type)), target_(target) {}

    Produced produce() override {
        std::string message = "'";
        {
            PyRef qualified = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(source_type_.get())));
            const char* name = nullptr;
            Py_ssize_t size = 0;
            if (qualified) name = PyUnicode_AsUTF8AndSize(qualified.get(), &size);
            if (name != nullptr) {
                message.append(name, static_cast<std::size_t>(size));
            } else {
                (void)fetch_error();
                message += "<failed to extract type name>";
            }
            message += "' object cannot be converted to '";
            message += target_;
            message += "'";
        }
        source_type_.reset();
        return {PyRef::borrow(PyExc_TypeError), new_str(message)};
    }

private:
    PyRef source_type_;
    const char* target_;
};

class ObjectProducer final : public ErrorProducer {
public:
    explicit ObjectProducer(PyRef object) : object_(std::move(object)) {}
    Produced produce() override { return {std::move(object_), PyRef::borrow(Py_None)}; }

private:
    PyRef object_;
};

bool is_exception_class(PyObject* type) {
    return PyType_HasFeature(Py_TYPE(type), Py_TPFLAGS_TYPE_SUBCLASS) &&
           PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

bool is_exception_instance(PyObject* object) {
    return PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

// The PanicException type as this library knows it (a strong reference), written under the
// interpreter lock.
PyObject* g_fault_exception_type = nullptr;

// Where the first library to make the type leaves it for the other.
constexpr const char* kSharedFaultTypeAttribute = "_pyo3_runtime_PanicException";

const char* g_module_name = "biometric";

// The shared type when one has been made, caching it; never makes it.
PyObject* known_fault_type() {
    if (g_fault_exception_type != nullptr) return g_fault_exception_type;
    PyObject* found = PySys_GetObject(kSharedFaultTypeAttribute);  // borrowed; sets no error
    if (found == nullptr || !PyType_Check(found) ||
        !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(found), Py_TPFLAGS_BASE_EXC_SUBCLASS)) {
        return nullptr;
    }
    g_fault_exception_type = PyRef::borrow(found).release();
    return g_fault_exception_type;
}

constexpr const char* kFaultExceptionDoc =
    "\n"
    "The exception raised when the native code of the biometric module, called from Python, suffers an internal "
    "fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically propagate all the "
    "way through the stack and cause the Python interpreter to exit.\n";

}  // namespace

void restore_state(std::variant<std::monostate, PyErr::Deferred, PyRef>&& state) {
    if (auto* deferred = std::get_if<PyErr::Deferred>(&state)) {
        ErrorProducer::Produced produced;
        {
            // The producer is spent once called.
            PyErr::Deferred producer = std::move(*deferred);
            produced = producer->produce();
        }
        if (is_exception_class(produced.type.get())) {
            PyErr_SetObject(produced.type.get(), produced.argument.get());
        } else {
            PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        }
        produced.argument.reset();
        produced.type.reset();
    } else if (auto* instance = std::get_if<PyRef>(&state)) {
        PyErr_SetRaisedException(instance->release());
    } else {
        raise_fault("PyErr state should never be invalid outside of normalization");
    }
}

PyErr new_error(ErrorKind kind, std::string owned_text) {
    return PyErr::deferred(std::make_unique<TextProducer>(kind, std::move(owned_text)));
}

PyErr new_error(ErrorKind kind, std::string_view static_text) {
    return PyErr::deferred(std::make_unique<TextProducer>(kind, static_text));
}

PyErr type_mismatch_error(PyObject* object, const char* target) {
    PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    return PyErr::deferred(std::make_unique<TypeMismatchProducer>(std::move(type), target));
}

PyErr error_from_object(PyRef object) { return PyErr::deferred(std::make_unique<ObjectProducer>(std::move(object))); }

PyObject* normalize_error(PyErr& err) {
    if (auto* instance = std::get_if<PyRef>(&err.state_)) return instance->get();
    auto taken = std::exchange(err.state_, std::monostate{});
    if (std::holds_alternative<std::monostate>(taken)) {
        raise_fault("Cannot normalize a PyErr while already normalizing it.");
    }
    restore_state(std::move(taken));
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) raise_fault("exception missing after writing to the interpreter");
    err.state_.emplace<PyRef>(PyRef::steal(raised));
    return std::get<PyRef>(err.state_).get();
}

PyRef error_type(PyErr& err) {
    return PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(normalize_error(err))));
}

PyObject* error_value(PyErr& err) { return normalize_error(err); }

PyRef error_traceback(PyErr& err) { return PyRef::steal(PyException_GetTraceback(normalize_error(err))); }

void restore_error(PyErr&& err) {
    PyErr consumed = std::move(err);
    restore_state(std::move(consumed.state_));
}

std::optional<PyErr> take_error() {
    PyRef instance = PyRef::steal(PyErr_GetRaisedException());
    if (!instance) return std::nullopt;
    // Compared with the type as made so far: nothing can be an instance of a type not yet
    // made, and making it here would recurse when making it is what failed.
    PyObject* fault_type = known_fault_type();
    if (fault_type == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(instance.get())) != fault_type) {
        return PyErr::normalized(std::move(instance));
    }

    // A fault of native code that travelled through Python: resumed here.
    std::string text;
    PyRef str = PyRef::steal(PyObject_Str(instance.get()));
    if (str) {
        text = str_text(str.get());
    } else {
        (void)fetch_error();
        text = "Unwrapped panic from Python code";
    }
    write_stderr_locked(resume_header());
    PyErr_SetRaisedException(instance.release());
    PyErr_PrintEx(0);
    resume_fault(std::move(text));
}

PyErr fetch_error() {
    if (std::optional<PyErr> err = take_error()) return std::move(*err);
    return new_error(ErrorKind::MissingException, "attempted to fetch exception but none was set");
}

std::optional<PyErr> error_cause(PyErr& err) {
    PyRef cause = PyRef::steal(PyException_GetCause(normalize_error(err)));
    if (!cause) return std::nullopt;
    if (is_exception_instance(cause.get())) return PyErr::normalized(std::move(cause));
    return error_from_object(std::move(cause));
}

void set_error_cause(PyErr& err, std::optional<PyErr> cause) {
    PyObject* instance = normalize_error(err);
    PyObject* c = cause ? error_value_with_traceback(std::move(*cause)).release() : nullptr;
    PyException_SetCause(instance, c);
}

PyRef error_value_with_traceback(PyErr&& err) {
    PyErr consumed = std::move(err);
    PyRef instance = PyRef::borrow(normalize_error(consumed));
    if (PyRef traceback = PyRef::steal(PyException_GetTraceback(instance.get()))) {
        PyException_SetTraceback(instance.get(), traceback.get());
    }
    return instance;
}

namespace {

// What stands for an object whose str() or repr() failed: the failure is reported as
// unraisable, with the object as its context.
std::string unprintable_text(PyObject* object) {
    PyErr err = fetch_error();
    restore_error(std::move(err));
    PyErr_WriteUnraisable(object);
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (!name) {
        (void)fetch_error();
        return "<unprintable object>";
    }
    return "<unprintable " + object_text(name.get()) + " object>";
}

// repr() for the debug text; a failing repr() is reported like a failing str().
std::string repr_text(PyObject* object) {
    PyRef repr = PyRef::steal(PyObject_Repr(object));
    if (repr) return str_text(repr.get());
    return unprintable_text(object);
}

}  // namespace

std::string error_debug_text(PyErr& err) {
    InterpreterLock lock;
    PyRef type = error_type(err);
    PyObject* value = error_value(err);
    PyRef traceback = error_traceback(err);
    std::string text = "PyErr { type: " + repr_text(type.get()) + ", value: " + repr_text(value) + ", traceback: ";
    text += traceback ? "Some(" + repr_text(traceback.get()) + ")" : std::string("None");
    text += " }";
    return text;
}

PyErr error_from_fault(FaultPayload payload) {
    if (payload.is_text()) return new_error(ErrorKind::Fault, std::string(payload.text()));
    return new_error(ErrorKind::Fault, "the native code of the biometric module suffered an internal fault");
}

PyObject* fault_exception_type() {
    if (PyObject* known = known_fault_type()) return known;
    PyResult<PyRef> made = [] {
        PyRef base = PyRef::borrow(PyExc_BaseException);
        return new_exception_type("pyo3_runtime.PanicException", kFaultExceptionDoc, base.get());
    }();
    if (PyErr* err = std::get_if<PyErr>(&made)) {
        raise_fault("Failed to initialize new exception type.: " + error_debug_text(*err));
    }
    // Making the type can run Python code, which may let another thread in first.
    if (PyObject* known = known_fault_type()) return known;
    PyRef& type = std::get<PyRef>(made);
    if (PySys_SetObject(kSharedFaultTypeAttribute, type.get()) == -1) fail_after_api_error();
    g_fault_exception_type = type.release();
    return g_fault_exception_type;
}

void forget_fault_exception_type() noexcept {
    PyRef dropped = PyRef::steal(std::exchange(g_fault_exception_type, nullptr));
}

void set_module_name(const char* name) noexcept { g_module_name = name; }

std::string resume_header() {
    return std::string("--- ") + g_module_name +
           " is resuming a panic after fetching a PanicException from Python. ---\nPython stack trace below:\n";
}

namespace {

// A NUL-terminated copy of `text`, or the fault `what` when the text holds a NUL.
std::string nul_terminated(std::string_view text, const char* what) {
    const std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos) {
        // The position and every byte of the offending text, in decimal.
        std::string message = what;
        message += ": NulError(" + std::to_string(nul) + ", [";
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (i > 0) message += ", ";
            message += std::to_string(static_cast<unsigned char>(text[i]));
        }
        message += "])";
        raise_fault(std::move(message));
    }
    return std::string(text);
}

}  // namespace

PyResult<PyRef> new_exception_type(std::string_view name, std::optional<std::string_view> doc, PyObject* base) {
    const std::string name_z = nul_terminated(name, "Failed to initialize nul terminated exception name");
    std::optional<std::string> doc_z;
    if (doc) doc_z = nul_terminated(*doc, "Failed to initialize nul terminated docstring");
    PyObject* type = PyErr_NewExceptionWithDoc(name_z.c_str(), doc_z ? doc_z->c_str() : nullptr, base, nullptr);
    if (type == nullptr) return fetch_error();
    return PyRef::steal(type);
}

void fail_after_api_error(FaultLocation location) {
    PyErr_Print();
    raise_fault("Python API call failed", location);
}

std::string object_text(PyObject* object) {
    PyRef str = PyRef::steal(PyObject_Str(object));
    if (!str) return unprintable_text(object);
    return str_text(str.get());
}

std::string str_text(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    (void)fetch_error();
    PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!encoded) fail_after_api_error();
    return utf8_lossy(std::string_view(PyBytes_AsString(encoded.get()),
                                       static_cast<std::size_t>(PyBytes_Size(encoded.get()))));
}

}  // namespace bio
