#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "module/os.h"

namespace bio {

void end_process() noexcept { std::abort(); }

StderrWrite os_write_stderr(std::string_view bytes, PendingUtf8& /*pending*/) noexcept {
    StderrWrite result;
    ssize_t n = ::write(STDERR_FILENO, bytes.data(), bytes.size());
    if (n >= 0) {
        result.accepted = static_cast<std::size_t>(n);
    } else if (errno == EINTR) {
        result.interrupted = true;
    } else if (errno == EBADF) {
        // A closed standard error stream is a missing one.
        result.error = kErrorInvalidHandle;
    } else {
        result.error = errno;
        result.error_text = std::strerror(errno);
    }
    return result;
}

// Filled in with the backtrace support.
void walk_stack(const std::function<bool(const StackFrame&)>& /*visit*/) {}

std::string current_directory() { return {}; }

}  // namespace bio
