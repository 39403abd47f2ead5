// Cryptography, all of it the operating system's own library's: CNG (bcrypt.dll) on
// Windows (crypto_windows.cpp), OpenSSL's libcrypto elsewhere (crypto_posix.cpp). Nothing
// here is a primitive of ours; HKDF (RFC 5869) is the library's where it has one, else
// its two steps over the library's HMAC.
//
// A call that fails returns a non-zero code: the library's error as an HRESULT on
// Windows (HRESULT_FROM_NT of the NTSTATUS), NTE_FAIL (0x80090020) elsewhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace bio::crypto {

using Code = std::int32_t;
inline constexpr Code kOk = 0;
inline constexpr Code kNteFail = static_cast<Code>(0x80090020u);
inline constexpr Code kNteBadSignature = static_cast<Code>(0x80090006u);
inline constexpr Code kNteBadData = static_cast<Code>(0x80090005u);

using ConstBytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

inline constexpr std::size_t kSha256Size = 32;
inline constexpr std::size_t kAesKeySize = 32;
inline constexpr std::size_t kGcmNonceSize = 12;
inline constexpr std::size_t kGcmTagSize = 16;
using Sha256 = std::array<std::uint8_t, kSha256Size>;

// Fills `out` from the operating system's generator.
Code random_bytes(MutableBytes out) noexcept;

Code sha256(ConstBytes data, Sha256& out) noexcept;

// HKDF-SHA256 (RFC 5869): extract with `salt`, expand with `info` into all of `out`
// (at most 255 * 32 bytes).
Code hkdf_sha256(ConstBytes ikm, ConstBytes salt, ConstBytes info, MutableBytes out) noexcept;

// AES-256-GCM with a 12-byte nonce and a 16-byte tag. `ciphertext` (or `plaintext` when
// opening) has the other text's size; they may be the same memory.
Code aes256gcm_seal(ConstBytes key, ConstBytes nonce, ConstBytes aad, ConstBytes plaintext, MutableBytes ciphertext,
                    MutableBytes tag) noexcept;
// kNteBadData when the tag does not verify; `plaintext` is then all zero.
Code aes256gcm_open(ConstBytes key, ConstBytes nonce, ConstBytes aad, ConstBytes ciphertext, ConstBytes tag,
                    MutableBytes plaintext) noexcept;

// Verifies an RSASSA-PKCS1-v1_5 signature over SHA-256 of `message` with the RSA public
// key given as DER SubjectPublicKeyInfo: kOk, kNteBadSignature for a signature that does
// not verify, another code for a key that cannot be read.
Code rsa_pkcs1_sha256_verify(ConstBytes subject_public_key_info, ConstBytes message, ConstBytes signature) noexcept;

// Overwrites `bytes` with zeros in a way the compiler keeps.
void secure_zero(MutableBytes bytes) noexcept;

}  // namespace bio::crypto
