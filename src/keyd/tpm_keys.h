// RSA-2048 signing keys made and used inside a TPM 2.0, through the ESAPI of tpm2-tss.
//
// A key lives outside the TPM as its public and (TPM-encrypted) private area, wrapped by
// a primary storage key that the TPM derives again from the owner hierarchy's seed
// whenever it is needed; nothing is made persistent. These are the steps; biometric-keyd's
// worker (tpm_engine.h) decides what stays loaded and for how long.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bio_windows.h"
#include "platform_error.h"
#include "keyd/tss_library.h"

namespace bio::keyd::tpm {

// The codes of failures, as Windows' TPM Base Services reports them.
// A response code of the TPM itself is kTpmResponseBase | rc (TPM_20_E_*), for
// example TPM_RC_OBJECT_MEMORY 0x902 -> 0x80280902.
inline constexpr std::int32_t kTpmResponseBase = static_cast<std::int32_t>(0x80280000u);
// No TPM: the libraries, the device or the TCTI's endpoint are not there (TBS_E_TPM_NOT_FOUND).
inline constexpr std::int32_t kTpmNotFound = static_cast<std::int32_t>(0x8028400Fu);
// The device node exists but this user may not open it (E_ACCESSDENIED).
inline constexpr std::int32_t kTpmAccessDenied = static_cast<std::int32_t>(0x80070005u);
// The TPM is in use: EBUSY on open, or TPM_RC_RETRY / YIELDED / TESTING after the
// stack's own retries (ERROR_DEVICE_NOT_AVAILABLE as an HRESULT).
inline constexpr std::int32_t kTpmBusy = static_cast<std::int32_t>(0x800710DFu);
// Any other failure of the stack or its transport, with the stack's text (TBS_E_INTERNAL_ERROR).
inline constexpr std::int32_t kTpmInternalError = static_cast<std::int32_t>(0x80284001u);
// A key file or key blob that is not one of ours (NTE_BAD_DATA).
inline constexpr std::int32_t kTpmBadKey = static_cast<std::int32_t>(0x80090005u);

// The code and text of a failed stack call; `what` names the call.
PlatformError tss_error(const TssFunctions& tss, TSS2_RC rc, const char* what);

// The loaded functions, or kTpmNotFound with the loader's text.
Outcome<const TssFunctions*> loaded_functions(const TssLoad& load);

// A key as it is kept: TPM2B_PUBLIC and TPM2B_PRIVATE, each marshalled with its size.
struct KeyBlob {
    std::vector<std::uint8_t> public_area, private_area;
    bool operator==(const KeyBlob&) const = default;
};

// The key file: magic, version, then the two marshalled areas. A file that is damaged in
// any way (short, long, other magic or version, an area's size past the end) decodes to
// nullopt.
std::vector<std::uint8_t> encode_key_file(const KeyBlob& key);
std::optional<KeyBlob> decode_key_file(std::span<const std::uint8_t> file);

// Whether the device node of a `device:` TCTI opens: the TCTI reports every failure to
// open it alike, so this tells a missing device (kTpmNotFound) from one this user may not
// open (kTpmAccessDenied) or one in use (kTpmBusy). Nothing for other TCTIs.
std::optional<PlatformError> check_device_node(const std::string& tcti);

// One connection: the TCTI (always from the explicit configuration: the stack's default
// search ends at a simulator's local port) and an ESAPI context. Objects loaded through
// it are TransientObjects, which must end before it.
class TpmConnection {
public:
    static Outcome<TpmConnection> open(const TssFunctions& tss, const std::string& tcti);

    TpmConnection(TpmConnection&&) noexcept = default;
    TpmConnection& operator=(TpmConnection&&) = delete;
    TpmConnection(const TpmConnection&) = delete;
    TpmConnection& operator=(const TpmConnection&) = delete;
    ~TpmConnection() = default;

