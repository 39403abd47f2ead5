#include "support.h"

#include <gtest/gtest.h>

namespace bio::testing {
namespace {

constexpr const wchar_t* kClassRoot = L"Software\\Microsoft\\WindowsRuntime\\ActivatableClassId\\";

}  // namespace

std::wstring program_directory() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

doubles::Control& control_of(const wchar_t* file) {
    HMODULE library = LoadLibraryW((program_directory() + file).c_str());
    if (library == nullptr) {
        ADD_FAILURE() << "cannot load the doubles library, error " << GetLastError();
        std::abort();
    }
    auto control = reinterpret_cast<doubles::ControlFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(library, "bio_doubles_control")));
    return *control();
}

doubles::Control& registered_doubles() { return control_of(L"bio_doubles.dll"); }

ScopedRegistration::ScopedRegistration(const wchar_t* class_name, std::optional<std::wstring> dll_path)
    : key_(std::wstring(kClassRoot) + class_name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        existed_ = true;
        wchar_t value[MAX_PATH] = {};
        DWORD size = sizeof value - sizeof(wchar_t);
        if (RegQueryValueExW(key, L"DllPath", nullptr, &type_, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS) {
            previous_ = value;
        }
        RegCloseKey(key);
    }
    if (!dll_path) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, key_.c_str());
        return;
    }
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) ==
        ERROR_SUCCESS) {
        RegSetValueExW(key, L"DllPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(dll_path->c_str()),
                       static_cast<DWORD>((dll_path->size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
}

ScopedRegistration::~ScopedRegistration() {
    if (!existed_) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, key_.c_str());
        return;
    }
    // The other values of a key we only changed stay as they were.
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) ==
        ERROR_SUCCESS) {
        RegSetValueExW(key, L"DllPath", 0, type_, reinterpret_cast<const BYTE*>(previous_.c_str()),
                       static_cast<DWORD>((previous_.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
}

void settle(doubles::Control& control) {
    for (int i = 0; i < 200 && control.pending_threads != 0; ++i) Sleep(10);
}

}  // namespace bio::testing
