#include "runtime/stderr_writer.h"

#include <mutex>

#include "runtime/fault.h"
#include "runtime/os.h"

namespace bio {

namespace {

std::optional<StderrError> write_all(std::string_view bytes, PendingUtf8& pending) noexcept {
    while (!bytes.empty()) {
        StderrWrite w = os_write_stderr(bytes, pending);
        if (w.interrupted) continue;
        if (w.error != 0 || !w.error_text.empty()) {
            return StderrError{w.error, std::move(w.error_text), w.missing_stream};
        }
        if (w.accepted == 0) return StderrError{0, "failed to write whole buffer"};
        bytes.remove_prefix(w.accepted);
    }
    return std::nullopt;
}

}  // namespace

std::optional<StderrError> write_stderr_raw(std::string_view bytes) noexcept {
    PendingUtf8 pending;
    return write_all(bytes, pending);
}

void write_stderr_locked(std::string_view bytes) {
    // The shared writer lives until the process ends; its pending bytes carry over.
    static std::recursive_mutex* lock = new std::recursive_mutex;
    static PendingUtf8* pending = new PendingUtf8;
    std::optional<StderrError> error;
    {
        std::lock_guard<std::recursive_mutex> guard(*lock);
        error = write_all(bytes, *pending);
    }
    if (error && !error->missing_stream) {
        std::string text = error->text.empty() ? "os error " + std::to_string(error->code) : error->text;
        raise_fault("failed printing to stderr: " + text);
    }
}

}  // namespace bio
