// The quoted form of the debug text: well-formed UTF-8 with no control characters
// between its quotes, and unquoting it gives back the text (ill-formed bytes as U+FFFD).
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "platform_error.h"
#include "utf8.h"

namespace {

std::string unquote(std::string_view quoted) {
    FUZZ_CHECK(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"');
    std::string out;
    for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
        const char c = quoted[i];
        FUZZ_CHECK(c != '"');
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        if (c != '\\') {
            out += c;
            continue;
        }
        FUZZ_CHECK(i + 2 < quoted.size());
        const char e = quoted[++i];
        switch (e) {
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case '0': out += '\0'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'n': out += '\n'; break;
            case 'u': {
                FUZZ_CHECK(quoted[++i] == '{');
                char32_t scalar = 0;
                std::size_t digits = 0;
                for (++i; quoted[i] != '}'; ++i, ++digits) {
                    const char h = quoted[i];
                    FUZZ_CHECK((h >= '0' && h <= '9') || (h >= 'a' && h <= 'f'));
                    scalar = scalar * 16 + static_cast<char32_t>(h <= '9' ? h - '0' : h - 'a' + 10);
                    FUZZ_CHECK(i + 2 < quoted.size());
                }
                FUZZ_CHECK(digits >= 1 && digits <= 6);
                bio::append_utf8(out, scalar);
                break;
            }
            default: FUZZ_CHECK(!"unknown escape");
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string quoted;
    bio::append_quoted(quoted, text);
    FUZZ_CHECK(bio::utf8_lossy(quoted) == quoted);
    FUZZ_CHECK(unquote(quoted) == bio::utf8_lossy(text));
    return 0;
}
