#include "tpm/tpm_platform.h"

#include <memory>
#include <span>
#include <vector>

#include "runtime/crypto.h"
#include "runtime/environment.h"
#include "runtime/interrupt.h"
#include "local/credential_store.h"
#include "tpm/polkit.h"
#include "tpm/text_agent.h"
#include "keyd/tpm_keys.h"
#include "keyd/tss_library.h"

namespace bio::tpm {
namespace {

constexpr std::int32_t kE_INVALIDARG = static_cast<std::int32_t>(0x80070057u);

// A credential: its key as the TPM wrapped it.
struct TpmCredential final : local::LocalCredential {
    KeyBlob key;
};

local::LocalCredentialPtr credential(KeyBlob key, std::vector<std::uint8_t> public_key, std::string name) {
    auto made = std::make_shared<TpmCredential>();
    made->name = std::move(name);
    made->public_key = std::make_shared<const std::vector<std::uint8_t>>(std::move(public_key));
    made->key = std::move(key);
    return made;
}

// A request cannot go on without a TPM that answers.
PlatformError device_error(const ProbeResult& device) {
    switch (device.state) {
        case ProbeState::NoLibraries:
        case ProbeState::NoDevice: return PlatformError::with_text(kTpmNotFound, device.detail);
        case ProbeState::NoAccess: return PlatformError::with_text(kTpmAccessDenied, device.detail);
        case ProbeState::Busy: return PlatformError::with_text(kTpmBusy, device.detail);
        case ProbeState::Ready:
        case ProbeState::Failed: break;
    }
    return PlatformError::with_text(kTpmInternalError, device.detail);
}

// Before the user is asked to sign: the libraries are there and the device node opens
// (no command is sent: signing itself is the next use of the TPM).
std::optional<PlatformError> quick_device_check(const TssLoad& load, const std::string& tcti) {
    if (!load.functions) return PlatformError::with_text(kTpmNotFound, load.error);
    return check_device_node(tcti);
}

bool request_cancelled() noexcept { return check_wait() != WaitVerdict::Continue; }

std::string install_advice() {
    return std::string("the polkit action ") + kVerifyAction +
           " is not installed: run `sudo python3 -m biometric_keys install-policy`";
}

}  // namespace

TpmPlatform::TpmPlatform() {
    // Made with the interpreter lock held: the stack's logging is silenced (an
    // environment variable it reads) before anything else can read the environment.
    tss_library(true);
}

std::span<const char* const> TpmPlatform::environment_variables() const noexcept {
    static constexpr const char* kNames[] = {kTctiVariable,          kStoreVariable,         "XDG_DATA_HOME",
                                             "HOME",                 kSystemBusVariable,     kTextAgentVariables[1],
                                             kTextAgentVariables[2], kTextAgentVariables[3], kTextAgentVariables[4]};
    return kNames;
}

std::string TpmPlatform::tcti() const {
    std::optional<std::string> configured = request_variable(kTctiVariable);
    return configured && !configured->empty() ? *configured : std::string(kDefaultTcti);
}

Outcome<std::string> TpmPlatform::store_directory() const {
    return local::store_directory_from_environment(kStoreVariable, "tpm");
}

Outcome<AvailabilityReport> TpmPlatform::report() {
    const ProbeResult device = probe_device(tss_library(true), tcti());
    switch (device.state) {
        case ProbeState::Ready: break;
        case ProbeState::NoLibraries:
        case ProbeState::NoDevice: return AvailabilityReport{UserConsent_DeviceNotPresent, device.detail};
        case ProbeState::NoAccess:
            return AvailabilityReport{UserConsent_NotConfiguredForUser,
                                      device.detail + " (the user must be in the group that owns the TPM device, "
                                                      "usually tss)"};
        case ProbeState::Busy: return AvailabilityReport{UserConsent_DeviceBusy, device.detail};
        case ProbeState::Failed: return PlatformError::with_text(kTpmInternalError, device.detail);
    }
    const ActionProbeResult action = probe_action(kVerifyAction);
    switch (action.answer) {
        case ActionProbe::NoLibrary:
        case ActionProbe::NoBus: return AvailabilityReport{UserConsent_DeviceNotPresent, action.detail};
        case ActionProbe::NotInstalled: return AvailabilityReport{UserConsent_NotConfiguredForUser, install_advice()};
        case ActionProbe::No:
            return AvailabilityReport{UserConsent_DisabledByPolicy,
                                      std::string("polkit refuses this user the action ") + kVerifyAction};
        case ActionProbe::Yes:
        case ActionProbe::Challenge: break;
    }
    return AvailabilityReport{UserConsent_Available, "the TPM answers and polkit can verify the user"};
}

std::string TpmPlatform::availability_reason() {
    Outcome<AvailabilityReport> found = report();
    if (!found.ok()) return found.error().message();
    return found.value().reason;
}

Outcome<std::int32_t> TpmPlatform::verify() {
    Outcome<Verification> answer = verify_user(kVerifyAction);
    if (!answer.ok()) {
        // The message says what to do about it.
        if (answer.error().code() == kPolkitNoActionCode) return PlatformError::with_text(kPolkitNoActionCode, install_advice());
        return std::move(answer.error());
    }
    switch (answer.value()) {
        case Verification::Verified: return KeyCredentialStatus_Success;
        case Verification::Refused:
        case Verification::NoAgent:
        case Verification::Interrupted:
        case Verification::Cancelled:
        case Verification::TimedOut: break;
    }
    return KeyCredentialStatus_UserCanceled;
}

Outcome<RetrievalOperationRef> TpmPlatform::RequestCreateAsync(const StringRef& name,
                                                               KeyCredentialCreationOption option) {
    if (option != KeyCredentialCreationOption::FailIfExists && option != KeyCredentialCreationOption::ReplaceExisting) {
        return PlatformError::with_text(kE_INVALIDARG, "unknown KeyCredentialCreationOption");
    }
    const bool replace = option == KeyCredentialCreationOption::ReplaceExisting;
    const std::string text = string_text(name);

    Outcome<std::string> directory = store_directory();
    if (!directory.ok()) return retrieval_failed(directory.error());
    const local::CredentialStore store(std::move(directory.value()));
    // Nobody is asked for a name that is taken already, nor for a TPM that is not there.
    if (!replace) {
        Outcome<bool> exists = store.contains(text);
        if (!exists.ok()) return retrieval_failed(exists.error());
        if (exists.value()) return retrieval_done(KeyCredentialStatus_CredentialAlreadyExists);
    }
    const std::string configuration = tcti();
    const TssLoad& load = tss_library(true);
    if (const ProbeResult device = probe_device(load, configuration); device.state != ProbeState::Ready) {
        PlatformError error = device_error(device);
        return retrieval_failed(error);
    }
    const TssFunctions& tss = *load.functions;

    Outcome<std::int32_t> verdict = verify();
    if (!verdict.ok()) return retrieval_failed(verdict.error());
    if (verdict.value() != KeyCredentialStatus_Success) return retrieval_done(verdict.value());

    // The TPM cannot be stopped in the middle of making a key: a request cancelled while
    // it works (Ctrl-C, its deadline) ends when the TPM is done, with the key dropped and
    // nothing stored. Storing it is the point after which the request takes effect.
    Outcome<KeyBlob> key = create_signing_key(tss, configuration);
    if (!key.ok()) return retrieval_failed(key.error());
    Outcome<std::vector<std::uint8_t>> public_key = public_key_der(tss, key.value());
    if (!public_key.ok()) return retrieval_failed(public_key.error());
    if (request_cancelled()) return retrieval_done(KeyCredentialStatus_UserCanceled);

    Outcome<bool> stored = store.create(text, local::SecretBytes(encode_key_file(key.value())), replace);
    if (!stored.ok()) return retrieval_failed(stored.error());
    // Another process created the name between the look-up and the link.
    if (!stored.value()) return retrieval_done(KeyCredentialStatus_CredentialAlreadyExists);
    return retrieval_done(KeyCredentialStatus_Success,
                          credential(std::move(key.value()), std::move(public_key.value()), text));
}

Outcome<RetrievalOperationRef> TpmPlatform::OpenAsync(const StringRef& name) {
    Outcome<std::string> directory = store_directory();
    if (!directory.ok()) return retrieval_failed(directory.error());
    const local::CredentialStore store(std::move(directory.value()));

    const std::string text = string_text(name);
    Outcome<local::CredentialStore::Loaded> loaded = store.load(text);
    if (!loaded.ok()) return retrieval_failed(loaded.error());
    switch (loaded.value().state) {
        case local::CredentialStore::Loaded::NotFound: return retrieval_done(KeyCredentialStatus_NotFound);
        case local::CredentialStore::Loaded::Unreadable: return retrieval_done(KeyCredentialStatus_UnknownError);
        case local::CredentialStore::Loaded::Found: break;
    }
    const local::SecretBytes& bytes = loaded.value().pem;
    std::optional<KeyBlob> key = decode_key_file(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
    if (!key) return retrieval_done(KeyCredentialStatus_UnknownError);
    const TssLoad& load = tss_library(true);
    if (!load.functions) {
        PlatformError error = PlatformError::with_text(kTpmNotFound, load.error);
        return retrieval_failed(error);
    }
    Outcome<std::vector<std::uint8_t>> public_key = public_key_der(*load.functions, *key);
    if (!public_key.ok()) return retrieval_done(KeyCredentialStatus_UnknownError);
    return retrieval_done(KeyCredentialStatus_Success, credential(std::move(*key), std::move(public_key.value()), text));
}

Outcome<DeleteOperationRef> TpmPlatform::DeleteAsync(const StringRef& name) {
    return remove_from_store(store_directory(), string_text(name));
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

    crypto::Sha256 digest{};
    if (crypto::sha256(crypto::ConstBytes(bytes->data(), bytes->size()), digest) != crypto::kOk) {
        return signing_done(KeyCredentialStatus_UnknownError);
    }
    const std::string configuration = tcti();
    const TssLoad& load = tss_library(true);
    if (std::optional<PlatformError> error = quick_device_check(load, configuration)) return std::move(*error);
    Outcome<std::int32_t> verdict = verify();
    if (!verdict.ok()) return std::move(verdict.error());
    if (verdict.value() != KeyCredentialStatus_Success) return signing_done(verdict.value());

    Outcome<std::vector<std::uint8_t>> signature =
        sign_digest(*load.functions, configuration, static_cast<const TpmCredential*>(held)->key, digest);
    if (!signature.ok()) return std::move(signature.error());
    return signing_done(KeyCredentialStatus_Success, std::move(signature.value()));
}

Outcome<AvailabilityOperationRef> TpmPlatform::CheckAvailabilityAsync() {
    Outcome<AvailabilityReport> found = report();
    if (!found.ok()) return availability_done(std::move(found.error()));
    return availability_done(found.value().availability);
}

Outcome<VerificationOperationRef> TpmPlatform::RequestVerificationForWindowAsync(WindowHandle, const StringRef&) {
    // polkit shows its action's own message: a caller that is not root may not pass one.
    Outcome<AvailabilityReport> found = report();
    if (!found.ok()) return verification_done(std::move(found.error()));
    if (found.value().availability != UserConsent_Available) return verification_done(found.value().availability);
    Outcome<std::int32_t> verdict = verify();
    if (!verdict.ok()) return verification_done(std::move(verdict.error()));
    return verification_done(verdict.value() == KeyCredentialStatus_Success ? UserConsent_Available
                                                                           : UserConsent_Canceled);
}

}  // namespace bio::tpm
