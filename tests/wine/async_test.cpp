#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "support.h"
#include "winrt/completion.h"
#include "winrt/winrt_platform.h"

// The program's heap, which a test can close: what a process that is out of memory sees.
namespace {
std::atomic<bool> g_heap_closed{false};
}  // namespace
void* operator new(std::size_t size) {
    void* block = g_heap_closed ? nullptr : std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

namespace bio::winrt {
namespace {

using bio::testing::registered_doubles;
using bio::testing::settle;
using doubles::Completion;
using doubles::Control;

// ---- the handler itself ----

using RetrievalHandler = CompletionHandler<abi::IKeyCredentialRetrievalResult>;
using SignHandler = CompletionHandler<abi::IKeyCredentialOperationResult>;

struct QueryRow {
    const char* label;
    const GUID* iid;
    HRESULT hr;
};
class HandlerQuery : public ::testing::TestWithParam<QueryRow> {};

KernelHandle new_event() { return KernelHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

TEST_P(HandlerQuery, AnswersItsDelegateUnknownAndAgileOnly) {
    RetrievalHandler* handler = RetrievalHandler::create(new_event());
    auto* delegate = handler->as_delegate();
    void* out = &out;
    EXPECT_EQ(delegate->lpVtbl->QueryInterface(delegate, GetParam().iid, &out), GetParam().hr);
    if (GetParam().hr == S_OK) {
        EXPECT_EQ(out, delegate);
        EXPECT_EQ(handler->count.load(), 2);
        EXPECT_EQ(delegate->lpVtbl->Release(delegate), 1u);
    } else {
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(handler->count.load(), 1);
    }
    EXPECT_EQ(delegate->lpVtbl->Release(delegate), 0u);
}
INSTANTIATE_TEST_SUITE_P(
    Identifiers, HandlerQuery,
    ::testing::Values(QueryRow{"OwnDelegate", &abi::IID_AsyncOperationCompletedHandler_KeyCredentialRetrievalResult, S_OK},
                      QueryRow{"Unknown", &abi::IID_IUnknown, S_OK}, QueryRow{"Agile", &abi::IID_IAgileObject, S_OK},
                      QueryRow{"OtherDelegate", &abi::IID_AsyncOperationCompletedHandler_KeyCredentialOperationResult,
                               E_NOINTERFACE},
                      QueryRow{"Inspectable", &abi::IID_IInspectable, E_NOINTERFACE}),
    [](const auto& info) { return std::string(info.param.label); });

// The variants for IsSupportedAsync and DeleteAsync: a fresh handler asked for `iid`.
template <class Result>
HRESULT query_fresh_handler(const GUID* iid) {
    auto* delegate = CompletionHandler<Result>::create(new_event())->as_delegate();
    void* out = &out;
    const HRESULT hr = delegate->lpVtbl->QueryInterface(delegate, iid, &out);
    if (hr == S_OK) {
        EXPECT_EQ(out, delegate);
        EXPECT_EQ(delegate->lpVtbl->Release(delegate), 1u);
    } else {
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(delegate->lpVtbl->Release(delegate), 0u);
    return hr;
}

struct VariantQueryRow {
    const char* label;
    HRESULT (*query)(const GUID*);
    const GUID* iid;
    HRESULT hr;
};
class VariantQuery : public ::testing::TestWithParam<VariantQueryRow> {};

TEST_P(VariantQuery, AnswersItsOwnDelegateOnly) { EXPECT_EQ(GetParam().query(GetParam().iid), GetParam().hr); }
INSTANTIATE_TEST_SUITE_P(
    Identifiers, VariantQuery,
    ::testing::Values(
        VariantQueryRow{"SupportOwnDelegate", &query_fresh_handler<bool>,
                        &abi::IID_AsyncOperationCompletedHandler_boolean, S_OK},
        VariantQueryRow{"SupportRejectsRetrievalDelegate", &query_fresh_handler<bool>,
                        &abi::IID_AsyncOperationCompletedHandler_KeyCredentialRetrievalResult, E_NOINTERFACE},
        VariantQueryRow{"SupportRejectsActionDelegate", &query_fresh_handler<bool>,
                        &abi::IID_AsyncActionCompletedHandler, E_NOINTERFACE},
        VariantQueryRow{"ActionOwnDelegate", &query_fresh_handler<void>, &abi::IID_AsyncActionCompletedHandler, S_OK},
        VariantQueryRow{"ActionRejectsSupportDelegate", &query_fresh_handler<void>,
                        &abi::IID_AsyncOperationCompletedHandler_boolean, E_NOINTERFACE},
        VariantQueryRow{"ActionRejectsTheActionItself", &query_fresh_handler<void>, &abi::IID_IAsyncAction,
                        E_NOINTERFACE}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Handler, NullPointersGiveEPointerAndTheSignVariantRejectsTheRetrievalDelegate) {
    SignHandler* handler = SignHandler::create(new_event());
    auto* delegate = handler->as_delegate();
    const HANDLE event = handler->event.get();
    void* out = nullptr;
    EXPECT_EQ(delegate->lpVtbl->QueryInterface(delegate, &abi::IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(delegate->lpVtbl->QueryInterface(delegate, nullptr, &out), E_POINTER);
    EXPECT_EQ(delegate->lpVtbl->QueryInterface(
                  delegate, &abi::IID_AsyncOperationCompletedHandler_KeyCredentialRetrievalResult, &out),
              E_NOINTERFACE);
    EXPECT_EQ(delegate->lpVtbl->AddRef(delegate), 2u);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(delegate->lpVtbl->Invoke(delegate, nullptr, abi::AsyncStatus_Completed), S_OK);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(delegate->lpVtbl->Release(delegate), 1u);
    EXPECT_EQ(delegate->lpVtbl->Release(delegate), 0u);
}

TEST(Handler, TheEventLastsAsLongAsEitherSideHoldsTheHandler) {
    RetrievalHandler* handler = RetrievalHandler::create(new_event());
    const HANDLE event = handler->event.get();
    auto* delegate = handler->as_delegate();
    delegate->lpVtbl->AddRef(delegate);  // the platform's
    delegate->lpVtbl->Release(delegate);  // the wait's, first
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(event, &flags));
    EXPECT_EQ(delegate->lpVtbl->Invoke(delegate, nullptr, abi::AsyncStatus_Completed), S_OK);
    delegate->lpVtbl->Release(delegate);
    EXPECT_FALSE(GetHandleInformation(event, &flags));
}

TEST(HandlerDeathTest, OverReleaseIsAFault) {
    EXPECT_DEATH(
        {
            RetrievalHandler* handler = RetrievalHandler::create(new_event());
            handler->count = 0;
            RetrievalHandler::Release(handler->as_delegate());
        },
        "Object has been over-released\\.");
}

TEST(HandlerDeathTest, AFailedAllocationNamesItsSizeWithoutAllocatingAgain) {
    EXPECT_DEATH(
        {
            g_heap_closed = true;
            allocation_failed(sizeof(RetrievalHandler));
        },
        "^memory allocation of " + std::to_string(sizeof(RetrievalHandler)) + " bytes failed\n$");
}

// ---- waiting on the doubles' operations ----

class Waiting : public ::testing::Test {
protected:
    Control& doubles = registered_doubles();
    WinrtPlatform platform;

    // Opens a retrieval operation and waits for it; returns the code (1: a result came).
    std::int32_t open_and_wait() {
        StringRef name = platform.create_string("alice");
        Outcome<RetrievalOperationRef> operation = platform.OpenAsync(name);
        EXPECT_TRUE(operation.ok());
        if (!operation.ok()) return -1;
        Outcome<RetrievalResultRef> result = platform.wait_for_results(operation.value());
        if (!result.ok()) return result.error().code();
        EXPECT_TRUE(result.value());
        return 1;
    }
    void TearDown() override {
        settle(doubles);
        EXPECT_EQ(doubles.live_objects, 0);
    }
};

struct CompletionRow {
    const char* label;
    Completion completion;
    LONG registrations;
};
class CompletesWhen : public Waiting, public ::testing::WithParamInterface<CompletionRow> {};

TEST_P(CompletesWhen, TheResultIsTaken) {
    doubles.completion = GetParam().completion;
    EXPECT_EQ(open_and_wait(), 1);
    EXPECT_EQ(doubles.calls[doubles::PutCompleted], GetParam().registrations);
    EXPECT_EQ(doubles.calls[doubles::GetResults], 1);
}
INSTANTIATE_TEST_SUITE_P(Moments, CompletesWhen,
                         ::testing::Values(CompletionRow{"AlreadyCompleted", Completion::Before, 0},
                                           CompletionRow{"InsidePutCompleted", Completion::Inside, 1},
                                           CompletionRow{"LaterOnAnotherThread", Completion::Later, 1}),
                         [](const auto& info) { return std::string(info.param.label); });

// An operation that ended in Error or Canceled fails its GetResults, as the platform's do:
// with its own error code, or E_ILLEGAL_METHOD_CALL; the wait returns that code.
struct EndedRow {
    const char* label;
    INT32 status;
    Completion completion;
    LONG registrations;
    std::int32_t code;
};
class EndsUnsuccessfully : public Waiting, public ::testing::WithParamInterface<EndedRow> {};

TEST_P(EndsUnsuccessfully, WithTheCodeOfGetResults) {
    doubles.final_status = GetParam().status;
    doubles.error_code = static_cast<HRESULT>(0x80090016u);
    doubles.completion = GetParam().completion;
    EXPECT_EQ(open_and_wait(), GetParam().code);
    EXPECT_EQ(doubles.calls[doubles::PutCompleted], GetParam().registrations);
    EXPECT_EQ(doubles.calls[doubles::GetResults], 1);
}
INSTANTIATE_TEST_SUITE_P(
    Outcomes, EndsUnsuccessfully,
    ::testing::Values(
        EndedRow{"ErrorAtTheFirstStatus", abi::AsyncStatus_Error, Completion::Before, 0, static_cast<std::int32_t>(0x80090016u)},
        EndedRow{"ErrorLater", abi::AsyncStatus_Error, Completion::Later, 1, static_cast<std::int32_t>(0x80090016u)},
        EndedRow{"CanceledAtTheFirstStatus", abi::AsyncStatus_Canceled, Completion::Before, 0,
                 static_cast<std::int32_t>(0x8000000Eu)},
        EndedRow{"CanceledInsidePutCompleted", abi::AsyncStatus_Canceled, Completion::Inside, 1,
                 static_cast<std::int32_t>(0x8000000Eu)}),
    [](const auto& info) { return std::string(info.param.label); });

struct FailureRow {
    const char* label;
    doubles::Method method;
    HRESULT hr;
    bool null_out;
    Completion completion;
    std::int32_t code;
};
class WaitFails : public Waiting, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(WaitFails, WithTheCodeOfTheCall) {
    const FailureRow& row = GetParam();
    doubles.completion = row.completion;
    doubles.scripts[row.method].hr = row.hr;
    doubles.scripts[row.method].null_out = row.null_out;
    EXPECT_EQ(open_and_wait(), row.code);
}
INSTANTIATE_TEST_SUITE_P(
    Calls, WaitFails,
    ::testing::Values(FailureRow{"AsyncInfoQueryFails", doubles::AsyncInfoQuery, E_NOINTERFACE, false, Completion::Before,
                                 E_NOINTERFACE},
                      FailureRow{"AsyncInfoQueryYieldsNull", doubles::AsyncInfoQuery, S_OK, true, Completion::Before,
                                 E_POINTER_CODE},
                      FailureRow{"GetStatusFails", doubles::GetStatus, E_ACCESSDENIED, false, Completion::Later, E_ACCESSDENIED},
                      FailureRow{"PutCompletedFails", doubles::PutCompleted, static_cast<HRESULT>(0x8000000Eu), false,
                                 Completion::Later, static_cast<HRESULT>(0x8000000Eu)},
                      FailureRow{"GetResultsFails", doubles::GetResults, E_ABORT, false, Completion::Inside, E_ABORT},
                      FailureRow{"GetResultsYieldsNull", doubles::GetResults, S_OK, true, Completion::Later, 0}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- DeleteAsync's IAsyncAction and IsSupportedAsync's IAsyncOperation<boolean> ----

enum class Request { Delete, Support };

struct ResultlessRow {
    const char* label;
    Request request;
    Completion completion;
    doubles::Method failing;  // MethodCount: nothing fails
    HRESULT hr;
    std::int32_t code;  // 0: succeeds
    LONG registrations;
};
class ResultlessWait : public Waiting, public ::testing::WithParamInterface<ResultlessRow> {};

TEST_P(ResultlessWait, EndsWithTheOutcomeOfGetResults) {
    const ResultlessRow& row = GetParam();
    doubles.completion = row.completion;
    doubles.supported = 0;
    if (row.failing != doubles::MethodCount) {
        doubles.scripts[row.failing].hr = row.hr;
        // The operation itself ended in Error when its results fail.
        if (row.failing == doubles::GetResults) {
            doubles.final_status = abi::AsyncStatus_Error;
            doubles.error_code = row.hr;
        }
    }
    std::int32_t code = 0;
    if (row.request == Request::Delete) {
        StringRef name = platform.create_string("alice");
        Outcome<DeleteOperationRef> operation = platform.DeleteAsync(name);
        ASSERT_TRUE(operation.ok());
        Outcome<void> deleted = platform.wait_for_results(operation.value());
        if (!deleted.ok()) code = deleted.error().code();
        EXPECT_EQ(std::wstring(doubles.last_name, doubles.last_name_length), L"alice");
    } else {
        Outcome<SupportOperationRef> operation = platform.IsSupportedAsync();
        ASSERT_TRUE(operation.ok());
        Outcome<bool> supported = platform.wait_for_results(operation.value());
        if (supported.ok()) {
            EXPECT_FALSE(supported.value());
        } else {
            code = supported.error().code();
        }
    }
    EXPECT_EQ(code, row.code);
    EXPECT_EQ(doubles.calls[doubles::PutCompleted], row.registrations);
}
INSTANTIATE_TEST_SUITE_P(
    Rows, ResultlessWait,
    ::testing::Values(
        ResultlessRow{"DeleteAlreadyCompleted", Request::Delete, Completion::Before, doubles::MethodCount, S_OK, 0, 0},
        ResultlessRow{"DeleteInsidePutCompleted", Request::Delete, Completion::Inside, doubles::MethodCount, S_OK, 0, 1},
        ResultlessRow{"DeleteLater", Request::Delete, Completion::Later, doubles::MethodCount, S_OK, 0, 1},
        ResultlessRow{"DeleteEndedInError", Request::Delete, Completion::Later, doubles::GetResults,
                      static_cast<HRESULT>(0x80090016u), static_cast<std::int32_t>(0x80090016u), 1},
        ResultlessRow{"DeleteRegistrationFails", Request::Delete, Completion::Later, doubles::PutCompleted, E_FAIL,
                      E_FAIL, 1},
        ResultlessRow{"SupportAlreadyCompleted", Request::Support, Completion::Before, doubles::MethodCount, S_OK, 0,
                      0},
        ResultlessRow{"SupportInsidePutCompleted", Request::Support, Completion::Inside, doubles::MethodCount, S_OK,
                      0, 1},
        ResultlessRow{"SupportLater", Request::Support, Completion::Later, doubles::MethodCount, S_OK, 0, 1},
        ResultlessRow{"SupportEndedInError", Request::Support, Completion::Inside, doubles::GetResults, E_ABORT,
                      E_ABORT, 1}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(Waiting, AFailedRegistrationWhoseHandlerThePlatformKeepsNeitherBlocksNorLeaks) {
    doubles.completion = Completion::Later;
    doubles.keep_failed_handler = true;
    doubles.scripts[doubles::PutCompleted].hr = E_FAIL;
    const DWORD start = GetTickCount();
    EXPECT_EQ(open_and_wait(), E_FAIL);
    EXPECT_LT(GetTickCount() - start, 5000u);
    // The doubles let the handler go later, from their own thread; TearDown waits for it.
}

}  // namespace
}  // namespace bio::winrt
