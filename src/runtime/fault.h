// Internal faults: the module's reaction to a condition its code does not expect.
//
// A fault carries a payload (its message) and the source location of the check that
// failed. Raising one writes a report to standard error and throws; the frames between
// the raise and the nearest fault boundary unwind, and every RAII owner on the way
// releases what it holds. The boundary around each entry from Python catches it.
//
// Pure C++: no Python, no platform headers, so the key-credential service can raise
// faults too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>
#include <string>
#include <utility>
#include <variant>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

// A thread that the C library ends where it stands (pthread_exit: CPython ends so a daemon
// thread that asks for the interpreter lock back while the interpreter shuts down) unwinds
// with an exception of the library's own. It must pass every frame on its way: no frame
// may be noexcept, and a catch-all lets it through first. Windows ends such a thread
// without unwinding.
//
// The library's exception has no object for the handler's reference to bind:
// BIO_THREAD_EXIT_PASSES goes on a function with such a handler, so that the sanitizers'
// null check does not call that binding a fault.
#if defined(__GLIBCXX__)
#define BIO_LET_THREAD_EXIT_PASS \
    catch (::abi::__forced_unwind&) { throw; }
#define BIO_THREAD_EXIT_PASSES __attribute__((no_sanitize("null")))
#else
#define BIO_LET_THREAD_EXIT_PASS
#define BIO_THREAD_EXIT_PASSES
#endif

namespace bio {

struct FaultLocation {
    const char* file = "";
    std::uint32_t line = 0;
    std::uint32_t column = 0;

    static constexpr FaultLocation from(std::source_location where) noexcept {
        return {where.file_name(), static_cast<std::uint32_t>(where.line()),
                static_cast<std::uint32_t>(where.column())};
    }
};

// A payload that is not text. The module never raises one itself, but the report and
// the conversion to a Python exception still handle it.
struct OpaquePayload {};

// Static text (a constant message), owned text (composed when raised), or opaque.
class FaultPayload {
public:
    FaultPayload() noexcept : value_(OpaquePayload{}) {}
    FaultPayload(const char* static_text) noexcept : value_(static_text) {}
    FaultPayload(std::string owned_text) noexcept : value_(std::move(owned_text)) {}
    FaultPayload(OpaquePayload opaque) noexcept : value_(opaque) {}

    bool is_static() const noexcept { return std::holds_alternative<const char*>(value_); }
    bool is_owned() const noexcept { return std::holds_alternative<std::string>(value_); }
    bool is_text() const noexcept { return !std::holds_alternative<OpaquePayload>(value_); }

    // The message text; empty for an opaque payload.
    std::string_view text() const noexcept {
        if (const auto* s = std::get_if<const char*>(&value_)) return *s;
        if (const auto* s = std::get_if<std::string>(&value_)) return *s;
        return {};
    }

private:
    std::variant<OpaquePayload, const char*, std::string> value_;
};

// What is thrown. Only fault_boundary catches it; nothing else in the module catches
// exceptions at all.
struct Fault {
    FaultPayload payload;
    FaultLocation location;
};

// Counts a fault in progress, writes its report, and starts unwinding.
[[noreturn]] void raise_fault(FaultPayload payload,
                              FaultLocation location = FaultLocation::from(std::source_location::current()));

// Reports the fault and ends the process: for faults that must not unwind (for example
// one detected inside a release called by the platform or by a destructor).
[[noreturn]] void raise_fault_nounwind(
    FaultPayload payload, FaultLocation location = FaultLocation::from(std::source_location::current()));

// Reports the fault and ends the process with nothing more written: for a fault that has
// escaped every boundary, where neither unwinding on nor the C++ runtime's terminate
// handler (which has words of its own) may take over.
[[noreturn]] void raise_fault_and_end_process(
    FaultPayload payload, FaultLocation location = FaultLocation::from(std::source_location::current()));

// Continues a fault that travelled through Python, without a second report.
[[noreturn]] void resume_fault(FaultPayload payload);

// Short backtraces show the frames between these two markers: the entry's body runs
// inside begin_short_backtrace, and a raise writes its report inside end_short_backtrace,
// so the fault machinery and the interpreter's frames are left out. Never inlined, and
// never tail calls, so that each keeps a frame of its own.
inline constexpr const char* kBeginShortBacktraceMarker = "begin_short_backtrace";
inline constexpr const char* kEndShortBacktraceMarker = "end_short_backtrace";
void begin_short_backtrace(void (*body)(void*), void* context);
void end_short_backtrace(void (*body)(void*), void* context);

// Runs `body` inside begin_short_backtrace.
template <class Body>
void run_in_short_backtrace(Body& body) {
    begin_short_backtrace([](void* context) { (*static_cast<Body*>(context))(); }, &body);
}

// Faults in progress: raised or resumed and not yet caught by a boundary.
std::uint32_t faults_in_progress() noexcept;
std::uint32_t thread_faults_in_progress() noexcept;

// Bookkeeping for a fault that a boundary has just caught.
void note_fault_caught() noexcept;

// Runs body; returns true and leaves `caught` empty when it completes, false with the
// payload of a fault that unwound out of it otherwise. A foreign exception (anything
// that is not a fault of ours, nor a thread's exit) ends the process.
template <class Body>
bool fault_boundary(Body&& body, FaultPayload& caught);

[[noreturn]] void foreign_exception_at_boundary() noexcept;

// The module's own memory could not be had: not a fault (no report, no unwinding). Writes
// "memory allocation of N bytes failed" without allocating, and ends the process.
[[noreturn]] void allocation_failed(std::size_t size) noexcept;

template <class Body>
BIO_THREAD_EXIT_PASSES bool fault_boundary(Body&& body, FaultPayload& caught) {
    try {
        std::forward<Body>(body)();
        return true;
    } catch (Fault& fault) {
        note_fault_caught();
        caught = std::move(fault.payload);
        return false;
    }
    BIO_LET_THREAD_EXIT_PASS
    catch (...) {
        foreign_exception_at_boundary();
    }
}

}  // namespace bio
