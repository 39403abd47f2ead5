#include <gtest/gtest.h>
#include <winstring.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/fault.h"
#include "winrt/platform_string.h"

namespace bio::winrt {
namespace {

struct BlockRow {
    const char* label;
    std::string utf8;
    std::vector<wchar_t> units;
    std::size_t block_size;
};

class StringBlock : public ::testing::TestWithParam<BlockRow> {};

TEST_P(StringBlock, HasThePlatformLayout) {
    const BlockRow& row = GetParam();
    PlatformString string = PlatformString::from_utf8(row.utf8);
    auto* block = reinterpret_cast<const unsigned char*>(string.get());
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, block), row.block_size);

    UINT32 flags, length, reserved[2];
    const void* chars;
    LONG refcount;
    std::memcpy(&flags, block, 4);
    std::memcpy(&length, block + 4, 4);
    std::memcpy(reserved, block + 8, 8);
    std::memcpy(&chars, block + 16, 8);
    std::memcpy(&refcount, block + 24, 4);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(length, row.units.size());
    EXPECT_EQ(reserved[0] | reserved[1], 0u);
    EXPECT_EQ(chars, block + 28);
    EXPECT_EQ(refcount, 1);
    std::vector<wchar_t> units(row.units.size() + 1);
    std::memcpy(units.data(), block + 28, units.size() * 2);
    std::vector<wchar_t> expected = row.units;
    expected.push_back(0);
    EXPECT_EQ(units, expected);

    // The platform's own string functions read our block.
    UINT32 platform_length = 0;
    EXPECT_EQ(WindowsGetStringLen(string.get()), row.units.size());
    const wchar_t* raw = WindowsGetStringRawBuffer(string.get(), &platform_length);
    EXPECT_EQ(platform_length, row.units.size());
    EXPECT_EQ(std::wstring(raw, platform_length), std::wstring(row.units.begin(), row.units.end()));
    EXPECT_EQ(string.text(), row.utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, StringBlock,
    ::testing::Values(BlockRow{"abc", "abc", {0x61, 0x62, 0x63}, 38}, BlockRow{"EAcute", "\xC3\xA9", {0xE9}, 36},
                      BlockRow{"Astral", "\xF0\x9F\x98\x80", {0xD83D, 0xDE00}, 40},
                      BlockRow{"Mixed", "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80", {0x61, 0xE9, 0x65E5, 0xD83D, 0xDE00}, 52}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(PlatformString, TextBeyondA32BitLengthIsRefusedBeforeAnyAllocation) {
    const char byte = 'a';
    // Never read: the length alone decides.
    const std::string_view huge(&byte, std::size_t{1} << 32);
    HSTRING out = reinterpret_cast<HSTRING>(&out);
    EXPECT_EQ(create_string_block(huge, &out), static_cast<std::int32_t>(0x8007000Du));
    EXPECT_EQ(out, nullptr);
    try {
        (void)PlatformString::from_utf8(huge);
        ADD_FAILURE() << "no fault";
    } catch (Fault& fault) {
        note_fault_caught();
        EXPECT_EQ(fault.payload.text().find("called `Result::unwrap()` on an `Err` value: Error { code: HRESULT(0x8007000D), "
                                            "message: \""),
                  0u);
    }
}

TEST(PlatformString, EmptyTextIsTheNullHandle) {
    PlatformString string = PlatformString::from_utf8("");
    EXPECT_EQ(string.get(), nullptr);
    EXPECT_EQ(string.text(), "");
    EXPECT_EQ(WindowsGetStringLen(string.get()), 0u);
}

StringHeader* header(const PlatformString& s) { return reinterpret_cast<StringHeader*>(s.get()); }

TEST(PlatformString, ReleaseCountsDownAndFreesAtZero) {
    PlatformString string = PlatformString::from_utf8("abc");
    HSTRING handle = string.get();
    InterlockedIncrement(&header(string)->refcount);
    release_string_block(handle);
    EXPECT_EQ(header(string)->refcount, 1);
    EXPECT_NE(HeapSize(GetProcessHeap(), 0, handle), static_cast<SIZE_T>(-1));
    (void)string.release();
    release_string_block(handle);  // frees; the heap no longer knows the block
    EXPECT_EQ(HeapValidate(GetProcessHeap(), 0, nullptr), TRUE);
}

TEST(PlatformString, ReferenceStringsAreLeftAlone) {
    PlatformString string = PlatformString::from_utf8("abc");
    header(string)->flags = kReferenceStringFlag;
    release_string_block(string.get());
    release_string_block(string.get());
    EXPECT_EQ(header(string)->refcount, 1);
    header(string)->flags = 0;
}

TEST(PlatformString, PlatformDeletesOurBlocksAndWeDeleteItsStrings) {
    HSTRING ours = PlatformString::from_utf8("abc").release();
    EXPECT_EQ(WindowsDeleteString(ours), S_OK);

    HSTRING theirs = nullptr;
    ASSERT_EQ(WindowsCreateString(L"xyz", 3, &theirs), S_OK);
    PlatformString adopted(theirs);
    EXPECT_EQ(adopted.text(), "xyz");
    adopted.reset();
    EXPECT_EQ(HeapValidate(GetProcessHeap(), 0, nullptr), TRUE);
}

TEST(PlatformStringDeathTest, OverReleaseIsAFault) {
    EXPECT_DEATH(
        {
            HSTRING handle = PlatformString::from_utf8("abc").release();
            reinterpret_cast<StringHeader*>(handle)->refcount = 0;
            release_string_block(handle);
        },
        "Object has been over-released\\.");
}

struct Utf16Row {
    const char* label;
    std::vector<wchar_t> units;
    std::string utf8;
};
class LenientText : public ::testing::TestWithParam<Utf16Row> {};
TEST_P(LenientText, RepairsUnpairedSurrogates) {
    EXPECT_EQ(utf16_to_utf8(GetParam().units.data(), GetParam().units.size()), GetParam().utf8);
}
INSTANTIATE_TEST_SUITE_P(Units, LenientText,
                         ::testing::Values(Utf16Row{"Pair", {0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
                                           Utf16Row{"LoneLow", {0xDC00}, "\xEF\xBF\xBD"},
                                           Utf16Row{"HighThenLetter", {0xD800, 0x41}, "\xEF\xBF\xBD" "A"},
                                           Utf16Row{"FinalHigh", {0x61, 0xD800}, "a\xEF\xBF\xBD"},
                                           Utf16Row{"EmbeddedZero", {0x61, 0, 0x62}, std::string("a\0b", 3)}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace bio::winrt
