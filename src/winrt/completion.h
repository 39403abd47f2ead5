// Blocking on an asynchronous platform operation: a completion handler of our own sets
// an event, the calling thread waits for it, then takes the results.
#pragma once

#include <atomic>
#include <new>
#include <optional>

#include "bio_windows.h"
#include "runtime/fault.h"
#include "runtime/interrupt.h"
#include "winrt/abi.h"
#include "winrt/com.h"
#include "winrt/platform_error_windows.h"

namespace bio::winrt {

// The delegate AsyncOperationCompletedHandler<Result> (AsyncActionCompletedHandler for
// Result void), agile, reference-counted. The platform may call it on any thread; it
// touches only its count and the event.
template <class Result>
struct CompletionHandler;

template <class Result>
struct HandlerTraits;
template <>
struct HandlerTraits<abi::IKeyCredentialRetrievalResult> {
    using Operation = abi::IAsyncOperation_KeyCredentialRetrievalResult;
    using Delegate = abi::AsyncOperationCompletedHandler_KeyCredentialRetrievalResult;
    using Vtbl = abi::AsyncOperationCompletedHandler_KeyCredentialRetrievalResultVtbl;
    static constexpr const GUID& iid = abi::IID_AsyncOperationCompletedHandler_KeyCredentialRetrievalResult;
};
template <>
struct HandlerTraits<abi::IKeyCredentialOperationResult> {
    using Operation = abi::IAsyncOperation_KeyCredentialOperationResult;
    using Delegate = abi::AsyncOperationCompletedHandler_KeyCredentialOperationResult;
    using Vtbl = abi::AsyncOperationCompletedHandler_KeyCredentialOperationResultVtbl;
    static constexpr const GUID& iid = abi::IID_AsyncOperationCompletedHandler_KeyCredentialOperationResult;
};
template <>
struct HandlerTraits<bool> {
    using Operation = abi::IAsyncOperation_boolean;
    using Delegate = abi::AsyncOperationCompletedHandler_boolean;
    using Vtbl = abi::AsyncOperationCompletedHandler_booleanVtbl;
    static constexpr const GUID& iid = abi::IID_AsyncOperationCompletedHandler_boolean;
};
// The user-consent operations, whose results are enumerations (INT32): a tag each.
struct ConsentAvailability;
struct ConsentVerification;
template <>
struct HandlerTraits<ConsentAvailability> {
    using Operation = abi::IAsyncOperation_UserConsentVerifierAvailability;
    using Delegate = abi::AsyncOperationCompletedHandler_UserConsentVerifierAvailability;
    using Vtbl = abi::AsyncOperationCompletedHandler_UserConsentVerifierAvailabilityVtbl;
    static constexpr const GUID& iid = abi::IID_AsyncOperationCompletedHandler_UserConsentVerifierAvailability;
};
template <>
struct HandlerTraits<ConsentVerification> {
    using Operation = abi::IAsyncOperation_UserConsentVerificationResult;
    using Delegate = abi::AsyncOperationCompletedHandler_UserConsentVerificationResult;
    using Vtbl = abi::AsyncOperationCompletedHandler_UserConsentVerificationResultVtbl;
    static constexpr const GUID& iid = abi::IID_AsyncOperationCompletedHandler_UserConsentVerificationResult;
};
template <>
struct HandlerTraits<abi::IKeyCredentialAttestationResult> {
    using Operation = abi::IAsyncOperation_KeyCredentialAttestationResult;
    using Delegate = abi::AsyncOperationCompletedHandler_KeyCredentialAttestationResult;
    using Vtbl = abi::AsyncOperationCompletedHandler_KeyCredentialAttestationResultVtbl;
    static constexpr const GUID& iid = abi::IID_AsyncOperationCompletedHandler_KeyCredentialAttestationResult;
};
// IAsyncAction: no result.
template <>
struct HandlerTraits<void> {
    using Operation = abi::IAsyncAction;
    using Delegate = abi::AsyncActionCompletedHandler;
    using Vtbl = abi::AsyncActionCompletedHandlerVtbl;
    static constexpr const GUID& iid = abi::IID_AsyncActionCompletedHandler;
};

template <class Result>
struct CompletionHandler {
    using Traits = HandlerTraits<Result>;
    using Delegate = typename Traits::Delegate;

