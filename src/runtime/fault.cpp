#include "runtime/fault.h"

#include <atomic>
#include <charconv>
#include <cstring>

#include "runtime/fault_report.h"
#include "runtime/os.h"
#include "runtime/stderr_writer.h"

#if defined(_MSC_VER)
#define BIO_NOINLINE __declspec(noinline)
#else
#define BIO_NOINLINE __attribute__((noinline))
#endif

namespace bio {
namespace {

std::atomic<std::uint32_t> g_faults{0};
thread_local std::uint32_t t_faults = 0;
thread_local bool t_in_report = false;

// Written after each marker's call so that the call is not a tail call and the
// marker's frame stays on the stack.
volatile int g_marker_sink = 0;

void count_fault() noexcept {
    g_faults.fetch_add(1, std::memory_order_relaxed);
    ++t_faults;
}

// Counts and reports a new fault; ends the process when the fault arose while this
// thread was already writing a report.
void begin_fault(const FaultPayload& payload, const FaultLocation& location) noexcept {
    count_fault();
    if (t_in_report) {
        std::string text = "panicked at ";
        text += format_location(location);
        text += ":\n";
        if (payload.is_static()) text += payload.text();
        text += "\nthread panicked while processing panic. aborting.\n";
        (void)write_stderr_raw(text);
        end_process();
    }
    t_in_report = true;
    write_fault_report(payload, location, t_faults);
    t_in_report = false;
}

enum class AfterReport { Unwind, EndWithNote, End };

struct Raise {
    FaultPayload* payload;
    const FaultLocation* location;
    AfterReport after;
};

void raise_inside_marker(void* context) {
    auto* raise = static_cast<Raise*>(context);
    begin_fault(*raise->payload, *raise->location);
    switch (raise->after) {
        case AfterReport::Unwind:
            throw Fault{std::move(*raise->payload), *raise->location};
        case AfterReport::EndWithNote:
            (void)write_stderr_raw("thread caused non-unwinding panic. aborting.\n");
            end_process();
        case AfterReport::End:
            end_process();
    }
    end_process();
}

}  // namespace

BIO_NOINLINE void begin_short_backtrace(void (*body)(void*), void* context) {
    body(context);
    g_marker_sink = 0;
}

BIO_NOINLINE void end_short_backtrace(void (*body)(void*), void* context) {
    body(context);
    g_marker_sink = 0;
}

void raise_fault(FaultPayload payload, FaultLocation location) {
    Raise raise{&payload, &location, AfterReport::Unwind};
    end_short_backtrace(raise_inside_marker, &raise);
    end_process();  // not reached: the raise throws
}

void raise_fault_nounwind(FaultPayload payload, FaultLocation location) {
    Raise raise{&payload, &location, AfterReport::EndWithNote};
    end_short_backtrace(raise_inside_marker, &raise);
    end_process();
}

void raise_fault_and_end_process(FaultPayload payload, FaultLocation location) {
    Raise raise{&payload, &location, AfterReport::End};
    end_short_backtrace(raise_inside_marker, &raise);
    end_process();
}

void resume_fault(FaultPayload payload) {
    count_fault();
    throw Fault{std::move(payload), FaultLocation{}};
}

std::uint32_t faults_in_progress() noexcept { return g_faults.load(std::memory_order_relaxed); }
std::uint32_t thread_faults_in_progress() noexcept { return t_faults; }

void note_fault_caught() noexcept {
    g_faults.fetch_sub(1, std::memory_order_relaxed);
    --t_faults;
    t_in_report = false;
}

void foreign_exception_at_boundary() noexcept {
    (void)write_stderr_raw("fatal runtime error: foreign exceptions cannot be caught by the biometric module\n");
    end_process();
}

void allocation_failed(std::size_t size) noexcept {
    // Memory is short: the message is put together in a fixed buffer.
    char text[64];
    std::size_t at = 0;
    const auto put = [&](std::string_view piece) {
        std::memcpy(text + at, piece.data(), piece.size());
        at += piece.size();
    };
    put("memory allocation of ");
    at = static_cast<std::size_t>(std::to_chars(text + at, text + sizeof text, size).ptr - text);
    put(" bytes failed\n");
    (void)write_stderr_raw(std::string_view(text, at));
    end_process();
}

}  // namespace bio
