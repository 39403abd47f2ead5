// The function-name reader: a small image made here, with a symbol table and with a
// .fnames section, every prefix of it, and (on Windows) the test program's own file.
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

// The small image with a third section, .fnames, at file offset kNames: "first" at
// [0x1020, 0x1030), "second" at [0x1040, 0x10A0).
constexpr std::size_t kNames = 0x300;
Image image_with_names() {
    Image m = small_image();
    m.put(0x44 + 2, 3, 2);
    const std::size_t section = 0x44 + 20 + 80;
    m.text(section, ".fnames");
    m.put(section + 8, 8 + 4 + 2 * 12 + 13, 4);  // its exact size
    m.put(section + 12, 0x3000, 4);
    m.put(section + 16, 0x200, 4);  // padded in the file
    m.put(section + 20, kNames, 4);
    m.put(section + 36, 0x40000040, 4);
    m.text(kNames, "bio-fn1");  // the magic, its NUL included
    m.put(kNames + 8, 2, 4);
    const std::uint32_t rows[2][3] = {{0x1020, 0x1030, 0}, {0x1040, 0x10A0, 6}};
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 3; ++j) m.put(kNames + 12 + 12 * i + 4 * j, rows[i][j], 4);
    }
    m.text(kNames + 36, "first");
    m.text(kNames + 42, "second");
    m.put(kNames + 0x200 - 1, 0, 1);
    return m;
}

TEST(CoffFunctions, TheNamesSectionComesBeforeTheSymbols) {
    const Image m = image_with_names();
    const CoffFunctions table = CoffFunctions::from_image(m.bytes);
    EXPECT_EQ(table.size(), 2u);
    const struct {
        std::uint32_t rva;
        const char* name;
    } rows[] = {{0x1010, ""}, {0x1020, "first"}, {0x102F, "first"}, {0x1030, ""}, {0x1040, "second"},
                {0x109F, "second"}, {0x10A0, ""}, {0x3000, ""}};
    for (const auto& row : rows) EXPECT_EQ(table.function_at(row.rva), row.name) << std::hex << row.rva;
}

TEST(CoffFunctions, ADamagedNamesSectionGivesNoNames) {
    for (std::size_t length = kNames; length < kNames + 48; ++length) {
        Image m = image_with_names();
        m.bytes.resize(length);
        EXPECT_EQ(CoffFunctions::from_image(m.bytes).size(), 0u) << length;
    }
    const struct {
        const char* label;
        std::size_t at;
        std::uint64_t value;
        int size;
    } damage[] = {{"another magic", kNames, 'X', 1},
                  {"more rows than the section holds", kNames + 8, 0x10000000, 4},
                  {"a name beyond the section", kNames + 12 + 12 + 8, 0x1000, 4},
                  {"an empty range", kNames + 12 + 4, 0x1020, 4},
                  {"rows out of order", kNames + 12 + 12, 0x1000, 4},
                  {"a name without its end", kNames + 36, 0x4141414141414141, 8}};
    for (const auto& row : damage) {
        Image m = image_with_names();
        m.put(row.at, row.value, row.size);
        // The last name's end: the test image's padding is all zeroes.
        if (row.at == kNames + 36) std::memset(m.bytes.data() + kNames + 36, 'A', 0x200 - 36);
        EXPECT_EQ(CoffFunctions::from_image(m.bytes).size(), 0u) << row.label;
    }
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
                // LLVM's rendering of a function in template arguments, made GNU's.
                {"_object* bio::entry<&bio::(anonymous namespace)::body(_object*, long long)>(_object*)",
                 "_object* bio::entry<&bio::(anonymous namespace)::body>"},
                {"bio::g<&bio::X::operator()(int), decltype(f(0))>()", "bio::g<&bio::X::operator(), decltype(f(0))>"},
                {"bio::h<&bio::f(int>()", "bio::h<&bio::f(int>"},
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
    // Mangled names; the standard library's part of them differs between toolchains.
    EXPECT_EQ(table.function_at(rva(&without_parameters)).substr(0, 28), "_ZN3bio18without_parametersE");
    EXPECT_EQ(table.function_at(rva(&without_parameters) + 1), table.function_at(rva(&without_parameters)));
    EXPECT_EQ(table.function_at(rva(&CoffFunctions::from_image)).substr(0, 34), "_ZN3bio13CoffFunctions10from_image");
}
#endif

}  // namespace
}  // namespace bio::testing
