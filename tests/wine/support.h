// Shared helpers of the Wine tests: the doubles' control, registrations, live counts.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "doubles.h"
#include "winrt/abi.h"

namespace bio::testing {

inline constexpr const wchar_t* kManagerClass = L"Windows.Security.Credentials.KeyCredentialManager";
inline constexpr const wchar_t* kCryptoClass = L"Windows.Security.Cryptography.CryptographicBuffer";

// The directory of the test program, with a trailing backslash.
std::wstring program_directory();

// The Control of the doubles library `file` (loaded beside the program; it stays loaded).
doubles::Control& control_of(const wchar_t* file);
// The registered doubles library, bio_doubles.dll.
doubles::Control& registered_doubles();

// Points a runtime class at `dll_path`, or removes its registration when there is none;
// puts back what was there when it ends.
class ScopedRegistration {
public:
    ScopedRegistration(const wchar_t* class_name, std::optional<std::wstring> dll_path);
    ScopedRegistration(const ScopedRegistration&) = delete;
    ScopedRegistration& operator=(const ScopedRegistration&) = delete;
    ~ScopedRegistration();

private:
    std::wstring key_;
    bool existed_ = false;
    DWORD type_ = REG_SZ;
    std::wstring previous_;
};

// Our CryptographicBuffer double in place of Wine's own, for one test.
struct DoublesForBothClasses {
    ScopedRegistration crypto{kCryptoClass, program_directory() + L"bio_doubles.dll"};
};

// Waits (briefly) for completions still running on the doubles' threads.
void settle(doubles::Control& control);

}  // namespace bio::testing
