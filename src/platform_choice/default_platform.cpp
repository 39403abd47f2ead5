// default_platform() off Windows: the one place that names the platforms, which stand
// side by side on src/local/ and know nothing of each other. With the TPM platform built
// (BIO_WITH_TPM), the TPM wherever its key service is installed or the machine has a
// TPM (its resource manager), else the stand-in; without it, the stand-in.
// BIOMETRIC_PLATFORM ("tpm" or "standin") decides instead when it is set; a value that
// names no platform of this build chooses none. The stand-in verifies no one: chosen
// because nothing else is there, it says so once per process (take_choice_warning).
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "local/unavailable_platform.h"
#include "standin/standin_platform.h"
#if BIO_WITH_TPM
#include "tpm/key_service.h"
#include "tpm/tpm_platform.h"
#endif

namespace bio {
namespace {

#if BIO_WITH_TPM
constexpr const char* kPlatforms = "\"tpm\" or \"standin\"";
#else
constexpr const char* kPlatforms = "\"standin\"";
#endif

constexpr const char* kUnchosenStandin =
    "no platform that verifies users is here (no TPM and no key service), so biometric uses the stand-in, which "
    "verifies no one: any code running as this user can use its keys. Set BIOMETRIC_PLATFORM=standin to choose "
    "it (tests, development) and silence this warning.";

bool verifying_platform_here() {
#if BIO_WITH_TPM
    return ::access("/dev/tpmrm0", F_OK) == 0 || ::access("/dev/tpm0", F_OK) == 0 || tpm::service_installed();
#else
    return false;
#endif
}

KeyCredentialPlatform& choose_platform() {
    // Read once, at the first request, with the interpreter lock held: nothing of the
    // program's changes the environment meanwhile.
    const char* choice = std::getenv(local::kPlatformVariable);
    if (choice == nullptr || *choice == '\0') {
        if (!verifying_platform_here()) {
            auto* standin = new standin::StandinPlatform;
            standin->set_choice_warning(kUnchosenStandin);
            return *standin;
        }
        choice = "tpm";
    }
    if (std::strcmp(choice, "standin") == 0) return *new standin::StandinPlatform;
#if BIO_WITH_TPM
    if (std::strcmp(choice, "tpm") == 0) return *new tpm::TpmPlatform;
#endif
    // A typing error must not quietly become the stand-in, which verifies no one.
    return *new local::UnavailablePlatform(local::unknown_platform_text(choice, kPlatforms));
}

}  // namespace

KeyCredentialPlatform& default_platform() {
    // Never destroyed: a daemon thread of the program may still be in a request while the
    // process exits, and the platform, its keys and its libraries stay for it.
    static KeyCredentialPlatform& platform = choose_platform();
    return platform;
}

}  // namespace bio
