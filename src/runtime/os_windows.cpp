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
#include <span>
#include <string>
#include <type_traits>

#include "runtime/coff_symbols.h"
#include "runtime/fault.h"
#include "runtime/os.h"
#include "runtime/os_windows.h"
#include "runtime/stderr_writer.h"

namespace bio {

void end_process() noexcept {
#if defined(_MSC_VER)
    __fastfail(FAST_FAIL_FATAL_APP_EXIT);
#elif defined(__x86_64__)
    // mingw-w64 has no __fastfail intrinsic: the same interrupt, code in ecx.
    __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_FATAL_APP_EXIT) : "memory");
    __builtin_unreachable();
#elif defined(__aarch64__)
    // The same on ARM64: the fast-fail break, code in x0.
    register unsigned long long code __asm__("x0") = FAST_FAIL_FATAL_APP_EXIT;
    __asm__ volatile("brk #0xf003" : : "r"(code) : "memory");
    __builtin_unreachable();
#else
#error "no fail-fast sequence for this architecture"
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

// dbghelp, loaded from the system directory when a backtrace first needs it and kept for
// the process; its functions looked up, the inline-frame ones newer than mingw-w64's
// headers. Everything here runs under the report lock that every caller holds.
struct Dbghelp {
    DWORD(WINAPI* get_options)() = nullptr;
    DWORD(WINAPI* set_options)(DWORD) = nullptr;
    BOOL(WINAPI* initialize)(HANDLE, PCSTR, BOOL) = nullptr;
    BOOL(WINAPI* from_address)(HANDLE, DWORD64, DWORD64*, SYMBOL_INFO*) = nullptr;
    BOOL(WINAPI* line_from_address)(HANDLE, DWORD64, DWORD*, IMAGEHLP_LINE64*) = nullptr;
    DWORD(WINAPI* include_inline_trace)(HANDLE, DWORD64) = nullptr;
    BOOL(WINAPI* query_inline_trace)(HANDLE, DWORD64, DWORD, DWORD64, DWORD64, DWORD*, DWORD*) = nullptr;
    BOOL(WINAPI* from_inline_context)(HANDLE, DWORD64, ULONG, DWORD64*, SYMBOL_INFO*) = nullptr;
    BOOL(WINAPI* line_from_inline_context)(HANDLE, DWORD64, ULONG, DWORD64, DWORD*, IMAGEHLP_LINE64*) = nullptr;
    bool ready = false;

    // Null when dbghelp cannot be loaded or initialised.
    static const Dbghelp* get() {
        static const Dbghelp table = [] {
            Dbghelp t;
            HMODULE library = LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
            if (library == nullptr) return t;
            const auto find = [&](auto& slot, const char* name) {
                slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
                    reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
                return slot != nullptr;
            };
            // Every function looked up, whether or not an earlier one was missing.
            const int basic_found = find(t.get_options, "SymGetOptions") + find(t.set_options, "SymSetOptions") +
                                    find(t.initialize, "SymInitialize") + find(t.from_address, "SymFromAddr") +
                                    find(t.line_from_address, "SymGetLineFromAddr64");
            const bool basic = basic_found == 5;
            find(t.include_inline_trace, "SymAddrIncludeInlineTrace");
            find(t.query_inline_trace, "SymQueryInlineTrace");
            find(t.from_inline_context, "SymFromInlineContext");
            find(t.line_from_inline_context, "SymGetLineFromInlineContext");
            if (!basic) return t;
            t.set_options(t.get_options() | SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS);
            t.ready = t.initialize(GetCurrentProcess(), nullptr, TRUE) != FALSE;
            return t;
        }();
        return table.ready ? &table : nullptr;
    }
    bool inline_frames() const {
        return include_inline_trace && query_inline_trace && from_inline_context && line_from_inline_context;
    }
};

// One name for `lookup` in inline context `context` (or, without one, the plain lookup).
void add_symbol(const Dbghelp& dbghelp, StackFrame& frame, DWORD64 lookup, const ULONG* context) {
    HANDLE process = GetCurrentProcess();
    alignas(SYMBOL_INFO) char storage[sizeof(SYMBOL_INFO) + MAX_SYM_NAME];
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(storage);
    std::memset(storage, 0, sizeof storage);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = MAX_SYM_NAME;
    DWORD64 displacement = 0;
    const BOOL named = context != nullptr ? dbghelp.from_inline_context(process, lookup, *context, &displacement, symbol)
                                          : dbghelp.from_address(process, lookup, &displacement, symbol);
    if (!named) return;

    FrameSymbol name;
    name.name = demangle(symbol->Name);
    IMAGEHLP_LINE64 line{};
    line.SizeOfStruct = sizeof line;
    DWORD line_displacement = 0;
    const BOOL located =
        context != nullptr ? dbghelp.line_from_inline_context(process, lookup, *context, 0, &line_displacement, &line)
                           : dbghelp.line_from_address(process, lookup, &line_displacement, &line);
    if (located && line.FileName != nullptr) {
        name.file = line.FileName;
        name.line = line.LineNumber;
    }
    frame.symbols.push_back(std::move(name));
}

