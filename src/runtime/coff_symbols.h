// Function names from the COFF symbol table of a PE image: what GNU ld writes into a
// Windows module it links, and what the module names its own stack frames from where
// no debugger library understands its debug data (Microsoft's dbghelp reads PDB files,
// not DWARF). The table is not mapped into memory: it is read from the image's file.
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

    // The function symbols of `image`, the bytes of a PE file. A file that is not a PE
    // image, has no symbol table, or is cut short or damaged anywhere gives no symbols,
    // or those it could read completely.
    static CoffFunctions from_image(std::span<const std::uint8_t> image);

    // The (mangled) name of the function whose code contains the relative virtual
    // address `rva`: the nearest function symbol at or below it in the same code
    // section. Empty when there is none.
    std::string_view function_at(std::uint32_t rva) const;

    std::size_t size() const noexcept { return functions_.size(); }

private:
    struct Function {
        std::uint32_t start;  // relative virtual address
        std::uint32_t end;    // end of its section
        std::string name;
    };
    std::vector<Function> functions_;  // by start
};

// A demangled C++ function name without its parameter list and qualifiers, as
// backtraces show it: "bio::f(int) const" is "bio::f". Other text is returned as it is.
std::string without_parameters(std::string name);

}  // namespace bio
