#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <unistd.h>

#include <backtrace.h>

#include "runtime/os.h"

namespace bio {

void end_process() noexcept { std::abort(); }

StderrWrite os_write_stderr(std::string_view bytes, PendingUtf8& /*pending*/) noexcept {
    // Pipes, files and terminals all take UTF-8 bytes unchanged; nothing is pending.
    StderrWrite result;
    if (bytes.empty()) return result;
    ssize_t n = ::write(STDERR_FILENO, bytes.data(), bytes.size());
    if (n >= 0) {
        result.accepted = static_cast<std::size_t>(n);
    } else if (errno == EINTR) {
        result.interrupted = true;
    } else if (errno == EBADF) {
        // A closed standard error stream is a missing one.
        result.error = kErrorInvalidHandle;
        result.missing_stream = true;
    } else {
        const int code = errno;
        result.error = code;
        result.error_text = std::strerror(code);
        result.error_text += " (os error " + std::to_string(code) + ")";
    }
    return result;
}

namespace {

// One libbacktrace state per process: it caches the symbol tables it has read and is
// never freed. Built on first use, under the report lock.
backtrace_state* symbol_state() {
    static backtrace_state* state =
        backtrace_create_state(nullptr, /*threaded=*/1, [](void*, const char*, int) {}, nullptr);
    return state;
}

std::string demangle(const char* name) {
    if (name == nullptr) return {};
    int status = 0;
    char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status != 0 || readable == nullptr) return name;
    std::string text = readable;
    std::free(readable);
    return text;
}


}  // namespace

void walk_stack(const std::function<bool(const StackFrame&)>& visit) {
    backtrace_state* state = symbol_state();
    if (state == nullptr) return;

    // The whole stack, however deep: a full backtrace shows every frame.
    std::vector<std::uintptr_t> capture;
    backtrace_simple(
        state, /*skip=*/1,
        [](void* data, std::uintptr_t pc) -> int {
            // The unwinder ends the stack with a zero return address (read one back).
            if (pc == 0 || pc == static_cast<std::uintptr_t>(-1)) return 1;
            static_cast<std::vector<std::uintptr_t>*>(data)->push_back(pc);
            return 0;
        },
        [](void*, const char*, int) {}, &capture);

    for (const std::uintptr_t pc : capture) {
        StackFrame frame;
        frame.address = pc;
        // Source positions from the debug information, innermost inlined call first.
        backtrace_pcinfo(
            state, frame.address,
            [](void* data, std::uintptr_t, const char* file, int line, const char* function) -> int {
                auto* f = static_cast<StackFrame*>(data);
                if (function == nullptr && file == nullptr) return 0;
                FrameSymbol symbol;
                symbol.name = demangle(function);
                if (file != nullptr) {
                    symbol.file = file;
                    symbol.line = static_cast<std::uint32_t>(line);
                }
                f->symbols.push_back(std::move(symbol));
                return 0;
            },
            [](void*, const char*, int) {}, &frame);
        // Without debug information, the symbol table still names the function.
        if (frame.symbols.empty() || frame.symbols.front().name.empty()) {
            std::string name;
            backtrace_syminfo(
                state, frame.address,
                [](void* data, std::uintptr_t, const char* symname, std::uintptr_t, std::uintptr_t) {
                    if (symname != nullptr) *static_cast<std::string*>(data) = demangle(symname);
                },
                [](void*, const char*, int) {}, &name);
            if (!name.empty()) {
                if (frame.symbols.empty()) frame.symbols.emplace_back();
                frame.symbols.front().name = std::move(name);
            }
        }
        if (!visit(frame)) return;
    }
}

std::optional<std::string> environment_variable(const char* name) {
    // One C library for the whole process: its environment is the process's.
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::string current_directory() {
    char buffer[4096];
    if (::getcwd(buffer, sizeof buffer) == nullptr) return {};
    return buffer;
}

}  // namespace bio
