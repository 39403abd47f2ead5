#include <gtest/gtest.h>
#include <roapi.h>
#include <winstring.h>

#include <cstdio>

#include "runtime/crypto.h"
#include "runtime/fault.h"
#include "bio_windows.h"
#include "support.h"
#include "winrt/completion.h"
#include "winrt/factory_cache.h"
#include "winrt/platform_string.h"

namespace bio {
namespace {

using bio::testing::DoublesForBothClasses;
using bio::testing::registered_doubles;
using bio::testing::ScopedRegistration;
using bio::testing::settle;
using doubles::Control;
using doubles::Method;

class EndToEnd : public ::testing::Test {
protected:
    DoublesForBothClasses registration;
    Control& doubles = registered_doubles();
    void TearDown() override {
        settle(doubles);
        EXPECT_EQ(doubles.live_objects, 0);
    }
};

TEST_F(EndToEnd, EnrolmentReturnsTheEncodedPublicKey) {
    doubles.completion = doubles::Completion::Later;
    EnrolmentResult result = enrol_credential(default_platform(), "alice \xC3\xA9");
    ASSERT_TRUE(std::holds_alternative<std::string>(result));
    EXPECT_EQ(std::get<std::string>(result), "BAECAw==");
    EXPECT_EQ(std::wstring(doubles.last_name, doubles.last_name_length), L"alice \u00e9");
    EXPECT_EQ(doubles.last_option, 1);
    EXPECT_EQ(doubles.calls[Method::EncodeToBase64String], 1);
}

TEST_F(EndToEnd, SigningReturnsTheSignatureBytes) {
    doubles.completion = doubles::Completion::Inside;
    const std::uint8_t data[] = {'n', 'o', 'n', 'c', 'e'};
    SigningResult result = sign_with_credential(default_platform(), "alice", ByteView{data, sizeof data});
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(result));
    EXPECT_EQ(std::get<std::vector<std::uint8_t>>(result), (std::vector<std::uint8_t>{0, 1, 127, 128, 255}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(doubles.last_data), doubles.last_data_length), "nonce");
    EXPECT_EQ(std::wstring(doubles.last_name, doubles.last_name_length), L"alice");
}

TEST_F(EndToEnd, EmptySignatureAndEmptyBase64Text) {
    doubles.signature_length = 0;
    doubles.scripts[Method::EncodeToBase64String].null_out = true;
    SigningResult signed_empty = sign_with_credential(default_platform(), "k", ByteView{});
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(signed_empty));
    EXPECT_TRUE(std::get<std::vector<std::uint8_t>>(signed_empty).empty());
    EnrolmentResult enrolled = enrol_credential(default_platform(), "k");
    ASSERT_TRUE(std::holds_alternative<std::string>(enrolled));
    EXPECT_EQ(std::get<std::string>(enrolled), "");
}

// With real keys, a signature of the doubles verifies with our own verification against
// the public key they gave the credential, through either signing call, and not against
// another credential's.
TEST_F(EndToEnd, RealKeysSignAsTheirPublicKeysVerify) {
    doubles.real_keys = true;
    const std::uint8_t data[] = {'s', 'e', 'a', 'l', 0, 0xff};
    const ByteView view{data, sizeof data};
    const CreationResult alice = create_credential(default_platform(), "alice", KeyCredentialCreationOption::ReplaceExisting, 0);
    const CreationResult bob = create_credential(default_platform(), "bob", KeyCredentialCreationOption::ReplaceExisting, 0);
    const SigningResult signed_plain = sign_with_credential(default_platform(), "alice", view);
    const SigningResult signed_for_window = sign_with_credential(default_platform(), "alice", view, 0x1234);
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(alice));
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(bob));
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(signed_plain));
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(signed_for_window));
    const auto& alice_key = std::get<std::vector<std::uint8_t>>(alice);
    const auto& signature = std::get<std::vector<std::uint8_t>>(signed_plain);
    EXPECT_EQ(doubles.calls[Method::RequestSignForWindowAsync], 1);
    EXPECT_EQ(signature.size(), 256u);
    EXPECT_EQ(std::get<std::vector<std::uint8_t>>(signed_for_window), signature);  // deterministic
    EXPECT_EQ(read_public_key(default_platform(), "alice"), PublicKeyResult(alice_key));
    EXPECT_EQ(crypto::rsa_pkcs1_sha256_verify(alice_key, data, signature), crypto::kOk);
    EXPECT_EQ(crypto::rsa_pkcs1_sha256_verify(std::get<std::vector<std::uint8_t>>(bob), data, signature),
              crypto::kNteBadSignature);
}

