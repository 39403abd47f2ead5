// The COFF symbol table reader: a small image made here, every prefix of it, and (on
// Windows) the test program's own file as GNU ld wrote it.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/coff_symbols.h"

#if defined(_WIN32)
#include <windows.h>

#include <fstream>
#include <iterator>
#endif

namespace bio::testing {
namespace {

class Image {
public:
    std::vector<std::uint8_t> bytes;
    void put(std::size_t at, std::uint64_t value, int size) {
        if (bytes.size() < at + size) bytes.resize(at + size);
        for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    void text(std::size_t at, const char* s) {
        if (bytes.size() < at + std::strlen(s) + 1) bytes.resize(at + std::strlen(s) + 1);
        std::memcpy(bytes.data() + at, s, std::strlen(s) + 1);
    }
};

// .text at 0x1000 (0x100 bytes), .data at 0x2000; symbols: "short" at .text+0x10,
// a long name at +0x80 (string table), data and section symbols, an auxiliary record.
constexpr std::size_t kSymbols = 0x100;
Image small_image() {
    Image m;
    m.text(0, "MZ");
    m.put(0x3C, 0x40, 4);
    m.text(0x40, "PE");
    const std::size_t header = 0x44;
    m.put(header + 2, 2, 2);         // sections
    m.put(header + 8, kSymbols, 4);  // symbol table
    m.put(header + 12, 5, 4);        // symbols, the auxiliary record included
    m.put(header + 16, 0, 2);        // no optional header
    const std::size_t sections = header + 20;
    m.text(sections, ".text");
    m.put(sections + 8, 0x100, 4);
    m.put(sections + 12, 0x1000, 4);
    m.put(sections + 36, 0x60000020, 4);  // code, execute, read
    m.text(sections + 40, ".data");
    m.put(sections + 48, 0x100, 4);
    m.put(sections + 52, 0x2000, 4);
    m.put(sections + 76, 0xC0000040, 4);  // initialised data
    const auto symbol = [&](int index, std::uint32_t value, int section, int type, int storage, int aux) {
        const std::size_t at = kSymbols + 18 * index;
        m.put(at + 8, value, 4);
        m.put(at + 12, static_cast<std::uint16_t>(section), 2);
        m.put(at + 14, type, 2);
        m.put(at + 16, storage, 1);
        m.put(at + 17, aux, 1);
    };
    m.text(kSymbols, "short");
    symbol(0, 0x10, 1, 0x20, 2, 1);  // its auxiliary record is symbol 1, all zeroes
    m.put(kSymbols + 18 * 2 + 4, 4, 4);  // the long name, at offset 4 of the strings
    symbol(2, 0x80, 1, 0x20, 3, 0);
    m.text(kSymbols + 18 * 3, "datum");
    symbol(3, 0x08, 2, 0x20, 2, 0);  // a "function" in a data section
    m.text(kSymbols + 18 * 4, ".text");
    symbol(4, 0x00, 1, 0x00, 3, 0);  // the section's own symbol
    const std::size_t strings = kSymbols + 18 * 5;
    const char* long_name = "_ZN3bio4longEv";
    m.put(strings, 4 + std::strlen(long_name) + 1, 4);
    m.text(strings + 4, long_name);
    return m;
}

TEST(CoffFunctions, FindsTheFunctionContainingAnAddress) {
    const Image m = small_image();
    const CoffFunctions table = CoffFunctions::from_image(m.bytes);
    EXPECT_EQ(table.size(), 2u);
    const struct {
        std::uint32_t rva;
        const char* name;
    } rows[] = {{0x1000, ""},  {0x100F, ""}, {0x1010, "short"}, {0x107F, "short"}, {0x1080, "_ZN3bio4longEv"},
                {0x10FF, "_ZN3bio4longEv"}, {0x1100, ""}, {0x2008, ""}, {0, ""}};
    for (const auto& row : rows) EXPECT_EQ(table.function_at(row.rva), row.name) << std::hex << row.rva;
}

TEST(CoffFunctions, EveryCutOrDamagedImageGivesAtMostWhatItHolds) {
    const Image whole = small_image();
    for (std::size_t length = 0; length < whole.bytes.size(); ++length) {
        std::vector<std::uint8_t> cut(whole.bytes.begin(), whole.bytes.begin() + length);
        const CoffFunctions table = CoffFunctions::from_image(cut);
        EXPECT_LE(table.size(), 2u) << length;
        if (length < kSymbols) {
            EXPECT_EQ(table.size(), 0u) << length;
        }
    }
    const struct {
        const char* label;
        std::size_t at;
        std::uint64_t value;
        int size;
        std::size_t left;
    } damage[] = {{"not MZ", 0, 'X', 1, 0},
                  {"PE header beyond the end", 0x3C, 0xFFFFFFF0, 4, 0},
                  {"symbols beyond the end", 0x44 + 8, 0x7FFFFFFF, 4, 0},
                  {"too many symbols: no string table after them", 0x44 + 12, 0xFFFFFFFF, 4, 1},
                  {"long name beyond the strings", kSymbols + 18 * 2 + 4, 0x7FFF, 4, 1},
                  {"section number too large", kSymbols + 12, 9, 2, 1}};
    for (const auto& row : damage) {
        Image m = small_image();
        m.put(row.at, row.value, row.size);
        EXPECT_EQ(CoffFunctions::from_image(m.bytes).size(), row.left) << row.label;
    }
}

TEST(CoffFunctions, NamesLoseTheirParameterLists) {
    const struct {
        const char* in;
        const char* out;
    } rows[] = {{"bio::f(int) const", "bio::f"},
                {"bio::g()", "bio::g"},
                {"bio::h(int) &&", "bio::h"},
                {"bio::X::operator()() const", "bio::X::operator()"},
                {"bio::call<void (*)(int)>(void (*)(int))", "bio::call<void (*)(int)>"},
                {"bio::f()::{lambda()#1}::_FUN", "bio::f()::{lambda()#1}::_FUN"},
                {"PyInit_biometric", "PyInit_biometric"},
                {"(broken", "(broken"},
                {"", ""}};
    for (const auto& row : rows) EXPECT_EQ(without_parameters(row.in), row.out) << row.in;
}

#if defined(_WIN32)
TEST(CoffFunctions, NamesTheFunctionsOfThisProgramFromItsOwnFile) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::ifstream file(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const CoffFunctions table = CoffFunctions::from_image(bytes);
    ASSERT_GT(table.size(), 100u);
    const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
    const auto rva = [&](auto* function) {
        return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(function) - base);
    };
    EXPECT_EQ(table.function_at(rva(&without_parameters)), "_ZN3bio18without_parametersENSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE");
    EXPECT_EQ(table.function_at(rva(&without_parameters) + 1), table.function_at(rva(&without_parameters)));
    EXPECT_EQ(table.function_at(rva(&CoffFunctions::from_image)).substr(0, 34), "_ZN3bio13CoffFunctions10from_image");
}
#endif

}  // namespace
}  // namespace bio::testing
