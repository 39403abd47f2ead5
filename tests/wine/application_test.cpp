// The application calls through the service, against the doubles: the owner-window
// variants present and absent, user consent, attestation, and requests cancelled by a
// deadline or Ctrl-C, which end as their operations settle and leave nothing behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "bio_windows.h"
#include "runtime/interrupt.h"
#include "support.h"
#include "winrt/owner_window.h"

namespace bio::winrt {
namespace {

using doubles::Completion;
using doubles::Method;
using Bytes = std::vector<std::uint8_t>;

constexpr WindowHandle kWindow = 0x1234;
constexpr UINT64 kUntouched = 0xFFFF;
constexpr std::int32_t kCancelled = static_cast<std::int32_t>(0x800704C7u);

HWND WINAPI fake_foreground() { return reinterpret_cast<HWND>(0x4321); }

enum class Call { Create, Sign, Availability, Verify, Attest };

// What a call gave: the code of a failure, or its bytes (attestation: both buffers) and value.
struct Answer {
    std::optional<std::int32_t> code;
    Bytes bytes;
    std::int32_t value = -1;
};

Answer run(Call call, WindowHandle window) {
    KeyCredentialPlatform& platform = default_platform();
    const std::uint8_t data[] = {1, 2, 3};
    Answer a;
    auto take = [&a](auto&& result, auto&& fill) {
        if (auto* code = std::get_if<CredentialErrorCode>(&result)) {
            a.code = *code;
        } else {
            fill(result);
        }
    };
    auto bytes = [&a](auto& r) { a.bytes = std::get<Bytes>(r); };
    auto value = [&a](auto& r) { a.value = std::get<ConsentAnswer>(r).value; };
    switch (call) {
        case Call::Create:
            take(create_credential(platform, "alice", KeyCredentialCreationOption::ReplaceExisting, window), bytes);
            break;
        case Call::Sign: take(sign_with_credential(platform, "alice", ByteView{data, sizeof data}, window), bytes); break;
        case Call::Availability: take(check_availability(platform), value); break;
        case Call::Verify: take(verify_consent(platform, "Unlock the vault", window), value); break;
        case Call::Attest:
            take(read_attestation(platform, "alice"), [&a](auto& r) {
                auto& attestation = std::get<KeyAttestation>(r);
                a.value = attestation.status;
                a.bytes = attestation.certificate_chain;
                a.bytes.insert(a.bytes.end(), attestation.attestation.begin(), attestation.attestation.end());
            });
            break;
    }
    return a;
}

// The value the next kernel handle gets: a handle leaked since the last probe moves it.
UINT_PTR next_handle() {
    KernelHandle probe(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return reinterpret_cast<UINT_PTR>(probe.get());
}

class Application : public ::testing::Test {
protected:
    testing::DoublesForBothClasses registration;
    doubles::Control& doubles = testing::registered_doubles();
    WindowFunctions saved = window_functions();
    void SetUp() override {
        doubles.reset_scripts();
        doubles.completion = Completion::Later;
        doubles.last_window = kUntouched;
        create_with_window_probe().forget();
        sign_with_window_probe().forget();
        window_functions().GetForegroundWindow = &fake_foreground;
    }
    void TearDown() override {
        window_functions() = saved;
        set_interrupt_check(nullptr);
        testing::settle(doubles);
        EXPECT_EQ(doubles.live_objects, 0);
    }
};

TEST_F(Application, TheOwnerWindowFunctionsAreResolvedAtRunTime) {
    EXPECT_NE(saved.GetWindowIdFromWindow, nullptr);  // the windowing double, where the system keeps the API set
    ASSERT_NE(saved.GetForegroundWindow, nullptr);
    EXPECT_EQ(saved.GetForegroundWindow(), GetForegroundWindow());
}

struct SuccessRow {
    const char* label;
    Call call;
    WindowHandle window;
    Method absent;  // answers E_NOINTERFACE (MethodCount: nothing)
    Method made;    // the request the platform received
    UINT64 seen_window;
    std::int32_t value;  // the consent value or attestation status scripted and expected; -1: none
    Bytes bytes;
};
class Succeeds : public Application, public ::testing::WithParamInterface<SuccessRow> {};

TEST_P(Succeeds, ThroughTheRequestThePlatformHas) {
    const SuccessRow& row = GetParam();
    if (row.absent != Method::MethodCount) doubles.scripts[row.absent].hr = E_NOINTERFACE;
    doubles.availability = doubles.verification = row.value;
    doubles.scripts[Method::AttestationStatus].value[0] = row.value;
    Answer a = run(row.call, row.window);
    ASSERT_FALSE(a.code) << *a.code;
    EXPECT_EQ(a.bytes, row.bytes);
    EXPECT_EQ(a.value, row.value);
    EXPECT_EQ(doubles.calls[row.made], 1);
    EXPECT_EQ(doubles.last_window, row.seen_window);
}
const Bytes kKey{4, 1, 2, 3}, kSignature{0, 1, 127, 128, 255}, kAttested{0x30, 0x82, 0x01, 'T', 'P', 'M', 0};
constexpr Method kNone = Method::MethodCount;
INSTANTIATE_TEST_SUITE_P(
    Rows, Succeeds,
    ::testing::Values(
        SuccessRow{"CreateForWindow", Call::Create, kWindow, kNone, Method::RequestCreateForWindowAsync,
                   doubles::window_id_of(kWindow), -1, kKey},
        SuccessRow{"CreateWithoutTheWindowInterface", Call::Create, kWindow, Method::CreateWithWindowQuery,
                   Method::RequestCreateAsync, kUntouched, -1, kKey},
        SuccessRow{"CreateForAnUnusableWindow", Call::Create, doubles::kUnusableWindow, kNone,
                   Method::RequestCreateAsync, kUntouched, -1, kKey},
        SuccessRow{"SignForWindow", Call::Sign, kWindow, kNone, Method::RequestSignForWindowAsync,
                   doubles::window_id_of(kWindow), -1, kSignature},
        SuccessRow{"SignWithoutTheWindowInterface", Call::Sign, kWindow, Method::SignWithWindowQuery,
                   Method::RequestSignAsync, kUntouched, -1, kSignature},
        SuccessRow{"SignWithoutWindow", Call::Sign, 0, kNone, Method::RequestSignAsync, kUntouched, -1, kSignature},
        SuccessRow{"Availability", Call::Availability, 0, kNone, Method::CheckAvailabilityAsync, kUntouched, 3, {}},
        SuccessRow{"VerifyForWindow", Call::Verify, kWindow, kNone, Method::RequestVerificationForWindowAsync, kWindow,
                   5, {}},
        SuccessRow{"VerifyForTheForegroundWindow", Call::Verify, 0, kNone, Method::RequestVerificationForWindowAsync,
                   0x4321, 0, {}},
        SuccessRow{"AttestationSucceeds", Call::Attest, 0, kNone, Method::GetAttestationAsync, kUntouched, 0, kAttested},
        SuccessRow{"AttestationNotSupported", Call::Attest, 0, kNone, Method::GetAttestationAsync, kUntouched, 2, {}}),
    [](const auto& info) { return std::string(info.param.label); });

struct FailureRow {
    const char* label;
    Call call;
    Method method;
    HRESULT hr;  // S_OK: the call yields no object
    int fail_call;
    std::int32_t code;
};
class Fails : public Application, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(Fails, WithTheCodeOfTheCall) {
    const FailureRow& row = GetParam();
    doubles.scripts[row.method].hr = row.hr;
    doubles.scripts[row.method].null_out = row.hr == S_OK;
    doubles.scripts[row.method].fail_call = row.fail_call;
    EXPECT_EQ(run(row.call, kWindow).code, row.code);
}
INSTANTIATE_TEST_SUITE_P(
    Rows, Fails,
    ::testing::Values(FailureRow{"CreateForWindowFails", Call::Create, Method::RequestCreateForWindowAsync,
                                 E_ACCESSDENIED, -1, E_ACCESSDENIED},
                      FailureRow{"SignForWindowYieldsNothing", Call::Sign, Method::RequestSignForWindowAsync, S_OK, -1, 0},
                      FailureRow{"AvailabilityResultsFail", Call::Availability, Method::GetResults, E_ABORT, -1, E_ABORT},
                      FailureRow{"NoInteropInterface", Call::Verify, Method::InteropQuery, E_NOINTERFACE, -1,
                                 E_NOINTERFACE},
                      FailureRow{"VerificationRequestFails", Call::Verify, Method::RequestVerificationForWindowAsync,
                                 E_INVALIDARG, -1, E_INVALIDARG},
                      FailureRow{"AttestationYieldsNothing", Call::Attest, Method::GetResults, S_OK, 1, 0},
                      FailureRow{"AttestationStatusFails", Call::Attest, Method::AttestationStatus, E_FAIL, -1, E_FAIL},
                      FailureRow{"CertificateChainYieldsNothing", Call::Attest, Method::CertificateChainBuffer, S_OK,
                                 -1, 0}),
    [](const auto& info) { return std::string(info.param.label); });

bool always() noexcept { return true; }

struct CancelRow {
    const char* label;
    Call call;
    Completion completion;
    WaitVerdict by;  // Interrupted: Ctrl-C; Cancelled: the program's token; TimedOut: the deadline
    INT32 settles;   // the status a cancelled operation ends in; Started: Cancel fails, it runs to its end
    LONG cancels;    // each wait up to the one that settled Canceled is cancelled
    Answer answer;
};
class GivenUp : public Application, public ::testing::WithParamInterface<CancelRow> {};

TEST_P(GivenUp, TheCallEndsAsTheCancelledRequestSettledAndLeaksNothing) {
    const CancelRow& row = GetParam();
    doubles.availability = doubles.verification = 3;
    // Once completed first, so that what the platform keeps open for good is open already.
    doubles.completion = Completion::Inside;
    ASSERT_FALSE(run(row.call, kWindow).code);
    doubles.completion = row.completion;
    doubles.later_ms = 400;
    if (row.settles == abi::AsyncStatus_Started) {
        doubles.scripts[Method::Cancel].hr = E_FAIL;
    } else {
        doubles.cancelled_status = row.settles;
    }
    const LONG taken = doubles.calls[Method::GetResults];
    const UINT_PTR before = next_handle();
    const auto start = std::chrono::steady_clock::now();
    if (row.by == WaitVerdict::Interrupted) set_interrupt_check(&always);
    // The program's token, set already: the first check between the slices sees it.
    const std::atomic<bool> token{row.by == WaitVerdict::Cancelled};
    {
        const auto deadline = start + std::chrono::milliseconds(100);
        RequestLimits limits(row.by == WaitVerdict::TimedOut ? std::optional(deadline) : std::nullopt, &token);
        const Answer a = run(row.call, kWindow);
        EXPECT_EQ(a.code, row.answer.code);
        EXPECT_EQ(a.bytes, row.answer.bytes);
        EXPECT_EQ(a.value, row.answer.value);
        EXPECT_EQ(limits.verdict(), row.by);
    }
    // Not before the operation settled: a completion of the doubles comes after the delay.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(390));
    EXPECT_EQ(doubles.calls[Method::Cancel], row.cancels);
    if (row.answer.code == kCancelled) {
        EXPECT_EQ(doubles.calls[Method::GetResults], taken);  // nothing taken
    }
    testing::settle(doubles);
    EXPECT_EQ(doubles.pending_threads, 0);
    // The handler's event closes with its last reference, whichever side let it go last.
    EXPECT_EQ(next_handle(), before);
}
constexpr INT32 kCanceled = abi::AsyncStatus_Canceled, kCompleted = abi::AsyncStatus_Completed;
const Answer kNothing{kCancelled, {}, -1};
INSTANTIATE_TEST_SUITE_P(
    Rows, GivenUp,
    ::testing::Values(CancelRow{"CreateAtTheDeadline", Call::Create, Completion::Later, WaitVerdict::TimedOut, kCanceled, 1, kNothing},
                      CancelRow{"SignAtTheDeadline", Call::Sign, Completion::Never, WaitVerdict::TimedOut, kCanceled, 1, kNothing},
                      CancelRow{"AvailabilityAtTheDeadline", Call::Availability, Completion::Never, WaitVerdict::TimedOut, kCanceled,
                                1, kNothing},
                      CancelRow{"VerifyOnCtrlC", Call::Verify, Completion::Later, WaitVerdict::Interrupted, kCanceled, 1, kNothing},
                      CancelRow{"AttestationOnCtrlC", Call::Attest, Completion::Never, WaitVerdict::Interrupted, kCanceled, 1, kNothing},
                      CancelRow{"SignOnTheProgramsToken", Call::Sign, Completion::Never, WaitVerdict::Cancelled, kCanceled,
                                1, kNothing},
                      CancelRow{"CreateCompletedDespiteTheToken", Call::Create, Completion::Never,
                                WaitVerdict::Cancelled, kCompleted, 1, {std::nullopt, kKey, -1}},
                      // The platform finished first: the request took effect, and the call has its result.
                      CancelRow{"CreateCompletedDespiteCtrlC", Call::Create, Completion::Never, WaitVerdict::Interrupted, kCompleted, 1,
                                {std::nullopt, kKey, -1}},
                      CancelRow{"SignCompletedDespiteTheDeadline", Call::Sign, Completion::Later, WaitVerdict::TimedOut, kCompleted, 2,
                                {std::nullopt, kSignature, -1}},
                      CancelRow{"AvailabilityCompletedDespiteCtrlC", Call::Availability, Completion::Later, WaitVerdict::Interrupted,
                                kCompleted, 1, {std::nullopt, {}, 3}},
                      CancelRow{"AttestationCompletedDespiteTheDeadline", Call::Attest, Completion::Never, WaitVerdict::TimedOut,
                                kCompleted, 2, {std::nullopt, kAttested, 0}},
                      CancelRow{"SignEndedInErrorDespiteCtrlC", Call::Sign, Completion::Never, WaitVerdict::Interrupted,
                                abi::AsyncStatus_Error, 1, {E_FAIL, {}, -1}},
                      CancelRow{"CreateWhoseCancelFailsRunsToItsEnd", Call::Create, Completion::Later, WaitVerdict::TimedOut,
                                abi::AsyncStatus_Started, 1, {std::nullopt, kKey, -1}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(Application, WithoutTheConversionFunctionTheOlderCallServes) {
    window_functions().GetWindowIdFromWindow = nullptr;  // a system without the windowing API set
    EXPECT_EQ(run(Call::Create, kWindow).bytes, kKey);
    EXPECT_EQ(doubles.calls[Method::RequestCreateAsync], 1);
    EXPECT_EQ(doubles.calls[Method::RequestCreateForWindowAsync], 0);
}

TEST_F(Application, WithoutAUserConsentVerifierClassBothConsentCallsFailWithTheLookupError) {
    testing::ScopedRegistration none(L"Windows.Security.Credentials.UI.UserConsentVerifier", std::nullopt);
    const Answer availability = run(Call::Availability, 0);
    ASSERT_TRUE(availability.code);
    EXPECT_LT(*availability.code, 0);
    EXPECT_EQ(run(Call::Verify, kWindow).code, availability.code);
}

TEST_F(Application, WithoutLimitsCtrlCDoesNotEndTheWait) {
    // biometric's calls install no limits: their waits last as long as the platform takes.
    set_interrupt_check(&always);
    doubles.later_ms = 200;
    Answer a = run(Call::Sign, 0);
    EXPECT_EQ(a.bytes, kSignature);
    EXPECT_EQ(doubles.calls[Method::Cancel], 0);
}

}  // namespace
}  // namespace bio::winrt