    const TssFunctions& tss() const noexcept { return *tss_; }
    ESYS_CONTEXT* esys() const noexcept { return esys_.get(); }

private:
    struct FinalizeTcti {
        const TssFunctions* tss;
        void operator()(TSS2_TCTI_CONTEXT* tcti) const noexcept { tss->Tss2_TctiLdr_Finalize(&tcti); }
    };
    struct FinalizeEsys {
        const TssFunctions* tss;
        void operator()(ESYS_CONTEXT* esys) const noexcept { tss->Esys_Finalize(&esys); }
    };

    TpmConnection(const TssFunctions& tss, TSS2_TCTI_CONTEXT* tcti, ESYS_CONTEXT* esys) noexcept
        : tss_(&tss), tcti_(tcti, FinalizeTcti{&tss}), esys_(esys, FinalizeEsys{&tss}) {}

    const TssFunctions* tss_;
    // Members end in reverse: the ESAPI context, then the TCTI under it.
    std::unique_ptr<TSS2_TCTI_CONTEXT, FinalizeTcti> tcti_;
    std::unique_ptr<ESYS_CONTEXT, FinalizeEsys> esys_;
};

// A key's authorization value (its userAuth): 32 random bytes, wiped when it goes.
struct KeyAuth {
    static constexpr std::size_t kSize = 32;
    std::array<std::uint8_t, kSize> bytes{};

    KeyAuth() = default;
    KeyAuth(const KeyAuth&) = default;
    KeyAuth& operator=(const KeyAuth&) = default;
    ~KeyAuth();
    bool operator==(const KeyAuth&) const = default;

    // From the system's random source (OpenSSL's private generator); nullopt if it fails.
    static std::optional<KeyAuth> random();
};

// A transient object loaded through a connection (which outlives it), flushed when it
// ends: its slot in the TPM is freed on every path.
class TransientObject {
public:
    TransientObject() noexcept = default;
    TransientObject(TpmConnection& c, ESYS_TR handle) noexcept : c_(&c), handle_(handle) {}
    TransientObject(TransientObject&& other) noexcept
        : c_(other.c_), handle_(std::exchange(other.handle_, ESYS_TR_NONE)) {}
    TransientObject& operator=(TransientObject&& other) noexcept {
        if (this != &other) {
            reset();
            c_ = other.c_;
            handle_ = std::exchange(other.handle_, ESYS_TR_NONE);
        }
        return *this;
    }
    TransientObject(const TransientObject&) = delete;
    TransientObject& operator=(const TransientObject&) = delete;
    ~TransientObject() { reset(); }

    ESYS_TR get() const noexcept { return handle_; }
    void reset() noexcept;

private:
    TpmConnection* c_ = nullptr;
    ESYS_TR handle_ = ESYS_TR_NONE;
};

// The owner hierarchy's storage primary (ECC P-256, the TCG's storage-key template: the
// same seed always gives the same key), made in the TPM now.
Outcome<TransientObject> create_storage_primary(TpmConnection& c);

// A new RSA-2048 RSASSA-SHA256 signing key (fixedTPM, noDA), usable only with `auth`,
// under `parent` (a storage primary loaded through `c`).
Outcome<KeyBlob> create_signing_key_under(TpmConnection& c, ESYS_TR parent, const KeyAuth& auth);

// Loads `key` under `parent` and gives its handle the authorization value.
Outcome<TransientObject> load_key_under(TpmConnection& c, ESYS_TR parent, const KeyBlob& key, const KeyAuth& auth);

// TPM2_Startup(CLEAR), for a TPM that was reset and not started again (a simulator; on
// a machine the firmware starts it).
Outcome<void> startup(TpmConnection& c);

// One GetRandom: whether the TPM at the end of `c` answers.
Outcome<void> ping(TpmConnection& c);

// One Esys_Sign of a SHA-256 digest with `key`, loaded through `c`: the
// RSASSA-PKCS1-v1_5 signature.
Outcome<std::vector<std::uint8_t>> sign_loaded(TpmConnection& c, ESYS_TR key, std::span<const std::uint8_t, 32> sha256);

// The key's public half as DER SubjectPublicKeyInfo.
Outcome<std::vector<std::uint8_t>> public_key_der(const TssFunctions& tss, const KeyBlob& key);

}  // namespace bio::keyd::tpm
