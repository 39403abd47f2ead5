// The TPM platform (Linux): key credentials held by the key service biometric-keyd, which
// keeps every user's RSA-2048 keys in the machine's TPM 2.0 and asks polkit about its
// caller before each use (src/keyd/protocol.h). This process holds no key and no key
// file: a credential here is its name and public key; signing sends the name and the
// data's SHA-256 digest, and the service signs with the key the name has once the user was verified.
//
// Verification. Creating, signing (and so sealing and unsealing) and a plain verification
// are answered by the service after polkit asked the user, through the agent that serves
// this process: the desktop's, or polkit's text agent on this process's terminal where
// none does (one for the process, shared by its requests, which take turns; see
// SharedTextAgent). Ctrl-C, the request's deadline or the program's cancellation send
// the service Cancel; the request then ends as UserCanceled (Canceled for a plain
// verification) with nothing changed, or with its result if it had already committed.
//
// Availability: the service's own answer (it knows the TPM and polkit), or
// NotConfiguredForUser with the command that installs it when it is not installed or
// does not answer, or DeviceNotPresent without libsystemd.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "local/local_platform.h"

namespace bio::tpm {

inline constexpr const char* kVerifyAction = "org.biometric.verify";

// What availability found, with the reason in words for a person (python -m
// biometric_keys status).
struct AvailabilityReport {
    std::int32_t availability = 0;  // UserConsent
    std::string reason;
};

class TpmPlatform final : public local::LocalPlatform {
public:
    TpmPlatform() = default;

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
    Outcome<AttestationOperationRef> GetAttestationAsync(const CredentialRef& credential) override;
    std::string availability_reason() override;

    // The availability now, and why.
    Outcome<AvailabilityReport> report();
};

}  // namespace bio::tpm
