#include "tpm/tpm_platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <span>
#include <vector>

#include "bus/polkit.h"
#include "keyd/protocol.h"
#include "local/unique_fd.h"
#include "runtime/crypto.h"
#include "runtime/interrupt.h"
#include "tpm/key_service.h"
#include "tpm/text_agent.h"

namespace bio::tpm {
namespace {

using bus::kPolkitFailedCode;
using bus::kPolkitNoLibraryCode;
using bus::kSystemBusVariable;

constexpr std::int32_t kE_INVALIDARG = static_cast<std::int32_t>(0x80070057u);

local::LocalCredentialPtr credential(std::vector<std::uint8_t> public_key, std::string name) {
    auto made = std::make_shared<local::LocalCredential>();
    made->name = std::move(name);
    made->public_key = std::make_shared<const std::vector<std::uint8_t>>(std::move(public_key));
    return made;
}

// This process's terminal, where it is in the terminal's foreground: a process in the
// background cannot ask there (the agent would be stopped, SIGTTOU, as it turns echo off).
local::UniqueFd foreground_terminal() {
    local::UniqueFd terminal(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (terminal && ::tcgetpgrp(terminal.get()) != ::getpgrp()) terminal.reset();
    return terminal;
}

// A reply of a request that ended before it was sent, or that nobody could be asked
// about: nothing changed.
ServiceReply refused_reply(std::int32_t refused, WaitVerdict verdict = WaitVerdict::Continue) {
    ServiceReply reply;
    reply.numbers.push_back(refused);
    reply.stopped_by = verdict;
    return reply;
}

bool nobody_to_ask(Outcome<ServiceReply>& reply) {
    return !reply.ok() && reply.error().code() == keyd::kNoAgent;
}

// A request the service answers after polkit asked the user. Where a request of this
// process uses the text agent, this one waits for its turn with it. Where polkit found
// no agent to ask through (kNoAgent, at once) and this process has a terminal, the shared
// text agent is started on it and the request is made again, once; without one, the
// user was not verified (`refused`). A user who dismissed the desktop's prompt is not
// asked again.
Outcome<ServiceReply> ask_user(const char* member, std::span<const ServiceArgument> arguments, const char* shape,
                               std::int32_t refused) {
    SharedTextAgent agent;
    bool through_agent = false;
    std::string detail;
    WaitVerdict verdict = WaitVerdict::Continue;
    if (SharedTextAgent::in_use()) {
        local::UniqueFd terminal = foreground_terminal();
        switch (agent.take(terminal ? terminal.get() : -1, &detail, &verdict)) {
            case TextAgent::Start::Registered: through_agent = true; break;
            case TextAgent::Start::Failed: break;  // asked without it, as if none had been there
            case TextAgent::Start::Stopped: return refused_reply(refused, verdict);
        }
    }
    Outcome<ServiceReply> reply = call_service(member, arguments, shape, Waiting::ForTheUser);
    if (!nobody_to_ask(reply)) return reply;
    local::UniqueFd terminal = through_agent ? local::UniqueFd() : foreground_terminal();
    if (!terminal) return refused_reply(refused);
    switch (agent.take(terminal.get(), &detail, &verdict)) {
        case TextAgent::Start::Registered: break;
        case TextAgent::Start::Failed: return refused_reply(refused);
        case TextAgent::Start::Stopped: return refused_reply(refused, verdict);
    }
    reply = call_service(member, arguments, shape, Waiting::ForTheUser);
    if (nobody_to_ask(reply)) return refused_reply(refused);
    return reply;
}

Outcome<AvailabilityReport> ask_availability() {
    Outcome<ServiceReply> reply = call_service("Availability", {}, "is", Waiting::Brief);
    if (!reply.ok()) {
        const PlatformError& error = reply.error();
        if (error.code() == keyd::kServiceNotReachable) {
            return AvailabilityReport{UserConsent_NotConfiguredForUser, error.message()};
        }
        if (error.code() == kPolkitNoLibraryCode) {
            return AvailabilityReport{UserConsent_DeviceNotPresent, error.message()};
        }
        return std::move(reply.error());
    }
    return AvailabilityReport{reply.value().numbers.at(0), std::move(reply.value().strings.at(0))};
}

}  // namespace

std::span<const char* const> TpmPlatform::environment_variables() const noexcept {
    static constexpr const char* kNames[] = {kSystemBusVariable, kTextAgentVariables[1], kTextAgentVariables[2],
                                             kTextAgentVariables[3], kTextAgentVariables[4]};
    return kNames;
}

Outcome<AvailabilityReport> TpmPlatform::report() { return ask_availability(); }

std::string TpmPlatform::availability_reason() {
    Outcome<AvailabilityReport> found = report();
    if (!found.ok()) return found.error().message();
    return found.value().reason;
}

Outcome<RetrievalOperationRef> TpmPlatform::RequestCreateAsync(const StringRef& name,
                                                               KeyCredentialCreationOption option) {
    if (option != KeyCredentialCreationOption::FailIfExists && option != KeyCredentialCreationOption::ReplaceExisting) {
        return PlatformError::with_text(kE_INVALIDARG, "unknown KeyCredentialCreationOption");
    }
    std::string text = string_text(name);
    const ServiceArgument arguments[] = {text, option == KeyCredentialCreationOption::ReplaceExisting};
    Outcome<ServiceReply> reply = ask_user("Create", arguments, "iay", KeyCredentialStatus_UserCanceled);
    if (!reply.ok()) return retrieval_failed(reply.error());
    const std::int32_t status = reply.value().numbers.at(0);
    if (status != KeyCredentialStatus_Success) return retrieval_done(status);
    return retrieval_done(status, credential(std::move(reply.value().arrays.at(0)), std::move(text)));
}

Outcome<RetrievalOperationRef> TpmPlatform::OpenAsync(const StringRef& name) {
    std::string text = string_text(name);
    const ServiceArgument arguments[] = {text};
    Outcome<ServiceReply> reply = call_service("Open", arguments, "iay", Waiting::Brief);
    if (!reply.ok()) return retrieval_failed(reply.error());
    const std::int32_t status = reply.value().numbers.at(0);
    if (status != KeyCredentialStatus_Success) return retrieval_done(status);
    return retrieval_done(status, credential(std::move(reply.value().arrays.at(0)), std::move(text)));
}

Outcome<DeleteOperationRef> TpmPlatform::DeleteAsync(const StringRef& name) {
    const ServiceArgument arguments[] = {string_text(name)};
    Outcome<ServiceReply> reply = call_service("Delete", arguments, "i", Waiting::Brief);
    if (!reply.ok()) return deletion_failed(reply.error());
    const std::int32_t status = reply.value().numbers.at(0);
    if (status == KeyCredentialStatus_Success) return deletion_done();
    // As the local kit reports a name that is not there.
    PlatformError error = status == KeyCredentialStatus_NotFound
                              ? PlatformError::with_text(KeyCredentialStatus_NotFound, "no key credential of that name")
                              : PlatformError::with_text(kPolkitFailedCode, "the key service could not delete it");
    return deletion_failed(error);
}

Outcome<SupportOperationRef> TpmPlatform::IsSupportedAsync() {
    Outcome<AvailabilityReport> found = report();
    if (!found.ok()) return support_done(false);
    return support_done(found.value().availability == UserConsent_Available);
}

Outcome<SignOperationRef> TpmPlatform::RequestSignAsync(const CredentialRef& credential, const BufferRef& data) {
    const local::LocalCredential* held = credential_of(credential);
    const std::vector<std::uint8_t>* bytes = bytes_of(data);
    if (held == nullptr || bytes == nullptr) return null_argument();
    // The digest goes to the service, not the data: a bus message carries at most 32 MiB.
    crypto::Sha256 digest{};
    if (const crypto::Code hashed = crypto::sha256(*bytes, digest); hashed != crypto::kOk) {
        return PlatformError::with_text(hashed, "SHA-256 of the data to sign");
    }
    const ServiceArgument arguments[] = {held->name, std::span<const std::uint8_t>(digest)};
    Outcome<ServiceReply> reply = ask_user("Sign", arguments, "iay", KeyCredentialStatus_UserCanceled);
    if (!reply.ok()) return std::move(reply.error());
    const std::int32_t status = reply.value().numbers.at(0);
    if (status != KeyCredentialStatus_Success) return signing_done(status);
    return signing_done(status, std::move(reply.value().arrays.at(0)));
}

Outcome<AvailabilityOperationRef> TpmPlatform::CheckAvailabilityAsync() {
    Outcome<AvailabilityReport> found = report();
    if (!found.ok()) return availability_done(std::move(found.error()));
    return availability_done(found.value().availability);
}

Outcome<VerificationOperationRef> TpmPlatform::RequestVerificationForWindowAsync(WindowHandle,
                                                                                const StringRef& message) {
    const ServiceArgument arguments[] = {string_text(message)};
    Outcome<ServiceReply> reply = ask_user("VerifyUser", arguments, "i", UserConsent_Canceled);
    if (!reply.ok()) {
        // Nobody can verify the user where the service is not there: as availability says.
        if (reply.error().code() == keyd::kServiceNotReachable) return verification_done(UserConsent_NotConfiguredForUser);
        return verification_done(std::move(reply.error()));
    }
    return verification_done(reply.value().numbers.at(0));
}

Outcome<AttestationOperationRef> TpmPlatform::GetAttestationAsync(const CredentialRef& credential) {
    const local::LocalCredential* held = credential_of(credential);
    if (held == nullptr) return null_argument();
    const ServiceArgument arguments[] = {held->name};
    Outcome<ServiceReply> reply = call_service("Attestation", arguments, "iayay", Waiting::Brief);
    if (!reply.ok()) return attestation_failed(reply.error());
    ServiceReply& read = reply.value();
    return attestation_done(read.numbers.at(0), std::move(read.arrays.at(0)), std::move(read.arrays.at(1)));
}

}  // namespace bio::tpm
