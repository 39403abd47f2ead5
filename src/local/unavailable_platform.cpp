#include "local/unavailable_platform.h"

namespace bio::local {

std::string unknown_platform_text(std::string_view value, std::string_view platforms) {
    std::string text = std::string(kPlatformVariable) + " is ";
    append_quoted(text, value);
    text += ": it names no platform of this system (";
    text += platforms;
    text += ")";
    return text;
}

PlatformError UnavailablePlatform::error() const { return PlatformError::with_text(E_INVALIDARG_CODE, reason_); }

Outcome<RetrievalOperationRef> UnavailablePlatform::RequestCreateAsync(const StringRef&, KeyCredentialCreationOption) {
    return error();
}

Outcome<RetrievalOperationRef> UnavailablePlatform::OpenAsync(const StringRef&) { return error(); }

Outcome<DeleteOperationRef> UnavailablePlatform::DeleteAsync(const StringRef&) { return error(); }

Outcome<SupportOperationRef> UnavailablePlatform::IsSupportedAsync() { return error(); }

// No credential can be had to sign with: kept for the interface.
Outcome<SignOperationRef> UnavailablePlatform::RequestSignAsync(const CredentialRef&, const BufferRef&) {
    return error();
}

Outcome<AvailabilityOperationRef> UnavailablePlatform::CheckAvailabilityAsync() { return error(); }

Outcome<VerificationOperationRef> UnavailablePlatform::RequestVerificationForWindowAsync(WindowHandle,
                                                                                        const StringRef&) {
    return error();
}

}  // namespace bio::local
