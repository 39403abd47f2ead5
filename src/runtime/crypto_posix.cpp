#include "runtime/crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "runtime/openssl_ptr.h"

namespace bio::crypto {
namespace {

using CipherCtx = OpensslPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using MdCtx = OpensslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;

// The library's error queue is per thread and only for us to read: a failure leaves it
// empty, as the stand-in's key code does.
Code failed() noexcept {
    ERR_clear_error();
    return kNteFail;
}

bool fits_int(std::size_t size) noexcept { return size <= static_cast<std::size_t>(INT_MAX); }

// EVP's update calls take an int length: long texts go in pieces.
template <class Update>
bool update_in_pieces(ConstBytes in, std::uint8_t* out, Update&& update) {
    constexpr std::size_t kPiece = std::size_t{1} << 30;
    for (std::size_t at = 0; at < in.size(); at += kPiece) {
        const std::size_t size = std::min(kPiece, in.size() - at);
        int written = 0;
        if (update(out != nullptr ? out + at : nullptr, &written, in.data() + at, static_cast<int>(size)) != 1 ||
            static_cast<std::size_t>(written) != size) {
            return false;
        }
    }
    return true;
}

}  // namespace

Code random_bytes(MutableBytes out) noexcept {
    if (!fits_int(out.size())) return kNteFail;
    if (out.empty()) return kOk;
    return RAND_bytes(out.data(), static_cast<int>(out.size())) == 1 ? kOk : failed();
}

Code sha256(ConstBytes data, Sha256& out) noexcept {
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &size, EVP_sha256(), nullptr) != 1 || size != out.size()) {
        return failed();
    }
    return kOk;
}

Code hkdf_sha256(ConstBytes ikm, ConstBytes salt, ConstBytes info, MutableBytes out) noexcept {
    OpensslPtr<EVP_KDF, EVP_KDF_free> kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr));
    if (!kdf) return failed();
    OpensslPtr<EVP_KDF_CTX, EVP_KDF_CTX_free> ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) return failed();
    char digest[] = "SHA256";
    // The library takes non-const pointers and only reads through them.
    auto octets = [](const char* key, ConstBytes bytes) {
        return OSSL_PARAM_construct_octet_string(key, const_cast<std::uint8_t*>(bytes.data()), bytes.size());
    };
    // An empty salt or info is left out: the library refuses an empty octet string, and
    // without one it uses what RFC 5869 says (a salt of zeros, no info).
    OSSL_PARAM params[5];
    std::size_t count = 0;
    params[count++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
    params[count++] = octets(OSSL_KDF_PARAM_KEY, ikm);
    if (!salt.empty()) params[count++] = octets(OSSL_KDF_PARAM_SALT, salt);
    if (!info.empty()) params[count++] = octets(OSSL_KDF_PARAM_INFO, info);
    params[count] = OSSL_PARAM_construct_end();
    return EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) == 1 ? kOk : failed();
}

Code aes256gcm_seal(ConstBytes key, ConstBytes nonce, ConstBytes aad, ConstBytes plaintext, MutableBytes ciphertext,
                    MutableBytes tag) noexcept {
    if (key.size() != kAesKeySize || nonce.size() != kGcmNonceSize || tag.size() != kGcmTagSize ||
        ciphertext.size() != plaintext.size() || !fits_int(aad.size())) {
        return kNteFail;
    }
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int written = 0;
    if (!ctx || EVP_EncryptInit_ex2(ctx.get(), EVP_aes_256_gcm(), key.data(), nonce.data(), nullptr) != 1 ||
        (!aad.empty() && EVP_EncryptUpdate(ctx.get(), nullptr, &written, aad.data(), static_cast<int>(aad.size())) != 1) ||
        !update_in_pieces(plaintext, ciphertext.data(),
                          [&](std::uint8_t* out, int* out_size, const std::uint8_t* in, int in_size) {
                              return EVP_EncryptUpdate(ctx.get(), out, out_size, in, in_size);
                          }) ||
        EVP_EncryptFinal_ex(ctx.get(), nullptr, &written) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(tag.size()), tag.data()) != 1) {
        return failed();
    }
    return kOk;
}

Code aes256gcm_open(ConstBytes key, ConstBytes nonce, ConstBytes aad, ConstBytes ciphertext, ConstBytes tag,
                    MutableBytes plaintext) noexcept {
    if (key.size() != kAesKeySize || nonce.size() != kGcmNonceSize || tag.size() != kGcmTagSize ||
        ciphertext.size() != plaintext.size() || !fits_int(aad.size())) {
        return kNteFail;
    }
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int written = 0;
    if (!ctx || EVP_DecryptInit_ex2(ctx.get(), EVP_aes_256_gcm(), key.data(), nonce.data(), nullptr) != 1 ||
        (!aad.empty() && EVP_DecryptUpdate(ctx.get(), nullptr, &written, aad.data(), static_cast<int>(aad.size())) != 1) ||
        !update_in_pieces(ciphertext, plaintext.data(),
                          [&](std::uint8_t* out, int* out_size, const std::uint8_t* in, int in_size) {
                              return EVP_DecryptUpdate(ctx.get(), out, out_size, in, in_size);
                          }) ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tag.size()),
                            const_cast<std::uint8_t*>(tag.data())) != 1) {
        secure_zero(plaintext);
        return failed();
    }
    if (EVP_DecryptFinal_ex(ctx.get(), nullptr, &written) != 1) {
        // Not one byte of a text whose tag does not verify is kept.
        secure_zero(plaintext);
        ERR_clear_error();
        return kNteBadData;
    }
    return kOk;
}

Code rsa_pkcs1_sha256_verify(ConstBytes subject_public_key_info, ConstBytes message, ConstBytes signature) noexcept {
    const unsigned char* der = subject_public_key_info.data();
    OpensslPtr<EVP_PKEY, EVP_PKEY_free> key(
        d2i_PUBKEY(nullptr, &der, static_cast<long>(subject_public_key_info.size())));
    // d2i reads one element and stops: anything after the key makes it no key.
    if (!key || der != subject_public_key_info.data() + subject_public_key_info.size() ||
        EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        return failed();
    }
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) return failed();
    // PKCS#1 v1.5 is the RSA default.
    const int verified =
        EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size());
    ERR_clear_error();
    if (verified == 1) return kOk;
    return kNteBadSignature;
}

void secure_zero(MutableBytes bytes) noexcept {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

}  // namespace bio::crypto
