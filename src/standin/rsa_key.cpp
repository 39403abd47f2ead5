#include "standin/rsa_key.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>

#include "runtime/openssl_ptr.h"

namespace bio::standin {
namespace {

using BioPtr = OpensslPtr<BIO, BIO_free>;
using PkeyCtxPtr = OpensslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtxPtr = OpensslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using BnPtr = OpensslPtr<BIGNUM, BN_clear_free>;
using BnCtxPtr = OpensslPtr<BN_CTX, BN_CTX_free>;

// The library's text for the failure, with the queue emptied so that a later call on
// this thread does not see it.
std::string take_library_error(const char* what) {
    std::string text = what;
    unsigned long code = ERR_peek_last_error();
    if (code != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += ": ";
        text += buffer;
    }
    ERR_clear_error();
    return text;
}

// Never asks for a passphrase: an encrypted key file is one this platform did not write,
// and the default would prompt on the terminal.
int refuse_passphrase(char*, int, int, void*) { return -1; }

BnPtr bn_param(const EVP_PKEY* key, const char* name) {
    BIGNUM* value = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &value) != 1) return nullptr;
    return BnPtr(value);
}

// Whether the private numbers fit the public ones: n = p q, and e inverts d, dP and dQ
// modulo p - 1 and q - 1, and qInv inverts q modulo p. (The library's own key check
// also tests that p and q are prime, which takes tens of milliseconds; a damaged
// number fails these equations instead.)
bool consistent_rsa_key(const EVP_PKEY* key) {
    BnPtr n = bn_param(key, OSSL_PKEY_PARAM_RSA_N), e = bn_param(key, OSSL_PKEY_PARAM_RSA_E),
          d = bn_param(key, OSSL_PKEY_PARAM_RSA_D), p = bn_param(key, OSSL_PKEY_PARAM_RSA_FACTOR1),
          q = bn_param(key, OSSL_PKEY_PARAM_RSA_FACTOR2), dp = bn_param(key, OSSL_PKEY_PARAM_RSA_EXPONENT1),
          dq = bn_param(key, OSSL_PKEY_PARAM_RSA_EXPONENT2), q_inv = bn_param(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    BnCtxPtr ctx(BN_CTX_secure_new());
    BnPtr product(BN_secure_new()), p1(BN_secure_new()), q1(BN_secure_new());
    if (!n || !e || !d || !p || !q || !dp || !dq || !q_inv || !ctx || !product || !p1 || !q1) return false;
    const auto is_one_modulo = [&](const BIGNUM* a, const BIGNUM* b, const BIGNUM* m) {
        return BN_mod_mul(product.get(), a, b, m, ctx.get()) == 1 && BN_is_one(product.get());
    };
    return BN_mul(product.get(), p.get(), q.get(), ctx.get()) == 1 && BN_cmp(product.get(), n.get()) == 0 &&
           BN_sub(p1.get(), p.get(), BN_value_one()) == 1 && BN_sub(q1.get(), q.get(), BN_value_one()) == 1 &&
           !BN_is_zero(p1.get()) && !BN_is_zero(q1.get()) && is_one_modulo(e.get(), d.get(), p1.get()) &&
           is_one_modulo(e.get(), d.get(), q1.get()) && is_one_modulo(e.get(), dp.get(), p1.get()) &&
           is_one_modulo(e.get(), dq.get(), q1.get()) && is_one_modulo(q.get(), q_inv.get(), p.get());
}

}  // namespace

// Without the library's clean-up at exit: a daemon thread of the program may still be
// inside a call (making a key, signing) while the process exits, and the library must not
// be torn down under it. The memory goes with the process.
void initialize_library() noexcept { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr); }

void PkeyDeleter::operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }


namespace {

// What the library's progress callback asks through the context's application data.
struct GenerationWatch {
    GenerationCancelled cancelled;
    std::chrono::steady_clock::time_point next_check;
    bool stopped = false;
};

// Called for every candidate prime and test round: far too often to ask each time. Once
// stopped it stays stopped, since the library goes on past some of the calls that say so.
int generation_progress(EVP_PKEY_CTX* ctx) {
    auto* watch = static_cast<GenerationWatch*>(EVP_PKEY_CTX_get_app_data(ctx));
    if (watch->stopped) return 0;
    const auto now = std::chrono::steady_clock::now();
    if (now < watch->next_check) return 1;
    watch->next_check = now + kGenerationCheckInterval;
    watch->stopped = watch->cancelled();
    return watch->stopped ? 0 : 1;
}

}  // namespace

