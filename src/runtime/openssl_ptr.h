// An OpenSSL object held by a std::unique_ptr that frees it with the library's own free
// function: OpensslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>. For the code that uses libcrypto
// (the cryptography seam's POSIX side, the stand-in, the TPM platform's public keys); it
// names no OpenSSL header itself.
#pragma once

#include <memory>

namespace bio {

template <auto Free>
struct OpensslFree {
    template <class T>
    void operator()(T* object) const noexcept {
        Free(object);
    }
};

template <class T, auto Free>
using OpensslPtr = std::unique_ptr<T, OpensslFree<Free>>;

}  // namespace bio
