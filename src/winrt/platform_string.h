// PlatformString: an owned HSTRING whose blocks the module builds and frees itself, in
// the platform's own heap-string layout, so the platform accepts and releases them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/unique_handle.h"
#include "winrt/abi.h"

namespace bio::winrt {

// The header that starts every heap string block, shared with the platform.
struct StringHeader {
    UINT32 flags;  // bit 0: a reference string, whose storage its holder does not own
    UINT32 length;  // UTF-16 units, without the terminating zero
    UINT32 reserved[2];
    const wchar_t* chars;
    volatile LONG refcount;
    wchar_t buffer[2];  // the first unit and padding; the units continue past the header
};
static_assert(sizeof(StringHeader) == 32 && offsetof(StringHeader, chars) == 16 &&
              offsetof(StringHeader, refcount) == 24 && offsetof(StringHeader, buffer) == 28);

inline constexpr UINT32 kReferenceStringFlag = 1;

// Builds a block from UTF-8 text. Returns 0 and the handle (null for empty text), or the
// failure code: 0x8007000D for a length beyond 32 bits, E_OUTOFMEMORY for a full heap.
std::int32_t create_string_block(std::string_view utf8, HSTRING* out) noexcept;

// Gives up one reference. Null and reference strings are left alone; a count that falls
// below zero is an internal fault and the block is kept.
void release_string_block(HSTRING string) noexcept;

// The units of a string the caller holds; empty for the null handle.
std::wstring_view string_units(HSTRING string) noexcept;

// UTF-16 to UTF-8; every unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(const wchar_t* units, std::size_t count);

struct HstringTraits {
    using type = HSTRING;
    static type invalid() noexcept { return nullptr; }
    static void close(type string) noexcept { release_string_block(string); }
};

// One reference to a string; takes over a handle the caller owns (one the platform
// returned, for instance).
class PlatformString : public UniqueHandle<HstringTraits> {
public:
    using UniqueHandle::UniqueHandle;
    // Faults when the text cannot become a string.
    static PlatformString from_utf8(std::string_view utf8);

    std::wstring_view view() const noexcept { return string_units(get()); }
    std::string text() const { return utf16_to_utf8(view().data(), view().size()); }
};

}  // namespace bio::winrt
