// LockDepth and the pool of postponed releases.
#include <thread>

#include "embedded_python.h"

namespace bio::testing {
namespace {

class PythonEnvironment : public ::testing::Environment {
public:
    void SetUp() override { Py_InitializeEx(0); }
    void TearDown() override { EXPECT_EQ(Py_FinalizeEx(), 0); }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new PythonEnvironment);

TEST(ReleasePool, ReleaseOnAThreadOutsideAnEntryWaitsForTheNextEntry) {
    PyRef list;
    {
        Entered entered;
        list = PyRef::steal(PyList_New(0));
    }
    PyObject* raw = list.get();
    Py_INCREF(raw);  // the test's own reference, to watch the count
    const Py_ssize_t before = Py_REFCNT(raw);

    // A thread that never entered the module: LockDepth 0 there, so the release waits.
    std::thread([&] { list.reset(); }).join();
    EXPECT_EQ(Py_REFCNT(raw), before);
    EXPECT_TRUE(release_pool_exists());
    EXPECT_EQ(release_pool_size(), 1u);

    {
        Entered entered;  // any entry drains the pool, in order of arrival
        EXPECT_EQ(release_pool_size(), 0u);
        EXPECT_EQ(Py_REFCNT(raw), before - 1);

        // Inside an entry the release is immediate.
        PyRef again = PyRef::borrow(raw);
        EXPECT_EQ(Py_REFCNT(raw), before);
        again.reset();
        EXPECT_EQ(Py_REFCNT(raw), before - 1);
        EXPECT_EQ(release_pool_size(), 0u);
        PyRef::steal(raw).reset();
    }
}

TEST(ReleasePool, EntryGivesItsDepthBack) {
    EXPECT_EQ(lock_depth(), 0);
    {
        Entered outer;
        EXPECT_EQ(lock_depth(), 1);
        {
            Entered inner;
            EXPECT_EQ(lock_depth(), 2);
        }
        EXPECT_EQ(lock_depth(), 1);
    }
    EXPECT_EQ(lock_depth(), 0);
}

TEST(LockDepth, NegativeValuesForbidTheInterpreter) {
    struct Case {
        long depth;
        const char* message;
    };
    for (const Case& c : {Case{-1, "Access to the GIL is prohibited while a __traverse__ implmentation is running."},
                          Case{-2, "Access to the GIL is currently prohibited."},
                          Case{-7, "Access to the GIL is currently prohibited."}}) {
        lock_depth() = c.depth;
        EXPECT_EQ(fault_text([] { Entered entered; }), c.message);
        EXPECT_EQ(lock_depth(), c.depth) << "a refused entry changes nothing";
        lock_depth() = 0;
    }
}

TEST(LockDepth, RunEntryRestoresDepthAndTurnsFaultsIntoPanicException) {
    PyObject* result = run_entry([]() -> EntryOutcome { raise_fault("inside the body"); });
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(lock_depth(), 0);
    EXPECT_EQ(faults_in_progress(), 0u);
    Entered entered;
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    ASSERT_TRUE(raised);
    EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), fault_exception_type());
    EXPECT_EQ(str_of(raised.get()), "inside the body");
}

TEST(LockDepth, DebugTextTakesTheLockOnAThreadOutsideAnEntry) {
    PyErr err = [] {
        Entered entered;
        return new_error(ErrorKind::OperationFailure, "from a thread");
    }();
    std::string text;
    PyThreadState* saved = PyEval_SaveThread();  // let the other thread take the lock
    std::thread([&] {
        EXPECT_EQ(lock_depth(), 0);
        text = error_debug_text(err);
        EXPECT_EQ(lock_depth(), 0);
        // Dropping the error here postpones its release.
        PyErr dropped = std::move(err);
    }).join();
    PyEval_RestoreThread(saved);
    EXPECT_EQ(text, "PyErr { type: <class 'RuntimeError'>, value: RuntimeError('from a thread'), traceback: None }");
    Entered entered;  // drains what the thread postponed
    EXPECT_EQ(release_pool_size(), 0u);
}

}  // namespace
}  // namespace bio::testing