struct FailureRow {
    const char* label;
    Method method;
    HRESULT hr;
    bool null_out;
    INT32 status[2];
    std::int32_t code;
};

std::vector<FailureRow> enrol_rows() {
    const HRESULT e = static_cast<HRESULT>(0x80070057u);
    return {
        {"RequestCreateAsyncFails", Method::RequestCreateAsync, e, false, {0, 0}, e},
        {"RequestCreateAsyncYieldsNothing", Method::RequestCreateAsync, S_OK, true, {0, 0}, 0},
        {"AwaitFails", Method::GetResults, E_ABORT, false, {0, 0}, E_ABORT},
        {"AwaitYieldsNothing", Method::GetResults, S_OK, true, {0, 0}, 0},
        {"StatusFails", Method::RetrievalStatus, E_POINTER, false, {0, 0}, E_POINTER_CODE},
        {"StatusNotSuccessSecondReadDecides", Method::RetrievalStatus, S_OK, false, {5, 3}, 3},
        {"CredentialFails", Method::Credential, e, false, {0, 0}, e},
        {"CredentialYieldsNothing", Method::Credential, S_OK, true, {0, 0}, 0},
        {"PublicKeyFails", Method::RetrievePublicKey, e, false, {0, 0}, e},
        {"PublicKeyYieldsNothing", Method::RetrievePublicKey, S_OK, true, {0, 0}, 0},
        {"EncodeFails", Method::EncodeToBase64String, E_OUTOFMEMORY, false, {0, 0}, E_OUTOFMEMORY},
    };
}

std::vector<FailureRow> sign_rows() {
    const HRESULT e = static_cast<HRESULT>(0x80090016u);
    return {
        {"OpenAsyncFails", Method::OpenAsync, e, false, {0, 0}, e},
        {"OpenAsyncYieldsNothing", Method::OpenAsync, S_OK, true, {0, 0}, 0},
        {"AwaitOpenFails", Method::GetResults, E_ABORT, false, {0, 0}, E_ABORT},
        {"StatusOfOpenNotSuccess", Method::RetrievalStatus, S_OK, false, {2, 2}, 2},
        {"CredentialYieldsNothing", Method::Credential, S_OK, true, {0, 0}, 0},
        {"CreateFromByteArrayFails", Method::CreateFromByteArray, e, false, {0, 0}, e},
        {"CreateFromByteArrayYieldsNothing", Method::CreateFromByteArray, S_OK, true, {0, 0}, 0},
        {"RequestSignAsyncFails", Method::RequestSignAsync, e, false, {0, 0}, e},
        {"RequestSignAsyncYieldsNothing", Method::RequestSignAsync, S_OK, true, {0, 0}, 0},
        {"OperationStatusFails", Method::OperationStatus, E_FAIL, false, {0, 0}, E_FAIL},
        {"OperationStatusNotSuccess", Method::OperationStatus, S_OK, false, {3, 4}, 4},
        {"ResultFails", Method::Result, e, false, {0, 0}, e},
        {"ResultYieldsNothing", Method::Result, S_OK, true, {0, 0}, 0},
        {"CopyToByteArrayFails", Method::CopyToByteArray, e, false, {0, 0}, e},
    };
}

