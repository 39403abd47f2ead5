// Function names of a PE image, what a module names its own stack frames from where no
// debugger library understands its debug data (Microsoft's dbghelp reads PDB files, not
// DWARF): the build's table of them, the section .fnames that tools/frame_names.py makes
// from the DWARF after linking (every toolchain: zig's linker writes no symbol table),
// or else the COFF symbol table that GNU ld writes. Both are read from the image's file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bio {

class CoffFunctions {
public:
    CoffFunctions() = default;

    // The functions of `image`, the bytes of a PE file: those of its .fnames section if
    // it has one, else its function symbols. A file that is not a PE image, or has
    // neither, gives none; a damaged .fnames gives none; a symbol table cut short or
    // damaged anywhere gives those symbols it could read completely.
    static CoffFunctions from_image(std::span<const std::uint8_t> image);

    // The (mangled) name of the function whose code contains the relative virtual
    // address `rva`: the nearest function symbol at or below it in the same code
    // section. Empty when there is none.
    std::string_view function_at(std::uint32_t rva) const;

    std::size_t size() const noexcept { return functions_.size(); }

private:
    bool read_names_section(std::span<const std::uint8_t> section);

    struct Function {
        std::uint32_t start;  // relative virtual address
        std::uint32_t end;    // its end (.fnames), or that of its section (symbols)
        std::string name;
    };
    std::vector<Function> functions_;  // by start
};

// A demangled C++ function name without its parameter list and qualifiers, as
// backtraces show it: "bio::f(int) const" is "bio::f", and without those of functions
// in its template arguments, as LLVM's demangler writes them: "bio::g<&bio::f(int)>()"
// is "bio::g<&bio::f>", as GNU's writes it. Other text is returned as it is.
std::string without_parameters(std::string name);

}  // namespace bio
