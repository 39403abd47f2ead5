// Blocking on an asynchronous platform operation: a completion handler of our own sets
// an event, the calling thread waits for it, then takes the results.
#pragma once

#include <atomic>
#include <new>
#include <optional>

#include "bio_windows.h"
#include "runtime/fault.h"
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
    HANDLE event;
    std::atomic<LONG> count{1};
    // Set when the waiting side gave up on a failed registration: the last release then
    // closes the event, which the platform may still signal until then.
    std::atomic<bool> owns_event{false};

    explicit CompletionHandler(HANDLE completion_event) noexcept : event(completion_event) {}

    static CompletionHandler* create(HANDLE completion_event) noexcept {
        auto* handler = new (std::nothrow) CompletionHandler(completion_event);
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
        if (remaining == 0) {
            if (handler->owns_event.load(std::memory_order_acquire)) CloseHandle(handler->event);
            delete handler;
        }
        return static_cast<ULONG>(remaining);
    }
    static HRESULT STDMETHODCALLTYPE Invoke(Delegate* self, typename Traits::Operation* /*operation*/,
                                            INT32 /*status*/) noexcept {
        (void)SetEvent(from(self)->event);
        return S_OK;
    }

    static constexpr typename Traits::Vtbl kVtbl = {&QueryInterface, &AddRef, &Release, &Invoke};
};

// Blocks until `operation` has completed (or returns at once when it is no longer
// running), without taking its results: nothing, or the error of a call on the way.
template <class Result>
std::optional<PlatformError> await_completion(typename HandlerTraits<Result>::Operation* operation) {
    using Handler = CompletionHandler<Result>;
    INT32 status = abi::AsyncStatus_Started;
    {
        HRESULT hr = S_OK;
        ComPtr<abi::IAsyncInfo> info = query<abi::IAsyncInfo>(operation, abi::IID_IAsyncInfo, &hr);
        if (FAILED(hr)) return error_from_failure(hr);
        if (!info) return error_from_failure(E_POINTER);
        hr = info->lpVtbl->get_Status(info.get(), &status);
        if (FAILED(hr)) return error_from_failure(hr);
    }
    if (status != abi::AsyncStatus_Started) return std::nullopt;

    // Manual reset and created before registration: a handler invoked inside
    // put_Completed, or before the wait starts, is not lost.
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return error_from_last_system_error();

    Handler* handler = Handler::create(event.get());
    const HRESULT hr = operation->lpVtbl->put_Completed(operation, handler->as_delegate());
    if (FAILED(hr)) {
        PlatformError error = error_from_failure(hr);
        // No signal will come, but the platform may hold on to the handler it was given
        // and call it later: the handler closes the event when its last reference goes.
        handler->owns_event.store(true, std::memory_order_release);
        (void)event.detach();
        Handler::Release(handler->as_delegate());
        return error;
    }
    Handler::Release(handler->as_delegate());
    (void)WaitForSingleObject(event.get(), INFINITE);
    return std::nullopt;
}

// Blocks until `operation` has completed and returns its result object: the empty error
// when it has none, the error of GetResults when it failed or was cancelled.
template <class Result>
Outcome<ComPtr<Result>> wait_for_results(typename HandlerTraits<Result>::Operation* operation) {
    if (std::optional<PlatformError> error = await_completion<Result>(operation)) return std::move(*error);
    ComPtr<Result> result;
    const HRESULT hr = operation->lpVtbl->GetResults(operation, result.put());
    if (FAILED(hr)) return error_from_failure(hr);
    if (!result) return PlatformError::empty();
    return result;
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
