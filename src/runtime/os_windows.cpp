#include <windows.h>
#include <winternl.h>
#include <dbghelp.h>
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cxxabi.h>
#include <cstdlib>
#endif

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>

#include "runtime/fault.h"
#include "runtime/os.h"
#include "runtime/os_windows.h"
#include "runtime/stderr_writer.h"

namespace bio {

void end_process() noexcept {
#if defined(_MSC_VER)
    __fastfail(FAST_FAIL_FATAL_APP_EXIT);
#else
    // mingw-w64 has no __fastfail intrinsic: the same interrupt, code in ecx.
    __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_FATAL_APP_EXIT) : "memory");
    __builtin_unreachable();
#endif
}

namespace {

// ---- standard error (the console: console_windows.cpp) -----------------------------

using NtWriteFileFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                       PLARGE_INTEGER, PULONG);
using RtlNtStatusToDosErrorFn = ULONG(NTAPI*)(NTSTATUS);

template <class Fn>
Fn ntdll_function(const char* name) noexcept {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

constexpr NTSTATUS kStatusPending = 0x00000103;

StderrWrite write_file(HANDLE handle, std::string_view bytes) {
    static const auto nt_write_file = ntdll_function<NtWriteFileFn>("NtWriteFile");
    static const auto status_to_error = ntdll_function<RtlNtStatusToDosErrorFn>("RtlNtStatusToDosError");

    const ULONG length = bytes.size() > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<ULONG>(bytes.size());
    IO_STATUS_BLOCK io{};
    io.Status = kStatusPending;
    NTSTATUS status = nt_write_file(handle, nullptr, nullptr, nullptr, &io, const_cast<char*>(bytes.data()),
                                    length, nullptr, nullptr);
    if (status == kStatusPending) {
        (void)WaitForSingleObject(handle, INFINITE);
        status = io.Status;
        if (status == kStatusPending) {
            (void)write_stderr_raw("fatal runtime error: I/O error: operation failed to complete synchronously\n");
            end_process();
        }
    }
    if (status < 0) return error_write(static_cast<std::int32_t>(status_to_error(status)));
    StderrWrite result;
    result.accepted = static_cast<std::size_t>(io.Information);
    return result;
}

// ---- stack walking -----------------------------------------------------------------

std::string demangle(const char* name) {
#if defined(_MSC_VER)
    return name;
#else
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> plain(abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
    return status == 0 && plain ? std::string(plain.get()) : std::string(name);
#endif
}

// dbghelp is initialised once, under the report lock that every caller holds.
bool symbols_ready() {
    static const bool ready = [] {
        SymSetOptions(SymGetOptions() | SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS);
        return SymInitialize(GetCurrentProcess(), nullptr, TRUE) != FALSE;
    }();
    return ready;
}

// dbghelp's inline-frame functions: newer than mingw-w64's headers, so looked up.
struct InlineSymbols {
    DWORD(WINAPI* include_inline_trace)(HANDLE, DWORD64) = nullptr;
    BOOL(WINAPI* query_inline_trace)(HANDLE, DWORD64, DWORD, DWORD64, DWORD64, DWORD*, DWORD*) = nullptr;
    BOOL(WINAPI* from_inline_context)(HANDLE, DWORD64, ULONG, DWORD64*, SYMBOL_INFO*) = nullptr;
    BOOL(WINAPI* line_from_inline_context)(HANDLE, DWORD64, ULONG, DWORD64, DWORD*, IMAGEHLP_LINE64*) = nullptr;

    static const InlineSymbols& get() {
        static const InlineSymbols table = [] {
            InlineSymbols t;
            HMODULE dbghelp = GetModuleHandleW(L"dbghelp.dll");
            if (dbghelp == nullptr) return t;
            const auto find = [&](auto& slot, const char* name) {
                slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
                    reinterpret_cast<void (*)()>(GetProcAddress(dbghelp, name)));
            };
            find(t.include_inline_trace, "SymAddrIncludeInlineTrace");
            find(t.query_inline_trace, "SymQueryInlineTrace");
            find(t.from_inline_context, "SymFromInlineContext");
            find(t.line_from_inline_context, "SymGetLineFromInlineContext");
            return t;
        }();
        return table;
    }
    bool available() const {
        return include_inline_trace && query_inline_trace && from_inline_context && line_from_inline_context;
    }
};

// One name for `lookup` in inline context `context` (or, without one, the plain lookup).
void add_symbol(StackFrame& frame, DWORD64 lookup, const ULONG* context) {
    HANDLE process = GetCurrentProcess();
    alignas(SYMBOL_INFO) char storage[sizeof(SYMBOL_INFO) + MAX_SYM_NAME];
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(storage);
    std::memset(storage, 0, sizeof storage);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = MAX_SYM_NAME;
    DWORD64 displacement = 0;
    const InlineSymbols& inline_symbols = InlineSymbols::get();
    const BOOL named = context != nullptr
                           ? inline_symbols.from_inline_context(process, lookup, *context, &displacement, symbol)
                           : SymFromAddr(process, lookup, &displacement, symbol);
    if (!named) return;

    FrameSymbol name;
    name.name = demangle(symbol->Name);
    IMAGEHLP_LINE64 line{};
    line.SizeOfStruct = sizeof line;
    DWORD line_displacement = 0;
    const BOOL located =
        context != nullptr
            ? inline_symbols.line_from_inline_context(process, lookup, *context, 0, &line_displacement, &line)
            : SymGetLineFromAddr64(process, lookup, &line_displacement, &line);
    if (located && line.FileName != nullptr) {
        name.file = line.FileName;
        name.line = line.LineNumber;
    }
    frame.symbols.push_back(std::move(name));
}

// The names of one frame, innermost first: the functions inlined at the address, then
// the function that contains it.
void resolve(StackFrame& frame, DWORD64 lookup) {
    if (!symbols_ready()) return;
    const InlineSymbols& inline_symbols = InlineSymbols::get();
    HANDLE process = GetCurrentProcess();
    if (inline_symbols.available()) {
        const DWORD inlined = inline_symbols.include_inline_trace(process, lookup);
        DWORD context = 0, index = 0;
        if (inlined > 0 && inline_symbols.query_inline_trace(process, lookup, 0, lookup, lookup, &context, &index)) {
            for (DWORD i = 0; i <= inlined; ++i, ++context) {
                const ULONG current = context;
                add_symbol(frame, lookup, &current);
            }
            if (!frame.symbols.empty()) return;
        }
    }
    add_symbol(frame, lookup, nullptr);
}

}  // namespace

