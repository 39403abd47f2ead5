// The platform of a Linux build with the TPM platform: the TPM where the machine has its
// resource manager, else the stand-in; BIOMETRIC_PLATFORM ("tpm" or "standin") decides
// instead when it is set.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "standin/standin_platform.h"
#include "standin/unavailable_platform.h"
#include "tpm/tpm_platform.h"

namespace bio {
namespace {

KeyCredentialPlatform& choose_platform() {
    // Read once, at the first request, with the interpreter lock held: nothing of the
    // program's changes the environment meanwhile.
    const char* choice = std::getenv(standin::kPlatformVariable);
    if (choice == nullptr || *choice == '\0') {
        choice = ::access("/dev/tpmrm0", F_OK) == 0 ? "tpm" : "standin";
    }
    if (std::strcmp(choice, "standin") == 0) return *new standin::StandinPlatform;
    if (std::strcmp(choice, "tpm") == 0) return *new tpm::TpmPlatform;
    // A typing error must not quietly become the stand-in, which verifies no one.
    return *new standin::UnavailablePlatform(standin::unknown_platform_text(choice, "\"tpm\" or \"standin\""));
}

}  // namespace

KeyCredentialPlatform& default_platform() {
    // Never destroyed: a daemon thread of the program may still be in a request while the
    // process exits, and the platform and its libraries stay for it.
    static KeyCredentialPlatform& platform = choose_platform();
    return platform;
}

}  // namespace bio
