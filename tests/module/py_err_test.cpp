// PyErr: deferred and normalized states, restore, take and fetch, causes, texts.
#include "embedded_python.h"

namespace bio::testing {
namespace {

class PyErrTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_FALSE(PyErr_Occurred()) << "a test left an exception set"; }
    Entered entered_;
};

PyRef taken_instance() { return PyRef::steal(PyErr_GetRaisedException()); }

PyObject* type_of(PyObject* object) { return reinterpret_cast<PyObject*>(Py_TYPE(object)); }

std::string args_repr(PyObject* instance) {
    PyRef args = PyRef::steal(PyObject_GetAttrString(instance, "args"));
    PyRef repr = PyRef::steal(PyObject_Repr(args.get()));
    return PyUnicode_AsUTF8(repr.get());
}

TEST_F(PyErrTest, DeferredErrorIsNormalizedOnceAndStaysSo) {
    PyErr err = new_error(ErrorKind::OperationFailure, std::string("Setup failed with error code: -5"));
    EXPECT_TRUE(err.is_deferred());
    PyObject* instance = normalize_error(err);
    EXPECT_TRUE(err.is_normalized());
    EXPECT_EQ(normalize_error(err), instance);
    EXPECT_EQ(error_type(err).get(), PyExc_RuntimeError);
    EXPECT_EQ(error_value(err), instance);
    EXPECT_FALSE(error_traceback(err));
    EXPECT_EQ(args_repr(instance), "('Setup failed with error code: -5',)");

    restore_error(std::move(err));
    PyRef raised = taken_instance();
    EXPECT_EQ(raised.get(), instance);
}

TEST_F(PyErrTest, ProducerOfANonExceptionTypeRaisesTypeError) {
    for (PyObject* not_a_class : {PyLong_FromLong(5), Py_NewRef(reinterpret_cast<PyObject*>(&PyLong_Type))}) {
        restore_error(error_from_object(PyRef::steal(not_a_class)));
        PyRef raised = taken_instance();
        EXPECT_EQ(type_of(raised.get()), PyExc_TypeError);
        EXPECT_EQ(str_of(raised.get()), "exceptions must derive from BaseException");
    }
    // An exception class itself is raised without arguments.
    restore_error(error_from_object(PyRef::borrow(PyExc_ValueError)));
    PyRef raised = taken_instance();
    EXPECT_EQ(type_of(raised.get()), PyExc_ValueError);
    EXPECT_EQ(args_repr(raised.get()), "()");
}

TEST_F(PyErrTest, FetchWithNothingSetIsSystemError) {
    EXPECT_FALSE(take_error().has_value());
    PyErr err = fetch_error();
    PyObject* instance = normalize_error(err);
    EXPECT_EQ(type_of(instance), PyExc_SystemError);
    EXPECT_EQ(str_of(instance), "attempted to fetch exception but none was set");
}

