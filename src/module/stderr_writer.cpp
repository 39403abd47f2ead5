#include "module/stderr_writer.h"

#include <mutex>

#include "module/fault.h"
#include "module/os.h"

namespace bio {

std::optional<StderrError> write_stderr_raw(std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        StderrWrite w = os_write_stderr(bytes);
        if (w.interrupted) continue;
        if (w.error != 0 || !w.error_text.empty()) return StderrError{w.error, std::move(w.error_text)};
        if (w.accepted == 0) return StderrError{0, "failed to write whole buffer"};
        bytes.remove_prefix(w.accepted);
    }
    return std::nullopt;
}

void write_stderr_locked(std::string_view bytes) {
    static std::recursive_mutex* lock = new std::recursive_mutex;  // never destroyed
    std::optional<StderrError> error;
    {
        std::lock_guard<std::recursive_mutex> guard(*lock);
        error = write_stderr_raw(bytes);
    }
    if (error && error->code != kErrorInvalidHandle) {
        std::string text = error->text.empty() ? "os error " + std::to_string(error->code) : error->text;
        raise_fault("failed printing to stderr: " + text);
    }
}

}  // namespace bio