// The names dbghelp gives one frame, innermost first: the functions inlined at the
// address, then the function that contains it.
void resolve_with_dbghelp(StackFrame& frame, DWORD64 lookup) {
    const Dbghelp* dbghelp = Dbghelp::get();
    if (dbghelp == nullptr) return;
    HANDLE process = GetCurrentProcess();
    if (dbghelp->inline_frames()) {
        const DWORD inlined = dbghelp->include_inline_trace(process, lookup);
        DWORD context = 0, index = 0;
        if (inlined > 0 && dbghelp->query_inline_trace(process, lookup, 0, lookup, lookup, &context, &index)) {
            for (DWORD i = 0; i <= inlined; ++i, ++context) {
                const ULONG current = context;
                add_symbol(*dbghelp, frame, lookup, &current);
            }
            if (!frame.symbols.empty()) return;
        }
    }
    add_symbol(*dbghelp, frame, lookup, nullptr);
}

// A read-only view of a whole file; empty when it cannot be had.
class FileView {
public:
    explicit FileView(const wchar_t* path) {
        file_ = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        LARGE_INTEGER size{};
        if (file_ == INVALID_HANDLE_VALUE || !GetFileSizeEx(file_, &size) || size.QuadPart == 0) return;
        mapping_ = CreateFileMappingW(file_, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping_ == nullptr) return;
        view_ = MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0);
        if (view_ != nullptr) size_ = static_cast<std::size_t>(size.QuadPart);
    }
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;
    ~FileView() {
        if (view_ != nullptr) UnmapViewOfFile(view_);
        if (mapping_ != nullptr) CloseHandle(mapping_);
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    }
    std::span<const std::uint8_t> bytes() const noexcept { return {static_cast<const std::uint8_t*>(view_), size_}; }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE mapping_ = nullptr;
    void* view_ = nullptr;
    std::size_t size_ = 0;
};

// The module (or program) this code is linked into.
HMODULE own_module() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&own_module), &module);
    return module;
}

std::wstring module_path(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

// The function symbols of our own file, read when first needed.
const CoffFunctions& own_functions() {
    static const CoffFunctions functions = [] {
        const std::wstring path = module_path(own_module());
        if (path.empty()) return CoffFunctions();
        const FileView file(path.c_str());
        return CoffFunctions::from_image(file.bytes());
    }();
    return functions;
}

// The names of one frame. Frames of other modules are dbghelp's. Our own are dbghelp's
// where it has our debug data (a PDB, or DWARF that Wine's dbghelp reads) and so finds
// source lines; otherwise whatever it says came from the export table or nowhere, and
// the COFF symbol table of our own file names them instead.
void resolve(StackFrame& frame, DWORD64 lookup) {
    resolve_with_dbghelp(frame, lookup);
    const auto base = reinterpret_cast<DWORD64>(own_module());
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(lookup), &module) ||
        reinterpret_cast<DWORD64>(module) != base) {
        return;
    }
    for (const FrameSymbol& symbol : frame.symbols) {
        if (!symbol.file.empty()) return;
    }
    const std::string_view name = own_functions().function_at(static_cast<std::uint32_t>(lookup - base));
    if (name.empty()) return;
    frame.symbols.clear();
    FrameSymbol symbol;
    symbol.name = without_parameters(demangle(std::string(name).c_str()));
    frame.symbols.push_back(std::move(symbol));
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

namespace {

// The registers of a CONTEXT the stack walk reads and moves, per architecture.
#if defined(_M_X64) || defined(__x86_64__)
DWORD64& program_counter(CONTEXT& context) { return context.Rip; }
DWORD64& stack_pointer(CONTEXT& context) { return context.Rsp; }
// A function without unwind data is a leaf that left the stack as the call made it:
// its return address on top. Moving past it pops that address.
bool unwind_leaf(CONTEXT& context, bool) {
    context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
    context.Rsp += 8;
    return true;
}
#elif defined(_M_ARM64) || defined(__aarch64__)
DWORD64& program_counter(CONTEXT& context) { return context.Pc; }
DWORD64& stack_pointer(CONTEXT& context) { return context.Sp; }
// A leaf without unwind data keeps its return address in the link register and the
// stack pointer where it was; that holds only for the innermost frame.
bool unwind_leaf(CONTEXT& context, bool innermost) {
    if (!innermost) return false;
    context.Pc = context.Lr;
    return true;
}
#else
#error "no stack walk for this architecture"
#endif

}  // namespace

void walk_stack(const std::function<bool(const StackFrame&)>& visit) {
    CONTEXT context;
    RtlCaptureContext(&context);
    DWORD64 previous_sp = stack_pointer(context);
    for (bool innermost = true; program_counter(context) != 0; innermost = false) {
        const DWORD64 pc = program_counter(context);
        StackFrame frame;
        frame.address = static_cast<std::uintptr_t>(pc);
        // A return address points after the call; look up the call itself.
        resolve(frame, innermost ? pc : pc - 1);
        if (!visit(frame)) return;

        DWORD64 image_base = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(pc, &image_base, nullptr);
        bool leaf = false;
        if (function == nullptr) {
            if (!unwind_leaf(context, innermost)) return;
            leaf = true;
        } else {
            void* handler_data = nullptr;
            DWORD64 establisher_frame = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, pc, function, &context, &handler_data,
                             &establisher_frame, nullptr);
        }
        // The stack only grows outwards (an ARM64 leaf leaves it where it was); anything
        // else is a broken chain.
        const DWORD64 sp = stack_pointer(context);
        if (sp < previous_sp || (sp == previous_sp && !(leaf && program_counter(context) != pc))) return;
        previous_sp = sp;
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