TEST_F(PyErrTest, TakeReturnsTheCurrentExceptionNormalized) {
    PyErr_SetString(PyExc_KeyError, "k");
    std::optional<PyErr> err = take_error();
    ASSERT_TRUE(err.has_value());
    EXPECT_TRUE(err->is_normalized());
    EXPECT_EQ(error_type(*err).get(), PyExc_KeyError);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(PyErrTest, FetchedPanicExceptionResumesTheFault) {
    PyErr_SetString(fault_exception_type(), "came back");
    ::testing::internal::CaptureStderr();
    std::string text = fault_text([] { (void)take_error(); });
    const std::string stderr_text = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(text, "came back");
    EXPECT_EQ(stderr_text.rfind(resume_header(), 0), 0u) << stderr_text;
    EXPECT_FALSE(PyErr_Occurred()) << "printing clears the exception";
    EXPECT_EQ(faults_in_progress(), 0u);
}

TEST_F(PyErrTest, SubclassOfPanicExceptionIsAnOrdinaryError) {
    PyRef subclass = PyRef::steal(PyErr_NewException("test.Sub", fault_exception_type(), nullptr));
    PyErr_SetString(subclass.get(), "ordinary");
    std::optional<PyErr> err;
    EXPECT_EQ(fault_text([&] { err = take_error(); }), "");
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(error_type(*err).get(), subclass.get());
}

TEST_F(PyErrTest, NewExceptionTypeRefusesNulBytes) {
    using namespace std::string_view_literals;
    EXPECT_EQ(fault_text([] { (void)new_exception_type("a.B\0c"sv, std::nullopt, PyExc_Exception); }),
              "Failed to initialize nul terminated exception name: NulError(3, [97, 46, 66, 0, 99])");
    EXPECT_EQ(fault_text([] { (void)new_exception_type("a.B", "x\0\xff"sv, PyExc_Exception); }),
              "Failed to initialize nul terminated docstring: NulError(1, [120, 0, 255])");
    // A name without a module is the interpreter's error, returned as a value.
    PyResult<PyRef> made = new_exception_type("NoDot", std::nullopt, PyExc_Exception);
    ASSERT_TRUE(std::holds_alternative<PyErr>(made));
    EXPECT_EQ(error_type(std::get<PyErr>(made)).get(), PyExc_SystemError);
}

// A producer that faults, to leave the error's slot empty.
class FaultingProducer final : public ErrorProducer {
public:
    Produced produce() override { raise_fault("producer fault"); }
};

TEST_F(PyErrTest, ErrorLeftEmptyByAFaultingProducerCannotBeUsedAgain) {
    PyErr err = PyErr::deferred(std::make_unique<FaultingProducer>());
    EXPECT_EQ(fault_text([&] { normalize_error(err); }), "producer fault");
    EXPECT_FALSE(err.is_normalized() || err.is_deferred());
    EXPECT_EQ(fault_text([&] { normalize_error(err); }), "Cannot normalize a PyErr while already normalizing it.");
    EXPECT_EQ(fault_text([&] { restore_error(std::move(err)); }),
              "PyErr state should never be invalid outside of normalization");
}

TEST_F(PyErrTest, CauseIsReadAndSetWithItsTraceback) {
    PyErr err = new_error(ErrorKind::ArgumentError, "outer");
    EXPECT_FALSE(error_cause(err).has_value());

    // A cause with a traceback keeps it.
    PyRun_SimpleString("def _raise():\n    raise ValueError('inner')\n");
    PyRef main_dict = PyRef::borrow(PyModule_GetDict(PyImport_AddModule("__main__")));
    PyRef raised = PyRef::steal(PyRun_String("_raise()", Py_eval_input, main_dict.get(), main_dict.get()));
    ASSERT_FALSE(raised);
    PyErr inner = fetch_error();
    ASSERT_TRUE(error_traceback(inner));
    PyObject* inner_instance = normalize_error(inner);

    set_error_cause(err, std::move(inner));
    PyObject* instance = normalize_error(err);
    PyRef cause = PyRef::steal(PyException_GetCause(instance));
    EXPECT_EQ(cause.get(), inner_instance);
    EXPECT_TRUE(PyRef::steal(PyException_GetTraceback(cause.get())));
    PyRef suppress = PyRef::steal(PyObject_GetAttrString(instance, "__suppress_context__"));
    EXPECT_EQ(suppress.get(), Py_True);

    std::optional<PyErr> read = error_cause(err);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(normalize_error(*read), inner_instance);

    set_error_cause(err, std::nullopt);
    EXPECT_FALSE(error_cause(err).has_value());

    // A cause that is not an exception instance comes back as a deferred error of it.
    PyException_SetCause(instance, PyLong_FromLong(3));
    std::optional<PyErr> odd = error_cause(err);
    ASSERT_TRUE(odd.has_value());
    EXPECT_TRUE(odd->is_deferred());
}

TEST_F(PyErrTest, DebugTextShowsTypeValueAndTraceback) {
    PyErr plain = new_error(ErrorKind::ArgumentError, "bad \"x\"");
    EXPECT_EQ(error_debug_text(plain),
              "PyErr { type: <class 'TypeError'>, value: TypeError('bad \"x\"'), traceback: None }");

    PyRun_SimpleString("try:\n    1/0\nexcept ZeroDivisionError as e:\n    _zde = e\n");
    PyObject* zde = PyDict_GetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "_zde");
    ASSERT_NE(zde, nullptr);
    PyErr with_traceback = PyErr::normalized(PyRef::borrow(zde));
    const std::string text = error_debug_text(with_traceback);
    EXPECT_EQ(text.rfind("PyErr { type: <class 'ZeroDivisionError'>, value: ZeroDivisionError('division by zero'), "
                         "traceback: Some(<traceback object at 0x",
                         0),
              0u)
        << text;
    EXPECT_EQ(text.substr(text.size() - 4), ">) }");

    // A repr() that returns a str subclass is taken as it stands: its __str__ is not called.
    PyRun_SimpleString(
        "class _Text(str):\n    def __str__(self):\n        raise ValueError('not again')\n"
        "class _Odd(Exception):\n    def __repr__(self):\n        return _Text('odd repr')\n"
        "_odd = _Odd()\n");
    PyObject* odd = PyDict_GetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "_odd");
    ASSERT_NE(odd, nullptr);
    PyErr odd_err = PyErr::normalized(PyRef::borrow(odd));
    EXPECT_EQ(error_debug_text(odd_err), "PyErr { type: <class '__main__._Odd'>, value: odd repr, traceback: None }");
}

