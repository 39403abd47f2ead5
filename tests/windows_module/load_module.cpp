// Loads a built module as Python would, from a folder whose Python DLL (python3.dll) is the
// generated stand-in: LoadLibraryW, GetProcAddress of its init function, FreeLibrary.
// Nothing of Python is called (every stand-in function traps), so this proves that the
// loader can map the module and resolve every import, and that the C runtime's start-up
// and shutdown, thread-local storage and static constructors run inside a DLL.
//
// load_module <module path> <init name> <python DLL name>; exit 0 when all went well.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring widen(const char* text) {
    std::wstring wide;
    for (; *text != '\0'; ++text) wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    return wide;
}

std::string module_path(HMODULE module) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, MAX_PATH);
    return path;
}

int fail(const char* what) {
    std::printf("FAILED: %s (error %lu)\n", what, GetLastError());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::printf("usage: load_module <module path> <init name> <python DLL name>\n");
        return 2;
    }
    std::wstring path = widen(argv[1]);
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    const std::wstring python_dll = widen(argv[3]);
    if (GetModuleHandleW(python_dll.c_str()) != nullptr) return fail("the Python DLL is loaded before the module");

    HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr) return fail("LoadLibraryW");
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const char*>(module) + dos->e_lfanew);
    std::printf("loaded %s at %p (%lu bytes)\n", module_path(module).c_str(), static_cast<void*>(module),
                static_cast<unsigned long>(nt->OptionalHeader.SizeOfImage));

    // The module's Python DLL import was resolved to the stand-in beside this program.
    HMODULE python = GetModuleHandleW(python_dll.c_str());
    if (python == nullptr) return fail("the module did not load its Python DLL");
    char program[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    std::string folder = program;
    folder.resize(folder.find_last_of('\\') + 1);
    const std::string python_path = module_path(python);
    std::printf("%s resolved to %s\n", argv[3], python_path.c_str());
    if (python_path.compare(0, folder.size(), folder) != 0) return fail("the Python DLL is not the stand-in");

    const FARPROC init = GetProcAddress(module, argv[2]);
    if (init == nullptr) return fail("GetProcAddress");
    const auto offset = reinterpret_cast<const char*>(init) - reinterpret_cast<const char*>(module);
    if (offset <= 0 || static_cast<unsigned long long>(offset) >= nt->OptionalHeader.SizeOfImage) {
        return fail("the init function lies outside the module's image");
    }
    std::printf("%s at module+0x%llx\n", argv[2], static_cast<unsigned long long>(offset));

    if (!FreeLibrary(module)) return fail("FreeLibrary");
    if (GetModuleHandleW(path.c_str()) != nullptr) return fail("the module is still loaded after FreeLibrary");
    std::printf("unloaded\n");
    return 0;
}
