#include "runtime/coff_symbols.h"

#include <algorithm>
#include <cstring>

namespace bio {
namespace {

// Sizes and fields of the PE/COFF image format, as Microsoft documents it ("PE Format").
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSymbolSize = 18;
constexpr std::uint16_t kFunctionType = 0x20;  // DTYPE_FUNCTION << 4
constexpr std::uint8_t kExternal = 2, kStatic = 3;
constexpr std::uint32_t kCode = 0x20, kExecute = 0x20000000;

// Little-endian reads that fail instead of reading past the end.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool has(std::size_t offset, std::size_t count) const {
        return offset <= bytes_.size() && count <= bytes_.size() - offset;
    }
    template <class T>
    bool read(std::size_t offset, T& out) const {
        if (!has(offset, sizeof(T))) return false;
        T value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(T(bytes_[offset + i]) << (8 * i));
        out = value;
        return true;
    }
    std::string_view text(std::size_t offset, std::size_t limit) const {
        if (!has(offset, 0)) return {};
        const auto* start = reinterpret_cast<const char*>(bytes_.data() + offset);
        const std::size_t available = std::min(limit, bytes_.size() - offset);
        return std::string_view(start, static_cast<std::size_t>(std::find(start, start + available, '\0') - start));
    }

private:
    std::span<const std::uint8_t> bytes_;
};

struct Section {
    std::uint32_t address;
    std::uint32_t size;
    bool code;
    std::uint32_t raw_size;
    std::uint32_t raw_at;
    std::string_view name;
};

// The table of function names a build adds as a section of its own (tools/frame_names.py
// writes it): a magic text, a count, (start, end, name offset) per function by start,
// then the names.
constexpr std::string_view kNamesSection = ".fnames";
constexpr std::string_view kNamesMagic{"bio-fn1\0", 8};
constexpr std::size_t kNamesRow = 12;

}  // namespace

bool CoffFunctions::read_names_section(std::span<const std::uint8_t> section) {
    const Reader in(section);
    std::uint32_t count = 0;
    if (!in.has(0, kNamesMagic.size()) || std::memcmp(section.data(), kNamesMagic.data(), kNamesMagic.size()) != 0 ||
        !in.read(kNamesMagic.size(), count)) {
        return false;
    }
    const std::size_t rows_at = kNamesMagic.size() + 4;
    if (!in.has(rows_at, std::size_t{count} * kNamesRow)) return false;
    const std::size_t names_at = rows_at + std::size_t{count} * kNamesRow;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t start = 0, end = 0, offset = 0;
        const std::size_t at = rows_at + i * kNamesRow;
        in.read(at, start);
        in.read(at + 4, end);
        in.read(at + 8, offset);
        const std::string_view name = in.text(names_at + offset, section.size());
        // A name must end inside the section; rows out of order or empty make a damaged table.
        if (start >= end || name.empty() || !in.has(names_at + offset, name.size() + 1) ||
            (!functions_.empty() && start < functions_.back().start)) {
            functions_.clear();
            return false;
        }
        functions_.push_back(Function{start, end, std::string(name)});
    }
    return true;
}

CoffFunctions CoffFunctions::from_image(std::span<const std::uint8_t> image) {
    CoffFunctions table;
    const Reader in(image);
    std::uint32_t pe = 0;
    if (!in.has(0, 2) || image[0] != 'M' || image[1] != 'Z' || !in.read<std::uint32_t>(0x3C, pe)) return table;
    if (!in.has(pe, 4 + kFileHeaderSize) || std::memcmp(image.data() + pe, "PE\0\0", 4) != 0) return table;
    const std::size_t header = std::size_t{pe} + 4;
    std::uint16_t section_count = 0, optional_size = 0;
    std::uint32_t symbols_at = 0, symbol_count = 0;
    in.read(header + 2, section_count);
    in.read(header + 8, symbols_at);
    in.read(header + 12, symbol_count);
    in.read(header + 16, optional_size);

    std::vector<Section> sections;
    const std::size_t first_section = header + kFileHeaderSize + optional_size;
    for (std::size_t i = 0; i < section_count; ++i) {
        const std::size_t at = first_section + i * kSectionHeaderSize;
        Section s{};
        std::uint32_t characteristics = 0;
        if (!in.read(at + 8, s.size) || !in.read(at + 12, s.address) || !in.read(at + 16, s.raw_size) ||
            !in.read(at + 20, s.raw_at) || !in.read(at + 36, characteristics)) {
            return table;
        }
        s.code = (characteristics & (kCode | kExecute)) != 0;
        s.name = in.text(at, 8);
        sections.push_back(s);
    }
    // The table of names where the build added one; the symbol table otherwise.
    for (const Section& s : sections) {
        if (s.name != kNamesSection) continue;
        // The file's copy is padded to its alignment; the header's virtual size is exact.
        const std::size_t size = std::min(s.raw_size, s.size == 0 ? s.raw_size : s.size);
        if (in.has(s.raw_at, size)) table.read_names_section(image.subspan(s.raw_at, size));
        return table;
    }
    if (symbols_at == 0 || symbol_count == 0) return table;

    // The string table follows the symbols: its size (itself included), then the names.
    const std::size_t strings_at = std::size_t{symbols_at} + std::size_t{symbol_count} * kSymbolSize;
    std::uint32_t strings_size = 0;
    if (!in.read(strings_at, strings_size)) strings_size = 0;
    for (std::size_t i = 0; i < symbol_count; ++i) {
        const std::size_t at = symbols_at + i * kSymbolSize;
        std::uint32_t value = 0, zeroes = 0, name_offset = 0;
        std::int16_t section = 0;
        std::uint16_t type = 0;
        std::uint8_t storage = 0, aux = 0;
        if (!in.read(at, zeroes) || !in.read(at + 4, name_offset) || !in.read(at + 8, value) || !in.read(at + 12, section) ||
            !in.read(at + 14, type) || !in.read(at + 16, storage) || !in.read(at + 17, aux)) {
            break;
        }
        i += aux;
        if (type != kFunctionType || (storage != kExternal && storage != kStatic)) continue;
        if (section <= 0 || static_cast<std::size_t>(section) > sections.size()) continue;
        const Section& s = sections[static_cast<std::size_t>(section) - 1];
        if (!s.code || value >= s.size) continue;
        std::string_view name = zeroes != 0 ? in.text(at, 8)
                                : name_offset >= 4 && name_offset < strings_size
                                    ? in.text(strings_at + name_offset, strings_size - name_offset)
                                    : std::string_view();
        if (name.empty()) continue;
        table.functions_.push_back(Function{s.address + value, s.address + s.size, std::string(name)});
    }
    std::stable_sort(table.functions_.begin(), table.functions_.end(),
                     [](const Function& a, const Function& b) { return a.start < b.start; });
    return table;
}