PkeyPtr generate_key(std::string& error, GenerationCancelled cancelled, bool* cancelled_by) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kKeyBits) <= 0) {
        error = take_library_error("cannot set up RSA key generation");
        return nullptr;
    }
    GenerationWatch watch{cancelled, std::chrono::steady_clock::now()};
    if (cancelled != nullptr) {
        EVP_PKEY_CTX_set_app_data(ctx.get(), &watch);
        EVP_PKEY_CTX_set_cb(ctx.get(), generation_progress);
    }
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &key) <= 0) {
        error = take_library_error(watch.stopped ? "RSA key generation was cancelled" : "RSA key generation failed");
        if (cancelled_by != nullptr) *cancelled_by = watch.stopped;
        return nullptr;
    }
    return PkeyPtr(key);
}

std::optional<SecretBytes> private_key_pem(EVP_PKEY* key, std::string& error) {
    BioPtr bio(BIO_new(BIO_s_secmem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        error = take_library_error("cannot write the private key as PEM");
        return std::nullopt;
    }
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    if (size <= 0 || data == nullptr) {
        error = take_library_error("cannot write the private key as PEM");
        return std::nullopt;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    return SecretBytes(std::vector<std::uint8_t>(bytes, bytes + size));
}

PkeyPtr parse_private_key_pem(const std::uint8_t* pem, std::size_t size, std::string& error) {
    if (size > INT_MAX) {
        error = "the key file is too large";
        return nullptr;
    }
    BioPtr bio(BIO_new_mem_buf(pem, static_cast<int>(size)));
    if (!bio) {
        error = take_library_error("cannot read the key file");
        return nullptr;
    }
    PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, refuse_passphrase, nullptr));
    if (!key) {
        error = take_library_error("the key file holds no readable private key");
        return nullptr;
    }
    if (!EVP_PKEY_is_a(key.get(), "RSA") || EVP_PKEY_get_bits(key.get()) != kKeyBits) {
        error = "the key file holds a key other than RSA-2048";
        return nullptr;
    }
    if (!consistent_rsa_key(key.get())) {
        ERR_clear_error();
        error = "the key file holds no consistent key pair";
        return nullptr;
    }
    return key;
}

std::optional<std::vector<std::uint8_t>> public_key_der(EVP_PKEY* key, std::string& error) {
    int size = i2d_PUBKEY(key, nullptr);
    if (size <= 0) {
        error = take_library_error("cannot encode the public key");
        return std::nullopt;
    }
    std::vector<std::uint8_t> der(static_cast<std::size_t>(size));
    unsigned char* out = der.data();
    if (i2d_PUBKEY(key, &out) != size) {
        error = take_library_error("cannot encode the public key");
        return std::nullopt;
    }
    return der;
}

std::optional<std::vector<std::uint8_t>> sign_sha256(EVP_PKEY* key, const std::uint8_t* data, std::size_t size,
                                                     std::string& error) {
    // The digest is made once, for signing and for the check.
    MdCtxPtr md(EVP_MD_CTX_new());
    if (!md || EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) != 1) {
        error = take_library_error("cannot set up signing");
        return std::nullopt;
    }
    // The data goes in pieces so that no length has to fit a narrower type; no data is
    // the digest of nothing.
    for (std::size_t done = 0; done < size;) {
        std::size_t piece = std::min<std::size_t>(size - done, std::size_t{1} << 30);
        if (EVP_DigestUpdate(md.get(), data + done, piece) != 1) {
            error = take_library_error("signing failed");
            return std::nullopt;
        }
        done += piece;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    if (EVP_DigestFinal_ex(md.get(), digest, &digest_size) != 1) {
        error = take_library_error("signing failed");
        return std::nullopt;
    }

    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    const auto set_up = [&] {
        return EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) > 0 &&
               EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) > 0;
    };
    std::vector<std::uint8_t> signature(kSignatureSize);
    std::size_t length = signature.size();
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || !set_up() ||
        EVP_PKEY_sign(ctx.get(), signature.data(), &length, digest, digest_size) != 1) {
        error = take_library_error("signing failed");
        return std::nullopt;
    }
    signature.resize(length);
    // A key whose numbers went wrong in memory or on disk must not put its name to a
    // signature that nobody can verify; checking costs a small part of signing.
    if (EVP_PKEY_verify_init(ctx.get()) != 1 || !set_up() ||
        EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest, digest_size) != 1) {
        error = take_library_error("the signature does not verify against the key's public half");
        return std::nullopt;
    }
    return signature;
}

}  // namespace bio::standin
