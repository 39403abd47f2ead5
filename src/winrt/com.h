// Owners of the platform's resources: one COM reference, one BSTR, one kernel handle.
// Move-only; each releases what it holds exactly once. Calls that return one through an
// out-parameter take out_param(holder) (runtime/unique_handle.h).
#pragma once

#include <memory>

#include "runtime/unique_handle.h"
#include "winrt/abi.h"

namespace bio::winrt {

// Gives up one reference to an interface of abi.h (any struct whose table starts with
// IUnknown's).
struct ComRelease {
    template <class T>
    void operator()(T* object) const noexcept {
        object->lpVtbl->Release(object);
    }
};

// One reference, taken over from the caller; nothing here ever adds one.
template <class T>
using ComPtr = std::unique_ptr<T, ComRelease>;

// Queries `object` for interface U; null when it has none (the HRESULT goes to `hr`).
template <class U, class T>
ComPtr<U> query(T* object, const GUID& iid, HRESULT* hr = nullptr) noexcept {
    ComPtr<U> result;
    HRESULT r = object->lpVtbl->QueryInterface(object, &iid, out_param(result));
    if (hr != nullptr) *hr = r;
    return result;
}

struct BstrTraits {
    using type = BSTR;
    static type invalid() noexcept { return nullptr; }
    static void close(type string) noexcept { SysFreeString(string); }
};
using Bstr = UniqueHandle<BstrTraits>;

// A kernel handle; null is none (what CreateEventW returns when it fails).
struct KernelHandleTraits {
    using type = HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type handle) noexcept { CloseHandle(handle); }
};
using KernelHandle = UniqueHandle<KernelHandleTraits>;

}  // namespace bio::winrt
