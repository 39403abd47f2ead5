// Owners of the platform's resources: one COM reference, one BSTR, one kernel handle,
// one CoTaskMem block. Move-only; each releases what it holds exactly once.
#pragma once

#include <utility>

#include "winrt/abi.h"

namespace bio::winrt {

// One reference to an interface of abi.h (any struct whose table starts with IUnknown's).
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    // Takes over a reference the caller owns.
    explicit ComPtr(T* raw) noexcept : raw_(raw) {}
    ComPtr(ComPtr&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            raw_ = std::exchange(other.raw_, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { reset(); }

    T* get() const noexcept { return raw_; }
    T* operator->() const noexcept { return raw_; }
    explicit operator bool() const noexcept { return raw_ != nullptr; }
    T* detach() noexcept { return std::exchange(raw_, nullptr); }
    void reset() noexcept {
        if (T* raw = std::exchange(raw_, nullptr)) raw->lpVtbl->Release(raw);
    }
    // For an out-parameter: releases what is held and yields the null slot.
    T** put() noexcept {
        reset();
        return &raw_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

private:
    T* raw_ = nullptr;
};

// Queries `object` for interface U; null when it has none (the HRESULT goes to `hr`).
template <class U, class T>
ComPtr<U> query(T* object, const GUID& iid, HRESULT* hr = nullptr) noexcept {
    ComPtr<U> result;
    HRESULT r = object->lpVtbl->QueryInterface(object, &iid, result.put_void());
    if (hr != nullptr) *hr = r;
    return result;
}

class Bstr {
public:
    Bstr() noexcept = default;
    Bstr(Bstr&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) {
            reset();
            raw_ = std::exchange(other.raw_, nullptr);
        }
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { reset(); }

    BSTR get() const noexcept { return raw_; }
    UINT length() const noexcept { return raw_ == nullptr ? 0 : SysStringLen(raw_); }
    void reset() noexcept {
        if (BSTR raw = std::exchange(raw_, nullptr)) SysFreeString(raw);
    }
    BSTR* put() noexcept {
        reset();
        return &raw_;
    }

private:
    BSTR raw_ = nullptr;
};

class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE raw) noexcept : raw_(raw) {}
    UniqueHandle(UniqueHandle&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset();
            raw_ = std::exchange(other.raw_, nullptr);
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const noexcept { return raw_; }
    explicit operator bool() const noexcept { return raw_ != nullptr; }
    HANDLE detach() noexcept { return std::exchange(raw_, nullptr); }
    void reset() noexcept {
        if (HANDLE raw = std::exchange(raw_, nullptr)) CloseHandle(raw);
    }

private:
    HANDLE raw_ = nullptr;
};

}  // namespace bio::winrt