    const typename Traits::Vtbl* lpVtbl = &kVtbl;
    // What Invoke signals. It goes with the last reference: a platform that holds on to
    // the handler after the wait has ended, or calls it then, still finds it open.
    KernelHandle event;
    std::atomic<LONG> count{1};

    explicit CompletionHandler(KernelHandle completion_event) noexcept : event(std::move(completion_event)) {}

    static CompletionHandler* create(KernelHandle completion_event) noexcept {
        auto* handler = new (std::nothrow) CompletionHandler(std::move(completion_event));
        if (handler == nullptr) allocation_failed(sizeof(CompletionHandler));
        return handler;
    }
    Delegate* as_delegate() noexcept { return reinterpret_cast<Delegate*>(this); }
    static CompletionHandler* from(Delegate* self) noexcept { return reinterpret_cast<CompletionHandler*>(self); }

    static HRESULT STDMETHODCALLTYPE QueryInterface(Delegate* self, const IID* iid, void** object) noexcept {
        if (iid == nullptr || object == nullptr) return E_POINTER;
        if (IsEqualGUID(*iid, Traits::iid) || IsEqualGUID(*iid, abi::IID_IUnknown) ||
            IsEqualGUID(*iid, abi::IID_IAgileObject)) {
            *object = self;
            AddRef(self);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    static ULONG STDMETHODCALLTYPE AddRef(Delegate* self) noexcept {
        return static_cast<ULONG>(from(self)->count.fetch_add(1, std::memory_order_relaxed) + 1);
    }
    static ULONG STDMETHODCALLTYPE Release(Delegate* self) noexcept {
        CompletionHandler* handler = from(self);
        const LONG remaining = handler->count.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (remaining < 0) raise_fault_nounwind("Object has been over-released.");
        if (remaining == 0) delete handler;
        return static_cast<ULONG>(remaining);
    }
    static HRESULT STDMETHODCALLTYPE Invoke(Delegate* self, typename Traits::Operation* /*operation*/,
                                            INT32 /*status*/) noexcept {
        (void)SetEvent(from(self)->event.get());
        return S_OK;
    }

    static constexpr typename Traits::Vtbl kVtbl = {&QueryInterface, &AddRef, &Release, &Invoke};
};

// What a wait ends with when its request was cancelled and settled as Canceled:
// HRESULT_FROM_WIN32(ERROR_CANCELLED).
inline constexpr std::int32_t kRequestCancelledCode = static_cast<std::int32_t>(0x800704C7u);

// Blocks until `operation` has completed (or returns at once when it is no longer
// running), without taking its results: nothing, or the error of a call on the way.
//
// Beneath a request with limits (current_request_limits), the wait goes in slices and
// asks check_wait between them. Ctrl-C or the deadline cancels the operation
// (IAsyncInfo::Cancel), and the wait goes on, without limit, until it has settled: a
// request either changed nothing or took effect, and only its final status says which.
// Canceled ends the wait with kRequestCancelledCode; Completed (the platform finished
// first) or Error ends it as any completion does, and the caller takes the results.
// Without limits it waits as long as the platform takes.
template <class Result>
std::optional<PlatformError> await_completion(typename HandlerTraits<Result>::Operation* operation) {
    using Handler = CompletionHandler<Result>;
    using Delegate = typename HandlerTraits<Result>::Delegate;
    INT32 status = abi::AsyncStatus_Started;
    ComPtr<abi::IAsyncInfo> info;
    {
        HRESULT hr = S_OK;
        info = query<abi::IAsyncInfo>(operation, abi::IID_IAsyncInfo, &hr);
        if (FAILED(hr)) return error_from_failure(hr);
        if (!info) return error_from_failure(E_POINTER);
        hr = info->lpVtbl->get_Status(info.get(), &status);
        if (FAILED(hr)) return error_from_failure(hr);
    }
    if (status != abi::AsyncStatus_Started) return std::nullopt;
    const bool limited = current_request_limits() != nullptr;

    // Manual reset and created before registration: a handler invoked inside
    // put_Completed, or before the wait starts, is not lost.
    KernelHandle created(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!created) return error_from_last_system_error();
    // Our reference, to the end of the wait, keeps the handler's event open for it; the
    // platform takes its own, whatever becomes of the wait.
    const ComPtr<Delegate> handler(Handler::create(std::move(created))->as_delegate());
    const HANDLE event = Handler::from(handler.get())->event.get();
    const HRESULT hr = operation->lpVtbl->put_Completed(operation, handler.get());
    if (FAILED(hr)) return error_from_failure(hr);
    bool cancelled = false;
    for (;;) {
        const DWORD slice = limited && !cancelled ? static_cast<DWORD>(wait_slice().count()) : INFINITE;
        const DWORD waited = WaitForSingleObject(event, slice);
        if (waited == WAIT_OBJECT_0) break;
        if (waited == WAIT_FAILED) {
            PlatformError error = error_from_last_system_error();
            // Nothing can tell this wait when the operation ends; a prompt must not stay
            // up for a caller that has gone.
            if (!cancelled) (void)info->lpVtbl->Cancel(info.get());
            return error;
        }
        if (cancelled || check_wait() == WaitVerdict::Continue) continue;
        // Cancel asks; the operation settles all the same, and its status answers. A
        // failed Cancel leaves it running to its end, which the wait then takes.
        (void)info->lpVtbl->Cancel(info.get());
        cancelled = true;
    }
    if (!cancelled) return std::nullopt;
    const HRESULT read = info->lpVtbl->get_Status(info.get(), &status);
    if (FAILED(read)) return error_from_failure(read);
    if (status == abi::AsyncStatus_Canceled) return PlatformError(kRequestCancelledCode);
    return std::nullopt;
}

// Blocks until `operation` has completed and returns its result object: the empty error
// when it has none, the error of GetResults when it failed or was cancelled.
template <class Result>
Outcome<ComPtr<Result>> wait_for_results(typename HandlerTraits<Result>::Operation* operation) {
    if (std::optional<PlatformError> error = await_completion<Result>(operation)) return std::move(*error);
    ComPtr<Result> result;
    const HRESULT hr = operation->lpVtbl->GetResults(operation, out_param(result));
    if (FAILED(hr)) return error_from_failure(hr);
    if (!result) return PlatformError::empty();
    return result;
}

// An operation whose result is an enumeration: its value, or the error of GetResults.
template <class Tag>
Outcome<std::int32_t> wait_for_value(typename HandlerTraits<Tag>::Operation* operation) {
    if (std::optional<PlatformError> error = await_completion<Tag>(operation)) return std::move(*error);
    INT32 value = 0;
    const HRESULT hr = operation->lpVtbl->GetResults(operation, &value);
    if (FAILED(hr)) return error_from_failure(hr);
    return static_cast<std::int32_t>(value);
}

// IAsyncOperation<boolean>: the answer, or the error of GetResults.
inline Outcome<bool> wait_for_results(abi::IAsyncOperation_boolean* operation) {
    if (std::optional<PlatformError> error = await_completion<bool>(operation)) return std::move(*error);
    BYTE answer = 0;
    const HRESULT hr = operation->lpVtbl->GetResults(operation, &answer);
    if (FAILED(hr)) return error_from_failure(hr);
    return answer != 0;
}

// IAsyncAction: nothing, or the error of GetResults when it failed or was cancelled.
inline Outcome<void> wait_for_results(abi::IAsyncAction* action) {
    if (std::optional<PlatformError> error = await_completion<void>(action)) return std::move(*error);
    const HRESULT hr = action->lpVtbl->GetResults(action);
    if (FAILED(hr)) return error_from_failure(hr);
    return {};
}

}  // namespace bio::winrt
