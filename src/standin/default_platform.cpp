// The platform of a build without the TPM platform: the stand-in, which BIOMETRIC_PLATFORM
// may name; any other value is none (unavailable_platform.h).
#include <cstdlib>
#include <cstring>

#include "standin/standin_platform.h"
#include "standin/unavailable_platform.h"

namespace bio {
namespace {

KeyCredentialPlatform& choose_platform() {
    // Read once, at the first request, with the interpreter lock held.
    const char* choice = std::getenv(standin::kPlatformVariable);
    if (choice == nullptr || *choice == '\0' || std::strcmp(choice, "standin") == 0) {
        return *new standin::StandinPlatform;
    }
    return *new standin::UnavailablePlatform(standin::unknown_platform_text(choice, "\"standin\""));
}

}  // namespace

KeyCredentialPlatform& default_platform() {
    // Never destroyed: a daemon thread of the program may still be in a request while the
    // process exits, and the platform, its keys and the library stay for it.
    static KeyCredentialPlatform& platform = choose_platform();
    return platform;
}

}  // namespace bio
