// The console side of the standard-error writer: UTF-8 to the console's UTF-16, with a
// sequence cut off at the end of one write carried over to the next. Apart from the
// rest of os_windows.cpp so that it can be built and fuzzed on its own, through the
// replaceable sink.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <string_view>

#include "runtime/fault.h"
#include "runtime/os.h"
#include "runtime/os_windows.h"

namespace bio {

namespace {

constexpr std::size_t kConsoleChunk = 4096;
constexpr const char* kNotUtf8 = "Windows stdio in console mode does not support writing non-UTF-8 byte sequences";

bool real_is_console(HANDLE handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

BOOL real_write_console(HANDLE handle, const wchar_t* units, DWORD count, DWORD* written) {
    return WriteConsoleW(handle, units, count, written, nullptr);
}

constexpr ConsoleSink kRealConsole{&real_is_console, &real_write_console};
std::atomic<const ConsoleSink*> g_console{&kRealConsole};

// The length a lead byte announces; 0 for a byte that cannot start a sequence.
std::size_t utf8_sequence_length(unsigned char lead) noexcept {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// How many leading bytes of `bytes` are complete, valid UTF-8.
std::size_t valid_utf8_prefix(const unsigned char* bytes, std::size_t size) noexcept {
    std::size_t pos = 0;
    while (pos < size) {
        const unsigned char b0 = bytes[pos];
        const std::size_t length = utf8_sequence_length(b0);
        if (length == 0 || size - pos < length) return pos;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
        for (std::size_t i = 1; i < length; ++i) {
            const unsigned char b = bytes[pos + i];
            if (b < lo || b > hi) return pos;
            lo = 0x80;
            hi = 0xBF;
        }
        pos += length;
    }
    return pos;
}

}  // namespace

StderrWrite error_write(std::int32_t code) {
    StderrWrite result;
    result.error = code;
    // The locked writer stays silent on ERROR_INVALID_HANDLE, whoever reports it.
    result.missing_stream = code == kErrorInvalidHandle;
    LocalBuffer buffer;
    DWORD count = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(buffer.put()), 0,
                                 nullptr);
    const wchar_t* text = buffer.get();
    while (count > 0 && (text[count - 1] == L'\r' || text[count - 1] == L'\n' || text[count - 1] == L' ')) --count;
    if (count > 0) result.error_text = narrow(text, count) + " ";
    char number[32];
    std::snprintf(number, sizeof number, "(os error %d)", static_cast<int>(code));
    result.error_text += number;
    return result;
}

namespace {

StderrWrite invalid_data() {
    StderrWrite result;
    result.error_text = kNotUtf8;
    return result;
}

// Writes valid UTF-8 (at most one chunk of it) to the console; returns the bytes taken.
StderrWrite write_console_utf8(HANDLE handle, const ConsoleSink& console, const unsigned char* utf8,
                               std::size_t size) {
    std::size_t length = size < kConsoleChunk ? size : kConsoleChunk;
    // Never cut inside a character.
    while (length > 0 && length < size && (utf8[length] & 0xC0) == 0x80) --length;

    wchar_t units[kConsoleChunk];
    const int converted = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(utf8),
                                              static_cast<int>(length), units, static_cast<int>(kConsoleChunk));
    if (converted == 0) raise_fault_nounwind("Unexpected error in MultiByteToWideChar");
    const auto total = static_cast<DWORD>(converted);

    DWORD written = 0;
    if (!console.write(handle, units, total, &written)) return error_write(static_cast<std::int32_t>(GetLastError()));
    StderrWrite result;
    if (written >= total) {
        result.accepted = length;
        return result;
    }
    // Never leave the second half of a surrogate pair behind: the caller could not
    // resend it on its own.
    if (units[written] >= 0xDC00 && units[written] <= 0xDFFF) {
        DWORD ignored = 0;
        (void)console.write(handle, &units[written], 1, &ignored);
        ++written;
    }
    for (DWORD i = 0; i < written; ++i) {
        const wchar_t u = units[i];
        result.accepted += u < 0x80 ? 1 : u < 0x800 ? 2 : (u >= 0xDC00 && u <= 0xDFFF) ? 1 : 3;
    }
    return result;
}

}  // namespace

StderrWrite write_console(HANDLE handle, const ConsoleSink& console, std::string_view text, PendingUtf8& pending) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    if (pending.count > 0) {
        // Only the next byte is looked at: it must continue the pending sequence.
        if ((bytes[0] & 0xC0) != 0x80) {
            pending.count = 0;
            return invalid_data();
        }
        pending.bytes[pending.count++] = bytes[0];
        const std::size_t needed = utf8_sequence_length(pending.bytes[0]);
        StderrWrite result;
        result.accepted = 1;
        if (pending.count < needed) return result;
        const std::size_t count = pending.count;
        pending.count = 0;
        if (valid_utf8_prefix(pending.bytes, count) != count) return invalid_data();
        StderrWrite written = write_console_utf8(handle, console, pending.bytes, count);
        if (written.error != 0 || !written.error_text.empty()) return written;
        return result;
    }

    const std::size_t window = text.size() < kConsoleChunk ? text.size() : kConsoleChunk;
    const std::size_t valid = valid_utf8_prefix(bytes, window);
    if (valid > 0) return write_console_utf8(handle, console, bytes, valid);

    // A sequence cut off by the end of this run is kept for the next write.
    const std::size_t announced = utf8_sequence_length(bytes[0]);
    if (announced > 1 && text.size() < announced) {
        pending.bytes[0] = bytes[0];
        pending.count = 1;
        StderrWrite result;
        result.accepted = 1;
        return result;
    }
    return invalid_data();
}

const ConsoleSink& console_sink() noexcept { return *g_console.load(); }

const ConsoleSink* set_console_sink(const ConsoleSink* sink) noexcept {
    const ConsoleSink* previous = g_console.exchange(sink != nullptr ? sink : &kRealConsole);
    return previous == &kRealConsole ? nullptr : previous;
}

}  // namespace bio
