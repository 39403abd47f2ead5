// Python references owned by the module, and the rule for releasing them.
//
// Every reference the module makes is held by one PyRef and released exactly once. A
// release happens at once when this thread holds the interpreter lock as far as the
// module knows (LockDepth > 0); otherwise it is postponed into the ReleasePool, which
// the next entry of any thread drains.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace bio {

// This thread's count of entries that hold (or assume) the interpreter lock. Negative
// means the interpreter may not be used on this thread; the module never stores one.
long& lock_depth() noexcept;

// Gives up one reference now (LockDepth > 0) or postpones it.
void release_reference(PyObject* object) noexcept;

// Releases every postponed reference, in order of arrival. Needs the interpreter lock.
void drain_release_pool() noexcept;

// Whether a release has ever been postponed (the pool is made on first use).
bool release_pool_exists() noexcept;

// References waiting in the pool.
std::size_t release_pool_size() noexcept;

// Not a UniqueHandle (runtime/unique_handle.h): it borrows or steals, and gives its
// references back to the interpreter, or to the pool when the lock is not held.
class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (may be null).
    static PyRef steal(PyObject* object) noexcept {
        PyRef ref;
        ref.object_ = object;
        return ref;
    }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return steal(object);
    }
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { reset(); }

    void reset() noexcept {
        if (PyObject* object = std::exchange(object_, nullptr)) release_reference(object);
    }
    PyObject* get() const noexcept { return object_; }
    // Hands the reference on to the interpreter or another owner.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// An entry's hold of the interpreter lock: checks and raises LockDepth, drains the pool;
// gives the increment back when it ends. A negative LockDepth is an internal fault.
class EntryLockDepth {
public:
    EntryLockDepth();
    ~EntryLockDepth() { --*depth_; }
    EntryLockDepth(const EntryLockDepth&) = delete;
    EntryLockDepth& operator=(const EntryLockDepth&) = delete;

private:
    // This thread's LockDepth, found once per entry: a module loaded at run time reaches
    // its thread-locals through a call.
    long* depth_;
};

// The interpreter lock for code that may run outside an entry: taken with
// PyGILState_Ensure (and counted like an entry) when this thread's LockDepth is 0.
class InterpreterLock {
public:
    InterpreterLock();
    ~InterpreterLock();
    InterpreterLock(const InterpreterLock&) = delete;
    InterpreterLock& operator=(const InterpreterLock&) = delete;

private:
    bool taken_ = false;
    PyGILState_STATE state_{};
};

// The interpreter lock given up while a request waits for the platform, so that other
// Python threads run; taken back when this ends, however it ends. Nothing in its scope may
// touch a Python object without an InterpreterLock.
//
// A daemon thread that takes the lock back while the interpreter shuts down is ended there
// by the interpreter (on POSIX with pthread_exit, which unwinds): the destructor lets that
// through, and LockDepth stays 0, so the references released on the way are postponed.
class AllowThreads {
public:
    AllowThreads();
    ~AllowThreads() noexcept(false);
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

    // The one of the calling thread, or null; and whether that thread is the one that
    // receives Ctrl-C (the main thread, as the call found it).
    static const AllowThreads* current() noexcept;
    bool on_main_thread() const noexcept { return on_main_thread_; }

private:
    PyThreadState* state_;
    long depth_;
    bool on_main_thread_;
    const AllowThreads* outer_;
};

}  // namespace bio