std::string_view CoffFunctions::function_at(std::uint32_t rva) const {
    auto after = std::upper_bound(functions_.begin(), functions_.end(), rva,
                                  [](std::uint32_t value, const Function& f) { return value < f.start; });
    if (after == functions_.begin()) return {};
    const Function& function = *std::prev(after);
    return rva < function.end ? std::string_view(function.name) : std::string_view();
}

namespace {

std::string without_trailing_parameters(std::string name) {
    // Qualifiers after the parameter list: " const", " volatile", " &", " &&", " noexcept".
    std::size_t end = name.size();
    for (bool trimmed = true; trimmed;) {
        trimmed = false;
        for (std::string_view q : {" const", " volatile", " &&", " &", " noexcept"}) {
            if (end >= q.size() && std::string_view(name).substr(end - q.size(), q.size()) == q) {
                end -= q.size();
                trimmed = true;
            }
        }
    }
    if (end == 0 || name[end - 1] != ')') return name;
    int depth = 0;
    for (std::size_t i = end; i-- > 0;) {
        if (name[i] == ')') ++depth;
        if (name[i] == '(' && --depth == 0) {
            // "operator()" keeps its own parentheses: the list is the pair after them.
            if (i == 0) return name;
            name.resize(i);
            return name;
        }
    }
    return name;
}

bool is_name_character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The end of the parenthesised group that starts at `open`, or npos when it never closes.
std::size_t group_end(std::string_view text, std::size_t open) {
    int depth = 0;
    for (std::size_t i = open; i < text.size(); ++i) {
        if (text[i] == '(') ++depth;
        if (text[i] == ')' && --depth == 0) return i;
    }
    return std::string_view::npos;
}

// Inside template arguments LLVM's demangler writes a function the argument refers to
// with its parameter list ("bio::entry<&bio::f(int)>"), GNU's without ("bio::entry<&bio::f>"):
// such a list, a '(' right after a name, goes too. After an operator's name or a keyword
// ("decltype(", "{lambda()#1}") the group stays as it is.
std::string without_argument_parameters(std::string_view name) {
    std::string out;
    int angles = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '(' && angles > 0 && !out.empty() && is_name_character(out.back())) {
            std::size_t word = out.size();
            while (word > 0 && is_name_character(out[word - 1])) --word;
            const std::string_view before = std::string_view(out).substr(word);
            const std::size_t end = group_end(name, i);
            if (end == std::string_view::npos) {
                out.append(name.substr(i));
                break;
            }
            const bool keyword = before == "operator" || before == "lambda" || before == "decltype" ||
                                 before == "sizeof" || before == "alignof" || before == "noexcept" || before == "typeid";
            if (keyword) {
                out.append(name.substr(i, end - i + 1));
                // "operator()(int)": the call operator's name, then its parameter list.
                const std::size_t list_end = before == "operator" && end + 1 < name.size() && name[end + 1] == '('
                                                 ? group_end(name, end + 1)
                                                 : std::string_view::npos;
                i = list_end != std::string_view::npos ? list_end : end;
            } else {
                i = end;
            }
            continue;
        }
        if (c == '<') ++angles;
        if (c == '>' && angles > 0) --angles;
        out += c;
    }
    return out;
}

}  // namespace

std::string without_parameters(std::string name) {
    return without_argument_parameters(without_trailing_parameters(std::move(name)));
}

}  // namespace bio