class EnrolFails : public EndToEnd, public ::testing::WithParamInterface<FailureRow> {};
class SignFails : public EndToEnd, public ::testing::WithParamInterface<FailureRow> {};

void script(Control& doubles, const FailureRow& row) {
    doubles.completion = doubles::Completion::Later;
    doubles.scripts[row.method].hr = row.hr;
    doubles.scripts[row.method].null_out = row.null_out;
    doubles.scripts[row.method].value[0] = row.status[0];
    doubles.scripts[row.method].value[1] = row.status[1];
}

TEST_P(EnrolFails, WithItsCode) {
    script(doubles, GetParam());
    EnrolmentResult result = enrol_credential(default_platform(), "alice");
    ASSERT_TRUE(std::holds_alternative<CredentialErrorCode>(result));
    EXPECT_EQ(std::get<CredentialErrorCode>(result), GetParam().code);
}
TEST_P(SignFails, WithItsCode) {
    script(doubles, GetParam());
    const std::uint8_t data[] = {1, 2, 3};
    SigningResult result = sign_with_credential(default_platform(), "alice", ByteView{data, sizeof data});
    ASSERT_TRUE(std::holds_alternative<CredentialErrorCode>(result));
    EXPECT_EQ(std::get<CredentialErrorCode>(result), GetParam().code);
}
INSTANTIATE_TEST_SUITE_P(Rows, EnrolFails, ::testing::ValuesIn(enrol_rows()),
                         [](const auto& info) { return std::string(info.param.label); });
INSTANTIATE_TEST_SUITE_P(Rows, SignFails, ::testing::ValuesIn(sign_rows()),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(EndToEnd, PublicKeyDeleteAndSupportCheck) {
    doubles.completion = doubles::Completion::Later;
    doubles.supported = 0;
    PublicKeyResult key = read_public_key(default_platform(), "alice");
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(key));
    EXPECT_EQ(std::get<std::vector<std::uint8_t>>(key), (std::vector<std::uint8_t>{4, 1, 2, 3}));
    EXPECT_EQ(doubles.last_blob_type, 0);  // X509SubjectPublicKeyInfo
    EXPECT_EQ(doubles.calls[Method::RetrievePublicKey], 0);
    EXPECT_EQ(doubles.calls[Method::Length], 0);

    EXPECT_EQ(delete_credential(default_platform(), "bob \xC3\xA9"), std::nullopt);
    EXPECT_EQ(std::wstring(doubles.last_name, doubles.last_name_length), L"bob \u00e9");

    SupportResult supported = check_support(default_platform());
    ASSERT_TRUE(std::holds_alternative<bool>(supported));
    EXPECT_FALSE(std::get<bool>(supported));
    doubles.supported = 1;
    EXPECT_EQ(check_support(default_platform()), SupportResult(true));
}

enum class KeysOperation { PublicKey, Delete, Support };

struct KeysFailureRow {
    const char* label;
    KeysOperation operation;
    Method method;
    HRESULT hr;
    bool null_out;
    std::int32_t code;
};

class KeysFail : public EndToEnd, public ::testing::WithParamInterface<KeysFailureRow> {};

