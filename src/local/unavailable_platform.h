// The platform that default_platform() makes of a BIOMETRIC_PLATFORM that names no
// platform of this system: none. A typing error must not quietly become another
// platform (least of all the stand-in, which verifies no one), nor be told as one:
// this platform names itself none, and every request fails with E_INVALIDARG and the
// text that names the variable and its value.
#pragma once

#include <string>
#include <string_view>

#include "local/local_platform.h"

namespace bio::local {

inline constexpr const char* kPlatformVariable = "BIOMETRIC_PLATFORM";

// BIOMETRIC_PLATFORM is "bogus": it names no platform of this system (`platforms`), the
// value quoted as the debug texts quote (platform_error.h), whatever its bytes.
std::string unknown_platform_text(std::string_view value, std::string_view platforms);

class UnavailablePlatform final : public LocalPlatform {
public:
    explicit UnavailablePlatform(std::string reason) : reason_(std::move(reason)) {}

    std::string_view platform_name() const noexcept override { return {}; }
    std::string_view unusable_reason() const noexcept override { return reason_; }
    std::string availability_reason() override { return reason_; }

    Outcome<RetrievalOperationRef> RequestCreateAsync(const StringRef& name,
                                                      KeyCredentialCreationOption option) override;
    Outcome<RetrievalOperationRef> OpenAsync(const StringRef& name) override;
    Outcome<DeleteOperationRef> DeleteAsync(const StringRef& name) override;
    Outcome<SupportOperationRef> IsSupportedAsync() override;
    Outcome<SignOperationRef> RequestSignAsync(const CredentialRef& credential, const BufferRef& data) override;
    Outcome<AvailabilityOperationRef> CheckAvailabilityAsync() override;
    Outcome<VerificationOperationRef> RequestVerificationForWindowAsync(WindowHandle window,
                                                                        const StringRef& message) override;

private:
    PlatformError error() const;

    std::string reason_;
};

}  // namespace bio::local
