// The TPM platform (Linux): key credentials whose RSA-2048 keys are made inside the
// machine's TPM 2.0, and whose every use is preceded by the desktop's own verification of
// the user through polkit (fingerprint or password, as its PAM configuration says).
//
// Keys. Each credential is a key made under the owner hierarchy's storage primary (the
// standard ECC P-256 template, re-derived when needed, never made persistent), kept as its
// public area and TPM-wrapped private area in a per-user store like the stand-in's (same
// name encoding, directories 0700, files 0600), at $BIOMETRIC_TPM_STORE, else
// $XDG_DATA_HOME/biometric/tpm, else ~/.local/share/biometric/tpm. The private key never
// leaves the TPM: a copied key file is useless on another machine. The public key is the
// DER SubjectPublicKeyInfo of the key's public area.
//
// The TPM is reached through the kernel's resource manager, device:/dev/tpmrm0, or the
// TCTI configuration that BIOMETRIC_TPM_TCTI names (a simulator, in tests). A connection
// lives for one request, and every object made in the TPM is flushed before it closes.
//
// Verification. Creating a credential, signing, and a plain verification first ask polkit
// whether the user of this process may use the action kVerifyAction (CheckAuthorization,
// user interaction allowed), which an installed action file says needs the user's own
// authentication every time. A refused or failed verification ends creating and signing
// with UserCanceled and a plain verification with Canceled; so does Ctrl-C or the
// request's deadline, which cancel polkit's check. The check is the library's, not the
// TPM's: other code running as the same user can load a key file and sign without it.
//
// Availability: no TPM libraries, no TPM device, no polkit (libsystemd, the system bus or
// polkitd) -> DeviceNotPresent; a TPM this user may not open, or the action not
// installed -> NotConfiguredForUser; a busy TPM -> DeviceBusy; an action that polkit
// refuses this user without asking -> DisabledByPolicy. Attestation is not supported.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "local/local_platform.h"

namespace bio::tpm {

inline constexpr const char* kVerifyAction = "org.biometric.verify";
inline constexpr const char* kTctiVariable = "BIOMETRIC_TPM_TCTI";
inline constexpr const char* kStoreVariable = "BIOMETRIC_TPM_STORE";
inline constexpr const char* kDefaultTcti = "device:/dev/tpmrm0";

// What availability found, with the reason in words for a person (python -m
// biometric_keys status).
struct AvailabilityReport {
    std::int32_t availability = 0;  // UserConsent
    std::string reason;
};

class TpmPlatform final : public local::LocalPlatform {
public:
    TpmPlatform();

    std::string_view platform_name() const noexcept override { return "tpm"; }
    std::span<const char* const> environment_variables() const noexcept override;
    Outcome<RetrievalOperationRef> RequestCreateAsync(const StringRef& name,
                                                      KeyCredentialCreationOption option) override;
    Outcome<RetrievalOperationRef> OpenAsync(const StringRef& name) override;
    Outcome<DeleteOperationRef> DeleteAsync(const StringRef& name) override;
    Outcome<SupportOperationRef> IsSupportedAsync() override;
    Outcome<SignOperationRef> RequestSignAsync(const CredentialRef& credential, const BufferRef& data) override;
    Outcome<AvailabilityOperationRef> CheckAvailabilityAsync() override;
    Outcome<VerificationOperationRef> RequestVerificationForWindowAsync(WindowHandle window,
                                                                        const StringRef& message) override;
    std::string availability_reason() override;

    // The availability now, and why.
    Outcome<AvailabilityReport> report();

private:
    std::string tcti() const;
    Outcome<std::string> store_directory() const;
    // KeyCredentialStatus_Success when the user was verified, else the status the
    // request ends with; a failure when polkit cannot be asked.
    Outcome<std::int32_t> verify();
};

}  // namespace bio::tpm
