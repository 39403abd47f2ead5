#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "winrt/platform_error_windows.h"
#include "winrt/platform_string.h"

namespace bio::winrt {
namespace {

using namespace bio::abi;

// Identifiers that abi_check.c cannot compare at build time (mingw-w64 declares them
// before it can look), compared with mingw-w64's libuuid here.
TEST(InterfaceIdentifiers, MatchTheSystemOnes) {
    EXPECT_TRUE(IsEqualGUID(abi::IID_IUnknown, ::IID_IUnknown));
    EXPECT_TRUE(IsEqualGUID(abi::IID_IAgileObject, ::IID_IAgileObject));
    EXPECT_TRUE(IsEqualGUID(abi::IID_IErrorInfo, ::IID_IErrorInfo));
}

// An error object with an optional restricted side, the way the platform hands them out.
struct FakeErrorInfo {
    const IErrorInfoVtbl* vtbl;
    const IRestrictedErrorInfoVtbl* restricted_vtbl;
    LONG refs = 1;
    bool restricted;
    const wchar_t* description;             // GetDescription
    const wchar_t* details_description;     // GetErrorDetails
    const wchar_t* restricted_description;  // GetErrorDetails
    int* live;

    static FakeErrorInfo* of(IErrorInfo* self) { return reinterpret_cast<FakeErrorInfo*>(self); }
    static FakeErrorInfo* of(IRestrictedErrorInfo* self) {
        return reinterpret_cast<FakeErrorInfo*>(reinterpret_cast<char*>(self) - offsetof(FakeErrorInfo, restricted_vtbl));
    }
    static HRESULT answer(FakeErrorInfo* f, const IID* iid, void** out) {
        *out = nullptr;
        if (IsEqualGUID(*iid, IID_IUnknown) || IsEqualGUID(*iid, abi::IID_IErrorInfo)) {
            *out = f;
        } else if (f->restricted && IsEqualGUID(*iid, abi::IID_IRestrictedErrorInfo)) {
            *out = &f->restricted_vtbl;
        } else {
            return E_NOINTERFACE;
        }
        ++f->refs;
        return S_OK;
    }
    static ULONG drop(FakeErrorInfo* f) {
        if (--f->refs == 0) {
            --*f->live;
            return 0;
        }
        return static_cast<ULONG>(f->refs);
    }
    static BSTR make(const wchar_t* text) { return text == nullptr ? nullptr : SysAllocString(text); }