std::string narrow(const wchar_t* text, std::size_t count) {
    if (count == 0) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), out.data(), size, nullptr, nullptr);
    return out;
}

StderrWrite os_write_stderr(std::string_view bytes, PendingUtf8& pending) noexcept {
    if (bytes.empty()) return {};
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr) return error_write(kErrorInvalidHandle);
    if (handle == INVALID_HANDLE_VALUE) return error_write(static_cast<std::int32_t>(GetLastError()));
    const ConsoleSink& console = console_sink();
    if (!console.is_console(handle)) return write_file(handle, bytes);
    return write_console(handle, console, bytes, pending);
}

void walk_stack(const std::function<bool(const StackFrame&)>& visit) {
    CONTEXT context;
    RtlCaptureContext(&context);
    DWORD64 previous_sp = context.Rsp;
    for (bool innermost = true; context.Rip != 0; innermost = false) {
        StackFrame frame;
        frame.address = static_cast<std::uintptr_t>(context.Rip);
        // A return address points after the call; look up the call itself.
        resolve(frame, innermost ? context.Rip : context.Rip - 1);
        if (!visit(frame)) return;

        DWORD64 image_base = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &image_base, nullptr);
        if (function == nullptr) {
            // A leaf function: the return address is on top of the stack.
            context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
            context.Rsp += 8;
        } else {
            void* handler_data = nullptr;
            DWORD64 establisher_frame = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, context.Rip, function, &context, &handler_data,
                             &establisher_frame, nullptr);
        }
        // The stack only grows outwards; anything else is a broken chain.
        if (context.Rsp <= previous_sp) return;
        previous_sp = context.Rsp;
    }
}

std::optional<std::string> environment_variable(const char* name) {
    const std::wstring wide_name(name, name + std::strlen(name));
    std::wstring value(64, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
        // 0 is both "not set" and "set to the empty text"; only the error tells them apart.
        if (length == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();
        }
        if (length < value.size()) return narrow(value.data(), length);
        value.resize(length);  // the size it needs, terminator included; try again
    }
}

std::string current_directory() {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    if (size == 0) return {};
    std::wstring path(size, L'\0');
    const DWORD length = GetCurrentDirectoryW(size, path.data());
    if (length == 0 || length >= size) return {};
    return narrow(path.data(), length);
}

}  // namespace bio
