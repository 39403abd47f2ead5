// The stand-in store's file names: every name maps to safe path components inside the
// store and back to itself, and any path that decodes to a name is that name's path.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "local/credential_store.h"

using bio::local::key_file_path;
using bio::local::kComponentChars;
using bio::local::name_of_key_file;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> components = key_file_path(name);
    FUZZ_CHECK(!components.empty());
    for (std::size_t i = 0; i < components.size(); ++i) {
        const std::string& c = components[i];
        FUZZ_CHECK(!c.empty() && c.size() <= 255 && c != "." && c != "..");
        for (char ch : c) {
            FUZZ_CHECK((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-' || ch == '_' || ch == '.');
        }
        const bool key_file = c.size() >= 4 && c.compare(c.size() - 4, 4, ".key") == 0;
        FUZZ_CHECK(key_file == (i + 1 == components.size()));
        FUZZ_CHECK(i + 1 == components.size() || c.size() == kComponentChars);
    }
    FUZZ_CHECK(name_of_key_file(components) == name);

    // The input as a path ("/"-separated): only the one spelling of a name decodes.
    std::vector<std::string> path(1);
    for (char ch : name) {
        if (ch == '/') {
            path.emplace_back();
        } else {
            path.back() += ch;
        }
    }
    if (const auto decoded = name_of_key_file(path)) FUZZ_CHECK(key_file_path(*decoded) == path);
    return 0;
}