    static HRESULT STDMETHODCALLTYPE QI(IErrorInfo* self, const IID* iid, void** out) { return answer(of(self), iid, out); }
    static ULONG STDMETHODCALLTYPE AddRef(IErrorInfo* self) { return static_cast<ULONG>(++of(self)->refs); }
    static ULONG STDMETHODCALLTYPE Release(IErrorInfo* self) { return drop(of(self)); }
    static HRESULT STDMETHODCALLTYPE GetGUID(IErrorInfo*, GUID* guid) {
        *guid = GUID{};
        return S_OK;
    }
    static HRESULT STDMETHODCALLTYPE NoText(IErrorInfo*, BSTR* text) {
        *text = nullptr;
        return E_NOTIMPL;
    }
    static HRESULT STDMETHODCALLTYPE GetDescription(IErrorInfo* self, BSTR* text) {
        *text = make(of(self)->description);
        return S_OK;
    }
    static HRESULT STDMETHODCALLTYPE GetHelpContext(IErrorInfo*, DWORD* context) {
        *context = 0;
        return S_OK;
    }
    static HRESULT STDMETHODCALLTYPE RQI(IRestrictedErrorInfo* self, const IID* iid, void** out) {
        return answer(of(self), iid, out);
    }
    static ULONG STDMETHODCALLTYPE RAddRef(IRestrictedErrorInfo* self) { return static_cast<ULONG>(++of(self)->refs); }
    static ULONG STDMETHODCALLTYPE RRelease(IRestrictedErrorInfo* self) { return drop(of(self)); }
    static HRESULT STDMETHODCALLTYPE GetErrorDetails(IRestrictedErrorInfo* self, BSTR* description, HRESULT* error,
                                                     BSTR* restricted_description, BSTR* capability_sid) {
        FakeErrorInfo* f = of(self);
        *description = make(f->details_description);
        *error = E_FAIL;
        *restricted_description = make(f->restricted_description);
        *capability_sid = make(L"S-1-15-3-1");
        return S_OK;
    }
    static HRESULT STDMETHODCALLTYPE GetReference(IRestrictedErrorInfo*, BSTR* reference) {
        *reference = nullptr;
        return E_NOTIMPL;
    }
};

constexpr IErrorInfoVtbl kErrorVtbl = {&FakeErrorInfo::QI,      &FakeErrorInfo::AddRef,         &FakeErrorInfo::Release,
                                       &FakeErrorInfo::GetGUID, &FakeErrorInfo::NoText,         &FakeErrorInfo::GetDescription,
                                       &FakeErrorInfo::NoText,  &FakeErrorInfo::GetHelpContext};
constexpr IRestrictedErrorInfoVtbl kRestrictedVtbl = {&FakeErrorInfo::RQI, &FakeErrorInfo::RAddRef, &FakeErrorInfo::RRelease,
                                                      &FakeErrorInfo::GetErrorDetails, &FakeErrorInfo::GetReference};

struct InfoRow {
    const char* label;
    bool restricted;
    const wchar_t* description;
    const wchar_t* details_description;
    const wchar_t* restricted_description;
    std::string message;
};

class ErrorInfoText : public ::testing::TestWithParam<InfoRow> {};

TEST_P(ErrorInfoText, FollowsThePrecedenceAndIsReleasedOnce) {
    const InfoRow& row = GetParam();
    int live = 1;
    FakeErrorInfo fake{&kErrorVtbl, &kRestrictedVtbl, 1, row.restricted, row.description, row.details_description,
                       row.restricted_description, &live};
    // The thread's error object, as a failing platform call leaves it.
    ASSERT_EQ(SetErrorInfo(0, reinterpret_cast<::IErrorInfo*>(&fake)), S_OK);
    FakeErrorInfo::drop(&fake);
    {
        PlatformError error = error_from_failure(static_cast<HRESULT>(0x80070005u));
        EXPECT_EQ(error.code(), static_cast<std::int32_t>(0x80070005u));
        ASSERT_NE(error.info(), nullptr);
        // Taking the object cleared it from the thread.
        ::IErrorInfo* left = nullptr;
        EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE);
        EXPECT_EQ(error.message(), row.message);
        std::string expected = "Error { code: HRESULT(0x80070005), message: ";
        append_quoted(expected, row.message);
        EXPECT_EQ(error.debug_text(), expected + " }");
        EXPECT_EQ(live, 1);
    }
    EXPECT_EQ(live, 0);
    EXPECT_EQ(fake.refs, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ErrorInfoText,
    ::testing::Values(InfoRow{"RestrictedWins", true, L"plain", L"details", L"restricted", "restricted"},
                      InfoRow{"EmptyRestrictedGivesDetails", true, L"plain", L"details", L"", "details"},
                      InfoRow{"NullRestrictedGivesDetails", true, L"plain", L"details", nullptr, "details"},
                      InfoRow{"NoDetailsGivesDescription", true, L"plain", nullptr, nullptr, "plain"},
                      InfoRow{"PlainErrorInfo", false, L"plain", L"details", L"restricted", "plain"},
                      InfoRow{"TrailingWhitespaceDropped", false, L"two\r\nlines \t\r\n", nullptr, nullptr, "two\r\nlines"},
                      InfoRow{"NoTextAtAll", true, nullptr, nullptr, nullptr, ""},
                      InfoRow{"NonAscii", false, L"caf\u00e9 \U0001F600", nullptr, nullptr, "caf\xC3\xA9 \xF0\x9F\x98\x80"}),
    [](const auto& info) { return std::string(info.param.label); });

struct SystemRow {
    const char* label;
    DWORD last_error;
    std::int32_t code;
};
class LastSystemError : public ::testing::TestWithParam<SystemRow> {};
TEST_P(LastSystemError, BecomesAnHresult) {
    SetLastError(GetParam().last_error);
    PlatformError error = error_from_last_system_error();
    EXPECT_EQ(error.code(), GetParam().code);
    EXPECT_EQ(error.info(), nullptr);
}
INSTANTIATE_TEST_SUITE_P(Codes, LastSystemError,
                         ::testing::Values(SystemRow{"AccessDenied", 5, static_cast<std::int32_t>(0x80070005u)},
                                           SystemRow{"HighBitsDropped", 0x12345, static_cast<std::int32_t>(0x80072345u)},
                                           SystemRow{"NegativeUnchanged", 0x80070005u, static_cast<std::int32_t>(0x80070005u)},
                                           SystemRow{"ZeroIsEmpty", 0, 0}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(PlatformErrorWindows, WithoutInfoTheSystemTableSpeaks) {
    SetErrorInfo(0, nullptr);
    PlatformError denied = error_from_failure(static_cast<HRESULT>(0x80070005u));
    EXPECT_EQ(denied.info(), nullptr);
    const std::string text = denied.message();
    // The wording differs between Windows and Wine; the shape does not.
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(text.back(), ' ');
    EXPECT_EQ(text, system_message_text(static_cast<std::int32_t>(0x80070005u)));
    EXPECT_EQ(denied.debug_text().find("Error { code: HRESULT(0x80070005), message: \""), 0u);
    EXPECT_EQ(denied.debug_text().find('\n'), std::string::npos);

    PlatformError empty = error_from_failure(0);
    EXPECT_EQ(empty.code(), 0);
    EXPECT_EQ(empty.stored_code(), EMPTY_ERROR_CODE);
    std::string expected = "Error { code: HRESULT(0x00000000), message: ";
    append_quoted(expected, system_message_text(0));
    EXPECT_EQ(empty.debug_text(), expected + " }");
}

TEST(PlatformErrorWindows, NtStatusCodesAreLookedUpInNtdll) {
    // STATUS_ACCESS_DENIED, marked as an HRESULT made from an NT status.
    const std::string text = system_message_text(static_cast<std::int32_t>(0xD0000022u));
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    wchar_t* buffer = nullptr;
    const DWORD count = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                           FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE,
                                       ntdll, 0xC0000022u, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const std::string expected = count == 0 ? std::string() : utf16_to_utf8(buffer, trimmed_length(buffer, count));
    LocalFree(buffer);
    EXPECT_EQ(text, expected);
}

}  // namespace
}  // namespace bio::winrt
