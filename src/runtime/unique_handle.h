// Owners of handles that std::unique_ptr does not fit: values that are not pointers, or
// whose "none" is not null (a file descriptor's -1). Traits name the handle:
//
//     struct FdTraits {
//         using type = int;
//         static type invalid() noexcept { return -1; }
//         static void close(type fd) noexcept { ::close(fd); }
//     };
//     using UniqueFd = UniqueHandle<FdTraits>;
//
// The traits live beside the code that uses them; this header knows none of them.
// Pointer handles with a free function use std::unique_ptr and a deleter instead.
#pragma once

#include <type_traits>
#include <utility>

namespace bio {

// Move-only; closes what it holds exactly once, and never the invalid value.
template <class Traits>
class UniqueHandle {
public:
    using pointer = typename Traits::type;  // as std::unique_ptr names it, for out_param

    UniqueHandle() noexcept = default;
    // Takes over a handle the caller owns.
    explicit UniqueHandle(pointer handle) noexcept : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    pointer get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Traits::invalid(); }
    // Gives up ownership without closing.
    pointer release() noexcept { return std::exchange(handle_, Traits::invalid()); }
    // Closes what is held, then holds `handle`.
    void reset(pointer handle = Traits::invalid()) noexcept {
        const pointer old = std::exchange(handle_, handle);
        if (old != Traits::invalid()) Traits::close(old);
    }

private:
    pointer handle_ = Traits::invalid();
};

// For a call that returns a handle through an out-parameter: `f(out_param(holder))` lets
// go of what `holder` had, lends the call an empty slot, and the holder takes whatever
// the call left there when the full expression ends. Works with std::unique_ptr too.
// A `void**` is offered as well, for the calls that take any interface that way.
template <class Owner>
class OutParam {
public:
    using pointer = typename Owner::pointer;

    explicit OutParam(Owner& owner) noexcept : owner_(owner) {
        owner_.reset();
        slot_ = owner_.get();
    }
    OutParam(const OutParam&) = delete;
    OutParam& operator=(const OutParam&) = delete;
    ~OutParam() { owner_.reset(slot_); }

    operator pointer*() noexcept { return &slot_; }
    operator void**() noexcept
        requires(std::is_pointer_v<pointer> && !std::is_same_v<pointer, void*>)
    {
        return reinterpret_cast<void**>(&slot_);
    }

private:
    Owner& owner_;
    pointer slot_;
};

template <class Owner>
OutParam<Owner> out_param(Owner& owner) noexcept {
    return OutParam<Owner>(owner);
}

}  // namespace bio
