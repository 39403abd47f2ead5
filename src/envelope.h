// Secrets sealed under a key credential: the credential signs a random challenge (the
// user verified once), HKDF-SHA256 makes an AES-256-GCM key of the signature, and the
// secret is encrypted with it. RSASSA-PKCS1-v1_5 gives exactly one signature for one key
// and one message, so the same credential opens the envelope again.
//
// The envelope, version 1 (a stable format: every later version opens it):
//   offset 0   8 bytes  "BIOSEAL" and the version byte 0x01
//          8  32        SHA-256 of the credential's public key (DER SubjectPublicKeyInfo)
//         40  32        challenge, from the operating system's generator
//         72  12        AES-GCM nonce, likewise
//         84   n        ciphertext of the secret
//       84+n  16        GCM tag
// The credential signs "biometric seal v1\0" + challenge. Key: HKDF-SHA256 with the
// signature as input key material, the challenge as salt, and "biometric seal v1\0" +
// the key name in UTF-8 as info; associated data: the 84 header bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bio_windows.h"

namespace bio {

inline constexpr std::size_t kEnvelopeHeaderSize = 84;
inline constexpr std::size_t kEnvelopeOverhead = kEnvelopeHeaderSize + 16;
// What every message a seal signs begins with; sign refuses data that begins so.
inline constexpr std::string_view kSealPrefix = "biometric seal";

// Bytes of a secret: wiped before their memory goes back.
class SecretBytes {
public:
    explicit SecretBytes(std::size_t size) : bytes_(size) {}
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    ~SecretBytes();
    std::vector<std::uint8_t>& bytes() noexcept { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};

// An envelope that cannot be opened: not one, of an unknown version, sealed with another
// credential than the name has now, or altered. The text says which.
struct EnvelopeProblem {
    std::string message;
};

// Done (std::monostate), the code, or what is wrong with the envelope.
using EnvelopeOutcome = std::variant<std::monostate, CredentialErrorCode, EnvelopeProblem>;
using SealOutcome = EnvelopeOutcome;
using UnsealOutcome = EnvelopeOutcome;

// The room an envelope of `secret_size` bytes of secret takes, and the room the secret
// of an envelope of `envelope_size` bytes takes (0 for one too short to be an envelope).
constexpr std::size_t envelope_size(std::size_t secret_size) { return secret_size + kEnvelopeOverhead; }
constexpr std::size_t secret_size(std::size_t envelope_size) {
    return envelope_size < kEnvelopeOverhead ? 0 : envelope_size - kEnvelopeOverhead;
}

// Seals `secret` under the credential of `key_name`, the prompt owned by `window`, into
// `envelope` (envelope_size(secret.size) bytes, written in place so that a large secret is
// not copied again). An envelope is never handed out that the name's credential could not
// open again: once the user is verified, the name is opened afresh, and a credential
// replaced meanwhile is the EnvelopeProblem, one removed its code (NotFound), as unseal
// would find them; then the signature is checked against the public key.
SealOutcome seal_secret(KeyCredentialPlatform& platform, TextView key_name, ByteView secret, WindowHandle window,
                        std::span<std::uint8_t> envelope);

// Opens an envelope of seal_secret into `secret` (secret_size(envelope.size) bytes, all
// zero unless it opened). What can be checked without the user is checked first (the
// envelope's form, the credential, its public key); only then is it signed.
UnsealOutcome unseal_secret(KeyCredentialPlatform& platform, TextView key_name, ByteView envelope,
                            WindowHandle window, std::span<std::uint8_t> secret);

}  // namespace bio
