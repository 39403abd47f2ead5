#include "winrt/platform_string.h"

#include <cstring>
#include <limits>

#include "runtime/fault.h"
#include "platform_error.h"
#include "utf8.h"

namespace bio::winrt {
namespace {

constexpr std::int32_t kInvalidDataCode = static_cast<std::int32_t>(0x8007000Du);
constexpr std::int32_t kOutOfMemoryCode = static_cast<std::int32_t>(0x8007000Eu);

StringHeader* header_of(HSTRING string) noexcept { return reinterpret_cast<StringHeader*>(string); }

}  // namespace

std::int32_t create_string_block(std::string_view utf8, HSTRING* out) noexcept {
    *out = nullptr;
    const std::size_t n = utf8.size();
    if (n == 0) return 0;
    if (n > std::numeric_limits<UINT32>::max()) return kInvalidDataCode;
    // n UTF-8 bytes never make more than n units, so 2n bytes hold the units and the
    // terminator that the header's padding leaves room for.
    void* block = HeapAlloc(GetProcessHeap(), 0, sizeof(StringHeader) + 2 * n);
    if (block == nullptr) return kOutOfMemoryCode;

    auto* header = static_cast<StringHeader*>(block);
    std::memset(header, 0, sizeof(StringHeader));
    header->refcount = 1;
    wchar_t* units = header->buffer;
    header->chars = units;

    UINT32 length = 0;
    for (std::size_t pos = 0; pos < n;) {
        // Each scalar stands for at least one byte and takes at most two units.
        const char32_t v = next_scalar(utf8, pos);
        if (v > 0xFFFF) {
            units[length++] = static_cast<wchar_t>(0xD800 + ((v - 0x10000) >> 10));
            units[length++] = static_cast<wchar_t>(0xDC00 + (v & 0x3FF));
        } else {
            units[length++] = static_cast<wchar_t>(v);
        }
    }
    header->length = length;
    units[length] = 0;
    *out = reinterpret_cast<HSTRING>(block);
    return 0;
}

void release_string_block(HSTRING string) noexcept {
    if (string == nullptr) return;
    StringHeader* header = header_of(string);
    if ((header->flags & kReferenceStringFlag) != 0) return;
    const LONG remaining = InterlockedDecrement(&header->refcount);
    if (remaining == 0) {
        HeapFree(GetProcessHeap(), 0, header);
    } else if (remaining < 0) {
        // Released from destructors and by the platform: this fault cannot unwind.
        raise_fault_nounwind("Object has been over-released.");
    }
}

std::string utf16_to_utf8(const wchar_t* units, std::size_t count) {
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const char32_t u = static_cast<char16_t>(units[i]);
        if (u < 0xD800 || u > 0xDFFF) {
            append_utf8(out, u);
        } else if (u <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            append_utf8(out, (((u & 0x3FF) << 10) | (static_cast<char32_t>(units[i + 1]) & 0x3FF)) + 0x10000);
            ++i;
        } else {
            append_utf8(out, 0xFFFD);
        }
    }
    return out;
}

PlatformString PlatformString::from_utf8(std::string_view utf8) {
    HSTRING handle = nullptr;
    if (std::int32_t code = create_string_block(utf8, &handle); code != 0) {
        raise_fault("called `Result::unwrap()` on an `Err` value: " + PlatformError(code).debug_text());
    }
    return PlatformString(handle);
}

std::wstring_view string_units(HSTRING string) noexcept {
    if (string == nullptr) return {};
    // Through chars and length: a reference string's units live elsewhere.
    const StringHeader* header = header_of(string);
    return {header->chars, header->length};
}

}  // namespace bio::winrt