TEST_F(PyErrTest, ObjectTextFallbacks) {
    PyRef plain = PyRef::steal(PyUnicode_FromString("plain \xc3\xa9"));
    EXPECT_EQ(object_text(plain.get()), "plain \xc3\xa9");

    // Lone surrogates: the surrogate-passing bytes, each ill-formed byte shown as U+FFFD.
    PyRef surrogate = PyRef::steal(PyUnicode_DecodeUTF8("a\xed\xb2\x80z", 5, "surrogatepass"));
    ASSERT_TRUE(surrogate);
    EXPECT_EQ(object_text(surrogate.get()), "a\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbdz");
    EXPECT_FALSE(PyErr_Occurred());

    PyRun_SimpleString(
        "class _Unprintable:\n    def __str__(self):\n        raise ValueError('no')\n"
        "_unprintable = _Unprintable()\n"
        "import sys\n_unraisable = []\nsys.unraisablehook = _unraisable.append\n");
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject* unprintable = PyDict_GetItemString(globals, "_unprintable");
    EXPECT_EQ(object_text(unprintable), "<unprintable _Unprintable object>");
    EXPECT_EQ(PyList_Size(PyDict_GetItemString(globals, "_unraisable")), 1);
    PyRun_SimpleString("sys.unraisablehook = sys.__unraisablehook__\n");
}

TEST(Utf8Lossy, ReplacesEachMaximalIllFormedSubsequence) {
    struct Case {
        std::string_view in;
        std::string_view out;
    };
    const std::string_view r = "\xef\xbf\xbd";
    for (const Case& c : {
             Case{"abc", "abc"},
             Case{"\xc3\xa9", "\xc3\xa9"},
             Case{"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
             Case{"\xff", r},
             Case{"\xc3", r},                          // cut off
             Case{"\xe2\x82", r},                      // one maximal subpart
             Case{"\xe0\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // overlong: byte by byte
             Case{"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // above U+10FFFF
             Case{"\xf0\x9f\x98x", "\xef\xbf\xbdx"},
         }) {
        EXPECT_EQ(utf8_lossy(c.in), c.out);
    }
}

TEST_F(PyErrTest, FailAfterApiErrorPrintsAndFaults) {
    PyErr_SetString(PyExc_MemoryError, "pretend");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(fault_text([] { fail_after_api_error(); }), "Python API call failed");
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("MemoryError: pretend"), std::string::npos) << printed;
    EXPECT_FALSE(PyErr_Occurred());
}

}  // namespace
}  // namespace bio::testing
