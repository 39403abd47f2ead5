#include "module/py_ref.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "runtime/fault.h"

namespace bio {
namespace {

thread_local long t_lock_depth = 0;
thread_local const AllowThreads* t_allow_threads = nullptr;

// The main thread's identity, read once from the threading module (under the lock); 0
// when it cannot be read.
unsigned long main_thread_ident() {
    static std::atomic<unsigned long> ident{0};
    if (unsigned long known = ident.load(std::memory_order_relaxed); known != 0) return known;
    PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    PyRef main = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : PyRef();
    PyRef value = main ? PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : PyRef();
    unsigned long found = value ? PyLong_AsUnsignedLong(value.get()) : 0;
    if (PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        found = 0;
    }
    if (found != 0) ident.store(found, std::memory_order_relaxed);
    return found;
}

struct ReleasePool {
    std::mutex mutex;
    std::vector<PyObject*> pending;
};

// Made on first use and never destroyed: threads may release references until the
// process ends.
std::atomic<ReleasePool*> g_pool{nullptr};

ReleasePool& pool() {
    ReleasePool* existing = g_pool.load(std::memory_order_acquire);
    if (existing != nullptr) return *existing;
    auto* made = new ReleasePool;
    if (g_pool.compare_exchange_strong(existing, made, std::memory_order_acq_rel)) return *made;
    delete made;
    return *existing;
}

std::atomic<bool> g_interpreter_checked{false};

}  // namespace

long& lock_depth() noexcept { return t_lock_depth; }

void release_reference(PyObject* object) noexcept {
    if (t_lock_depth > 0) {
        Py_DECREF(object);
        return;
    }
    ReleasePool& p = pool();
    std::lock_guard<std::mutex> guard(p.mutex);
    p.pending.push_back(object);
}

void drain_release_pool() noexcept {
    ReleasePool* p = g_pool.load(std::memory_order_acquire);
    if (p == nullptr) return;
    std::vector<PyObject*> moved;
    {
        std::lock_guard<std::mutex> guard(p->mutex);
        if (p->pending.empty()) return;
        moved.swap(p->pending);
    }
    // No reference count is touched while the mutex is held: a release may run
    // arbitrary finalizers.
    for (PyObject* object : moved) Py_DECREF(object);
}

bool release_pool_exists() noexcept { return g_pool.load(std::memory_order_acquire) != nullptr; }

std::size_t release_pool_size() noexcept {
    ReleasePool* p = g_pool.load(std::memory_order_acquire);
    if (p == nullptr) return 0;
    std::lock_guard<std::mutex> guard(p->mutex);
    return p->pending.size();
}

static void check_lock_depth(long depth) {
    if (depth == -1) raise_fault("Access to the GIL is prohibited while a __traverse__ implmentation is running.");
    if (depth < 0) raise_fault("Access to the GIL is currently prohibited.");
}

EntryLockDepth::EntryLockDepth() : depth_(&t_lock_depth) {
    check_lock_depth(*depth_);
    ++*depth_;
    if (release_pool_exists()) drain_release_pool();
}

InterpreterLock::InterpreterLock() {
    if (t_lock_depth > 0) return;
    if (!g_interpreter_checked.load(std::memory_order_acquire)) {
        if (!Py_IsInitialized()) {
            raise_fault(
                "The Python interpreter is not initialized; it must be initialized before the biometric module "
                "uses Python APIs.");
        }
        g_interpreter_checked.store(true, std::memory_order_release);
    }
    check_lock_depth(t_lock_depth);
    state_ = PyGILState_Ensure();
    taken_ = true;
    ++t_lock_depth;
    if (release_pool_exists()) drain_release_pool();
}

InterpreterLock::~InterpreterLock() {
    if (!taken_) return;
    PyGILState_Release(state_);
    --t_lock_depth;
}

AllowThreads::AllowThreads()
    : depth_(t_lock_depth),
      on_main_thread_(PyThread_get_thread_ident() == main_thread_ident()),
      outer_(t_allow_threads) {
    drain_release_pool();
    t_lock_depth = 0;
    t_allow_threads = this;
    state_ = PyEval_SaveThread();
}

AllowThreads::~AllowThreads() noexcept(false) {
    PyEval_RestoreThread(state_);
    t_allow_threads = outer_;
    t_lock_depth = depth_;
}

const AllowThreads* AllowThreads::current() noexcept { return t_allow_threads; }

}  // namespace bio
