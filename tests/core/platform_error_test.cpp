#include <gtest/gtest.h>

#include "platform_error.h"

namespace bio {
namespace {

struct QuoteRow {
    const char* label;
    std::string text;
    std::string quoted;
};

class Quoted : public ::testing::TestWithParam<QuoteRow> {};

TEST_P(Quoted, EscapesAsTheDebugTextShowsIt) {
    std::string out;
    append_quoted(out, GetParam().text);
    EXPECT_EQ(out, GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(
    Characters, Quoted,
    ::testing::Values(QuoteRow{"DoubleQuote", "a\"b", R"("a\"b")"},
                      QuoteRow{"Backslash", "a\\b", R"("a\\b")"},
                      QuoteRow{"Nul", std::string("a\0b", 3), R"("a\0b")"},
                      QuoteRow{"TabCrLf", "\t\r\n", R"("\t\r\n")"},
                      QuoteRow{"OtherControl", "\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
                      QuoteRow{"GraphemeExtend", "e\xCC\x81", R"("e\u{301}")"},
                      QuoteRow{"ZeroWidthSpace", "\xE2\x80\x8B", R"("\u{200b}")"},
                      QuoteRow{"Noncharacter", "\xEF\xBF\xBF", R"("\u{ffff}")"},
                      QuoteRow{"NoBreakSpace", "\xC2\xA0", R"("\u{a0}")"},
                      QuoteRow{"PrintableNonAscii", "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80",
                               "\"\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\""},
                      QuoteRow{"SingleQuoteAndSpace", "it's ok", "\"it's ok\""},
                      QuoteRow{"IllFormedBytes", "a\xFF" "b", "\"a\xEF\xBF\xBD" "b\""},
                      QuoteRow{"Empty", "", "\"\""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(PlatformError, EmptyCodeReadsAsZero) {
    EXPECT_EQ(PlatformError().code(), 0);
    EXPECT_EQ(PlatformError().stored_code(), EMPTY_ERROR_CODE);
    EXPECT_EQ(PlatformError(0).stored_code(), EMPTY_ERROR_CODE);
    EXPECT_EQ(PlatformError(E_POINTER_CODE).code(), -2147467261);
}

TEST(PlatformError, DebugText) {
    // Without information the message is the system's text for 0 (none off Windows).
    std::string empty = "Error { code: HRESULT(0x00000000), message: ";
    append_quoted(empty, system_message_text(0));
    EXPECT_EQ(PlatformError().debug_text(), empty + " }");
    EXPECT_EQ(PlatformError::with_text(static_cast<std::int32_t>(0x80070005u), "Access is denied.").debug_text(),
              R"(Error { code: HRESULT(0x80070005), message: "Access is denied." })");
    EXPECT_EQ(PlatformError::with_text(0x12AB, "two\r\nlines").debug_text(),
              R"(Error { code: HRESULT(0x000012AB), message: "two\r\nlines" })");
}

}  // namespace
}  // namespace bio
