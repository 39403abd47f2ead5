// UTF-8 text to a platform string block: the block is as long as its header says, and
// reads back as the text with ill-formed bytes replaced.
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "utf8.h"
#include "winrt/platform_string.h"

using namespace bio::winrt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view utf8(reinterpret_cast<const char*>(data), size);
    HSTRING handle = nullptr;
    FUZZ_CHECK(create_string_block(utf8, &handle) == 0);
    if (size == 0) {
        FUZZ_CHECK(handle == nullptr);
        return 0;
    }
    const auto* header = reinterpret_cast<const StringHeader*>(handle);
    FUZZ_CHECK(header->flags == 0 && header->refcount == 1);
    FUZZ_CHECK(header->chars == header->buffer);
    FUZZ_CHECK(header->length >= 1 && header->length <= size);
    FUZZ_CHECK(header->chars[header->length] == 0);
    FUZZ_CHECK(utf16_to_utf8(header->chars, header->length) == bio::utf8_lossy(utf8));
    release_string_block(handle);
    return 0;
}