TEST_P(KeysFail, WithItsCode) {
    const KeysFailureRow& row = GetParam();
    doubles.completion = doubles::Completion::Later;
    doubles.scripts[row.method].hr = row.hr;
    doubles.scripts[row.method].null_out = row.null_out;
    std::optional<CredentialErrorCode> code;
    switch (row.operation) {
        case KeysOperation::PublicKey: {
            PublicKeyResult result = read_public_key(default_platform(), "alice");
            if (auto* c = std::get_if<CredentialErrorCode>(&result)) code = *c;
            break;
        }
        case KeysOperation::Delete: code = delete_credential(default_platform(), "alice"); break;
        case KeysOperation::Support: {
            SupportResult result = check_support(default_platform());
            if (auto* c = std::get_if<CredentialErrorCode>(&result)) code = *c;
            break;
        }
    }
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, row.code);
}
INSTANTIATE_TEST_SUITE_P(
    Rows, KeysFail,
    ::testing::Values(
        // The calls of the Windows client that only these operations make.
        KeysFailureRow{"PublicKeyRetrieveFails", KeysOperation::PublicKey, Method::RetrievePublicKeyWithBlobType,
                       static_cast<HRESULT>(0x8009000Du), false, static_cast<std::int32_t>(0x8009000Du)},
        KeysFailureRow{"PublicKeyRetrieveYieldsNothing", KeysOperation::PublicKey,
                       Method::RetrievePublicKeyWithBlobType, S_OK, true, 0},
        KeysFailureRow{"DeleteAsyncFails", KeysOperation::Delete, Method::DeleteAsync, E_ACCESSDENIED, false,
                       E_ACCESSDENIED},
        KeysFailureRow{"DeleteAsyncYieldsNothing", KeysOperation::Delete, Method::DeleteAsync, S_OK, true, 0},
        KeysFailureRow{"IsSupportedAsyncFails", KeysOperation::Support, Method::IsSupportedAsync, E_FAIL, false,
                       E_FAIL},
        KeysFailureRow{"IsSupportedAsyncYieldsNothing", KeysOperation::Support, Method::IsSupportedAsync, S_OK, true,
                       0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(EndToEnd, AnUnreadableSignatureLengthIsAFaultThatReleasesEverything) {
    doubles.scripts[Method::Length].hr = E_FAIL;
    const std::uint8_t data[] = {1};
    try {
        (void)sign_with_credential(default_platform(), "alice", ByteView{data, sizeof data});
        ADD_FAILURE() << "no fault";
    } catch (Fault& fault) {
        note_fault_caught();
        EXPECT_EQ(fault.payload.text().find("called `Result::unwrap()` on an `Err` value: Error { code: HRESULT(0x80004005)"),
                  0u);
    }
}

// ---- against Wine's own runtime classes ----

// What RoGetActivationFactory itself says for a class.
HRESULT lookup(const wchar_t* class_name, const GUID& iid, void** factory) {
    HSTRING name = nullptr;
    WindowsCreateString(class_name, static_cast<UINT32>(wcslen(class_name)), &name);
    *factory = nullptr;
    const HRESULT hr = RoGetActivationFactory(name, iid, factory);
    WindowsDeleteString(name);
    return hr;
}

TEST(WineOwnClasses, NothingRegisteredForKeyCredentialManagerGivesTheLookupError) {
    ScopedRegistration none(bio::testing::kManagerClass, std::nullopt);
    void* factory = nullptr;
    const HRESULT expected = lookup(bio::testing::kManagerClass, abi::IID_IKeyCredentialManagerStatics, &factory);
    ASSERT_EQ(factory, nullptr);
    ASSERT_LT(expected, 0);

    EnrolmentResult result = enrol_credential(default_platform(), "alice");
    ASSERT_TRUE(std::holds_alternative<CredentialErrorCode>(result));
    EXPECT_EQ(std::get<CredentialErrorCode>(result), expected);
    // The three candidate libraries were tried and none stayed.
    for (const wchar_t* file : {L"Windows.Security.Credentials.dll", L"Windows.Security.dll", L"Windows.dll"}) {
        EXPECT_EQ(GetModuleHandleW(file), nullptr) << file;
    }
    std::printf("lookup error for KeyCredentialManager: 0x%08lX = %ld\n", static_cast<unsigned long>(expected),
                static_cast<long>(expected));
    RecordProperty("lookup_error", std::to_string(expected));
}

TEST(WineOwnClasses, TheSupportCheckAsksWinesOwnKeyCredentialManagerIfItHasOne) {
    // Without our double, whatever Wine itself serves for the class answers, or the
    // lookup fails as it does for enrolment.
    ScopedRegistration none(bio::testing::kManagerClass, std::nullopt);
    void* factory = nullptr;
    const HRESULT lookup_result = lookup(bio::testing::kManagerClass, abi::IID_IKeyCredentialManagerStatics, &factory);
    if (factory != nullptr) static_cast<abi::IUnknown*>(factory)->lpVtbl->Release(static_cast<abi::IUnknown*>(factory));

    SupportResult result = check_support(default_platform());
    if (FAILED(lookup_result)) {
        ASSERT_TRUE(std::holds_alternative<CredentialErrorCode>(result));
        EXPECT_EQ(std::get<CredentialErrorCode>(result), lookup_result);
        std::printf("Wine registers no KeyCredentialManager: is_supported fails with 0x%08lX\n",
                    static_cast<unsigned long>(lookup_result));
    } else {
        ASSERT_TRUE(std::holds_alternative<bool>(result))
            << "Wine's IsSupportedAsync: " << std::get<CredentialErrorCode>(result);
        std::printf("Wine's KeyCredentialManager says supported: %d\n", std::get<bool>(result) ? 1 : 0);
    }
}

// Windows.System.Threading: Wine's ThreadPool hands out IAsyncAction objects of its own,
// which our declarations and our wait must fit.
struct WorkItemHandler;
struct WorkItemHandlerVtbl {
    BIO_ABI_UNKNOWN_METHODS(WorkItemHandler)
    BIO_ABI_METHOD(Invoke)(WorkItemHandler* self, abi::IAsyncAction* operation);
};
struct WorkItemHandler {
    const WorkItemHandlerVtbl* lpVtbl;
    volatile LONG refs;
    volatile LONG ran;
};
struct IThreadPoolStatics;
struct IThreadPoolStaticsVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IThreadPoolStatics)
    BIO_ABI_METHOD(RunAsync)(IThreadPoolStatics* self, WorkItemHandler* handler, abi::IAsyncAction** operation);
};
struct IThreadPoolStatics {
    const IThreadPoolStaticsVtbl* lpVtbl;
};
constexpr GUID kIID_IThreadPoolStatics = {0xb6bf67dd, 0x84bd, 0x44f8, {0xac, 0x1c, 0x93, 0xeb, 0xcb, 0x9d, 0xba, 0x91}};
constexpr GUID kIID_WorkItemHandler = {0x1d1a8b8b, 0xfa66, 0x414f, {0x9c, 0xbd, 0xb6, 0x5f, 0xc9, 0x9d, 0x17, 0xfa}};

HRESULT STDMETHODCALLTYPE work_query(WorkItemHandler* self, const IID* iid, void** out) {
    if (IsEqualGUID(*iid, kIID_WorkItemHandler) || IsEqualGUID(*iid, abi::IID_IUnknown) ||
        IsEqualGUID(*iid, abi::IID_IAgileObject)) {
        *out = self;
        InterlockedIncrement(&self->refs);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE work_add_ref(WorkItemHandler* self) { return static_cast<ULONG>(InterlockedIncrement(&self->refs)); }
ULONG STDMETHODCALLTYPE work_release(WorkItemHandler* self) { return static_cast<ULONG>(InterlockedDecrement(&self->refs)); }
HRESULT STDMETHODCALLTYPE work_invoke(WorkItemHandler* self, abi::IAsyncAction*) {
    // Long enough for the waiting side to find the action still running.
    Sleep(200);
    InterlockedExchange(&self->ran, 1);
    return S_OK;
}
constexpr WorkItemHandlerVtbl kWorkVtbl = {&work_query, &work_add_ref, &work_release, &work_invoke};

TEST(WineOwnClasses, WinesOwnIAsyncActionAnswersOurIdentifierAndOurWait) {
    void* raw = nullptr;
    const HRESULT found = lookup(L"Windows.System.Threading.ThreadPool", kIID_IThreadPoolStatics, &raw);
    if (FAILED(found)) GTEST_SKIP() << "this Wine has no ThreadPool class: " << found;
    auto* pool = static_cast<IThreadPoolStatics*>(raw);
    WorkItemHandler work{&kWorkVtbl, 1, 0};
    abi::IAsyncAction* action = nullptr;
    ASSERT_EQ(pool->lpVtbl->RunAsync(pool, &work, &action), S_OK);
    pool->lpVtbl->Release(pool);
    ASSERT_NE(action, nullptr);

    // Wine's action answers our identifier of IAsyncAction with itself.
    void* same = nullptr;
    ASSERT_EQ(action->lpVtbl->QueryInterface(action, &abi::IID_IAsyncAction, &same), S_OK);
    EXPECT_EQ(same, action);
    action->lpVtbl->Release(action);

    // Wine 8 does not tell the action's status (IAsyncInfo::get_Status is not
    // implemented): the wait then ends at once with that error. A Wine that does runs the
    // whole wait, through our handler.
    HRESULT status_hr = E_FAIL;
    {
        winrt::ComPtr<abi::IAsyncInfo> info = winrt::query<abi::IAsyncInfo>(action, abi::IID_IAsyncInfo);
        ASSERT_TRUE(info);
        INT32 status = 0;
        status_hr = info->lpVtbl->get_Status(info.get(), &status);
    }
    std::printf("Wine's IAsyncAction: get_Status 0x%08lX\n", static_cast<unsigned long>(status_hr));
    Outcome<void> waited = winrt::wait_for_results(action);
    if (FAILED(status_hr)) {
        ASSERT_FALSE(waited.ok());
        EXPECT_EQ(waited.error().code(), status_hr);
        for (int i = 0; i < 200 && work.ran == 0; ++i) Sleep(10);
    } else {
        EXPECT_TRUE(waited.ok()) << (waited.ok() ? "" : waited.error().debug_text());
    }
    EXPECT_EQ(work.ran, 1);
    action->lpVtbl->Release(action);
    for (int i = 0; i < 200 && work.refs != 1; ++i) Sleep(10);
    EXPECT_EQ(work.refs, 1);
}

TEST(WineOwnClasses, SigningThroughWinesCryptographicBufferGivesItsCreateFromByteArrayResult) {
    Control& doubles = registered_doubles();
    // Wine's own CryptographicBuffer, called directly in the slot the client uses.
    void* raw = nullptr;
    ASSERT_EQ(lookup(bio::testing::kCryptoClass, abi::IID_ICryptographicBufferStatics, &raw), S_OK);
    auto* statics = static_cast<abi::ICryptographicBufferStatics*>(raw);
    BYTE bytes[] = {1, 2, 3};
    abi::IBuffer* buffer = nullptr;
    const HRESULT direct = statics->lpVtbl->CreateFromByteArray(statics, sizeof bytes, bytes, &buffer);
    if (buffer != nullptr) buffer->lpVtbl->Release(buffer);
    statics->lpVtbl->Release(statics);
    std::printf("Wine's CreateFromByteArray: 0x%08lX = %ld\n", static_cast<unsigned long>(direct),
                static_cast<long>(direct));
    RecordProperty("create_from_byte_array", std::to_string(direct));

    SigningResult result = sign_with_credential(default_platform(), "alice", ByteView{bytes, sizeof bytes});
    if (FAILED(direct)) {
        ASSERT_TRUE(std::holds_alternative<CredentialErrorCode>(result));
        EXPECT_EQ(std::get<CredentialErrorCode>(result), direct);
        EXPECT_EQ(doubles.calls[Method::RequestSignAsync], 0);
    } else {
        // A Wine that implements it hands its buffer on to the credential.
        EXPECT_EQ(doubles.calls[Method::RequestSignAsync], 1);
    }
    EXPECT_EQ(doubles.calls[Method::CreateFromByteArray], 0);
    settle(doubles);
    EXPECT_EQ(doubles.live_objects, 0);
}

}  // namespace
}  // namespace bio
